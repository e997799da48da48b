#include "platform/linux/SockDiagMessages.h"

#include <arpa/inet.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>

#include <array>
#include <cstring>
#include <optional>

namespace quarnel::platform {

namespace {

// Every state a connection or a listener can be in. Newer kernels can also list sockets that
// are merely bound (state 13); those are neither, so the table does not ask for them.
constexpr std::uint32_t kTableLinuxStates = ((1u << (linux_tcp::kNewSynRecv + 1)) - 1) & ~1u;

// The IPv4 address an IPv6 address of a socket carries: a.b.c.d for ::ffff:a.b.c.d, and 0 for
// :: (all addresses, or none yet); none for any other.
std::optional<std::uint32_t> CarriedIPv4(const std::uint32_t (&address)[4]) {
    if (address[0] != 0 || address[1] != 0) {
        return std::nullopt;
    }
    if (address[2] == htonl(0xffff)) {
        return address[3];
    }
    if (address[2] == 0 && address[3] == 0) {
        return 0u;
    }
    return std::nullopt;
}

// The kernel attaches INET_DIAG_SKV6ONLY, unasked, to every listening or closed IPv6 socket in
// either kind of dump.
enum class V6Only { Absent, Off, On, Malformed };

V6Only ReadV6Only(const nlmsghdr& message) {
    V6Only found = V6Only::Absent;
    const auto visit = [](const nlattr* attribute, void* data) -> int {
        if (mnl_attr_get_type(attribute) != INET_DIAG_SKV6ONLY) {
            return MNL_CB_OK;
        }
        if (mnl_attr_validate(attribute, MNL_TYPE_U8) < 0) {
            return MNL_CB_ERROR;
        }
        *static_cast<V6Only*>(data) = mnl_attr_get_u8(attribute) ? V6Only::On : V6Only::Off;
        return MNL_CB_OK;
    };
    if (mnl_attr_parse(&message, sizeof(inet_diag_msg), visit, &found) < 0) {
        return V6Only::Malformed;
    }
    return found;
}

void PutV6Address(std::uint32_t address, std::uint32_t (&out)[4]) {
    // Address 0 stands for [::] on an IPv6 socket: a dual-stack listener on all addresses.
    out[0] = 0;
    out[1] = 0;
    out[2] = address == 0 ? 0 : htonl(0xffff);
    out[3] = address;
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
    if (row.Family == SocketFamily::MappedIPv6) {
        request.sdiag_family = AF_INET6;
        PutV6Address(row.LocalAddress, id.idiag_src);
        PutV6Address(row.RemoteAddress, id.idiag_dst);
    } else {
        request.sdiag_family = AF_INET;
        id.idiag_src[0] = row.LocalAddress;
        id.idiag_dst[0] = row.RemoteAddress;
    }
    id.idiag_sport = htons(static_cast<std::uint16_t>(row.LocalPort));
    id.idiag_dport = htons(static_cast<std::uint16_t>(row.RemotePort));
    id.idiag_if = row.Interface;
    id.idiag_cookie[0] = static_cast<std::uint32_t>(row.Cookie);
    id.idiag_cookie[1] = static_cast<std::uint32_t>(row.Cookie >> 32);
    return static_cast<nlmsghdr*>(buffer);
}

}  // namespace

std::int32_t TableState(std::uint8_t linuxState) {
    // The table's number of each Linux state, by the Linux number.
    static constexpr auto kStates = [] {
        std::array<std::int32_t, linux_tcp::kNewSynRecv + 1> states{};
        states[linux_tcp::kClose] = 1;
        states[linux_tcp::kListen] = 2;
        states[linux_tcp::kSynSent] = 3;
        states[linux_tcp::kSynRecv] = 4;
        states[linux_tcp::kNewSynRecv] = 4;
        states[linux_tcp::kEstablished] = 5;
        states[linux_tcp::kFinWait1] = 6;
        states[linux_tcp::kFinWait2] = 7;
        states[linux_tcp::kCloseWait] = 8;
        states[linux_tcp::kClosing] = 9;
        states[linux_tcp::kLastAck] = 10;
        states[linux_tcp::kTimeWait] = 11;
        return states;
    }();
    return linuxState < kStates.size() ? kStates[linuxState] : 0;
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

    if (socket.idiag_family == AF_INET) {
        row.Family = SocketFamily::IPv4;
        row.LocalAddress = id.idiag_src[0];
        row.RemoteAddress = id.idiag_dst[0];
    } else if (socket.idiag_family == AF_INET6) {
        const std::optional<std::uint32_t> local = CarriedIPv4(id.idiag_src);
        const std::optional<std::uint32_t> remote = CarriedIPv4(id.idiag_dst);
        if (!local || !remote) {
            return DecodeResult::NotARow;
        }
        if (id.idiag_src[2] == 0) {
            // A socket on [::] (not ::ffff:0.0.0.0) takes IPv4 only when IPV6_V6ONLY is off; the
            // kernel says so for listeners, and nothing else sits on [::].
            switch (ReadV6Only(message)) {
                case V6Only::Off:
                    break;
                case V6Only::Malformed:
                    return DecodeResult::Malformed;
                case V6Only::Absent:
                case V6Only::On:
                    return DecodeResult::NotARow;
            }
        }
        row.Family = SocketFamily::MappedIPv6;
        row.LocalAddress = *local;
        row.RemoteAddress = *remote;
    } else {
        return DecodeResult::NotARow;
    }

    row.State = TableState(socket.idiag_state);
    row.LocalPort = ntohs(id.idiag_sport);
    row.RemotePort = ntohs(id.idiag_dport);
    row.Interface = id.idiag_if;
    row.Cookie = static_cast<std::uint64_t>(id.idiag_cookie[1]) << 32 | id.idiag_cookie[0];
    return DecodeResult::Row;
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
