// The blocking pass over the table kept from the kernel's reports, in private network
// namespaces; and over the polled table where the kernel refuses the reporting program.

#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "platform/linux/EventTcpTable.h"
#include "platform/linux/LinuxTcpTable.h"
#include "platform/linux/TcpTableSelection.h"
#include "tests/engine/TestEngine.h"
#include "tests/platform/TableRows.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"
#include "tests/support/WaitUntil.h"
#ifdef QUARNEL_KERNEL_EVENTS
#include "platform/linux/bpf/KernelTcpEvents.h"
#endif

namespace quarnel {
namespace {

using namespace testsupport;
using platform::TcpRow;

// Whether the connection's end was closed under it; the kernel tells that only once.
struct Watched {
    const Connection* connection;
    bool aborted = false;

    bool Aborted() {
        char byte = 0;
        aborted = aborted || (::recv(connection->client.Get(), &byte, 1, MSG_DONTWAIT) < 0 &&
                              errno == ECONNABORTED);
        return aborted;
    }
};

// An engine whose rules block one remote port, as the main loop drives it: wait at most 1 ms
// for the table to change, then one pass.
struct Guard {
    Guard(platform::TcpTableSource& table, int blockedRemotePort) : source(table) {
        engine.oManager.LoadListFromString(engine.oManager.oBlockedRemotePorts,
                                           std::to_string(blockedRemotePort));
    }
    // One cycle; whether the table's descriptor said it had changed.
    bool Cycle() {
        pollfd wait{source.WaitDescriptor(), POLLIN, 0};
        const bool woken = wait.fd >= 0 && ::poll(&wait, 1, 1) == 1;
        engine.ProcessTcpTable([] {});
        return woken;
    }
    bool CycleUntil(const std::function<bool()>& done) {
        return WaitUntil([&] { return Cycle(), done(); });
    }
    bool Lists(int port) const {
        return std::any_of(engine.Table.Rows.begin(), engine.Table.Rows.end(),
                           [port](const TcpRow& r) { return r.LocalPort == port; });
    }

