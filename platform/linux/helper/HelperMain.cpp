// quarnel-helper: the small process that holds the right to close connections (CAP_NET_ADMIN,
// from its file capabilities) so that the window's process does not need it; with CAP_BPF and
// CAP_PERFMON too, which it gives up once its kernel programs are attached, it keeps the table
// from the kernel's reports of state changes and holds back the payload of blocked connections
// in the kernel, by the rules the program sends.
//
// It is started by the program, never by hand: its end of a SOCK_SEQPACKET socketpair that the
// program made is on descriptor 3 (kHelperSocketFd), and it takes no arguments and reads no
// environment. It answers the program's requests (see HelperProtocol.h) with the TCP table's
// operations until the program closes its end or goes away. It logs to stderr, never waiting for
// it.

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/linux/events/EventTcpTable.h"
#include "platform/linux/filter/RulesFilter.h"
#include "platform/linux/helper/HelperServer.h"
#include "platform/linux/helper/NonBlockingLog.h"
#include "platform/linux/owners/OwnedTcpTable.h"
#include "platform/linux/privileges/Privileges.h"
#include "platform/linux/sockdiag/LinuxTcpTable.h"

namespace {

using namespace quarnel::platform;

int FailToStart(std::FILE* log, const std::string& problem) {
    std::fprintf(log, "quarnel-helper: %s\n", problem.c_str());
    return 1;
}

}  // namespace

int main() {
    // A program may block signals across the exec; the helper waits for none of them, and
    // SIGKILL (its parent-death signal) is never blocked, but a clean mask avoids surprises.
    sigset_t none;
    sigemptyset(&none);
    (void)sigprocmask(SIG_SETMASK, &none, nullptr);  // cannot fail with a valid set

    const NonBlockingLog logged(STDERR_FILENO);
    std::FILE* const log = logged.Stream();
    std::string problem;
    if (!CheckHelperSocket(kHelperSocketFd, problem) ||
        !IsolateDescriptors(kHelperSocketFd, problem) || !TieToParent(kHelperSocketFd, problem)) {
        return FailToStart(log, problem);
    }
    std::uint64_t kept = 0;
    if (!DropPrivileges(kept, problem)) {
        return FailToStart(log, "cannot give up its privileges: " + problem);
    }
    if ((kept & CapabilityBit(CAP_NET_ADMIN)) == 0) {
        // Still useful: the program asks, learns that it may not close, and tells the user.
        std::fprintf(log,
                     "quarnel-helper: started without CAP_NET_ADMIN; closing will be refused\n");
    }
    int error = 0;
    std::unique_ptr<LinuxTcpTable> linuxTable = LinuxTcpTable::Open(&error);
    if (!linuxTable) {
        return FailToStart(log, std::string("cannot open the TCP table: ") + std::strerror(error));
    }
    // Kept from the kernel's reports where the helper may load the kernel program; the program
    // is told how.
    PollingCause polling;
    SocketLookup& sockets = *linuxTable;  // lives on inside table
    SocketInodeReader& inodes = *linuxTable;
    // Each row names its owner, as far as the user who started the helper may see it in /proc.
    const std::unique_ptr<TcpTableSource> table = WithOwners(
        WithKernelEvents(std::move(linuxTable), polling), &inodes, {.OnlyVisible = true});
    // Attached to the machine's cgroup root while this process lives; it holds back nothing
    // until the program sends its rules.
    FilterCause filtered;
    const std::unique_ptr<RulesFilter> filter = OpenPayloadFilter(filtered);
    if (!filter) {
        std::fprintf(log, "quarnel-helper: the payload filter is not attached: %s\n",
                     filtered.Text().c_str());
    }
    // Attached or rejected, the kernel programs are done with the rights they needed.
    if (!NarrowCapabilities(kServingCapabilities, kept, problem)) {
        return FailToStart(log, "cannot give up CAP_BPF and CAP_PERFMON: " + problem);
    }
    HelperServer server(kHelperSocketFd, *table, sockets, log, polling, filter.get(), filtered);
    return server.Run() ? 0 : 1;
}
