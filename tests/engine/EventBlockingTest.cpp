// The blocking pass over the table kept from the kernel's reports, in private network
// namespaces.

#include <poll.h>
#include <sys/socket.h>

#include <optional>

#include "engine/Settings.h"
#include "platform/linux/client/LinuxHostAddressSource.h"
#include "platform/linux/events/EventTcpTable.h"
#include "platform/linux/sockdiag/LinuxTcpTable.h"
#include "tests/engine/TableGuard.h"
#include "tests/support/OtherNamespace.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"
#include "tests/support/TableRows.h"
#include "tests/support/WaitUntil.h"
#ifdef QUARNEL_KERNEL_EVENTS
#include "platform/linux/events/KernelTcpEvents.h"
#endif

namespace quarnel {
namespace {

using namespace testsupport;
using testing::Guard;

#ifdef QUARNEL_KERNEL_EVENTS
// The table kept from the kernel's reports, with a ring of one memory page (about 60 reports;
// each connection brings five or more). The reader is woken for what must be judged at once, a
// connection established on a port the rules block, whichever end's port it is; the reports of
// other connections and of closes wait for the next read, which still sees them. Rows and closes
// come from the reports alone, until reports are lost.
TEST(EventBlocking, OnlyBlockedConnectionsWakeTheReaderAndReportsCloseThemWithoutAWholeRead) {
    RunInPrivateNetwork([] {
        platform::PollingCause why;
        std::unique_ptr<platform::KernelTcpEvents> events =
            platform::KernelTcpEvents::Open(why, 4096);
        if (!events) {
            GTEST_SKIP() << "no kernel events here: " << why.Text();
        }
        const platform::KernelTcpEvents& stream = *events;
        platform::EventTcpTable table(std::move(events), platform::LinuxTcpTable::Open());
        const Listener blocked = ListenIPv4(), open = ListenIPv4(), local = ListenIPv4();
        Guard<platform::LinuxHostAddressSource> guard(
            table, {{AllowedIPKey, ""},
                    {BlockedLocalPortsKey, std::to_string(local.port)},
                    {BlockedRemotePortsKey, std::to_string(blocked.port)}});
        Manager& manager = guard.engine.oManager;
        guard.Cycle();  // past the first whole read: from here on only reports bring rows
        const auto readable = [changes = table.WaitDescriptor()](int milliseconds) {
            pollfd wait{changes, POLLIN, 0};
            return ::poll(&wait, 1, milliseconds) == 1;
        };

        // A client bound before it connects (to the port of a listener gone again) is reported
        // with its port: nothing hints at a later read by state, whose alarm would wake the
        // reader.
        const int clientPort = ListenIPv4().port;
        std::optional<Connection> connection = Connect(open, "127.0.0.1", clientPort);
        const auto listed = [&] {
            return std::ranges::any_of(guard.engine.Table.Rows, [&](const platform::TcpRow& row) {
                return row.State == platform::TcpState::Established && row.LocalPort == open.port;
            });
        };
        EXPECT_FALSE(readable(300)) << "woken by a connection no rule blocks";
        guard.Cycle();
        ASSERT_TRUE(listed()) << "the next read did not see the connection";
        guard.Cycle();
        connection.reset();  // both ends close: the rows end without waking the reader
        EXPECT_FALSE(readable(100)) << "woken by a close";
        guard.Cycle();
        EXPECT_FALSE(listed()) << "the next read did not see the close";

        const Connection doomed = Connect(blocked);
        ASSERT_TRUE(readable(1000)) << "not woken by a blocked connection";
        ASSERT_TRUE(guard.CycleUntil([&] { return Aborted(doomed.client); }));
        // A connection on a blocked local port wakes it too.
        const Connection toLocal = Connect(local);
        ASSERT_TRUE(readable(1000)) << "not woken on a blocked local port";
        ASSERT_TRUE(guard.CycleUntil([&] { return Aborted(toLocal.server); }));

        // Another network's connection, on a port blocked here too.
        const OtherNamespace other;
        Listener theirListener;
        Connection theirs;
        other.Inside([&] {
            theirListener = ListenIPv4();
            theirs = Connect(theirListener);
        });
        (void)manager.oBlockedRemotePorts.AddItem(theirListener.port);
        manager.CompileRules();
        // A client that shuts down its side right after its request is past established before
        // the pass first sees it; its connection still carries the answer and is closed.
        const Connection quick = Connect(blocked);
        ASSERT_EQ(::shutdown(quick.client.Get(), SHUT_WR), 0);
        ASSERT_TRUE(guard.CycleUntil([&] { return Aborted(quick.client); }));
        EXPECT_TRUE(Carries(theirs));
        // What the reports built is what a whole read finds: no connection of another network.
        const auto whole = platform::OpenTable();
        ASSERT_TRUE(whole);
        ASSERT_TRUE(guard.CycleUntil([&] {
            return platform::SortedByCookie(platform::ReadRows(*whole)) ==
                   platform::SortedByCookie(guard.engine.Table.Rows);
        }));
        EXPECT_EQ(table.WholeReads(), 1u) << "a close or the rows waited for a whole read";

        // More reports than the ring holds: the loss brings a whole read before the pass.
        const std::vector<Connection> burst = ConnectMany(blocked, 300);
        EXPECT_GT(stream.LostCount(), 0u);
        guard.Cycle();
        EXPECT_EQ(table.WholeReads(), 2u);
        EXPECT_EQ(
            std::ranges::count_if(burst, [](const Connection& c) { return Aborted(c.client); }),
            300);
        manager.RefreshLocalIPList();  // with the addresses of interfaces that are up
        EXPECT_GE(manager.oLocalIP.FindItem("=", std::string("127.0.0.1")), 0);
    });
}
#endif

}  // namespace
}  // namespace quarnel
