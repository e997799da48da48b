#include "platform/linux/conntrack/TranslatedDestinations.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter/nf_conntrack_common.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_conntrack.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace quarnel::platform {

namespace {

// One end of a tuple as conntrack reports it.
struct End {
    IpAddress Address{};
    std::uint16_t Port = 0;
};

struct Tuple {
    End Source, Destination;
    std::uint8_t Protocol = 0;
};

// The attributes of one nest, by type, those past max left out.
template <std::size_t N>
std::array<const nlattr*, N> Nested(const nlattr* nest) {
    std::array<const nlattr*, N> found{};
    (void)mnl_attr_parse_nested(
        nest,
        [](const nlattr* attribute, void* data) {
            auto& into = *static_cast<std::array<const nlattr*, N>*>(data);
            const auto type = static_cast<std::size_t>(mnl_attr_get_type(attribute));
            if (type < N) {
                into[type] = attribute;
            }
            return MNL_CB_OK;
        },
        &found);
    return found;
}

// The address an attribute holds, IPv4 ones IPv4-mapped; false when it is no address.
bool AddressOf(const nlattr* attribute, bool ipv6, IpAddress& address) {
    if (attribute == nullptr) {
        return false;
    }
    const std::size_t size = ipv6 ? 16 : 4;
    if (mnl_attr_get_payload_len(attribute) < size) {
        return false;
    }
    if (ipv6) {
        std::memcpy(address.data(), mnl_attr_get_payload(attribute), size);
    } else {
        std::uint32_t v4 = 0;
        std::memcpy(&v4, mnl_attr_get_payload(attribute), size);
        address = MappedIPv4(v4);
    }
    return true;
}

bool PortOf(const nlattr* attribute, std::uint16_t& port) {
    if (attribute == nullptr || mnl_attr_validate(attribute, MNL_TYPE_U16) != 0) {
        return false;
    }
    port = ntohs(mnl_attr_get_u16(attribute));
    return true;
}

bool TupleOf(const nlattr* nest, Tuple& tuple) {
    if (nest == nullptr) {
        return false;
    }
    const auto parts = Nested<CTA_TUPLE_MAX + 1>(nest);
    if (parts[CTA_TUPLE_IP] == nullptr || parts[CTA_TUPLE_PROTO] == nullptr) {
        return false;
    }
    const auto ip = Nested<CTA_IP_MAX + 1>(parts[CTA_TUPLE_IP]);
    const bool ipv6 = ip[CTA_IP_V6_SRC] != nullptr;
    const auto proto = Nested<CTA_PROTO_MAX + 1>(parts[CTA_TUPLE_PROTO]);
    if (proto[CTA_PROTO_NUM] == nullptr ||
        mnl_attr_validate(proto[CTA_PROTO_NUM], MNL_TYPE_U8) != 0) {
        return false;
    }
    tuple.Protocol = mnl_attr_get_u8(proto[CTA_PROTO_NUM]);
    return AddressOf(ip[ipv6 ? CTA_IP_V6_SRC : CTA_IP_V4_SRC], ipv6, tuple.Source.Address) &&
           AddressOf(ip[ipv6 ? CTA_IP_V6_DST : CTA_IP_V4_DST], ipv6, tuple.Destination.Address) &&
           PortOf(proto[CTA_PROTO_SRC_PORT], tuple.Source.Port) &&
           PortOf(proto[CTA_PROTO_DST_PORT], tuple.Destination.Port);
}

// One conntrack entry: kept when it is TCP whose destination was translated.
int Collect(const nlmsghdr* message, void* data) {
    std::array<const nlattr*, CTA_MAX + 1> found{};
    if (mnl_attr_parse(
            message, sizeof(nfgenmsg),
            [](const nlattr* attribute, void* into) {
                const auto type = static_cast<std::size_t>(mnl_attr_get_type(attribute));
                if (type <= CTA_MAX) {
                    (*static_cast<std::array<const nlattr*, CTA_MAX + 1>*>(into))[type] = attribute;
                }
                return MNL_CB_OK;
            },
            &found) != MNL_CB_OK) {
        return MNL_CB_OK;  // an entry it cannot parse is one it cannot map: the rest still count
    }
    if (found[CTA_STATUS] == nullptr || mnl_attr_validate(found[CTA_STATUS], MNL_TYPE_U32) != 0 ||
        (ntohl(mnl_attr_get_u32(found[CTA_STATUS])) & IPS_DST_NAT) == 0) {
        return MNL_CB_OK;
    }
    Tuple original, reply;
    if (!TupleOf(found[CTA_TUPLE_ORIG], original) || !TupleOf(found[CTA_TUPLE_REPLY], reply) ||
        original.Protocol != IPPROTO_TCP) {
        return MNL_CB_OK;
    }
    // The reply comes from the socket that took the connection, to its client as it sees it.
    static_cast<std::vector<TranslatedConnection>*>(data)->push_back(
        {reply.Source.Address, reply.Destination.Address, reply.Source.Port, reply.Destination.Port,
         original.Destination.Port});
    return MNL_CB_OK;
}

// Whether this namespace may track connections: the count is there only while the module is
// loaded, and 0 while nothing is tracked. Where /proc shows no sysctls (a service with
// ProcSubset=pid), the module's presence alone tells.
bool AnythingTracked() {
    std::ifstream count("/proc/sys/net/netfilter/nf_conntrack_count");
    if (std::uint64_t entries = 0; count >> entries) {
        return entries > 0;
    }
    std::error_code ignored;  // a folder that cannot be looked at counts as absent
    return !std::filesystem::exists("/proc/sys/net", ignored) &&
           std::filesystem::exists("/sys/module/nf_conntrack", ignored);
}

}  // namespace

