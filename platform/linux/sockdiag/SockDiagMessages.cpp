#include "platform/linux/sockdiag/SockDiagMessages.h"

#include <arpa/inet.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>

#include <array>
#include <cstring>

namespace quarnel::platform {

namespace {

// Every state a connection or a listener can be in. Newer kernels can also list sockets that
// are merely bound (state 13); those are neither, so the table does not ask for them.
constexpr std::uint32_t kTableLinuxStates = ((1u << (linux_tcp::kNewSynRecv + 1)) - 1) & ~1u;

// The row's form of an address the kernel reports in idiag_src or idiag_dst.
IpAddress RowAddress(std::uint8_t family, const std::uint32_t (&address)[4]) {
    if (family == AF_INET) {
        return MappedIPv4(address[0]);
    }
    IpAddress row;
    std::memcpy(row.data(), address, row.size());
    return row;
}

// The kernel's form of a row's address, for a request of family.
void PutAddress(const IpAddress& address, std::uint8_t family, std::uint32_t (&out)[4]) {
    if (family == AF_INET) {
        out[0] = IPv4Of(address);
    } else {
        std::memcpy(out, address.data(), address.size());
    }
}

// Puts a netlink header and a zeroed body of type Body into buffer.
template <typename Body>
Body& PutMessage(void* buffer, std::uint16_t type, std::uint16_t flags, std::uint32_t sequence) {
    nlmsghdr* header = mnl_nlmsg_put_header(buffer);
    header->nlmsg_type = type;
    header->nlmsg_flags = flags;
    header->nlmsg_seq = sequence;
    return *static_cast<Body*>(mnl_nlmsg_put_extra_header(header, sizeof(Body)));
}

inet_diag_req_v2& PutRequest(void* buffer, std::uint16_t type, std::uint16_t flags,
                             std::uint32_t sequence) {
    auto& request = PutMessage<inet_diag_req_v2>(buffer, type, flags, sequence);
    request.sdiag_protocol = IPPROTO_TCP;
    return request;
}

// A request of type for exactly the socket row names: its family, both addresses and ports,
// bound interface and cookie.
nlmsghdr* PutSocketRequest(void* buffer, std::uint16_t type, std::uint16_t flags, const TcpRow& row,
                           std::uint32_t sequence) {
    inet_diag_req_v2& request = PutRequest(buffer, type, flags, sequence);
    inet_diag_sockid& id = request.id;
    request.sdiag_family = row.Family == SocketFamily::IPv6 ? AF_INET6 : AF_INET;
    PutAddress(row.LocalAddress, request.sdiag_family, id.idiag_src);
    PutAddress(row.RemoteAddress, request.sdiag_family, id.idiag_dst);
    id.idiag_sport = htons(static_cast<std::uint16_t>(row.LocalPort));
    id.idiag_dport = htons(static_cast<std::uint16_t>(row.RemotePort));
    id.idiag_if = row.Interface;
    id.idiag_cookie[0] = static_cast<std::uint32_t>(row.Cookie);
    id.idiag_cookie[1] = static_cast<std::uint32_t>(row.Cookie >> 32);
    return static_cast<nlmsghdr*>(buffer);
}

}  // namespace

TcpState TableState(std::uint8_t linuxState) {
    // The table's state of each Linux state, by the Linux number.
    static constexpr auto kStates = [] {
        std::array<TcpState, linux_tcp::kNewSynRecv + 1> states{};
        states[linux_tcp::kClose] = TcpState::Closed;
        states[linux_tcp::kListen] = TcpState::Listening;
        states[linux_tcp::kSynSent] = TcpState::SynSent;
        states[linux_tcp::kSynRecv] = TcpState::SynReceived;
        states[linux_tcp::kNewSynRecv] = TcpState::SynReceived;
        states[linux_tcp::kEstablished] = TcpState::Established;
        states[linux_tcp::kFinWait1] = TcpState::FinWait1;
        states[linux_tcp::kFinWait2] = TcpState::FinWait2;
        states[linux_tcp::kCloseWait] = TcpState::CloseWait;
        states[linux_tcp::kClosing] = TcpState::Closing;
        states[linux_tcp::kLastAck] = TcpState::LastAck;
        states[linux_tcp::kTimeWait] = TcpState::TimeWait;
        return states;
    }();
    return linuxState < kStates.size() ? kStates[linuxState] : TcpState::Unknown;
}

DecodeResult DecodeTcpRow(const nlmsghdr& message, TcpRow& row) {
    // The kernel answers a dump in the type of the request.
    if (message.nlmsg_type != TCPDIAG_GETSOCK && message.nlmsg_type != SOCK_DIAG_BY_FAMILY) {
        return DecodeResult::NotARow;
    }
    if (mnl_nlmsg_get_payload_len(&message) < sizeof(inet_diag_msg)) {
        return DecodeResult::Malformed;
    }
    inet_diag_msg socket;
    std::memcpy(&socket, mnl_nlmsg_get_payload(&message), sizeof socket);
    const inet_diag_sockid& id = socket.id;

    if (socket.idiag_family != AF_INET && socket.idiag_family != AF_INET6) {
        return DecodeResult::NotARow;
    }
    row.Family = socket.idiag_family == AF_INET6 ? SocketFamily::IPv6 : SocketFamily::IPv4;
    row.LocalAddress = RowAddress(socket.idiag_family, id.idiag_src);
    row.RemoteAddress = RowAddress(socket.idiag_family, id.idiag_dst);
    row.State = TableState(socket.idiag_state);
    row.LocalPort = ntohs(id.idiag_sport);
    row.RemotePort = ntohs(id.idiag_dport);
    row.Interface = id.idiag_if;
    row.Cookie = static_cast<std::uint64_t>(id.idiag_cookie[1]) << 32 | id.idiag_cookie[0];
    return DecodeResult::Row;
}

std::uint64_t SocketInodeOf(const nlmsghdr& message) {
    inet_diag_msg socket;
    std::memcpy(&socket, mnl_nlmsg_get_payload(&message), sizeof socket);
    return socket.idiag_inode;
}

std::uint32_t TableLinuxStates() {
    return kTableLinuxStates;
}

nlmsghdr* PutTableDumpRequest(void* buffer, std::uint32_t sequence, std::uint32_t linuxStates) {
    // The message type names the protocol; the family, addresses and ports stay 0: no filter.
    auto& request =
        PutMessage<inet_diag_req>(buffer, TCPDIAG_GETSOCK, NLM_F_REQUEST | NLM_F_DUMP, sequence);
    request.idiag_states = linuxStates & kTableLinuxStates;
    return static_cast<nlmsghdr*>(buffer);
}

nlmsghdr* PutFamilyDumpRequest(void* buffer, std::uint8_t family, std::uint32_t sequence,
                               std::uint32_t linuxStates) {
    inet_diag_req_v2& request =
        PutRequest(buffer, SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST | NLM_F_DUMP, sequence);
    request.sdiag_family = family;
    request.idiag_states = linuxStates & kTableLinuxStates;
    return static_cast<nlmsghdr*>(buffer);
}

nlmsghdr* PutDestroyRequest(void* buffer, const TcpRow& row, std::uint32_t sequence) {
    return PutSocketRequest(buffer, SOCK_DESTROY, NLM_F_REQUEST | NLM_F_ACK, row, sequence);
}

nlmsghdr* PutLookupRequest(void* buffer, const TcpRow& row, std::uint32_t sequence) {
    // Without NLM_F_DUMP the kernel looks up the one socket the request names.
    return PutSocketRequest(buffer, SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST, row, sequence);
}

}  // namespace quarnel::platform
