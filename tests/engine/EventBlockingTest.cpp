// The blocking pass over the table kept from the kernel's reports, in private network
// namespaces.

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "engine/Settings.h"
#include "platform/linux/events/EventTcpTable.h"
#include "platform/linux/sockdiag/LinuxTcpTable.h"
#include "tests/engine/TestEngine.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"
#include "tests/support/TableRows.h"
#include "tests/support/WaitUntil.h"
#ifdef QUARNEL_KERNEL_EVENTS
#include "platform/linux/bpf/KernelTcpEvents.h"
#endif

namespace quarnel {
namespace {

using namespace testsupport;
using testing::Guard;

// Turns on the loopback device of the network namespace the process is in.
[[maybe_unused]] void LoopbackUp() {
    const UniqueFd control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    ASSERT_EQ(::ioctl(control.Get(), SIOCGIFFLAGS, &request), 0) << std::strerror(errno);
    request.ifr_flags |= IFF_UP;
    ASSERT_EQ(::ioctl(control.Get(), SIOCSIFFLAGS, &request), 0) << std::strerror(errno);
}

#ifdef QUARNEL_KERNEL_EVENTS
// The table kept from the kernel's reports, with a ring of one memory page (about 60 reports;
// each connection brings five or more), guarded with the port of blocked as a blocked remote
// port. Made inside the test's private network; table is null where the kernel refuses the
// program, and why then says why.
struct ReportedTable {
    ReportedTable() {
        if (events) {
            table = std::make_unique<platform::EventTcpTable>(std::move(events),
                                                              platform::LinuxTcpTable::Open());
            guard = std::make_unique<Guard<>>(
                *table,
                std::map<std::string, std::string>{
                    {AllowedIPKey, ""}, {BlockedRemotePortsKey, std::to_string(blocked.port)}});
            guard->Cycle();  // past the first whole read: from here on only reports bring rows
        }
    }

