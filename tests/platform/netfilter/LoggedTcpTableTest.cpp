// The table learnt from the packet filter's log, for real: in a private network namespace, with
// only CAP_NET_ADMIN left (no kernel programs can load), a small guard closes what the rules
// block as the pass does, and only the log (or, past its limit, the reads a loss brings) can
// have told it of the connections: the whole read it would otherwise take comes a minute apart.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/filter/RulesFilter.h"
#include "platform/linux/netfilter/LoggedTcpTable.h"
#include "platform/linux/netfilter/PacketLog.h"
#include "platform/linux/privileges/Privileges.h"
#include "platform/linux/sockdiag/LinuxTcpTable.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"
#include "tests/support/WaitUntil.h"

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

bool InRanges(int port, const std::vector<PortRange>& ranges) {
    for (const PortRange& range : ranges) {
        if (port >= range.Low && port <= range.High) {
            return true;
        }
    }
    return false;
}

// What the engine's pass does with the table, in a thread of its own: waits on the table's
// descriptor, reads what changed, closes each established connection on a blocked port.
class Guard {
public:
    Guard(std::unique_ptr<LinuxTableSource> table, BlockingRules rules)
        : table_(std::move(table)), rules_(std::move(rules)) {
        Pass();  // the first, whole read before anything the test does
        thread_ = std::thread([this] {
            while (!stop_) {
                pollfd ready{table_->WaitDescriptor(), POLLIN, 0};
                (void)::poll(&ready, 1, 20);
                Pass();
            }
        });
    }
    ~Guard() {
        stop_ = true;
        thread_.join();
    }
    int Closed() const { return closed_; }
    // The rules judged by from the next pass on, as an edit hands them to the table.
    void SetRules(const BlockingRules& rules) {
        const std::lock_guard lock(edit_);
        edited_ = rules;
    }

private:
    void Pass() {
        if (const std::lock_guard lock(edit_); edited_) {
            rules_ = *edited_;
            table_->SetRules(rules_);
            edited_.reset();
        }
        if (table_->Read(rows_, &changes_) != ReadResult::Changed) {
            return;
        }
        std::vector<std::size_t> due = changes_.Rows;
        if (changes_.Whole) {
            due.resize(rows_.size());
            for (std::size_t i = 0; i < rows_.size(); ++i) {
                due[i] = i;
            }
        }
        for (const std::size_t i : due) {
            const TcpRow& row = rows_[i];
            if (row.State == TcpState::Established &&
                (InRanges(row.LocalPort, rules_.BlockedLocalPorts) ||
                 InRanges(row.RemotePort, rules_.BlockedRemotePorts)) &&
                table_->CloseConnection(row)) {
                ++closed_;
            }
        }
    }

    std::unique_ptr<LinuxTableSource> table_;
    BlockingRules rules_;
    std::vector<TcpRow> rows_;
    TableChanges changes_;
    std::mutex edit_;
    std::optional<BlockingRules> edited_;
    std::atomic<bool> stop_{false};
    std::atomic<int> closed_{0};
    std::thread thread_;
};

// The packet filter's table with its log, holding rules, and the guard over the table learnt
// from that log; whole reads a minute apart.
struct LoggedGuard {
    std::unique_ptr<RulesFilter> Filter;
    LoggedTcpTable* Table = nullptr;
    std::unique_ptr<Guard> Running;
};

