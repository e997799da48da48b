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

#include <string>
#include <utility>

#include "platform/linux/UniqueFd.h"
#include "platform/linux/netns/NamespaceServer.h"
#include "platform/linux/privileges/Privileges.h"
#include "platform/linux/privileges/ProgramStart.h"

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

}  // namespace

int main() {
    ProgramStart start("quarnel-netns");
    if (!start.PrepareToServe(kNetnsSocketFd, NeededMask())) {
        return 1;
    }
    if (start.Kept() != NeededMask()) {
        // Without one of them it would refuse every namespace but its own: better said at once.
        return start.Fail("started without" + Missing(start.Kept()));
    }
    UniqueFd own(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
    if (!own) {
        return start.Fail("cannot open its own network namespace");
    }
    NamespaceServer server(kNetnsSocketFd, std::move(own));
    return server.Run() ? 0 : 1;
}
