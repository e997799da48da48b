// The table learnt from the packet filter's log, for real: in a private network namespace, with
// only CAP_NET_ADMIN left (no kernel programs can load), the engine's pass closes what the rules
// block, and only the log (or, past its limit, the reads a loss brings) can have told it of the
// connections: the whole read it would otherwise take comes a minute apart.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/Settings.h"
#include "platform/linux/filter/RulesFilter.h"
#include "platform/linux/netfilter/LoggedTcpTable.h"
#include "platform/linux/netfilter/PacketLog.h"
#include "platform/linux/privileges/Privileges.h"
#include "platform/linux/sockdiag/LinuxTcpTable.h"
#include "tests/engine/TableGuard.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"

namespace quarnel::platform {
namespace {

using namespace std::chrono_literals;
using namespace testsupport;

// Runs body in a private network namespace holding no capability but CAP_NET_ADMIN, as the helper
// serves: CAP_BPF, CAP_PERFMON and CAP_SYS_ADMIN go. Skipped where CAP_NET_ADMIN is not held.
void RunWithOnlyNetAdmin(const std::function<void()>& body) {
    RunInPrivateNetwork([&body] {
        std::uint64_t kept = 0;
        std::string problem;
        ASSERT_TRUE(NarrowCapabilities(CapabilityBit(CAP_NET_ADMIN), kept, problem))
            << "cannot give up capabilities: " << problem;
        if ((kept & CapabilityBit(CAP_NET_ADMIN)) == 0) {
            GTEST_SKIP() << "CAP_NET_ADMIN is not held";
        }
        body();
    });
}

// The packet filter's table with its log, holding the rules stored, and the engine over the table
// learnt from that log; whole reads a minute apart.
struct LoggedGuard {
    LoggedGuard(const std::map<std::string, std::string>& stored, LogRule limit = {}) {
        int error = 0;
        std::unique_ptr<LinuxTcpTable> tcp = LinuxTcpTable::Open(&error);
        std::unique_ptr<PacketLog> log = PacketLog::Open(error, limit);
        if (!tcp || !log) {
            ADD_FAILURE() << "cannot open the table or the log: " << std::strerror(error);
            return;
        }
        FilterCause why;
        Filter = OpenPayloadFilter(why, NamespaceScope::Own, &log->Rule());
        EXPECT_TRUE(Filter && why.Netfilter) << why.Text();
        SocketLookup& sockets = *tcp;
        Table = std::make_unique<LoggedTcpTable>(std::move(tcp), sockets, std::move(log),
                                                 LoggedTcpTable::Pace{.WholeRead = 60s});
        Running = std::make_unique<testing::Guard<>>(*Table, stored);
        SetRules();
        Running->Cycle();  // the first, whole read before anything the test does
    }
    // Hands the engine's rules to the packet filter's table too, as an edit does.
    void SetRules() {
        FilterCause why;
        EXPECT_TRUE(Filter &&
                    Filter->SetRules(BlockingRulesOf(Running->engine.oManager.Rules()), why))
            << "the packet filter's table does not hold the rules: " << why.Text();
    }