LoggedGuard StartGuard(const BlockingRules& rules, LogRule limit = {}) {
    LoggedGuard guard;
    int error = 0;
    std::unique_ptr<LinuxTcpTable> tcp = LinuxTcpTable::Open(&error);
    std::unique_ptr<PacketLog> log = PacketLog::Open(error, limit);
    if (!tcp || !log) {
        ADD_FAILURE() << "cannot open the table or the log: " << std::strerror(error);
        return guard;
    }
    FilterCause why;
    guard.Filter = OpenPayloadFilter(why, NamespaceScope::Own, &log->Rule());
    EXPECT_TRUE(guard.Filter && why.Netfilter) << why.Text();
    if (!guard.Filter || !guard.Filter->SetRules(rules, why)) {
        ADD_FAILURE() << "the packet filter's table does not hold the rules: " << why.Text();
        return guard;
    }
    SocketLookup& sockets = *tcp;
    auto table = std::make_unique<LoggedTcpTable>(std::move(tcp), sockets, std::move(log),
                                                  LoggedTcpTable::Pace{.WholeRead = 60s});
    guard.Table = table.get();
    guard.Running = std::make_unique<Guard>(std::move(table), rules);
    return guard;
}

// Receives what waits on end without waiting; true once the kernel tells it was aborted (closed
// from outside), with the bytes that came before it in bytes.
bool AbortedAfter(int end, std::size_t& bytes) {
    char buffer[256];
    const ssize_t got = ::recv(end, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got > 0) {
        bytes += static_cast<std::size_t>(got);
        return false;
    }
    return got < 0 && errno == ECONNABORTED;
}

