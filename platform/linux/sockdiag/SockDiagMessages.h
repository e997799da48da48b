#pragma once

#include <libmnl/libmnl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "platform/TcpTableSource.h"

namespace quarnel::platform {

// Linux numbers TCP states its own way (include/net/tcp_states.h).
namespace linux_tcp {
constexpr std::uint8_t kEstablished = 1;
constexpr std::uint8_t kSynSent = 2;
constexpr std::uint8_t kSynRecv = 3;
constexpr std::uint8_t kFinWait1 = 4;
constexpr std::uint8_t kFinWait2 = 5;
constexpr std::uint8_t kTimeWait = 6;
constexpr std::uint8_t kClose = 7;
constexpr std::uint8_t kCloseWait = 8;
constexpr std::uint8_t kLastAck = 9;
constexpr std::uint8_t kListen = 10;
constexpr std::uint8_t kClosing = 11;
constexpr std::uint8_t kNewSynRecv = 12;  // a half-open connection a listener holds
}  // namespace linux_tcp

// The table's state for a Linux TCP state; Unknown for one it has no number for.
TcpState TableState(std::uint8_t linuxState);

enum class DecodeResult {
    Row,      // the message describes a row of the table
    NotARow,  // a socket of another family, or another message: no row
    Malformed,
};

// Reads one answer of either kind of TCP socket dump below into row. Every IPv4 and IPv6 socket
// is a row; an IPv6 socket keeps its addresses as the kernel reports them, IPv4-mapped ones
// included.
DecodeResult DecodeTcpRow(const nlmsghdr& message, TcpRow& row);

// The inode of the socket of a message DecodeTcpRow read as a row.
std::uint64_t SocketInodeOf(const nlmsghdr& message);

// Room for one request of any kind below.
inline constexpr std::size_t kDiagRequestSize =
    MNL_NLMSG_HDRLEN + MNL_ALIGN(std::max(sizeof(inet_diag_req), sizeof(inet_diag_req_v2)));

// Every state of the table's rows, as a set of Linux states (bit n for state n).
std::uint32_t TableLinuxStates();

// Writes into buffer (kDiagRequestSize bytes, aligned for nlmsghdr) a request to dump every TCP
// socket, IPv4 and IPv6 alike, in the given states (bit n for Linux state n). This older form of
// the request leaves the family open, so the kernel answers it with a single walk of its socket
// tables.
nlmsghdr* PutTableDumpRequest(void* buffer, std::uint32_t sequence,
                              std::uint32_t linuxStates = TableLinuxStates());

// Writes into buffer (as above) a request to dump the TCP sockets of one family (AF_INET or
// AF_INET6) in the given states: one walk of the kernel's socket tables per family.
nlmsghdr* PutFamilyDumpRequest(void* buffer, std::uint8_t family, std::uint32_t sequence,
                               std::uint32_t linuxStates = TableLinuxStates());

// Writes into buffer (as above) a request to destroy exactly the socket row names: its family,
// both addresses and ports, bound interface and cookie. The kernel acknowledges it either way.
nlmsghdr* PutDestroyRequest(void* buffer, const TcpRow& row, std::uint32_t sequence);

// Writes into buffer (as above) a request for the one socket row names, as exactly as a destroy
// names it. The kernel answers with the socket (an inet_diag_msg) or with an error.
nlmsghdr* PutLookupRequest(void* buffer, const TcpRow& row, std::uint32_t sequence);

}  // namespace quarnel::platform
