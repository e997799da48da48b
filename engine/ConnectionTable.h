#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/TcpTableSource.h"

namespace quarnel {

// TCP state numbers that carry behaviour.
inline constexpr std::int32_t TcpStateListening = 2;
inline constexpr std::int32_t TcpStateEstablished = 5;

using TcpStateNameTable = std::array<std::string_view, 14>;

// The names of the TCP states 0 to 13; 13 has an empty name.
constexpr TcpStateNameTable InitTcpStateNames() {
    return {"UNKNOWN",    "CLOSED",    "LISTENING",  "SYN_SENT", "SYN_RCVD", "ESTABLISHED",
            "FIN_WAIT1",  "FIN_WAIT2", "CLOSE_WAIT", "CLOSING",  "LAST_ACK", "TIME_WAIT",
            "DELETE_TCB", ""};
}

// Filled once, at compile time: nothing can change it while the program runs.
inline constexpr TcpStateNameTable TcpStateNames = InitTcpStateNames();

// Turns a raw address (network byte order) into its text; nullopt when it cannot.
using AddressFormatter = std::optional<std::string> (*)(std::uint32_t address);

// The system's own formatter (inet_ntop).
std::optional<std::string> FormatAddress(std::uint32_t address);

// Dotted decimal of a raw address, at most 32 characters; "Unable to get IP" when the
// formatter gives nothing.
std::string GetIPString(std::uint32_t address, AddressFormatter format = FormatAddress);

// "0.0.0.0" for a row without a remote end, else the remote address's text.
std::string RemoteAddressText(const platform::TcpRow& row, AddressFormatter format = FormatAddress);

// One connection as the user sees it, e.g. "50123 <--> 198.51.100.7:443 ESTABLISHED".
std::string DisplayLine(const platform::TcpRow& row, std::string_view remoteAddressText,
                        AddressFormatter format = FormatAddress);

// The rows of the latest successful read of the system's TCP table, in the system's order.
class TcpTable {
public:
    // Refills the rows unless the source knows they are current, or changes only the rows that
    // Changes names; a failed read keeps the previous rows. Storage is reused.
    platform::ReadResult Read(platform::TcpTableSource& source) {
        return source.ReadTableChanges(Rows, Changes);
    }

    std::vector<platform::TcpRow> Rows;
    platform::TableChanges Changes;  // what the latest read changed
};

}  // namespace quarnel
