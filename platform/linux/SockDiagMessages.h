#pragma once

#include <libmnl/libmnl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>

#include <cstddef>
#include <cstdint>

#include "platform/TcpTableSource.h"

namespace quarnel::platform {

// Linux numbers TCP states its own way (include/net/tcp_states.h).
namespace linux_tcp {
inline constexpr std::uint8_t kEstablished = 1;
inline constexpr std::uint8_t kSynSent = 2;
inline constexpr std::uint8_t kSynRecv = 3;
inline constexpr std::uint8_t kFinWait1 = 4;
inline constexpr std::uint8_t kFinWait2 = 5;
inline constexpr std::uint8_t kTimeWait = 6;
inline constexpr std::uint8_t kClose = 7;
inline constexpr std::uint8_t kCloseWait = 8;
inline constexpr std::uint8_t kLastAck = 9;
inline constexpr std::uint8_t kListen = 10;
inline constexpr std::uint8_t kClosing = 11;
inline constexpr std::uint8_t kNewSynRecv = 12;  // a half-open connection a listener holds
}  // namespace linux_tcp

// The table's state number for a Linux TCP state; 0 (UNKNOWN) for one the table has no number
// for.
std::int32_t TableState(std::uint8_t linuxState);

// Every state a connection or a listener can be in. Newer kernels can also list sockets that
// are merely bound (state 13); those are neither, so the table does not ask for them.
inline constexpr std::uint32_t kTableLinuxStates = ((1u << (linux_tcp::kNewSynRecv + 1)) - 1) & ~1u;

enum class DecodeResult {
    Row,      // the message describes a row of the table
    NotARow,  // a socket of pure IPv6 (or of another family): no row
    Malformed,
};

// Reads one answer of a TCP socket dump into row. An IPv6 socket is a row when both its
// addresses are IPv4-mapped (an IPv4 connection of a dual-stack program), and also when it
// listens on [::] without IPV6_V6ONLY: it then listens on every IPv4 address too, and shows
// as a listener on all addresses (local address 0).
DecodeResult DecodeTcpRow(const nlmsghdr& message, TcpRow& row);

// Room for one request of either kind.
inline constexpr std::size_t kRequestSize = MNL_NLMSG_HDRLEN + MNL_ALIGN(sizeof(inet_diag_req_v2));

// Writes into buffer (kRequestSize bytes, aligned for nlmsghdr) a request to dump every TCP
// socket of family (AF_INET or AF_INET6) in the table's states.
nlmsghdr* PutDumpRequest(void* buffer, std::uint8_t family, std::uint32_t sequence);

// Writes into buffer (as above) a request to destroy exactly the socket row names: its family,
// both addresses and ports, bound interface and cookie. The kernel acknowledges it either way.
nlmsghdr* PutDestroyRequest(void* buffer, const TcpRow& row, std::uint32_t sequence);

}  // namespace quarnel::platform
