#include "platform/linux/netfilter/PacketLog.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_log.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

namespace quarnel::platform {

namespace {

constexpr std::uint16_t kConfig = (NFNL_SUBSYS_ULOG << 8) | NFULNL_MSG_CONFIG;
constexpr std::uint16_t kPacket = (NFNL_SUBSYS_ULOG << 8) | NFULNL_MSG_PACKET;
// Groups tried before giving up: another process of ours may hold one.
constexpr int kGroupsTried = 64;

// Binds group for socket and has every segment sent at once, headers only: 0, or the kernel's
// error number (EBUSY: another socket has the group).
int Bind(int socket, std::uint16_t group) {
    alignas(nlmsghdr) std::array<char, 256> request{};
    nlmsghdr* header = mnl_nlmsg_put_header(request.data());
    header->nlmsg_type = kConfig;
    header->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
    header->nlmsg_seq = 1;
    auto* message = static_cast<nfgenmsg*>(mnl_nlmsg_put_extra_header(header, sizeof(nfgenmsg)));
    message->nfgen_family = AF_UNSPEC;
    message->version = NFNETLINK_V0;
    message->res_id = htons(group);
    const nfulnl_msg_config_cmd command{NFULNL_CFG_CMD_BIND};
    mnl_attr_put(header, NFULA_CFG_CMD, sizeof command, &command);
    // The first bytes of each packet, as the rule cuts them.
    nfulnl_msg_config_mode mode{};
    mode.copy_range = htonl(0xffff);
    mode.copy_mode = NFULNL_COPY_PACKET;
    mnl_attr_put(header, NFULA_CFG_MODE, sizeof mode, &mode);
    mnl_attr_put_u32(header, NFULA_CFG_QTHRESH, htonl(1));  // one at a time, never batched
    if (::send(socket, header, header->nlmsg_len, 0) < 0) {
        return errno;
    }
    alignas(nlmsghdr) std::array<char, 1024> answer{};
    for (;;) {
        const ssize_t got = ::recv(socket, answer.data(), answer.size(), 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        int left = static_cast<int>(got);
        for (auto* reply = reinterpret_cast<const nlmsghdr*>(answer.data());
             mnl_nlmsg_ok(reply, left); reply = mnl_nlmsg_next(reply, &left)) {
            if (reply->nlmsg_type == NLMSG_ERROR &&
                mnl_nlmsg_get_payload_len(reply) >= sizeof(nlmsgerr)) {
                return -static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(reply))->error;
            }
        }
    }
}

// The attributes of one packet message that matter here.
struct Attributes {
    const nlattr* Payload = nullptr;
    const nlattr* Prefix = nullptr;
    const nlattr* In = nullptr;
};

int Collect(const nlattr* attribute, void* data) {
    auto& found = *static_cast<Attributes*>(data);
    switch (mnl_attr_get_type(attribute)) {
        case NFULA_PAYLOAD:
            found.Payload = attribute;
            break;
        case NFULA_PREFIX:
            found.Prefix =
                mnl_attr_validate(attribute, MNL_TYPE_NUL_STRING) == 0 ? attribute : nullptr;
            break;
        case NFULA_IFINDEX_INDEV:
            found.In = mnl_attr_validate(attribute, MNL_TYPE_U32) == 0 ? attribute : nullptr;
            break;
        default:
            break;
    }
    return MNL_CB_OK;
}

// Reads the addresses and ports of the IP packet bytes begin; false when it is not a TCP
// segment whose headers it walks (an IPv6 extension header, a cut).
bool ReadHeaders(const std::uint8_t* bytes, std::size_t size, LoggedSegment& segment) {
    if (size < 1) {
        return false;
    }
    std::size_t transport = 0;
    if (bytes[0] >> 4 == 4) {
        transport = static_cast<std::size_t>(bytes[0] & 0x0f) * 4;
        if (size < 20 || transport < 20 || bytes[9] != IPPROTO_TCP) {
            return false;
        }
        std::uint32_t source = 0, destination = 0;
        std::memcpy(&source, bytes + 12, 4);
        std::memcpy(&destination, bytes + 16, 4);
        segment.Source = MappedIPv4(source);
        segment.Destination = MappedIPv4(destination);
        segment.IPv6 = false;
    } else if (bytes[0] >> 4 == 6) {
        transport = 40;
        if (size < 40 || bytes[6] != IPPROTO_TCP) {
            return false;
        }
        std::memcpy(segment.Source.data(), bytes + 8, 16);
        std::memcpy(segment.Destination.data(), bytes + 24, 16);
        segment.IPv6 = true;
    } else {
        return false;
    }
    if (size < transport + 4) {
        return false;
    }
    segment.SourcePort = static_cast<std::uint16_t>(bytes[transport] << 8 | bytes[transport + 1]);
    segment.DestinationPort =
        static_cast<std::uint16_t>(bytes[transport + 2] << 8 | bytes[transport + 3]);
    return true;
}

}  // namespace

std::unique_ptr<PacketLog> PacketLog::Open(int& error, LogRule rule) {
    error = 0;
    UniqueFd socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER));
    if (!socket) {
        error = errno;
        return nullptr;
    }
    sockaddr_nl self{};
    self.nl_family = AF_NETLINK;
    if (::bind(socket.Get(), reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0) {
        error = errno;
        return nullptr;
    }
    // A storm's segments wait here until read; past it the socket tells it overflowed. The kernel
    // gives each message a page or so: room for some 7,000. CAP_NET_ADMIN, which binding needs
    // anyway, may raise it past the system's maximum; memory is taken only while they wait.
    int bytes = 16 * 1024 * 1024;
    (void)::setsockopt(socket.Get(), SOL_SOCKET, SO_RCVBUFFORCE, &bytes,
                       sizeof bytes);  // the default then: a storm overflows it sooner, and is told
    // Another process's groups are as likely taken as any: start from one of our own.
    const auto first = static_cast<std::uint16_t>(0x8000 | (::getpid() & 0x7fff));
    for (int tried = 0; tried < kGroupsTried; ++tried) {
        const auto group = static_cast<std::uint16_t>(first + tried);
        error = Bind(socket.Get(), group);
        if (error == 0) {
            rule.Group = group;
            return std::make_unique<PacketLog>(std::move(socket), rule);
        }
        if (error != EBUSY) {
            return nullptr;
        }
    }
    return nullptr;
}

