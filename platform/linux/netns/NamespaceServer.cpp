#include "platform/linux/netns/NamespaceServer.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "platform/linux/netns/ProcessNamespaces.h"

namespace quarnel::platform {

namespace {

bool Gone(int error) {
    return error == ENOENT || error == ESRCH;
}

}  // namespace

NamespaceServer::NamespaceServer(int socket, UniqueFd ownNamespace)
    : socket_(socket), ownNamespace_(std::move(ownNamespace)) {
    struct stat status {};
    if (::fstat(ownNamespace_.Get(), &status) == 0) {
        ownDevice_ = status.st_dev;
        ownInode_ = status.st_ino;
    }
}

bool NamespaceServer::Run() {
    for (;;) {
        switch (ServeOne()) {
            case Step::Answered:
            case Step::Refused:
                break;
            case Step::Ended:
                return true;
            case Step::Failed:
                return false;
        }
    }
}

NamespaceServer::Step NamespaceServer::ServeOne() {
    bool ancillary = false;
    const long length = Receive(ancillary);
    if (length < 0) {
        return ended_ ? Step::Ended : Step::Failed;
    }
    NamespaceRequest request;
    NamespaceRefusal refusal =
        DecodeNamespaceRequest(request_, static_cast<std::size_t>(length), request);
    if (refusal == NamespaceRefusal::None && ancillary) {
        // Descriptors or credentials sent along: nothing the service ever sends.
        refusal = NamespaceRefusal::Malformed;
    }
    if (refusal != NamespaceRefusal::None) {
        return Refuse(request.Sequence, refusal);
    }
    return request.Kind == NamespaceRequestKind::ListNamespaces ? AnswerList(request.Sequence)
                                                                : AnswerOpen(request);
}

NamespaceServer::Step NamespaceServer::AnswerList(std::uint32_t sequence) {
    if (!ListNetworkNamespaces(ownDevice_, ownInode_, namespaces_)) {
        return Refuse(sequence, NamespaceRefusal::CannotList, errno);
    }
    NamespaceReply reply;
    reply.Kind = NamespaceReplyKind::Namespaces;
    reply.Sequence = sequence;
    const std::span<const NetworkNamespace> all(namespaces_);
    std::size_t first = 0;
    do {
        const std::size_t count = std::min(kNamespacesPerReply, all.size() - first);
        reply.Last = first + count == all.size();
        if (!Send(reply, all.subspan(first, count))) {
            return Sent(false, Step::Answered);
        }
        first += count;
    } while (first < all.size());
    return Step::Answered;
}

NamespaceServer::Step NamespaceServer::AnswerOpen(const NamespaceRequest& request) {
    // Every file through one directory of /proc: all of one process, even should its pid be
    // reused meanwhile.
    const std::string path = "/proc/" + std::to_string(request.Pid);
    const UniqueFd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) {
        return Refuse(request.Sequence,
                      Gone(errno) ? NamespaceRefusal::NoProcess : NamespaceRefusal::CannotEnter,
                      errno);
    }
    // Its cgroup first: the namespace of a process outside is never even opened.
    std::string cgroup;
    if (!ReadCgroupPath(dir.Get(), cgroup)) {
        return Refuse(request.Sequence,
                      Gone(errno) ? NamespaceRefusal::NoProcess : NamespaceRefusal::OutsideCgroups,
                      errno);
    }
    if (!InsideCgroupView(cgroup)) {
        return Refuse(request.Sequence, NamespaceRefusal::OutsideCgroups);
    }
    const UniqueFd target(::openat(dir.Get(), "ns/net", O_RDONLY | O_CLOEXEC));
    if (!target) {
        return Refuse(request.Sequence,
                      Gone(errno) ? NamespaceRefusal::NoProcess : NamespaceRefusal::CannotEnter,
                      errno);
    }
    struct stat status {};
    if (::fstat(target.Get(), &status) != 0) {
        return Refuse(request.Sequence, NamespaceRefusal::CannotEnter, errno);
    }
    if (status.st_ino != request.Inode || status.st_dev != ownDevice_) {
        return Refuse(request.Sequence, NamespaceRefusal::OtherNamespace);
    }
    if (::setns(target.Get(), CLONE_NEWNET) != 0) {
        return Refuse(request.Sequence, NamespaceRefusal::CannotEnter, errno);
    }
    // A netlink socket belongs for good to the namespace it was opened in.
    UniqueFd diag(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    const int socketError = errno;
    if (::setns(ownNamespace_.Get(), CLONE_NEWNET) != 0) {
        // Whatever it opened next would be in the wrong namespace: it ends instead.
        return Step::Failed;
    }
    if (!diag) {
        return Refuse(request.Sequence, NamespaceRefusal::CannotOpenSocket, socketError);
    }
    NamespaceReply reply;
    reply.Kind = NamespaceReplyKind::SockDiag;
    reply.Sequence = request.Sequence;
    return Sent(Send(reply, {}, diag.Get()), Step::Answered);
}

NamespaceServer::Step NamespaceServer::Refuse(std::uint32_t sequence, NamespaceRefusal reason,
                                              int error) {
    NamespaceReply reply;
    reply.Kind = NamespaceReplyKind::Refused;
    reply.Sequence = sequence;
    reply.Reason = reason;
    reply.Error = error;
    return Sent(Send(reply, {}), Step::Refused);
}

NamespaceServer::Step NamespaceServer::Sent(bool sent, Step step) const {
    return sent ? step : (ended_ ? Step::Ended : Step::Failed);
}

long NamespaceServer::Receive(bool& ancillary) {
    iovec part{request_.data(), request_.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    ssize_t length;
    do {
        // MSG_TRUNC: the whole length of a message too long for the buffer, to refuse it.
        // Descriptors sent along are closed by the kernel, since there is no room for them.
        length = ::recvmsg(socket_, &message, MSG_TRUNC | MSG_CMSG_CLOEXEC);
    } while (length < 0 && errno == EINTR);
    if (length < 0) {
        ended_ = errno == ECONNRESET;
        return -1;
    }
    ancillary = (message.msg_flags & MSG_CTRUNC) != 0;
    if (length == 0) {
        // The end of the conversation, or an empty message: only a hung-up socket tells them
        // apart.
        pollfd state{socket_, POLLIN | POLLRDHUP, 0};
        if (::poll(&state, 1, 0) < 0 || (state.revents & (POLLHUP | POLLRDHUP)) != 0) {
            ended_ = true;
            return -1;
        }
    }
    return static_cast<long>(length);
}

bool NamespaceServer::Send(const NamespaceReply& reply, std::span<const NetworkNamespace> entries,
                           int fd) {
    const std::size_t size = EncodeNamespaceReply(reply, entries, reply_);
    iovec part{reply_.data(), size};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int))> control{};
    if (fd >= 0) {
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    }
    ssize_t sent;
    do {
        sent = ::sendmsg(socket_, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent == static_cast<ssize_t>(size)) {
        return true;
    }
    ended_ = sent < 0 && (errno == EPIPE || errno == ECONNRESET);
    return false;
}

}  // namespace quarnel::platform