    platform::TcpTableSource& source;
    testing::FakeHosts hosts;
    testing::MapStore store;
    Engine engine{source, hosts, store};
};

TEST(EventBlocking, AConnectionOpenedWhileTheTableIdlesIsClosedFromItsReport) {
    RunInPrivateNetwork([] {
        platform::PollingCause why;
        auto table = platform::EventTcpTable::Open(why);
        if (!table) {
            GTEST_SKIP() << "no kernel events here: " << why.Text();
        }
        const Listener blocked = ListenIPv4(), open = ListenIPv4();
        ASSERT_TRUE(blocked.fd && open.fd);
        Guard guard(*table, blocked.port);
        const Connection kept = Connect(open);
        ASSERT_TRUE(guard.CycleUntil([&] { return guard.Lists(kept.clientPort); }));
        for (int i = 0; i < 3; ++i) {
            EXPECT_FALSE(guard.Cycle()) << "the descriptor woke an idle table";
        }

        const Connection doomed = Connect(blocked);
        ASSERT_TRUE(doomed.client);
        EXPECT_TRUE(guard.Cycle()) << "the descriptor slept through a new connection";
        Watched watched{&doomed};
        EXPECT_TRUE(guard.CycleUntil([&] { return watched.Aborted(); }));
        EXPECT_EQ(table->WholeReads(), 1u) << "the close waited for a whole read";

        // What the reports built is what a whole read finds.
        const auto whole = platform::LinuxTcpTable::Open();
        ASSERT_TRUE(whole);
        std::vector<TcpRow> found;
        EXPECT_TRUE(guard.CycleUntil([&] {
            return whole->ReadTable(found) && platform::SortedByCookie(found) ==
                                                  platform::SortedByCookie(guard.engine.Table.Rows);
        })) << found.size()
            << " rows found, " << guard.engine.Table.Rows.size() << " kept";
    });
}

TEST(EventBlocking, AnotherNetworksConnectionsAreNeitherListedNorClosed) {
    RunInPrivateNetwork([] {
        platform::PollingCause why;
        auto table = platform::EventTcpTable::Open(why);
        if (!table) {
            GTEST_SKIP() << "no kernel events here: " << why.Text();
        }
        // The other network tells its listener's port, connects when told to, and keeps its
        // connection until told it is done.
        int fromOther[2], toOther[2];
        ASSERT_EQ(::pipe(fromOther), 0);
        ASSERT_EQ(::pipe(toOther), 0);
        const pid_t other = ::fork();
        if (other == 0) {
            RunInPrivateNetwork([&] {
                const Listener listener = ListenIPv4();
                ASSERT_EQ(::write(fromOther[1], &listener.port, sizeof listener.port),
                          static_cast<ssize_t>(sizeof listener.port));
                char go = 0;
                ASSERT_EQ(::read(toOther[0], &go, 1), 1);
                const Connection theirs = Connect(listener);
                ASSERT_TRUE(theirs.server);
                ASSERT_EQ(::write(fromOther[1], "c", 1), 1);
                ASSERT_EQ(::read(toOther[0], &go, 1), 1);
                char byte = 'q';
                EXPECT_EQ(::send(theirs.client.Get(), &byte, 1, MSG_NOSIGNAL), 1);
                EXPECT_EQ(::recv(theirs.server.Get(), &byte, 1, 0), 1) << "closed from outside";
            });
            ::_exit(::testing::Test::HasFailure() ? 1 : 0);
        }
        int theirPort = 0;
        ASSERT_EQ(::read(fromOther[0], &theirPort, sizeof theirPort),
                  static_cast<ssize_t>(sizeof theirPort));
        // Their port is blocked here too, and the table is past its first whole read before
        // they connect: from then on only reports bring rows.
        Guard guard(*table, theirPort);
        guard.Cycle();
        char connected = 0;
        ASSERT_EQ(::write(toOther[1], "g", 1), 1);
        ASSERT_EQ(::read(fromOther[0], &connected, 1), 1);

        // Our own connection, made after theirs, shows when the reports before it are read.
        const Listener listener = ListenIPv4();
        const Connection ours = Connect(listener);
        EXPECT_TRUE(guard.CycleUntil([&] { return guard.Lists(ours.clientPort); }));
        for (const TcpRow& row : guard.engine.Table.Rows) {
            EXPECT_NE(row.RemotePort, theirPort) << "another network's connection is listed";
        }
        EXPECT_EQ(table->WholeReads(), 1u);
        ASSERT_EQ(::write(toOther[1], "d", 1), 1);
        int status = 0;
        ASSERT_EQ(::waitpid(other, &status, 0), other);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    });
}

TEST(EventBlocking, AfterLostReportsAWholeReadLetsNoBlockedConnectionSurvive) {
    RunInPrivateNetwork([] {
#ifdef QUARNEL_KERNEL_EVENTS
        platform::PollingCause why;
        // One memory page holds about 60 reports; each connection below brings five or more.
        auto events = platform::KernelTcpEvents::Open(why, 4096);
        if (!events) {
            GTEST_SKIP() << "no kernel events here: " << why.Text();
        }
        const platform::KernelTcpEvents& stream = *events;
        platform::EventTcpTable table(std::move(events), platform::LinuxTcpTable::Open());
        const Listener blocked = ListenIPv4();
        ASSERT_TRUE(blocked.fd);
        Guard guard(table, blocked.port);
        guard.Cycle();

        RaiseOpenFileLimit();
        const std::vector<Connection> burst = ConnectMany(blocked, 300);
        ASSERT_EQ(burst.size(), 300u);
        EXPECT_GT(stream.LostCount(), 0u);
        std::vector<Watched> watched;
        for (const Connection& c : burst) {
            watched.push_back({&c});
        }
        // The loss shows at the next read, which reads the whole table before the pass.
        guard.Cycle();
        EXPECT_TRUE(
            std::all_of(watched.begin(), watched.end(), [](Watched& w) { return w.Aborted(); }));
        EXPECT_EQ(table.WholeReads(), 2u);
#else
        GTEST_SKIP() << "built without kernel events";
#endif
    });
}

TEST(EventBlocking, WhereTheKernelRefusesItsProgramThePolledTableStillBlocks) {
    RunInPrivateNetworkAndUser([] {
        // Root of its own namespaces may close their connections, but loads no kernel program.
        const platform::TcpTableSelection selection = platform::OpenTcpTableSource("");
        ASSERT_TRUE(selection.Source);
        EXPECT_EQ(selection.Mode, platform::TableMode::InProcess);
        EXPECT_NE(platform::DescribePollingMode(selection), "");
        EXPECT_EQ(selection.Source->WaitDescriptor(), -1);
        const Listener blocked = ListenIPv4();
        Guard guard(*selection.Source, blocked.port);
        const Connection doomed = Connect(blocked);
        Watched watched{&doomed};
        EXPECT_TRUE(guard.CycleUntil([&] { return watched.Aborted(); }));
    });
}

}  // namespace
}  // namespace quarnel