bool PacketLog::Drain(const std::function<void(const LoggedSegment&)>& sink) {
    bool whole = true;
    buffer_.resize(MNL_SOCKET_BUFFER_SIZE);
    for (;;) {
        const ssize_t got = ::recv(socket_.Get(), buffer_.data(), buffer_.size(), MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == ENOBUFS) {
                whole = false;  // the kernel dropped some; the socket reads on
                continue;
            }
            return whole && errno == EAGAIN;
        }
        int left = static_cast<int>(got);
        for (auto* message = reinterpret_cast<const nlmsghdr*>(buffer_.data());
             mnl_nlmsg_ok(message, left); message = mnl_nlmsg_next(message, &left)) {
            if (message->nlmsg_type != kPacket) {
                continue;
            }
            Attributes found;
            LoggedSegment segment;
            if (mnl_attr_parse(message, sizeof(nfgenmsg), Collect, &found) != MNL_CB_OK) {
                whole = false;
                continue;
            }
            if (found.Prefix != nullptr &&
                std::string_view(static_cast<const char*>(mnl_attr_get_payload(found.Prefix))) ==
                    kLostPrefix) {
                whole = false;
                continue;
            }
            if (found.Payload == nullptr ||
                !ReadHeaders(static_cast<const std::uint8_t*>(mnl_attr_get_payload(found.Payload)),
                             mnl_attr_get_payload_len(found.Payload), segment)) {
                whole = false;
                continue;
            }
            segment.Arriving = found.In != nullptr;
            sink(segment);
        }
    }
}

}  // namespace quarnel::platform
