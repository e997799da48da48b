// The blocking pass over the system's own table, in private network namespaces: the table kept
// from the kernel's reports, and the polled table where the kernel refuses the reporting program.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/IniSettingsStore.h"
#include "engine/Engine.h"
#include "platform/linux/EventTcpTable.h"
#include "platform/linux/LinuxHostAddressSource.h"
#include "platform/linux/LinuxTcpTable.h"
#include "platform/linux/TcpTableSelection.h"
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

// Whether the client's end was closed under it. The kernel tells that to one receive only.
bool Aborted(const Connection& connection) {
    char byte = 0;
    return ::recv(connection.client.Get(), &byte, 1, MSG_DONTWAIT) < 0 && errno == ECONNABORTED;
}

// Whether a byte still goes from client to server: it does not once either end was closed.
bool Carries(const Connection& connection) {
    char byte = 'q';
    return ::send(connection.client.Get(), &byte, 1, MSG_NOSIGNAL) == 1 &&
           ::recv(connection.server.Get(), &byte, 1, 0) == 1;
}

// An engine as the main loop drives it: wait at most 1 ms for the table to change, then one
// pass. Its rules block the remote ports given, or come from the INI file a test loads.
struct Guard {
    Guard(platform::TcpTableSource& table, const std::string& blockedRemotePorts) : source(table) {
        engine.oManager.LoadListFromString(engine.oManager.oBlockedRemotePorts, blockedRemotePorts);
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
    bool Lists(const UniqueFd& socket) const {
        const std::uint64_t cookie = SocketCookie(socket.Get());
        return std::ranges::any_of(engine.Table.Rows,
                                   [=](const TcpRow& r) { return r.Cookie == cookie; });
    }

    platform::TcpTableSource& source;
    platform::LinuxHostAddressSource hosts;
    IniSettingsStore store;
    Engine engine{source, hosts, store};
};

// Turns on the loopback device of the network namespace the process is in.
[[maybe_unused]] void LoopbackUp() {
    const UniqueFd control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    ASSERT_EQ(::ioctl(control.Get(), SIOCGIFFLAGS, &request), 0) << std::strerror(errno);
    request.ifr_flags |= IFF_UP;
    ASSERT_EQ(::ioctl(control.Get(), SIOCSIFFLAGS, &request), 0) << std::strerror(errno);
}

TEST(EventBlocking, ConnectionsCloseFromTheirReportsOrAfterLostOnesFromAWholeRead) {
#ifndef QUARNEL_KERNEL_EVENTS
    GTEST_SKIP() << "built without kernel events";
#else
    RunInPrivateNetwork([] {
        platform::PollingCause why;
        // One memory page holds about 60 reports; each connection brings five or more.
        auto events = platform::KernelTcpEvents::Open(why, 4096);
        if (!events) {
            GTEST_SKIP() << "no kernel events here: " << why.Text();
        }
        const platform::KernelTcpEvents& stream = *events;
        platform::EventTcpTable table(std::move(events), platform::LinuxTcpTable::Open());
        const Listener blocked = ListenIPv4(), open = ListenIPv4();
        Guard guard(table, std::to_string(blocked.port));
        guard.Cycle();  // past the first whole read: from here on only reports bring rows
        // Another network's connection, on a port blocked here too.
        const UniqueFd home(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
        ASSERT_EQ(::unshare(CLONE_NEWNET), 0) << std::strerror(errno);
        LoopbackUp();
        const Listener theirListener = ListenIPv4();
        const Connection theirs = Connect(theirListener);
        ASSERT_EQ(::setns(home.Get(), CLONE_NEWNET), 0) << std::strerror(errno);
        (void)guard.engine.oManager.oBlockedRemotePorts.AddItem(theirListener.port);
        const Connection kept = Connect(open);
        ASSERT_TRUE(guard.CycleUntil([&] { return guard.Lists(kept.client); }));
        EXPECT_FALSE(guard.Cycle()) << "the descriptor woke an idle table";
        const Connection doomed = Connect(blocked);
        EXPECT_TRUE(guard.Cycle()) << "the descriptor slept through a new connection";
        EXPECT_TRUE(guard.CycleUntil([&] { return Aborted(doomed); }));
        EXPECT_EQ(table.WholeReads(), 1u) << "the close waited for a whole read";
        EXPECT_FALSE(guard.Lists(theirs.client) || guard.Lists(theirs.server));
        EXPECT_TRUE(Carries(theirs));
        // What the reports built is what a whole read finds.
        const auto whole = platform::OpenTable();
        ASSERT_TRUE(whole);
        EXPECT_TRUE(guard.CycleUntil([&] {
            return platform::SortedByCookie(platform::ReadRows(*whole)) ==
                   platform::SortedByCookie(guard.engine.Table.Rows);
        }));

        const std::uint64_t wholeReads = table.WholeReads();
        const std::vector<Connection> burst = ConnectMany(blocked, 300);
        ASSERT_EQ(burst.size(), 300u);
        EXPECT_GT(stream.LostCount(), 0u);
        guard.Cycle();  // the loss brings a whole read before the pass
        EXPECT_EQ(table.WholeReads(), wholeReads + 1);
        EXPECT_EQ(std::count_if(burst.begin(), burst.end(), Aborted), 300);
    });
#endif
}

TEST(EventBlocking, WhereTheKernelRefusesItsProgramThePolledTableBlocksByTheIniFile) {
    RunInPrivateNetworkAndUser([] {
        // Root of its own namespaces may close their connections, but loads no kernel program.
        const platform::TcpTableSelection selection = platform::OpenTcpTableSource("");
        ASSERT_TRUE(selection.Source);
        EXPECT_EQ(selection.Source->WaitDescriptor(), -1);
        EXPECT_NE(platform::DescribePollingMode(selection), "");

        const Listener blockedRemote = ListenIPv4(), open = ListenIPv4(),
                       allowedServer = ListenIPv4("127.0.0.2"), blockedListener = ListenIPv4(),
                       everywhere = ListenIPv4("0.0.0.0");
        const int blockedClientPort = ListenIPv4().port;  // free again once its listener closed
        const QTemporaryDir home;
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home.path());
        QSettings ini(QSettings::IniFormat, QSettings::UserScope, "Quarnel", "Quarnel");
        // 127.0.0.1 is off the allowed list: loopback connections have no protection.
        ini.setValue("AllowedIPString", "127.0.0.2");
        ini.setValue("BlockedLocalPortsString",
                     QString("%1,%2").arg(blockedListener.port).arg(blockedClientPort));
        ini.setValue("BlockedRemotePortsString",
                     QString("%1,%2").arg(blockedRemote.port).arg(allowedServer.port));
        ini.sync();
        Guard guard(*selection.Source, "");
        guard.engine.oManager.LoadSettings();

        // Bound first: a connection made before could be given the freed port.
        const Connection fromBlockedPort = Connect(open, "127.0.0.1", blockedClientPort);
        const Connection toBlockedPort = Connect(blockedRemote);
        const Connection unblocked = Connect(open);
        const Connection allowed = Connect(allowedServer, "127.0.0.2");
        EXPECT_TRUE(guard.CycleUntil([&] { return Aborted(toBlockedPort); }));
        EXPECT_TRUE(guard.CycleUntil([&] { return Aborted(fromBlockedPort); }));
        EXPECT_TRUE(Carries(unblocked));
        EXPECT_TRUE(Carries(allowed));
        EXPECT_TRUE(Connect(blockedListener).server) << "the listener was closed";
        // The lines the user sees for the system's rows.
        const auto line = [&](int localPort, int remotePort) {
            const auto row = platform::RowWithPorts(guard.engine.Table.Rows, localPort, remotePort);
            return row ? DisplayLine(*row, RemoteAddressText(*row)) : "no row";
        };
        EXPECT_EQ(line(unblocked.clientPort, open.port),
                  std::to_string(unblocked.clientPort) +
                      " <--> 127.0.0.1:" + std::to_string(open.port) + " ESTABLISHED");
        EXPECT_EQ(line(everywhere.port, 0), std::to_string(everywhere.port) + " LISTENING");
        guard.engine.oManager.RefreshLocalIPList();  // with the addresses of interfaces that are up
        EXPECT_GE(guard.engine.oManager.oLocalIP.FindItem("=", std::string("127.0.0.1")), 0);
    });
}

}  // namespace
}  // namespace quarnel
