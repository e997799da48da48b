#include "platform/linux/netfilter/NetfilterTable.h"

#include <libmnl/libmnl.h>
#include <linux/membarrier.h>
#include <linux/netfilter/nfnetlink.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/linux/netfilter/NftBatch.h"

namespace quarnel::platform {

void NetfilterTable::Closer::operator()(mnl_socket* socket) const {
    // Closing the socket is what removes the table; the kernel does it whatever close reports.
    (void)mnl_socket_close(socket);
}

NetfilterTable::NetfilterTable(Socket socket, std::string name)
    : socket_(std::move(socket)), name_(std::move(name)) {}

std::unique_ptr<NetfilterTable> NetfilterTable::Open(int& error, const LogRule* log) {
    error = 0;
    Socket socket(mnl_socket_open2(NETLINK_NETFILTER, SOCK_CLOEXEC));
    if (!socket) {
        error = errno;
        return nullptr;
    }
    if (mnl_socket_bind(socket.get(), 0, MNL_SOCKET_AUTOPID) < 0) {
        error = errno;
        return nullptr;
    }
    // Only the error's header comes back, not the whole message rejected.
    int on = 1;
    (void)mnl_socket_setsockopt(socket.get(), NETLINK_CAP_ACK, &on,
                                sizeof on);  // old kernels lack it
    // A long allowed list makes one large transaction, and netlink rejects a send larger than
    // the socket's buffer: CAP_NET_ADMIN, which the table needs anyway, may raise it.
    int buffer = 16 * 1024 * 1024;
    (void)::setsockopt(mnl_socket_get_fd(socket.get()), SOL_SOCKET, SO_SNDBUFFORCE, &buffer,
                       sizeof buffer);  // too large a list is then rejected, and told
    // One table per process: the window program and the service may both run.
    auto table = std::make_unique<NetfilterTable>(std::move(socket),
                                                  "quarnel_" + std::to_string(::getpid()));
    NftBatch batch(table->sequence_);
    if (!AddTable(batch, table->name_, log)) {
        error = ENOMEM;
        return nullptr;
    }
    error = table->Commit(batch);
    return error == 0 ? std::move(table) : nullptr;
}

int NetfilterTable::SetRules(const BlockingRules& rules) {
    // First what the old and the new rules hold together, then the new alone: each step only
    // adds to what is blocked or only takes away, so what both block is blocked throughout. A
    // segment's run through the chains looks up one set, then another: one that looked up the
    // local ports before the widening could look up the remote ports after the narrowing (a port
    // moved from one list to the other, say), so where an edit does both, the runs under way end
    // in between.
    const SetContents wanted = ContentsOf(rules);
    const SetContents wide = Union(held_, wanted);
    const bool widens = wide != held_, narrows = wide != wanted;
    int error = Change(wide);
    if (error == 0) {
        if (widens && narrows) {
            WaitForRunsUnderWay();
        }
        error = Change(wanted);
    }
    if (error != 0) {
        HoldNothing();
    }
    return error;
}

int NetfilterTable::Change(const SetContents& to) {
    if (to == held_) {
        return 0;
    }
    NftBatch batch(sequence_);
    if (!ChangeContents(batch, name_, held_, to)) {
        return ENOMEM;
    }
    const int error = Commit(batch);
    if (error == 0) {
        held_ = to;
    }
    return error;
}

void NetfilterTable::WaitForRunsUnderWay() {
    // The chains run under RCU, and membarrier's global barrier waits for a grace period where
    // more than one CPU is online. Where it cannot (refused, nohz_full, one CPU), a pause far
    // longer than a run.
    if (::sysconf(_SC_NPROCESSORS_ONLN) > 1 &&
        ::syscall(SYS_membarrier, MEMBARRIER_CMD_GLOBAL, 0, 0) == 0) {
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void NetfilterTable::HoldNothing() {
    // A table that keeps rules no longer meant is worse than one that holds nothing back.
    NftBatch none(sequence_);
    if (EmptySets(none, name_) && Commit(none) == 0) {
        held_ = {};
    }
}

int NetfilterTable::Commit(NftBatch& batch) {
    const std::vector<char>& messages = batch.Finish();
    if (mnl_socket_sendto(socket_.get(), messages.data(), messages.size()) < 0) {
        return errno;
    }
    // The kernel handles the transaction within the send and queues its answers: the last
    // message's acknowledgement, or why a message was rejected.
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
