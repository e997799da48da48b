#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace quarnel {

// Where the running service answers on the system bus: the name it takes, its object and that
// object's interface. quarnelctl reads them from here too.
inline constexpr const char* kGuardBusName = "org.quarnel.Quarneld1";
inline constexpr const char* kGuardBusPath = "/org/quarnel/Quarneld1";
inline constexpr const char* kGuardBusInterface = "org.quarnel.Quarneld1";

// What the running service tells whoever may ask it: how it guards, with which rules, where, and
// what it did since it started.
struct GuardFacts {
    std::string Version;
    std::string Mode;       // how it closes, how it follows the table, what holds back data
    std::string RulesFile;  // the file the rules in force came from
    std::string RulesFrom;  // that file, or the copy last accepted, or the defaults
    std::vector<std::string> BlockedLocalPorts, BlockedRemotePorts, AllowedAddresses;
    // The network namespaces guarded, by inode, with the names close lines give them; its own
    // first, named "own".
    std::vector<std::pair<std::uint32_t, std::string>> Namespaces;
    std::uint64_t StartedAt = 0;  // microseconds since 1970
    std::uint64_t Connections = 0;
    std::uint64_t Closed = 0;
    std::uint64_t Missed = 0;     // blocked, but ended before they could be closed
    std::uint64_t Untold = 0;     // closes only counted in a summary line, past the line limit
    std::uint64_t LinesLost = 0;  // other lines the log's output could not take
    std::vector<std::pair<std::string, std::uint64_t>> ClosedByEntry;  // "local 22", count
    std::vector<std::pair<std::uint64_t, std::string>> LastCloses;     // time as StartedAt, line
};

}  // namespace quarnel