    platform::PollingCause why;
    std::unique_ptr<platform::KernelTcpEvents> events = platform::KernelTcpEvents::Open(why, 4096);
    const platform::KernelTcpEvents* stream = events.get();
    std::unique_ptr<platform::EventTcpTable> table;
    const Listener blocked = ListenIPv4();
    std::unique_ptr<Guard<>> guard;
};

// Runs body over a ReportedTable in a private network; skipped where the kernel refuses.
void WithReportedTable(const std::function<void(ReportedTable&)>& body) {
    RunInPrivateNetwork([&] {
        ReportedTable reported;
        if (!reported.table) {
            GTEST_SKIP() << "no kernel events here: " << reported.why.Text();
        }
        body(reported);
    });
}

TEST(EventBlocking, ConnectionsCloseFromTheirReportsWithoutAWholeReadTillReportsAreLost) {
    WithReportedTable([](ReportedTable& reported) {
        Guard<>& guard = *reported.guard;
        // Another network's connection, on a port blocked here too.
        const UniqueFd home(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
        ASSERT_EQ(::unshare(CLONE_NEWNET), 0) << std::strerror(errno);
        LoopbackUp();
        const Listener theirListener = ListenIPv4();
        const Connection theirs = Connect(theirListener);
        ASSERT_EQ(::setns(home.Get(), CLONE_NEWNET), 0) << std::strerror(errno);
        (void)guard.engine.oManager.oBlockedRemotePorts.AddItem(theirListener.port);
        guard.engine.oManager.CompileRules();
        const Connection doomed = Connect(reported.blocked);
        EXPECT_TRUE(guard.CycleUntil([&] { return Aborted(doomed.client); }));
        EXPECT_TRUE(Carries(theirs));
        // A client that shuts down its side right after its request is past established before
        // the pass first sees it; its connection still carries the answer and is closed.
        const Connection quick = Connect(reported.blocked);
        ASSERT_EQ(::shutdown(quick.client.Get(), SHUT_WR), 0);
        EXPECT_TRUE(guard.CycleUntil([&] { return Aborted(quick.client); }));
        // What the reports built is what a whole read finds: no connection of another network.
        const auto whole = platform::OpenTable();
        ASSERT_TRUE(whole);
        EXPECT_TRUE(guard.CycleUntil([&] {
            return platform::SortedByCookie(platform::ReadRows(*whole)) ==
                   platform::SortedByCookie(guard.engine.Table.Rows);
        }));
        EXPECT_EQ(reported.table->WholeReads(), 1u)
            << "the close or the rows waited for a whole read";

        // More reports than the ring holds: the loss brings a whole read before the pass.
        const std::vector<Connection> burst = ConnectMany(reported.blocked, 300);
        ASSERT_EQ(burst.size(), 300u);
        EXPECT_GT(reported.stream->LostCount(), 0u);
        guard.Cycle();
        EXPECT_EQ(reported.table->WholeReads(), 2u);
        EXPECT_EQ(
            std::ranges::count_if(burst, [](const Connection& c) { return Aborted(c.client); }),
            300);
    });
}

// The reader is woken for what must be judged at once, a connection established on a port the
// rules block, and for every new connection until rules are set; the reports of other
// connections and of closes wait for the next read, which still sees them.
TEST(EventBlocking, OnlyAConnectionEstablishedOnABlockedPortWakesTheReader) {
    WithReportedTable([](ReportedTable& reported) {
        Guard<>& guard = *reported.guard;
        const auto readable = [](int fd, int milliseconds) {
            pollfd wait{fd, POLLIN, 0};
            return ::poll(&wait, 1, milliseconds) == 1;
        };
        const int changes = reported.table->WaitDescriptor();
        const Listener open = ListenIPv4();
        guard.Cycle();
        ASSERT_FALSE(readable(changes, 100)) << "woken with nothing changed";

        // Before any rules: every connection.
        platform::PollingCause why;
        const auto fresh = platform::KernelTcpEvents::Open(why, 4096);
        ASSERT_TRUE(fresh) << why.Text();
        // A client bound before it connects (to the port of a listener gone again) is reported
        // with its port: nothing hints at a later read by state, whose alarm would wake the
        // reader.
        const int clientPort = ListenIPv4().port;
        ASSERT_NE(clientPort, 0);
        std::optional<Connection> connection = Connect(open, "127.0.0.1", clientPort);
        EXPECT_TRUE(readable(fresh->Descriptor(), 1000)) << "not woken before any rules";

        const auto listed = [&] {
            return std::ranges::any_of(guard.engine.Table.Rows, [&](const platform::TcpRow& row) {
                return row.State == platform::TcpState::Established && row.LocalPort == open.port;
            });
        };
        EXPECT_FALSE(readable(changes, 300)) << "woken by a connection no rule blocks";
        guard.Cycle();
        ASSERT_TRUE(listed()) << "the next read did not see the connection";

        guard.Cycle();
        connection.reset();  // both ends close: the rows end without waking the reader
        EXPECT_FALSE(readable(changes, 100)) << "woken by a close";
        guard.Cycle();
        EXPECT_FALSE(listed()) << "the next read did not see the close";

        const Connection doomed = Connect(reported.blocked);
        ASSERT_TRUE(readable(changes, 1000)) << "not woken by a blocked connection";
        EXPECT_TRUE(guard.CycleUntil([&] { return Aborted(doomed.client); }));
        // A port blocked later wakes it from then on.
        (void)guard.engine.oManager.oBlockedLocalPorts.AddItem(open.port);
        guard.engine.oManager.CompileRules();
        guard.Cycle();
        const Connection late = Connect(open);
        EXPECT_TRUE(readable(changes, 1000)) << "not woken on a port blocked later";
        EXPECT_TRUE(guard.CycleUntil([&] { return Aborted(late.server); }));

        // Once ports are set, only theirs, whichever end's port it is.
        (void)fresh->Drain([](const TcpStateEvent&) {});
        ASSERT_TRUE(fresh->WakeFor({{}, {PortOf(open)}, {}}));
        ASSERT_FALSE(readable(fresh->Descriptor(), 0)) << "drained, yet readable";
        const Connection elsewhere = Connect(reported.blocked);
        EXPECT_FALSE(readable(fresh->Descriptor(), 300)) << "woken for a port not set";
        const Connection watched = Connect(open);
        EXPECT_TRUE(readable(fresh->Descriptor(), 1000)) << "not woken for a port set";
        EXPECT_EQ(reported.table->WholeReads(), 1u);
    });
}

#endif

}  // namespace
}  // namespace quarnel
