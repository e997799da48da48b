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
// it, and each close it performs to the system journal, with the user who asked for it.

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/linux/events/EventTcpTable.h"
#include "platform/linux/filter/RulesFilter.h"
#include "platform/linux/helper/CloseAudit.h"
#include "platform/linux/helper/HelperServer.h"
#include "platform/linux/owners/OwnedTcpTable.h"
#include "platform/linux/privileges/Privileges.h"
#include "platform/linux/privileges/ProgramStart.h"
#include "platform/linux/sockdiag/LinuxTcpTable.h"

using namespace quarnel::platform;

int main() {
    ProgramStart start("quarnel-helper");
    if (!start.PrepareToServe(kHelperSocketFd, kStartCapabilities)) {
        return 1;
    }
    std::FILE* const log = start.Log();
    const std::uint64_t kept = start.Kept();
    if ((kept & CapabilityBit(CAP_NET_ADMIN)) == 0) {
        // Still useful: the program asks, learns that it may not close, and tells the user.
        std::fprintf(log,
                     "quarnel-helper: started without CAP_NET_ADMIN; closing will be refused\n");
    }
    int error = 0;
    std::unique_ptr<LinuxTcpTable> linuxTable = LinuxTcpTable::Open(&error);
    if (!linuxTable) {
        return start.Fail(std::string("cannot open the TCP table: ") + std::strerror(error));
    }
    // Kept from the kernel's reports where the helper may load the kernel program; the program
    // is told how.
    PollingCause polling;
    SocketLookup& sockets = *linuxTable;  // lives on inside table
    SocketInodeReader& inodes = *linuxTable;
    std::unique_ptr<LinuxTableSource> events = WithKernelEvents(std::move(linuxTable), polling);
    // Attached to the machine's cgroup root while this process lives; it holds back nothing
    // until the program sends its rules. Where the kernel's reports are missing, the packet
    // filter's table tells of blocked connections instead.
    FilterCause filtered;
    const std::unique_ptr<RulesFilter> filter =
        OpenPayloadFilterAndLog(events, sockets, polling, filtered);
    // Each row names its owner, as far as the user who started the helper may see it in /proc.
    const std::unique_ptr<TcpTableSource> table =
        WithOwners(std::move(events), &inodes, {.OnlyVisible = true});
    if (!filter) {
        std::fprintf(log, "quarnel-helper: the payload filter is not attached: %s\n",
                     filtered.Text().c_str());
    }
    // Attached or rejected, the kernel programs are done with the rights they needed.
    std::uint64_t serving = 0;
    if (std::string problem; !NarrowCapabilities(kServingCapabilities, serving, problem)) {
        return start.Fail("cannot give up CAP_BPF and CAP_PERFMON: " + problem);
    }
    HelperServer server(kHelperSocketFd, *table, sockets, log, polling, filter.get(), filtered);
    // Asked once: the program at the other end stays the same for the helper's whole life.
    Requester requester;
    if (std::string problem; !RequesterOf(kHelperSocketFd, requester, problem)) {
        const auto uid = static_cast<std::uint32_t>(::getuid());
        requester = {uid, static_cast<std::int32_t>(::getppid()), std::to_string(uid)};
        std::fprintf(log,
                     "quarnel-helper: the kernel does not say who is at the other end of its "
                     "socket (%s): closes are audited as asked by its parent, uid %u\n",
                     problem.c_str(), uid);
    }
    server.AuditClosesTo([&requester, log](const TcpRow& row) {
        const std::vector<std::string> fields = CloseAuditFields(row, requester);
        if (!SendToJournal(fields)) {
            // Without a journal, at least the program's own log has it.
            std::fprintf(log, "quarnel-helper: %s\n", fields.front().substr(8).c_str());
        }
    });
    return server.Run() ? 0 : 1;
}
