#include "platform/linux/netfilter/NetfilterTable.h"

#include <libmnl/libmnl.h>
#include <linux/netfilter/nfnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <vector>

#include "platform/linux/netfilter/NftBatch.h"
#include "platform/linux/netfilter/NftLayout.h"

namespace quarnel::platform {

namespace {

// Each entry once, in order.
template <typename T>
std::vector<T> Distinct(std::vector<T> entries) {
    std::sort(entries.begin(), entries.end());
    entries.erase(std::unique(entries.begin(), entries.end()), entries.end());
    return entries;
}

// The entries of held that rules no longer hold; both distinct and in order.
template <typename T>
std::vector<T> Gone(const std::vector<T>& held, const std::vector<T>& rules) {
    std::vector<T> gone;
    std::set_difference(held.begin(), held.end(), rules.begin(), rules.end(),
                        std::back_inserter(gone));
    return gone;
}

// Every port of the ranges as a range of its own, each once, in order.
std::vector<PortRange> Singles(const std::vector<PortRange>& ranges) {
    std::vector<PortRange> singles;
    for (const PortRange& range : ranges) {
        for (std::uint32_t port = range.Low; port <= range.High; ++port) {
            const auto one = static_cast<std::uint16_t>(port);
            singles.push_back({one, one});
        }
    }
    return Distinct(std::move(singles));
}

template <typename T>
std::vector<T> Joined(std::vector<T> one, const std::vector<T>& other) {
    one.insert(one.end(), other.begin(), other.end());
    return one;
}

bool Empty(const BlockingRules& rules) {
    return rules.AllowedAddresses.empty() && rules.BlockedLocalPorts.empty() &&
           rules.BlockedRemotePorts.empty();
}

}  // namespace

void NetfilterTable::Closer::operator()(mnl_socket* socket) const {
    // Closing the socket is what removes the table; the kernel does it whatever close reports.
    (void)mnl_socket_close(socket);
}

NetfilterTable::NetfilterTable(Socket socket, std::string name)
    : socket_(std::move(socket)), name_(std::move(name)) {}

std::unique_ptr<NetfilterTable> NetfilterTable::Open(FilterCause& why) {
    why = {};
    Socket socket(mnl_socket_open2(NETLINK_NETFILTER, SOCK_CLOEXEC));
    if (!socket) {
        why = FilterCause::Refusal(errno);
        return nullptr;
    }
    if (mnl_socket_bind(socket.get(), 0, MNL_SOCKET_AUTOPID) < 0) {
        why = FilterCause::Refusal(errno);
        return nullptr;
    }
    // Only the error's header comes back, not the whole message refused.
    int on = 1;
    (void)mnl_socket_setsockopt(socket.get(), NETLINK_CAP_ACK, &on,
                                sizeof on);  // old kernels lack it
    // A long allowed list makes one large transaction, and netlink refuses a send larger than
    // the socket's buffer: CAP_NET_ADMIN, which the table needs anyway, may raise it.
    int buffer = 16 * 1024 * 1024;
    (void)::setsockopt(mnl_socket_get_fd(socket.get()), SOL_SOCKET, SO_SNDBUFFORCE, &buffer,
                       sizeof buffer);  // too large a list is then refused, and told
    // One table per process: the window program and the service may both run.
    auto table = std::make_unique<NetfilterTable>(std::move(socket),
                                                  "quarnel_" + std::to_string(::getpid()));
    NftBatch batch(table->sequence_);
    if (!AddTable(batch, table->name_)) {
        why = {FilterCause::Kind::Refused, ENOMEM};
        return nullptr;
    }
    if (const int error = table->Commit(batch); error != 0) {
        why = FilterCause::Refusal(error);
        return nullptr;
    }
    return table;
}

bool NetfilterTable::SetRules(const BlockingRules& rules, FilterCause& why) {
    why = {};
    if (std::ranges::any_of(rules.AllowedAddresses,
                            [](const AddressPrefix& prefix) { return prefix.Length != 128; })) {
        // Holding back nothing is wrong less often than blocking what the list allows.
        why = {FilterCause::Kind::WholeAddressesOnly};
        return HoldNothing();
    }
    // Ports one by one, so that the ports a range keeps are never taken out with the old range.
    const BlockingRules wanted{Distinct(rules.AllowedAddresses), Singles(rules.BlockedLocalPorts),
                               Singles(rules.BlockedRemotePorts)};
    const BlockingRules gone{Gone(held_.AllowedAddresses, wanted.AllowedAddresses),
                             Gone(held_.BlockedLocalPorts, wanted.BlockedLocalPorts),
                             Gone(held_.BlockedRemotePorts, wanted.BlockedRemotePorts)};
    // One transaction that flushed and refilled the sets still let data through while a port
    // moved from one list to the other; entries that stay are never taken out this way.
    int error = 0;
    if (NftBatch both(sequence_); !Empty(wanted)) {
        error = AddRuleElements(both, name_, wanted) ? Commit(both) : ENOMEM;
        if (error == 0) {
            // Held now, whatever comes of the rest.
            held_ = {Distinct(Joined(held_.AllowedAddresses, wanted.AllowedAddresses)),
                     Distinct(Joined(held_.BlockedLocalPorts, wanted.BlockedLocalPorts)),
                     Distinct(Joined(held_.BlockedRemotePorts, wanted.BlockedRemotePorts))};
        }
    }
    if (NftBatch left(sequence_); error == 0 && !Empty(gone)) {
        error = RemoveRuleElements(left, name_, gone) ? Commit(left) : ENOMEM;
    }
    if (error == 0) {
        held_ = wanted;
        return true;
    }
    why = FilterCause::Refusal(error);
    return HoldNothing();
}

bool NetfilterTable::HoldNothing() {
    // A table that keeps rules no longer meant is worse than one that holds nothing back.
    NftBatch none(sequence_);
    if (AddRules(none, name_, {}) && Commit(none) == 0) {
        held_ = {};
    }
    return false;
}

int NetfilterTable::Commit(NftBatch& batch) {
    const std::vector<char>& messages = batch.Finish();
    if (mnl_socket_sendto(socket_.get(), messages.data(), messages.size()) < 0) {
        return errno;
    }
    // The kernel handles the transaction within the send and queues its answers: the last
    // message's acknowledgement, or why a message was refused.
    const unsigned int portid = mnl_socket_get_portid(socket_.get());
    int first = 0;
    bool acknowledged = false;
    std::vector<char> buffer(MNL_SOCKET_BUFFER_SIZE);
    for (;;) {
        const ssize_t got =
            ::recv(mnl_socket_get_fd(socket_.get()), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN) {
                return errno;
            }
            break;  // all read
        }
        int left = static_cast<int>(got);
        for (auto* answer = reinterpret_cast<nlmsghdr*>(buffer.data()); mnl_nlmsg_ok(answer, left);
             answer = mnl_nlmsg_next(answer, &left)) {
            if (answer->nlmsg_type == NLMSG_ERROR && answer->nlmsg_pid == portid) {
                const auto* error = static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(answer));
                acknowledged = acknowledged || error->error == 0;
                if (error->error != 0 && first == 0) {
                    first = -error->error;
                }
            }
        }
    }
    // No answer at all is no success.
    if (first == 0 && !acknowledged) {
        return EPROTO;
    }
    return first;
}

}  // namespace quarnel::platform
