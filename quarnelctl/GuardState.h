#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace quarnel::ctl {

// What the running quarneld says of itself on the system bus.
struct GuardState {
    std::string Version, Mode, RulesFile, RulesFrom;
    std::vector<std::string> BlockedLocalPorts, BlockedRemotePorts, AllowedAddresses;
    std::vector<std::pair<std::uint32_t, std::string>> Namespaces;  // inode, name; own first
    std::uint64_t StartedAt = 0;                                    // microseconds since 1970
    std::uint64_t Connections = 0, Closed = 0, Missed = 0, Untold = 0, LinesLost = 0;
    std::vector<std::pair<std::string, std::uint64_t>> ClosedByEntry;
    std::vector<std::pair<std::uint64_t, std::string>> LastCloses;  // time as StartedAt, line
};

// Why it could not be read.
enum class AskFailure { None, NoBus, NotRunning, Refused, Other };

// Reads every property of the service's interface in one call; on failure, why, and problem in
// words.
AskFailure AskGuard(GuardState& state, std::string& problem);

}  // namespace quarnel::ctl
