#include "platform/linux/netfilter/NetfilterTable.h"

#include <libmnl/libmnl.h>
#include <linux/netfilter/nfnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/linux/netfilter/NftBatch.h"
#include "platform/linux/netfilter/NftLayout.h"

namespace quarnel::platform {

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
    NftBatch batch(sequence_);
    int error = AddRules(batch, name_, rules) ? Commit(batch) : ENOMEM;
    if (error == 0) {
        return true;
    }
    why = FilterCause::Refusal(error);
    // The transaction changed nothing; a table that keeps rules no longer meant is worse than
    // one that holds nothing back.
    NftBatch none(sequence_);
    if (AddRules(none, name_, {})) {
        (void)Commit(none);  // fails only as the first did: the old rules, which the pass also had
    }
    return false;
}

int NetfilterTable::Commit(NftBatch& batch) {
    const std::vector<char>& messages = batch.Finish();
    if (mnl_socket_sendto(socket_.get(), messages.data(), messages.size()) < 0) {
        return errno;
    }
    // The kernel handles the transaction within the send and queues its answers: one for each
    // message, or, when it runs out of memory, a single refusal.
    const unsigned int portid = mnl_socket_get_portid(socket_.get());
    int first = 0;
    int answered = 0;
    std::vector<char> buffer(MNL_SOCKET_BUFFER_SIZE);
    while (answered < batch.Answers()) {
        const ssize_t got =
            ::recv(mnl_socket_get_fd(socket_.get()), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            // Nothing more queued: fewer answers than messages, and no refusal, is no success.
            return first != 0 ? first : (errno == EAGAIN ? EPROTO : errno);
        }
        int left = static_cast<int>(got);
        for (auto* answer = reinterpret_cast<nlmsghdr*>(buffer.data()); mnl_nlmsg_ok(answer, left);
             answer = mnl_nlmsg_next(answer, &left)) {
            if (answer->nlmsg_type == NLMSG_ERROR && answer->nlmsg_pid == portid) {
                ++answered;
                const auto* error = static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(answer));
                if (error->error != 0 && first == 0) {
                    first = -error->error;
                }
            }
        }
    }
    return first;
}

}  // namespace quarnel::platform
