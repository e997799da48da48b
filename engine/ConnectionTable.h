#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/TcpTableSource.h"

namespace quarnel {

using TcpStateNameTable = std::array<std::string_view, 14>;

// The names of the TCP states by their number, 0 to 13; 13 has an empty name.
constexpr TcpStateNameTable InitTcpStateNames() {
    return {"UNKNOWN",    "CLOSED",    "LISTENING",  "SYN_SENT", "SYN_RCVD", "ESTABLISHED",
            "FIN_WAIT1",  "FIN_WAIT2", "CLOSE_WAIT", "CLOSING",  "LAST_ACK", "TIME_WAIT",
            "DELETE_TCB", ""};
}

// Filled once, at compile time: nothing can change it while the program runs.
inline constexpr TcpStateNameTable TcpStateNames = InitTcpStateNames();

// "0.0.0.0" for a row without a remote end, else the remote address's text: dotted decimal for
// IPv4 (an IPv4-mapped address included), the RFC 5952 form for IPv6.
std::string RemoteAddressText(const platform::TcpRow& row);

// Whether a remote address text names this machine's loopback address, 127.0.0.1 or ::1.
bool IsLoopbackText(std::string_view remoteAddressText);

// One connection as the user sees it, e.g. "50123 <--> 198.51.100.7:443 ESTABLISHED" or
// "50123 <--> [2001:db8::7]:443 ESTABLISHED"; an IPv6 address stands in brackets where a port
// follows it.
std::string DisplayLine(const platform::TcpRow& row, std::string_view remoteAddressText);

// The rows of the latest successful read of the system's TCP table, in the system's order.
class TcpTable {
public:
    // Refills the rows unless the source knows they are current, or changes only the rows that
    // Changes names; a failed read keeps the previous rows. Storage is reused.
    platform::ReadResult Read(platform::TcpTableSource& source) {
        return source.Read(Rows, &Changes);
    }

    std::vector<platform::TcpRow> Rows;
    platform::TableChanges Changes;  // what the latest read changed
};

}  // namespace quarnel