    std::unique_ptr<RulesFilter> Filter;
    std::unique_ptr<LoggedTcpTable> Table;
    std::unique_ptr<testing::Guard<>> Running;
};

// Receives what waits on end without waiting; true once the kernel tells it was aborted (closed
// from outside), with the bytes that came before it in bytes.
bool AbortedAfter(const UniqueFd& end, std::size_t& bytes) {
    char buffer[256];
    const ssize_t got = ::recv(end.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
    bytes += got > 0 ? static_cast<std::size_t>(got) : 0;
    return got < 0 && errno == ECONNABORTED;
}

TEST(LoggedTcpTable, WithoutKernelProgramsClosesBlockedConnectionsAsThePacketFilterTellsOfThem) {
    RunWithOnlyNetAdmin([] {
        const Listener blocked4 = ListenIPv4(), blocked6 = ListenIPv6Any(true), open = ListenIPv4();
        const Listener remote = ListenIPv4();  // blocked as the client's remote port
        ASSERT_TRUE(blocked4.fd && blocked6.fd && open.fd && remote.fd);
        LoggedGuard guard({{AllowedIPKey, ""},
                           {BlockedLocalPortsKey,
                            std::to_string(blocked4.port) + "," + std::to_string(blocked6.port)},
                           {BlockedRemotePortsKey, std::to_string(remote.port)}});
        ASSERT_TRUE(guard.Running);

        // Nothing sent: the handshake's last ACK alone tells of it, in both IP versions; and
        // blocked by its remote port, the client's end goes.
        const Connection silent4 = Connect(blocked4), silent6 = Connect(blocked6, "::1"),
                         outgoing = Connect(remote);
        ASSERT_TRUE(silent4.server && silent6.server && outgoing.client);
        EXPECT_TRUE(guard.Running->CycleUntil([&] { return Aborted(silent4.server); }));
        EXPECT_TRUE(guard.Running->CycleUntil([&] { return Aborted(silent6.server); }));
        EXPECT_TRUE(guard.Running->CycleUntil([&] { return Aborted(outgoing.client); }));

        // Sent at once: not one byte reaches the server before it is closed.
        for (const bool ipv6 : {false, true}) {
            const Connection eager =
                Connect(ipv6 ? blocked6 : blocked4, ipv6 ? "::1" : "127.0.0.1");
            ASSERT_EQ(::send(eager.client.Get(), "GET /\r\n", 7, MSG_NOSIGNAL), 7);
            std::size_t bytes = 0;
            EXPECT_TRUE(
                guard.Running->CycleUntil([&] { return AbortedAfter(eager.server, bytes); }));
            EXPECT_EQ(bytes, 0u) << (ipv6 ? "IPv6" : "IPv4");
        }

        // Let through and left alone, though it carries data.
        const Connection innocent = Connect(open);
        EXPECT_TRUE(Carries(innocent, true));
        for (int pass = 0; pass < 100; ++pass) {
            guard.Running->Cycle();
        }
        EXPECT_TRUE(Carries(innocent, true));
        // All of it from the log: only the first whole read was taken.
        EXPECT_EQ(guard.Table->WholeReads(), 1u);

        // A connection let through says nothing more to the packet filter; once an edit blocks
        // it, the table is read whole at once rather than at its next safety read, a minute later.
        Manager& manager = guard.Running->engine.oManager;
        (void)manager.oBlockedLocalPorts.AddItem(open.port);
        manager.CompileRules();
        guard.SetRules();
        EXPECT_TRUE(guard.Running->CycleUntil([&] { return Aborted(innocent.server); }));
    });
}

TEST(LoggedTcpTable, ABurstPastTheLogsLimitEndsWithEveryBlockedConnectionClosed) {
    RunWithOnlyNetAdmin([] {
        const Listener blocked = ListenIPv4(), open = ListenIPv4();
        ASSERT_TRUE(blocked.fd && open.fd);
        ASSERT_EQ(::listen(blocked.fd.Get(), 256), 0);
        // Five segments told, two at once: a burst of 60 connections loses most.
        LoggedGuard guard(
            {{AllowedIPKey, ""}, {BlockedLocalPortsKey, std::to_string(blocked.port)}},
            {.Rate = 5, .Burst = 2});
        ASSERT_TRUE(guard.Running);
        const Connection innocent = Connect(open);
        std::vector<Connection> burst = ConnectMany(blocked, 60);
        ASSERT_EQ(burst.size(), 60u);
        // The loss is told, so whole reads find the rest: at once, and a second later.
        EXPECT_TRUE(guard.Running->CycleUntil([&] {
            for (Connection& connection : burst) {
                if (connection.server && !Aborted(connection.server)) {
                    return false;
                }
                connection.server.Reset();  // aborted: told once only
            }
            return true;
        }));
        EXPECT_GE(guard.Table->WholeReads(), 2u);
        EXPECT_LT(guard.Table->WholeReads(), 10u);
        EXPECT_TRUE(Carries(innocent, true));
    });
}
// The choice as the helper and the program make it: without the rights to load kernel programs,
// the packet filter's table stands in and tells of blocked connections; with the kernel's reports
// there, nothing changes.
TEST(LoggedTcpTable, IsChosenWhereKernelProgramsCannotLoad) {
    RunWithOnlyNetAdmin([] {
        for (const auto cause : {PollingCause::Kind::None, PollingCause::Kind::NoRights}) {
            std::unique_ptr<LinuxTcpTable> tcp = LinuxTcpTable::Open();
            ASSERT_TRUE(tcp);
            SocketLookup& sockets = *tcp;
            std::unique_ptr<LinuxTableSource> table = std::move(tcp);
            PollingCause polling{cause};
            FilterCause why;
            const std::unique_ptr<RulesFilter> filter =
                OpenPayloadFilterAndLog(table, sockets, polling, why);
            ASSERT_TRUE(filter && why.Netfilter) << why.Text();
            auto* logged = dynamic_cast<LoggedTcpTable*>(table.get());
            EXPECT_EQ(polling.Logged, cause == PollingCause::Kind::NoRights);
            ASSERT_EQ(logged != nullptr, polling.Logged);
            if (!logged) {
                continue;
            }
            // A table that holds the rules tells; one that could not take them tells nothing,
            // and every read is then a whole one, the caller told to wait no longer than without.
            EXPECT_GE(table->WaitDescriptor(), 0);
            ASSERT_TRUE(filter->SetRules({{}, {{4000, 4000}}, {}}, why)) << why.Text();
            std::vector<TcpRow> rows;
            TableChanges changes;
            ASSERT_EQ(table->Read(rows, &changes), ReadResult::Changed);
            EXPECT_EQ(table->Read(rows, &changes), ReadResult::Unchanged);
            logged->SetTelling(false);
            EXPECT_EQ(table->WaitDescriptor(), -1);
            const std::uint64_t before = logged->WholeReads();
            (void)table->Read(rows, &changes);
            (void)table->Read(rows, &changes);
            EXPECT_EQ(logged->WholeReads(), before + 2);
            logged->SetTelling(true);
            EXPECT_GE(table->WaitDescriptor(), 0);
        }
    });
}

}  // namespace
}  // namespace quarnel::platform