void TranslatedDestinations::Closer::operator()(mnl_socket* socket) const {
    // Nothing is pending on a socket that only asks: a failed close loses nothing.
    (void)mnl_socket_close(socket);
}

TranslatedDestinations::TranslatedDestinations() = default;
TranslatedDestinations::~TranslatedDestinations() = default;

bool TranslatedDestinations::Open() {
    if (socket_) {
        return true;
    }
    socket_.reset(mnl_socket_open2(NETLINK_NETFILTER, SOCK_CLOEXEC));
    if (!socket_ || mnl_socket_bind(socket_.get(), 0, MNL_SOCKET_AUTOPID) < 0) {
        error_ = errno;
        socket_.reset();
        return false;
    }
    return true;
}

nlmsghdr* TranslatedDestinations::Request(std::uint16_t flags, std::uint8_t family) {
    // What one netlink read may hand over at most (a page, rounded up to 8 KiB).
    buffer_.assign(MNL_SOCKET_BUFFER_SIZE, 0);
    nlmsghdr* request = mnl_nlmsg_put_header(buffer_.data());
    request->nlmsg_type = (NFNL_SUBSYS_CTNETLINK << 8) | IPCTNL_MSG_CT_GET;
    request->nlmsg_flags = NLM_F_REQUEST | flags;
    request->nlmsg_seq = ++sequence_;
    auto* header = static_cast<nfgenmsg*>(mnl_nlmsg_put_extra_header(request, sizeof(nfgenmsg)));
    header->nfgen_family = family;
    header->version = NFNETLINK_V0;
    header->res_id = 0;
    return request;
}

