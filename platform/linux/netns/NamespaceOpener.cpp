#include "platform/linux/netns/NamespaceOpener.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

#include "platform/linux/privileges/Privileges.h"
#include "platform/linux/privileges/SocketChild.h"

namespace quarnel::platform {

namespace {

// In the child just before the exec: system calls only.
void HandOnNetnsCapabilities() {
    // Exactly the three it needs survive the exec: as ambient capabilities, which need to be
    // permitted and inheritable. What this process holds ambient besides does not go along.
    (void)::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    CapabilitySets sets;
    if (ReadCapabilities(sets)) {
        sets.Inheritable = 0;
        for (const int capability : kNetnsCapabilities) {
            sets.Inheritable |= sets.Permitted & CapabilityBit(capability);
        }
        if (WriteCapabilities(sets)) {
            for (const int capability : kNetnsCapabilities) {
                // One it lacks is missing there too: quarnel-netns says which and ends.
                (void)::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, capability, 0, 0);
            }
        }
    }
}

bool Broken(std::string& problem, const std::string& what) {
    problem = "quarnel-netns " + what;
    return false;
}

// Whether fd is a NETLINK_SOCK_DIAG socket, as asked for.
bool IsSockDiag(int fd) {
    int domain = 0, protocol = 0;
    socklen_t length = sizeof domain;
    return ::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) == 0 && domain == AF_NETLINK &&
           (length = sizeof protocol,
            ::getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &length) == 0) &&
           protocol == NETLINK_SOCK_DIAG;
}

std::string RefusalProblem(const NamespaceReply& reply) {
    std::string text = std::string("refused: ") + NamespaceRefusalText(reply.Reason);
    if (reply.Error != 0) {
        text += std::string(" (") + std::strerror(reply.Error) + ")";
    }
    return text;
}

}  // namespace

std::unique_ptr<NamespaceOpener> NamespaceOpener::Start(const std::string& path,
                                                        std::string& problem,
                                                        std::chrono::milliseconds timeout) {
    std::optional<SocketChild> child =
        StartSocketChild(path, "quarnel-netns", kNetnsSocketFd, HandOnNetnsCapabilities, problem);
    if (!child) {
        return nullptr;
    }
    return std::make_unique<NamespaceOpener>(child->Pid, std::move(child->Socket), timeout);
}

NamespaceOpener::~NamespaceOpener() {
    socket_.Reset();
    // SIGKILL ends it even when it hangs or is stopped.
    (void)::kill(pid_, SIGKILL);
    (void)ReapChild(pid_);
}

bool NamespaceOpener::ListNamespaces(std::vector<NetworkNamespace>& namespaces,
                                     std::string& problem) {
    NamespaceRequest request;
    request.Kind = NamespaceRequestKind::ListNamespaces;
    if (!Ask(request, problem)) {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout_;
    std::vector<NetworkNamespace> entries;
    for (bool first = true;; first = false) {
        NamespaceReply reply;
        UniqueFd fd;
        if (!Receive(deadline, reply, entries, fd, problem)) {
            return false;
        }
        if (first && reply.Kind == NamespaceReplyKind::Refused) {
            return Broken(problem, RefusalProblem(reply));
        }
        if (reply.Kind != NamespaceReplyKind::Namespaces || fd) {
            return Broken(problem, "sent what answers no list");
        }
        if (reply.Last) {
            namespaces = std::move(entries);
            return true;
        }
    }
}

UniqueFd NamespaceOpener::OpenSockDiag(pid_t pid, std::uint64_t inode, std::string& problem) {
    NamespaceRequest request;
    request.Kind = NamespaceRequestKind::OpenSockDiag;
    request.Pid = pid;
    request.Inode = inode;
    NamespaceReply reply;
    std::vector<NetworkNamespace> entries;
    UniqueFd fd;
    if (!Ask(request, problem) ||
        !Receive(std::chrono::steady_clock::now() + timeout_, reply, entries, fd, problem)) {
        return {};
    }
    if (reply.Kind == NamespaceReplyKind::Refused && !fd) {
        (void)Broken(problem, RefusalProblem(reply));
        return {};
    }
    if (reply.Kind != NamespaceReplyKind::SockDiag || !fd || !IsSockDiag(fd.Get())) {
        (void)Broken(problem, "sent no sock_diag socket");
        return {};
    }
    return fd;
}

bool NamespaceOpener::Ask(const NamespaceRequest& request, std::string& problem) {
    NamespaceRequest numbered = request;
    numbered.Sequence = ++sequence_;
    NamespaceRequestBytes bytes;
    EncodeNamespaceRequest(numbered, bytes);
    ssize_t sent;
    do {
        sent = ::send(socket_.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        return Broken(problem, errno == EPIPE || errno == ECONNRESET
                                   ? "ended"
                                   : std::string("cannot be asked: ") + std::strerror(errno));
    }
    return true;
}

bool NamespaceOpener::Receive(std::chrono::steady_clock::time_point deadline, NamespaceReply& reply,
                              std::vector<NetworkNamespace>& entries, UniqueFd& fd,
                              std::string& problem) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{socket_.Get(), POLLIN, 0};
        const int polled = ::poll(&ready, 1, static_cast<int>(std::max<long>(0, left.count())));
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled < 0) {
            return Broken(problem, std::string("cannot be waited for: ") + std::strerror(errno));
        }
        if (polled == 0) {
            return Broken(problem, "did not answer in time");
        }
        iovec part{buffer_.data(), buffer_.size()};
        alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int))> control{};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        const ssize_t length = ::recvmsg(socket_.Get(), &message, MSG_TRUNC | MSG_CMSG_CLOEXEC);
        if (length < 0 && errno == EINTR) {
            continue;
        }
        if (length <= 0) {
            return Broken(problem, length == 0 || errno == ECONNRESET
                                       ? "ended"
                                       : std::string("cannot be read: ") + std::strerror(errno));
        }
        fd.Reset();
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
             header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS &&
                header->cmsg_len == CMSG_LEN(sizeof(int))) {
                int received = -1;
                std::memcpy(&received, CMSG_DATA(header), sizeof received);
                fd.Reset(received);
            }
        }
        const auto size = static_cast<std::size_t>(length);
        received_.clear();
        if ((message.msg_flags & MSG_CTRUNC) != 0) {
            // The kernel drops a descriptor it cannot give this process: out of descriptors,
            // most often; else more came than the one an answer carries.
            const UniqueFd probe(::fcntl(socket_.Get(), F_DUPFD_CLOEXEC, 0));
            problem = probe ? "quarnel-netns sent more descriptors than an answer carries"
                            : std::string("cannot take the socket quarnel-netns sent: ") +
                                  std::strerror(errno);
            return false;
        }
        if (size > buffer_.size() ||
            !DecodeNamespaceReply(std::span(buffer_).first(size), size, reply, received_)) {
            return Broken(problem, "sent a malformed answer");
        }
        // A late answer to a question given up before: passed over, its socket closed.
        if (reply.Sequence == sequence_) {
            entries.insert(entries.end(), received_.begin(), received_.end());
            return true;
        }
    }
}

}  // namespace quarnel::platform