// A client that sends at once, before the server even accepts.
Connection ConnectAndSend(const Listener& listener, bool ipv6) {
    Connection made;
    made.client = ConnectClient(listener, ipv6 ? "::1" : "127.0.0.1");
    // The guard may have closed it already, at the handshake's last ACK: then nothing was sent.
    const char request[] = "GET / HTTP/1.0\r\n\r\n";
    const bool sent = ::send(made.client.Get(), request, sizeof request, MSG_NOSIGNAL) > 0;
    EXPECT_TRUE(sent || errno == ECONNRESET || errno == EPIPE) << std::strerror(errno);
    made.server.Reset(::accept4(listener.fd.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    EXPECT_TRUE(made.server) << std::strerror(errno);
    return made;
}

TEST(LoggedTcpTable, WithoutKernelProgramsClosesBlockedConnectionsAsThePacketFilterTellsOfThem) {
    RunWithOnlyNetAdmin([] {
        Listener blocked4 = ListenIPv4();
        Listener blocked6 = ListenIPv6Any(true);
        Listener open = ListenIPv4();
        Listener remote = ListenIPv4();  // blocked as the client's remote port
        ASSERT_TRUE(blocked4.fd && blocked6.fd && open.fd && remote.fd);
        BlockingRules rules;
        rules.BlockedLocalPorts = {PortOf(blocked4)};
        if (blocked6.port != blocked4.port) {
            rules.BlockedLocalPorts.push_back(PortOf(blocked6));
        }
        std::sort(rules.BlockedLocalPorts.begin(), rules.BlockedLocalPorts.end());
        rules.BlockedRemotePorts = {PortOf(remote)};
        LoggedGuard guard = StartGuard(rules);
        ASSERT_TRUE(guard.Running);

        // Nothing sent: the handshake's last ACK alone tells of it, in both IP versions.
        for (const auto& [listener, address] :
             {std::pair{&blocked4, "127.0.0.1"}, std::pair{&blocked6, "::1"}}) {
            Connection silent = Connect(*listener, address);
            ASSERT_TRUE(silent.server);
            EXPECT_TRUE(WaitUntil([&] { return Aborted(silent.server); })) << address;
        }
        // Blocked by its remote port: the client's end goes.
        Connection outgoing = Connect(remote);
        ASSERT_TRUE(outgoing.client);
        EXPECT_TRUE(WaitUntil([&] { return Aborted(outgoing.client); }));

        // Sent at once: not one byte reaches the server before it is closed.
        for (const bool ipv6 : {false, true}) {
            const Connection eager = ConnectAndSend(ipv6 ? blocked6 : blocked4, ipv6);
            ASSERT_TRUE(eager.server);
            std::size_t bytes = 0;
            EXPECT_TRUE(WaitUntil([&] { return AbortedAfter(eager.server.Get(), bytes); }));
            EXPECT_EQ(bytes, 0u) << (ipv6 ? "IPv6" : "IPv4");
        }

        // Let through and left alone, though it carries data.
        Connection innocent = Connect(open);
        ASSERT_TRUE(innocent.server);
        EXPECT_TRUE(Carries(innocent, true));
        std::this_thread::sleep_for(100ms);
        EXPECT_TRUE(Carries(innocent, true));
        EXPECT_EQ(guard.Running->Closed(), 5);
        // All of it from the log: only the first whole read was taken.
        EXPECT_EQ(guard.Table->WholeReads(), 1u);

        // A connection let through says nothing more to the packet filter; once an edit blocks
        // it, the table is read whole at once rather than at its next safety read, a minute later.
        rules.BlockedLocalPorts = {PortOf(open)};
        FilterCause why;
        ASSERT_TRUE(guard.Filter->SetRules(rules, why)) << why.Text();
        guard.Running->SetRules(rules);
        EXPECT_TRUE(WaitUntil([&] { return Aborted(innocent.server); }));
    });
}

TEST(LoggedTcpTable, ABurstPastTheLogsLimitEndsWithEveryBlockedConnectionClosed) {
    RunWithOnlyNetAdmin([] {
        Listener blocked = ListenIPv4();
        Listener open = ListenIPv4();
        ASSERT_TRUE(blocked.fd && open.fd);
        ASSERT_EQ(::listen(blocked.fd.Get(), 256), 0);
        BlockingRules rules;
        rules.BlockedLocalPorts = {PortOf(blocked)};
        // Five segments told, two at once: a burst of 60 connections loses most.
        LoggedGuard guard = StartGuard(rules, {.Rate = 5, .Burst = 2});
        ASSERT_TRUE(guard.Running);
        Connection innocent = Connect(open);
        std::vector<Connection> burst = ConnectMany(blocked, 60);
        ASSERT_EQ(burst.size(), 60u);
        // The loss is told, so whole reads find the rest: at once, and a second later.
        EXPECT_TRUE(WaitUntil([&] {
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
// the packet filter's table stands in and tells of blocked connections.
TEST(LoggedTcpTable, IsChosenWhereKernelProgramsCannotLoad) {
    RunWithOnlyNetAdmin([] {
        int error = 0;
        std::unique_ptr<LinuxTcpTable> tcp = LinuxTcpTable::Open(&error);
        ASSERT_TRUE(tcp);
        SocketLookup& sockets = *tcp;
        PollingCause polling{PollingCause::Kind::NoRights};
        std::unique_ptr<LinuxTableSource> table = std::move(tcp);
        FilterCause why;
        const std::unique_ptr<RulesFilter> filter =
            OpenPayloadFilterAndLog(table, sockets, polling, why);
        ASSERT_TRUE(filter);
        EXPECT_TRUE(why.Netfilter);
        EXPECT_TRUE(polling.Logged);
        auto* logged = dynamic_cast<LoggedTcpTable*>(table.get());
        ASSERT_NE(logged, nullptr);
        EXPECT_GE(table->WaitDescriptor(), 0);
        // A table that holds the rules tells; one that could not take them tells nothing, and
        // every read is then a whole one, the caller told to wait no longer than without.
        BlockingRules rules;
        rules.BlockedLocalPorts = {{4000, 4000}};
        ASSERT_TRUE(filter->SetRules(rules, why)) << why.Text();
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
        // With the kernel's reports there, nothing changes.
        PollingCause reported;
        std::unique_ptr<LinuxTableSource> plain = LinuxTcpTable::Open(&error);
        ASSERT_TRUE(plain);
        const std::unique_ptr<RulesFilter> other =
            OpenPayloadFilterAndLog(plain, sockets, reported, why);
        EXPECT_FALSE(reported.Logged);
        EXPECT_EQ(dynamic_cast<LoggedTcpTable*>(plain.get()), nullptr);
    });
}

}  // namespace
}  // namespace quarnel::platform
