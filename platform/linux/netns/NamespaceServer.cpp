#include "platform/linux/netns/NamespaceServer.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
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
    : socket_(socket, kNamespaceRequestSize), ownNamespace_(std::move(ownNamespace)) {
    struct stat status {};
    if (::fstat(ownNamespace_.Get(), &status) == 0) {
        ownDevice_ = status.st_dev;
        ownInode_ = status.st_ino;
    }
}

bool NamespaceServer::Run() {
    for (;;) {
        const ServeStep step = ServeOne();
        if (step == ServeStep::Ended || step == ServeStep::Failed) {
            return step == ServeStep::Ended;
        }
    }
}

ServeStep NamespaceServer::ServeOne() {
    const std::optional<RequestSocket::Message> message = socket_.Receive();
    if (!message) {
        return socket_.Ended() ? ServeStep::Ended : ServeStep::Failed;
    }
    NamespaceRequest request;
    const Refusal refusal =
        message->Checked(DecodeNamespaceRequest(message->Bytes, message->Length, request));
    if (refusal != Refusal::None) {
        return Refuse(request.Sequence, refusal);
    }
    return request.Kind == NamespaceRequestKind::ListNamespaces ? AnswerList(request.Sequence)
                                                                : AnswerOpen(request);
}

ServeStep NamespaceServer::AnswerList(std::uint32_t sequence) {
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
            return socket_.After(false, ServeStep::Answered);
        }
        first += count;
    } while (first < all.size());
    return ServeStep::Answered;
}

ServeStep NamespaceServer::AnswerOpen(const NamespaceRequest& request) {
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
        return ServeStep::Failed;
    }
    if (!diag) {
        return Refuse(request.Sequence, NamespaceRefusal::CannotOpenSocket, socketError);
    }
    NamespaceReply reply;
    reply.Kind = NamespaceReplyKind::SockDiag;
    reply.Sequence = request.Sequence;
    return socket_.After(Send(reply, {}, diag.Get()), ServeStep::Answered);
}

ServeStep NamespaceServer::Refuse(std::uint32_t sequence, Refusal reason, int error) {
    NamespaceReply reply;
    reply.Kind = NamespaceReplyKind::Refused;
    reply.Sequence = sequence;
    reply.Reason = reason;
    reply.Error = error;
    return socket_.After(Send(reply, {}), ServeStep::Refused);
}

bool NamespaceServer::Send(const NamespaceReply& reply, std::span<const NetworkNamespace> entries,
                           int fd) {
    const std::size_t size = EncodeNamespaceReply(reply, entries, reply_);
    return socket_.Send(std::span(reply_).first(size), fd);
}

}  // namespace quarnel::platform
