// Reading the real TCP table, in a private network namespace.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <set>

#include "platform/linux/LinuxTcpTable.h"
#include "tests/platform/TableRows.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"

namespace quarnel::platform {
namespace {

using namespace quarnel::testsupport;

constexpr std::int32_t kListening = 2;
constexpr std::int32_t kSynSent = 3;
constexpr std::int32_t kEstablished = 5;
constexpr std::int32_t kFinWait2 = 7;
constexpr std::int32_t kCloseWait = 8;
constexpr std::int32_t kTimeWait = 11;
constexpr std::int32_t kGone = 0;

bool Contains(const std::vector<TcpRow>& rows, const TcpRow& row) {
    return std::count(rows.begin(), rows.end(), row) == 1;
}

TEST(LinuxTcpTableRead, ShowsBothEndsOfALoopbackConnectionAndTheListeners) {
    RunInPrivateNetwork([] {
        auto table = OpenTable();
        ASSERT_TRUE(table);
        // Different addresses at the two ends tell local from remote.
        Listener listener = ListenIPv4("127.0.0.2");
        Listener anyAddress = ListenIPv4("0.0.0.0");
        ASSERT_TRUE(listener.fd && anyAddress.fd);
        Connection c = Connect(listener, "127.0.0.2");
        ASSERT_TRUE(c.server);

        const std::vector<TcpRow> rows = ReadRows(*table);

        const int port = listener.port;
        const std::uint64_t client = SocketCookie(c.client.Get());
        const std::uint64_t server = SocketCookie(c.server.Get());
        EXPECT_PRED2(Contains, rows,
                     Row(kEstablished, "127.0.0.1", c.clientPort, "127.0.0.2", port,
                         SocketFamily::IPv4, client));
        EXPECT_PRED2(Contains, rows,
                     Row(kEstablished, "127.0.0.2", port, "127.0.0.1", c.clientPort,
                         SocketFamily::IPv4, server));
        EXPECT_PRED2(Contains, rows,
                     Row(kListening, "127.0.0.2", port, "0.0.0.0", 0, SocketFamily::IPv4,
                         SocketCookie(listener.fd.Get())));
        // Listening on all addresses: local address 0.
        EXPECT_PRED2(Contains, rows,
                     Row(kListening, "0.0.0.0", anyAddress.port, "0.0.0.0", 0, SocketFamily::IPv4,
                         SocketCookie(anyAddress.fd.Get())));
        EXPECT_EQ(rows.size(), 4u);
    });
}

TEST(LinuxTcpTableRead, FollowsAConnectionThroughItsStates) {
    RunInPrivateNetwork([] {
        auto table = OpenTable();
        ASSERT_TRUE(table);
        Listener listener = ListenIPv4();
        ASSERT_TRUE(listener.fd);
        Connection c = Connect(listener);
        ASSERT_TRUE(c.server);
        const int port = listener.port;

        // The client closes its half first: it waits for the server's FIN, which waits for the
        // server program.
        ASSERT_EQ(::shutdown(c.client.Get(), SHUT_WR), 0);
        EXPECT_TRUE(WaitForState(*table, c.clientPort, port, kFinWait2));
        EXPECT_TRUE(WaitForState(*table, port, c.clientPort, kCloseWait));

        c.server.Reset();
        EXPECT_TRUE(WaitForState(*table, c.clientPort, port, kTimeWait));
        EXPECT_TRUE(WaitForState(*table, port, c.clientPort, kGone));

        // A listener whose queue is full drops further handshakes: the client keeps trying.
        Listener full = ListenIPv4("127.0.0.1", 0);
        ASSERT_TRUE(full.fd);
        UniqueFd queued = StartConnect(full.port);
        ASSERT_TRUE(WaitForState(*table, full.port, LocalPort(queued.Get()), kEstablished));
        UniqueFd waiting = StartConnect(full.port);
        EXPECT_TRUE(WaitForState(*table, LocalPort(waiting.Get()), full.port, kSynSent));
    });
}

TEST(LinuxTcpTableRead, IPv4ConnectionsOfDualStackSocketsAreIPv4RowsAndPureIPv6IsNot) {
    RunInPrivateNetwork([] {
        auto table = OpenTable();
        ASSERT_TRUE(table);
        Listener dual = ListenIPv6Any(false);
        Listener v6Only = ListenIPv6Any(true);
        ASSERT_TRUE(dual.fd && v6Only.fd);
        Connection c = Connect(dual, "127.0.0.1");
        Connection pure = Connect(v6Only, "::1");
        ASSERT_TRUE(c.server && pure.server);

        const std::vector<TcpRow> rows = ReadRows(*table);

        const int port = dual.port;
        // The accepted socket is IPv6 with mapped addresses; the client is plain IPv4.
        EXPECT_PRED2(Contains, rows,
                     Row(kEstablished, "127.0.0.1", port, "127.0.0.1", c.clientPort,
                         SocketFamily::MappedIPv6, SocketCookie(c.server.Get())));
        EXPECT_PRED2(Contains, rows,
                     Row(kEstablished, "127.0.0.1", c.clientPort, "127.0.0.1", port,
                         SocketFamily::IPv4, SocketCookie(c.client.Get())));
        // [::] without IPV6_V6ONLY takes IPv4 on every address too.
        EXPECT_PRED2(Contains, rows,
                     Row(kListening, "0.0.0.0", port, "0.0.0.0", 0, SocketFamily::MappedIPv6,
                         SocketCookie(dual.fd.Get())));
        for (const TcpRow& row : rows) {
            EXPECT_NE(row.LocalPort, v6Only.port) << ::testing::PrintToString(row);
            EXPECT_NE(row.RemotePort, v6Only.port) << ::testing::PrintToString(row);
        }
        EXPECT_EQ(rows.size(), 3u);
    });
}

TEST(LinuxTcpTableRead, ReadsEveryOneOfSixThousandConnections) {
    RunInPrivateNetwork([] {
        constexpr int kConnections = 6000;
        const rlim_t limit = RaiseOpenFileLimit();
        if (limit < 2 * kConnections + 100) {
            GTEST_SKIP() << "needs " << 2 * kConnections + 100 << " open files, the limit is "
                         << limit;
        }
        auto table = OpenTable();
        ASSERT_TRUE(table);
        Listener listener = ListenIPv4();
        ASSERT_TRUE(listener.fd);
        const std::vector<Connection> connections = ConnectMany(listener, kConnections);
        ASSERT_EQ(connections.size(), static_cast<std::size_t>(kConnections));

        const std::vector<TcpRow> rows = ReadRows(*table);

        std::set<int> clientEnds;
        std::set<int> serverEnds;
        for (const TcpRow& row : rows) {
            if (row.State != kEstablished) {
                continue;
            }
            if (row.RemotePort == listener.port) {
                clientEnds.insert(row.LocalPort);
            } else if (row.LocalPort == listener.port) {
                serverEnds.insert(row.RemotePort);
            }
        }
        std::set<int> expected;
        for (const Connection& c : connections) {
            expected.insert(c.clientPort);
        }
        EXPECT_TRUE(clientEnds == expected)
            << clientEnds.size() << " client ends of " << expected.size();
        EXPECT_TRUE(serverEnds == expected)
            << serverEnds.size() << " server ends of " << expected.size();
        EXPECT_EQ(rows.size(), 2u * kConnections + 1);
    });
}

}  // namespace
}  // namespace quarnel::platform