bool TranslatedDestinations::Ask(const nlmsghdr* request, std::vector<TranslatedConnection>& found,
                                 bool single) {
    if (mnl_socket_sendto(socket_.get(), request, request->nlmsg_len) < 0) {
        error_ = errno;
        socket_.reset();
        return false;
    }
    const unsigned int portid = mnl_socket_get_portid(socket_.get());
    const std::uint32_t sequence = request->nlmsg_seq;
    int result = MNL_CB_OK;
    while (result > MNL_CB_STOP) {
        const ssize_t got = mnl_socket_recvfrom(socket_.get(), buffer_.data(), buffer_.size());
        if (got <= 0) {
            error_ = got < 0 ? errno : EPIPE;
            result = MNL_CB_ERROR;
            break;
        }
        result = mnl_cb_run(buffer_.data(), static_cast<std::size_t>(got), sequence, portid,
                            Collect, &found);
        if (result == MNL_CB_ERROR) {
            error_ = errno;  // the kernel's answer (EPERM without CAP_NET_ADMIN, say)
        } else if (single) {
            break;  // the one entry asked for came; nothing follows it
        }
    }
    if (result == MNL_CB_ERROR) {
        // A connection that was never tracked is no failure.
        if (single && error_ == ENOENT) {
            return true;
        }
        // A dump cut short leaves the socket holding the rest: the next read starts afresh.
        socket_.reset();
        found.clear();
        return false;
    }
    return true;
}

bool TranslatedDestinations::Read(std::vector<TranslatedConnection>& found) {
    found.clear();
    if (!AnythingTracked()) {
        return true;
    }
    if (!Open()) {
        return false;
    }
    nlmsghdr* request = Request(NLM_F_DUMP, AF_UNSPEC);  // IPv4 and IPv6 alike
    // Kernels that filter a dump by status hand over only the translated entries; the others
    // ignore it, and Collect keeps only those.
    mnl_attr_put_u32(request, CTA_STATUS, htonl(IPS_DST_NAT));
    mnl_attr_put_u32(request, CTA_STATUS_MASK, htonl(IPS_DST_NAT));
    if (!Ask(request, found, false)) {
        return false;
    }
    std::ranges::sort(found);
    return true;
}

bool TranslatedDestinations::Tracking() {
    return AnythingTracked();
}

bool TranslatedDestinations::Find(TranslatedConnection& connection) {
    connection.OriginalPort = 0;
    if (!Open()) {
        return false;
    }
    const bool ipv4 =
        IsIPv4Mapped(connection.LocalAddress) && IsIPv4Mapped(connection.RemoteAddress);
    nlmsghdr* request = Request(0, ipv4 ? AF_INET : AF_INET6);
    // The entry is found by its reply: from the socket's end, to its client as it sees it.
    nlattr* reply = mnl_attr_nest_start(request, CTA_TUPLE_REPLY);
    nlattr* ip = mnl_attr_nest_start(request, CTA_TUPLE_IP);
    if (ipv4) {
        mnl_attr_put_u32(request, CTA_IP_V4_SRC, IPv4Of(connection.LocalAddress));
        mnl_attr_put_u32(request, CTA_IP_V4_DST, IPv4Of(connection.RemoteAddress));
    } else {
        mnl_attr_put(request, CTA_IP_V6_SRC, 16, connection.LocalAddress.data());
        mnl_attr_put(request, CTA_IP_V6_DST, 16, connection.RemoteAddress.data());
    }
    mnl_attr_nest_end(request, ip);
    nlattr* proto = mnl_attr_nest_start(request, CTA_TUPLE_PROTO);
    mnl_attr_put_u8(request, CTA_PROTO_NUM, IPPROTO_TCP);
    mnl_attr_put_u16(request, CTA_PROTO_SRC_PORT, htons(connection.LocalPort));
    mnl_attr_put_u16(request, CTA_PROTO_DST_PORT, htons(connection.RemotePort));
    mnl_attr_nest_end(request, proto);
    mnl_attr_nest_end(request, reply);
    one_.clear();
    if (!Ask(request, one_, true)) {
        return false;
    }
    if (!one_.empty()) {
        connection.OriginalPort = one_.front().OriginalPort;
    }
    return true;
}

}  // namespace quarnel::platform
