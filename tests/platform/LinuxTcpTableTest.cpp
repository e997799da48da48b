// The real TCP table in a private network namespace: what a read shows, what a close closes,
// and whether this process may close.

#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <set>

#include "platform/linux/LinuxTcpTable.h"
#include "tests/platform/TableRows.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"
#include "tests/support/WaitUntil.h"

// Every allocation of this program is counted, so that a test can tell a read that allocates.
// The deletes stay out of line: inlined, an optimising g++ 12 takes their free() for one that
// mismatches the new.
namespace {
std::atomic<long> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* memory) noexcept {
    std::free(memory);
}
[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}

namespace quarnel::platform {
namespace {

using namespace quarnel::testsupport;

constexpr std::int32_t kListening = 2, kEstablished = 5, kFinWait2 = 7, kCloseWait = 8,
                       kTimeWait = 11;

std::uint64_t Cookie(const UniqueFd& fd) {
    return SocketCookie(fd.Get());
}

TEST(LinuxTcpTableRead, ShowsEachSocketThatCarriesIPv4WithItsIdentity) {
    RunInPrivateNetwork([] {
        auto table = OpenTable();
        // Different addresses at the two ends tell local from remote.
        const Listener listener = ListenIPv4("127.0.0.2"), any = ListenIPv4("0.0.0.0");
        const Listener dual = ListenIPv6Any(false), v6Only = ListenIPv6Any(true);
        const Connection c = Connect(listener, "127.0.0.2"), mapped = Connect(dual, "127.0.0.1");
        const Connection pure = Connect(v6Only, "::1");
        ASSERT_TRUE(table && c.server && mapped.server && pure.server);

        const std::vector<TcpRow> rows = ReadRows(*table);
        const SocketFamily v4 = SocketFamily::IPv4, v6 = SocketFamily::MappedIPv6;
        const int port = listener.port, client = c.clientPort;
        const std::vector<TcpRow> expected = {
            Row(kEstablished, "127.0.0.1", client, "127.0.0.2", port, v4, Cookie(c.client)),
            Row(kEstablished, "127.0.0.2", port, "127.0.0.1", client, v4, Cookie(c.server)),
            Row(kListening, "127.0.0.2", port, "0.0.0.0", 0, v4, Cookie(listener.fd)),
            Row(kListening, "0.0.0.0", any.port, "0.0.0.0", 0, v4, Cookie(any.fd)),
            // An IPv4 client of [::]; the end [::] accepted is an IPv6 socket of mapped addresses.
            Row(kEstablished, "127.0.0.1", mapped.clientPort, "127.0.0.1", dual.port, v4,
                Cookie(mapped.client)),
            Row(kEstablished, "127.0.0.1", dual.port, "127.0.0.1", mapped.clientPort, v6,
                Cookie(mapped.server)),
            // [::] without IPV6_V6ONLY takes IPv4 on every address too.
            Row(kListening, "0.0.0.0", dual.port, "0.0.0.0", 0, v6, Cookie(dual.fd)),
        };
        // And nothing else: pure IPv6 sockets are no rows.
        EXPECT_EQ(SortedByCookie(rows), SortedByCookie(expected));
    });
}

TEST(LinuxTcpTableRead, FollowsAConnectionThroughItsStates) {
    RunInPrivateNetwork([] {
        auto table = OpenTable();
        Loopback loop{};
        ASSERT_TRUE(table && loop.c.server);
        const int port = loop.listener.port, client = loop.c.clientPort;

        // The client closes its half first: it waits for the server's FIN, which waits for the
        // server program.
        ASSERT_EQ(::shutdown(loop.c.client.Get(), SHUT_WR), 0);
        EXPECT_TRUE(WaitForState(*table, client, port, kFinWait2));
        EXPECT_TRUE(WaitForState(*table, port, client, kCloseWait));
        loop.c.server.Reset();
        EXPECT_TRUE(WaitForState(*table, client, port, kTimeWait));
        EXPECT_TRUE(WaitForState(*table, port, client, 0));
    });
}

TEST(LinuxTcpTableRead, ReadsEveryOneOfSixThousandConnectionsAndThenAllocatesNoMore) {
    RunInPrivateNetwork([] {
        constexpr int kConnections = 6000;
        if (const rlim_t limit = RaiseOpenFileLimit(); limit < 2 * kConnections + 100) {
            GTEST_SKIP() << "needs " << 2 * kConnections + 100 << " open files, may have " << limit;
        }
        auto table = OpenTable();
        const Listener listener = ListenIPv4();
        ASSERT_TRUE(table && listener.fd);
        const std::vector<Connection> connections = ConnectMany(listener, kConnections);
        ASSERT_EQ(connections.size(), static_cast<std::size_t>(kConnections));

        std::vector<TcpRow> rows;
        ASSERT_TRUE(table->ReadTable(rows));
        ASSERT_TRUE(table->ReadTable(rows));  // both buffers of the swap have grown now
        const long before = allocations.load();
        ASSERT_TRUE(table->ReadTable(rows));
        EXPECT_EQ(allocations.load() - before, 0) << "a steady read allocates";

        // The namespace holds the listener and both ends of each connection: each read once.
        std::set<std::uint64_t> sockets;
        for (const TcpRow& row : rows) {
            sockets.insert(row.Cookie);
        }
        EXPECT_EQ(sockets.size(), 2u * kConnections + 1);
        EXPECT_EQ(rows.size(), 2u * kConnections + 1);
    });
}

TEST(LinuxTcpTableClose, AbortsExactlyTheConnectionTheRowNames) {
    const struct {
        const char* name;
        bool dualStack;  // the listener is on [::]: its accepted ends carry mapped addresses
        bool boundToLoopback;
        bool serverEnd;  // the end that is closed
    } cases[] = {
        {"client end", false, false, false},
        {"mapped server end", true, false, true},
        {"server end bound to the loopback device", false, true, true},
    };
    for (const auto& param : cases) {
        RunInPrivateNetwork([&] {
            SCOPED_TRACE(param.name);
            auto table = OpenTable();
            const Listener listener = param.dualStack ? ListenIPv6Any() : ListenIPv4();
            ASSERT_TRUE(table && listener.fd);
            // Its accepted ends are bound to the same device.
            ASSERT_TRUE(!param.boundToLoopback ||
                        ::setsockopt(listener.fd.Get(), SOL_SOCKET, SO_BINDTODEVICE, "lo", 3) == 0);
            const Connection doomed = Connect(listener), bystander = Connect(listener);
            ASSERT_TRUE(doomed.server && bystander.server);
            const int port = listener.port, client = doomed.clientPort;
            const int local = param.serverEnd ? port : client;
            const int remote = param.serverEnd ? client : port;
            const int closed = (param.serverEnd ? doomed.server : doomed.client).Get();
            const int other = (param.serverEnd ? doomed.client : doomed.server).Get();
            const std::optional<TcpRow> row = RowWithPorts(ReadRows(*table), local, remote);
            ASSERT_TRUE(row);
            EXPECT_EQ(row->Family, param.dualStack && param.serverEnd ? SocketFamily::MappedIPv6
                                                                      : SocketFamily::IPv4);
            EXPECT_EQ(row->Interface, param.boundToLoopback ? ::if_nametoindex("lo") : 0u);

            EXPECT_TRUE(table->CloseConnection(*row));

            EXPECT_EQ(ReceiveError(closed), ECONNABORTED);
            EXPECT_TRUE(WaitUntil([&] { return ReceiveError(other) == ECONNRESET; }));
            EXPECT_TRUE(StillCarries(bystander));
            const std::vector<TcpRow> rows = ReadRows(*table);
            EXPECT_FALSE(RowWithPorts(rows, local, remote));
            EXPECT_EQ(rows.size(), 3u) << "the listener and both ends of the other connection";
        });
    }
}

TEST(LinuxTcpTableClose, StaleOrWrongRowsCloseNothingAndRootMayClose) {
    RunInPrivateNetwork([] {
        auto table = OpenTable();
        Loopback first{};
        ASSERT_TRUE(table && first.c.server);
        const int port = first.listener.port, client = first.c.clientPort;
        const std::optional<TcpRow> stale = first.RowIn(ReadRows(*table));
        ASSERT_TRUE(stale);
        // A reset: gone at once, without a time-wait that would hold its ports.
        const linger now{1, 0};
        ASSERT_EQ(::setsockopt(first.c.client.Get(), SOL_SOCKET, SO_LINGER, &now, sizeof now), 0);
        first.c = {};
        ASSERT_TRUE(WaitForState(*table, client, port, 0));
        EXPECT_FALSE(table->CloseConnection(*stale)) << "nothing is left to close";

        // The same ports again: a new connection that only the cookie tells apart.
        const Connection second = Connect(first.listener, "127.0.0.1", client);
        const std::optional<TcpRow> live = RowWithPorts(ReadRows(*table), client, port);
        ASSERT_TRUE(second.server && live && live->Cookie != stale->Cookie);
        TcpRow otherPort = *live;
        otherPort.RemotePort = port == 65535 ? 1 : port + 1;
        for (const TcpRow& row : {*stale, otherPort}) {
            EXPECT_FALSE(table->CloseConnection(row)) << ::testing::PrintToString(row);
            EXPECT_TRUE(StillCarries(second)) << ::testing::PrintToString(row);
        }
        // The question closes a listener of its own, and only that.
        const std::vector<TcpRow> before = ReadRows(*table);
        EXPECT_EQ(table->CanCloseConnections(), CloseAbility::Allowed);
        EXPECT_EQ(ReadRows(*table), before);
        EXPECT_TRUE(StillCarries(second));
    });
}

}  // namespace
}  // namespace quarnel::platform
