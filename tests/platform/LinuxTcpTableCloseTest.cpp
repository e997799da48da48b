// Closing connections of the real TCP table, and whether this process may, in a private network
// namespace.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>

#include "platform/linux/LinuxTcpTable.h"
#include "tests/platform/TableRows.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"
#include "tests/support/WaitUntil.h"

namespace quarnel::platform {
namespace {

using namespace quarnel::testsupport;

constexpr std::int32_t kEstablished = 5;

// The errno of a receive that must fail at once; 0 when it did not fail.
int ReceiveError(int fd) {
    char byte;
    return ::recv(fd, &byte, 1, MSG_DONTWAIT) < 0 ? errno : 0;
}

// Whether one byte makes it across in both directions.
bool StillCarries(const Connection& c) {
    for (const auto& [from, to] :
         {std::pair{c.client.Get(), c.server.Get()}, std::pair{c.server.Get(), c.client.Get()}}) {
        char byte = 'q';
        if (::send(from, &byte, 1, MSG_NOSIGNAL) != 1 || ::recv(to, &byte, 1, 0) != 1) {
            return false;
        }
    }
    return true;
}

// A connection whose client end is bound to the loopback device, so its row names an interface.
Connection ConnectBoundToLoopback(const Listener& listener) {
    Connection c;
    c.client = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const char device[] = "lo";
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<std::uint16_t>(listener.port));
    target.sin_addr.s_addr = RawIPv4("127.0.0.1");
    if (!c.client ||
        ::setsockopt(c.client.Get(), SOL_SOCKET, SO_BINDTODEVICE, device, sizeof device) != 0 ||
        ::connect(c.client.Get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
        ADD_FAILURE() << "connect bound to lo: " << std::strerror(errno);
        return {};
    }
    c.server = UniqueFd(::accept4(listener.fd.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    c.clientPort = LocalPort(c.client.Get());
    return c;
}

// One way a connection can look in the table, and which of its ends the test closes.
struct CloseCase {
    const char* name;
    std::function<Listener()> listen;
    std::function<Connection(const Listener&)> connect;
    bool closeServerEnd;
    SocketFamily family;
    bool boundToLoopback;
};

void PrintTo(const CloseCase& c, std::ostream* out) {
    *out << c.name;
}

class LinuxTcpTableClose : public ::testing::TestWithParam<CloseCase> {};

TEST_P(LinuxTcpTableClose, AbortsExactlyThatConnection) {
    RunInPrivateNetwork([] {
        const CloseCase& param = GetParam();
        auto table = OpenTable();
        ASSERT_TRUE(table);
        Listener listener = param.listen();
        ASSERT_TRUE(listener.fd);
        Connection doomed = param.connect(listener);
        Connection bystander = param.connect(listener);
        ASSERT_TRUE(doomed.server && bystander.server);

        const int port = listener.port;
        const int localPort = param.closeServerEnd ? port : doomed.clientPort;
        const int remotePort = param.closeServerEnd ? doomed.clientPort : port;
        const int closedEnd = param.closeServerEnd ? doomed.server.Get() : doomed.client.Get();
        const int otherEnd = param.closeServerEnd ? doomed.client.Get() : doomed.server.Get();
        const std::optional<TcpRow> row = RowWithPorts(ReadRows(*table), localPort, remotePort);
        ASSERT_TRUE(row);
        EXPECT_EQ(row->Family, param.family);
        EXPECT_EQ(row->Interface, param.boundToLoopback ? ::if_nametoindex("lo") : 0u);

        EXPECT_TRUE(table->CloseConnection(*row));

        EXPECT_EQ(ReceiveError(closedEnd), ECONNABORTED) << std::strerror(ReceiveError(closedEnd));
        EXPECT_TRUE(WaitUntil([&] { return ReceiveError(otherEnd) == ECONNRESET; }))
            << "the other end was not reset";
        EXPECT_TRUE(StillCarries(bystander));
        const std::vector<TcpRow> rows = ReadRows(*table);
        EXPECT_TRUE(RowsWithPorts(rows, localPort, remotePort).empty());
        EXPECT_EQ(rows.size(), 3u) << "the listener and both ends of the other connection";
    });
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LinuxTcpTableClose,
    ::testing::Values(CloseCase{"ClientEnd", [] { return ListenIPv4(); },
                                [](const Listener& l) { return Connect(l); }, false,
                                SocketFamily::IPv4, false},
                      CloseCase{"MappedServerEndOfDualStackListener",
                                [] { return ListenIPv6Any(false); },
                                [](const Listener& l) { return Connect(l, "127.0.0.1"); }, true,
                                SocketFamily::MappedIPv6, false},
                      CloseCase{"ClientEndBoundToLoopbackDevice", [] { return ListenIPv4(); },
                                ConnectBoundToLoopback, false, SocketFamily::IPv4, true}),
    [](const ::testing::TestParamInfo<CloseCase>& info) { return info.param.name; });

// Drops a connection at once (a reset, no TIME_WAIT), so its ports can be used again.
void Abort(Connection& c) {
    const linger now{1, 0};
    ASSERT_EQ(::setsockopt(c.client.Get(), SOL_SOCKET, SO_LINGER, &now, sizeof now), 0);
    c.client.Reset();
    c.server.Reset();
}

TEST(LinuxTcpTableCloseStale, RowsThatNameNoLiveSocketCloseNothing) {
    RunInPrivateNetwork([] {
        auto table = OpenTable();
        ASSERT_TRUE(table);
        Listener listener = ListenIPv4();
        ASSERT_TRUE(listener.fd);
        Connection first = Connect(listener);
        ASSERT_TRUE(first.server);
        const int clientPort = first.clientPort;
        const std::optional<TcpRow> stale =
            RowWithPorts(ReadRows(*table), clientPort, listener.port);
        ASSERT_TRUE(stale);
        Abort(first);
        ASSERT_TRUE(WaitForState(*table, clientPort, listener.port, 0));

        EXPECT_FALSE(table->CloseConnection(*stale)) << "nothing is left to close";

        // The same ports again: a new connection that only the cookie tells apart.
        Connection second = Connect(listener, "127.0.0.1", clientPort);
        ASSERT_TRUE(second.server);
        const std::optional<TcpRow> live =
            RowWithPorts(ReadRows(*table), clientPort, listener.port);
        ASSERT_TRUE(live);
        ASSERT_NE(live->Cookie, stale->Cookie);
        TcpRow otherPort = *live;
        otherPort.RemotePort = listener.port == 65535 ? 1 : listener.port + 1;

        for (const TcpRow& row : {*stale, otherPort}) {
            EXPECT_FALSE(table->CloseConnection(row)) << ::testing::PrintToString(row);
            EXPECT_TRUE(StillCarries(second)) << ::testing::PrintToString(row);
        }
        EXPECT_EQ(ReadRows(*table).size(), 3u);
    });
}

TEST(LinuxTcpTablePermission, AllowedAsRootOfTheNetworkAndClosesOnlyItsOwnProbe) {
    RunInPrivateNetwork([] {
        auto table = OpenTable();
        ASSERT_TRUE(table);
        Listener listener = ListenIPv4();
        ASSERT_TRUE(listener.fd);
        Connection c = Connect(listener);
        ASSERT_TRUE(c.server);
        const std::vector<TcpRow> before = ReadRows(*table);

        EXPECT_EQ(table->CanCloseConnections(), CloseAbility::Allowed);

        EXPECT_EQ(ReadRows(*table), before);
        EXPECT_TRUE(StillCarries(c));
    });
}

TEST(LinuxTcpTablePermission, RefusedWithoutNetAdminOverTheNetwork) {
    RunInPrivateNetwork([] {
        Listener listener = ListenIPv4();
        ASSERT_TRUE(listener.fd);
        Connection c = Connect(listener);
        ASSERT_TRUE(c.server);

        RunInChildProcess([&] {
            // All capabilities, but in a user namespace that does not own this network.
            if (::unshare(CLONE_NEWUSER) != 0) {
                GTEST_SKIP() << "no user namespace: " << std::strerror(errno);
            }
            auto table = OpenTable();
            ASSERT_TRUE(table);
            EXPECT_EQ(table->CanCloseConnections(), CloseAbility::NoPermission);
            const std::optional<TcpRow> row =
                RowWithPorts(ReadRows(*table), c.clientPort, listener.port);
            ASSERT_TRUE(row) << "reading needs no permission";
            EXPECT_FALSE(table->CloseConnection(*row));
        });
        EXPECT_TRUE(StillCarries(c));
    });
}

}  // namespace
}  // namespace quarnel::platform
