// quarnel-netns: the small process that may enter other network namespaces (CAP_SYS_ADMIN) and
// open other users' /proc/PID/ns/net (CAP_SYS_PTRACE), so that the service, which judges and
// closes, holds neither. It lists the network namespaces of the processes in the cgroups it
// sees and opens a sock_diag socket inside one on request, handing it back; the service reads
// and closes through that socket itself. CAP_NET_ADMIN stays with it because the kernel checks
// the credentials of a netlink socket's opener as well as the sender's when a close is sent
// through it.
//
// It is started by the service, never by hand, with those three capabilities as ambient ones
// (it has no file capabilities): its end of a SOCK_SEQPACKET socketpair that the service made
// is on descriptor 3 (kNetnsSocketFd), and it takes no arguments and reads no environment. It
// answers the requests of NamespaceProtocol.h until the service closes its end or goes away. It
// says only why it could not start, on stderr, never waiting for it.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <utility>

#include "platform/linux/UniqueFd.h"
#include "platform/linux/netns/NamespaceServer.h"
#include "platform/linux/privileges/Privileges.h"

namespace {

using namespace quarnel::platform;

constexpr std::uint64_t NeededMask() {
    std::uint64_t mask = 0;
    for (const int capability : kNetnsCapabilities) {
        mask |= CapabilityBit(capability);
    }
    return mask;
}

// The names of the capabilities it needs and lacks, each after a space.
std::string Missing(std::uint64_t kept) {
    std::string names;
    for (const auto& [capability, name] : {std::pair{CAP_SYS_ADMIN, " CAP_SYS_ADMIN"},
                                           {CAP_SYS_PTRACE, " CAP_SYS_PTRACE"},
                                           {CAP_NET_ADMIN, " CAP_NET_ADMIN"}}) {
        if ((kept & CapabilityBit(capability)) == 0) {
            names += name;
        }
    }
    return names;
}

int FailToStart(const std::string& problem) {
    const std::string line = "quarnel-netns: " + problem + "\n";
    // One line, far below PIPE_BUF: a pipe with room takes it whole, a full one loses it.
    pollfd room{STDERR_FILENO, POLLOUT, 0};
    if (::poll(&room, 1, 0) == 1 && (room.revents & POLLOUT) != 0) {
        (void)!::write(STDERR_FILENO, line.data(), line.size());
    }
    return 1;
}

}  // namespace

int main() {
    // A program may block signals across the exec; this one waits for none of them, and
    // SIGKILL (its parent-death signal) is never blocked, but a clean mask avoids surprises.
    sigset_t none;
    sigemptyset(&none);
    (void)sigprocmask(SIG_SETMASK, &none, nullptr);  // cannot fail with a valid set

    std::string problem;
    if (!CheckHelperSocket(kNetnsSocketFd, problem) ||
        !IsolateDescriptors(kNetnsSocketFd, problem) || !TieToParent(kNetnsSocketFd, problem)) {
        return FailToStart(problem);
    }
    std::uint64_t kept = 0;
    if (!DropPrivileges(kept, problem, NeededMask())) {
        return FailToStart("cannot give up its privileges: " + problem);
    }
    if (kept != NeededMask()) {
        // Without one of them it would refuse every namespace but its own: better said at once.
        return FailToStart("started without" + Missing(kept));
    }
    UniqueFd own(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
    if (!own) {
        return FailToStart("cannot open its own network namespace");
    }
    NamespaceServer server(kNetnsSocketFd, std::move(own));
    return server.Run() ? 0 : 1;
}
