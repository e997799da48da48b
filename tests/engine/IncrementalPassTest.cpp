// The pass that judges only what the table kept from the kernel's reports changed, against a pass
// that judges every row of the same rows, over long random scripts of connections that come,
// change and go, closes the kernel refuses, lost reports, rule edits and cache clears.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <random>
#include <string_view>
#include <utility>

#include "platform/linux/events/EventTcpTable.h"
#include "platform/linux/sockdiag/SockDiagMessages.h"
#include "tests/engine/TableGuard.h"
#include "tests/support/TableRows.h"

namespace quarnel::testing {
namespace {

using platform::TcpRow;
using Rows = std::vector<TcpRow>;
namespace tcp = platform::linux_tcp;

// The row the kernel's walk shows for a connection as its latest report tells it.
TcpRow RowOf(const TcpStateEvent& connection) {
    TcpRow row{.State = platform::TableState(connection.NewState),
               .Family = connection.Family == AF_INET6 ? platform::SocketFamily::IPv6
                                                       : platform::SocketFamily::IPv4,
               .LocalPort = connection.LocalPort,
               .RemotePort = connection.RemotePort,
               .Cookie = connection.Cookie};
    std::ranges::copy(connection.LocalAddress, row.LocalAddress.begin());
    std::ranges::copy(connection.RemoteAddress, row.RemoteAddress.begin());
    return row;
}

// The kernel as a script drives it: its connections (each as the report of its latest change, in
// the order a walk finds them) and the reports not read yet.
struct Machine final : platform::TcpEventStream {
    std::vector<TcpStateEvent> Live;
    std::vector<TcpStateEvent> Waiting;
    std::uint64_t Lost = 0;
    bool RefuseCloses = false;
    Rows Closes;  // every close asked for, refused or not

    void Report(TcpStateEvent& connection, std::uint8_t to) {
        connection.OldState = connection.NewState;
        connection.NewState = to;
        Waiting.push_back(connection);
    }
    // Reports the connection at gone, as the kernel does when it ends or is closed.
    void End(std::vector<TcpStateEvent>::iterator gone) {
        Report(*gone, tcp::kClose);
        Live.erase(gone);
    }
    bool Close(const TcpRow& row) {
        Closes.push_back(row);
        const auto found =
            std::ranges::find_if(Live, [&](const TcpStateEvent& c) { return RowOf(c) == row; });
        return !RefuseCloses && found != Live.end() && (End(found), true);
    }
    Rows Table() const {
        Rows rows(Live.size());
        std::ranges::transform(Live, rows.begin(), RowOf);
        return rows;
    }

    int Descriptor() const override { return -1; }
    bool Drain(const std::function<void(const TcpStateEvent&)>& sink) override {
        std::ranges::for_each(std::exchange(Waiting, {}), sink);
        return true;
    }
    std::uint64_t LostCount() const override { return Lost; }
};

// Whole reads, and closes as the test scripts them.
struct ScriptedTable final : platform::SourceDefaults<> {
    ScriptedTable(std::function<Rows()> rows, std::function<bool(const TcpRow&)> close)
        : rows(std::move(rows)), close(std::move(close)) {}
    platform::ReadResult Read(Rows& out, platform::TableChanges* changes) override {
        out = rows();
        return Whole(true, changes);
    }
    bool CloseConnection(const TcpRow& row) override { return close(row); }
    platform::CloseAbility CanCloseConnections() override { return {}; }
    std::function<Rows()> rows;
    std::function<bool(const TcpRow&)> close;
};

class IncrementalPass : public ::testing::TestWithParam<unsigned> {
protected:
    int Pick(int below) { return std::uniform_int_distribution<int>(0, below - 1)(random); }
    template <typename T, std::size_t N>
    T Any(const T (&from)[N]) {
        return from[static_cast<std::size_t>(Pick(static_cast<int>(N)))];
    }

    void Appear() {
        // Loopback (allowed or not), others of both versions; both ends of one version.
        const char* ipv4[] = {"127.0.0.1", "192.0.2.1", "198.51.100.7", "203.0.113.10"};
        const char* ipv6[] = {"::1", "2001:db8::7"};
        const std::uint16_t ports[] = {22, 80, 443, 8080, 50000};
        const std::uint8_t states[] = {tcp::kEstablished, tcp::kEstablished, tcp::kSynRecv,
                                       tcp::kCloseWait};
        const bool six = Pick(3) == 0;
        const auto end = [&] { return testsupport::Address(six ? Any(ipv6) : Any(ipv4)); };
        TcpStateEvent connection{};
        connection.Cookie = ++lastCookie;
        connection.Family = static_cast<std::uint16_t>(six ? AF_INET6 : AF_INET);
        connection.NewState = tcp::kClose;
        std::ranges::copy(end(), connection.LocalAddress);
        std::ranges::copy(end(), connection.RemoteAddress);
        connection.LocalPort = static_cast<std::uint16_t>(Any(ports) + Pick(2));
        connection.RemotePort = static_cast<std::uint16_t>(Any(ports) + Pick(2));
        machine.Report(connection, Any(states));
        machine.Live.push_back(connection);
    }
    std::vector<TcpStateEvent>::iterator AnyLive() {
        return machine.Live.begin() + Pick(static_cast<int>(machine.Live.size()));
    }
    void EditRules() {
        const char* allowed[] = {"", "127.0.0.1", "198.51.100.7,203.0.113.10,::1"};
        const char* ports[] = {"", "443", "22,8081", "80,443,50001"};
        const std::string rules[] = {Any(allowed), Any(ports), Any(ports)};
        for (Guard<>* guard : {&incremental, &full}) {
            SetRules(guard->engine.oManager, rules[0], rules[1], rules[2]);
            guard->engine.oManager.SaveChanges();  // judges every row afresh
        }
    }

    std::mt19937 random{GetParam()};
    std::uint64_t lastCookie = 0;
    std::unique_ptr<Machine> kernel = std::make_unique<Machine>();
    Machine& machine = *kernel;
    platform::EventTcpTable reported{
        std::move(kernel),
        std::make_unique<ScriptedTable>([this] { return machine.Table(); },
                                        [this](const TcpRow& row) { return machine.Close(row); })};
    Guard<> incremental{reported, {}};
    // The other engine reads the rows this one just read, whole; its closes are only recorded.
    Rows fullCloses;
    ScriptedTable sameRows{[this] { return incremental.engine.Table.Rows; },
                           [this](const TcpRow& row) { return fullCloses.push_back(row), false; }};
    Guard<> full{sameRows, {}};
};

TEST_P(IncrementalPass, ClosesAndListsWhatAPassOverEveryRowWould) {
    for (int step = 0; step < 600; ++step) {
        SCOPED_TRACE(step);
        const int what = Pick(20);
        if (what < 8 || machine.Live.empty()) {
            Appear();
        } else if (what < 12) {
            TcpStateEvent& c = *AnyLive();
            machine.Report(c,
                           c.NewState == tcp::kEstablished ? tcp::kCloseWait : tcp::kEstablished);
        } else if (what < 16) {
            machine.End(AnyLive());
        } else if (what == 16) {
            EditRules();
        } else if (what == 17) {
            ClearConnectionCache(incremental.engine.Cache);
            ClearConnectionCache(full.engine.Cache);
        } else if (what == 18 && !machine.Waiting.empty()) {
            machine.Waiting.erase(machine.Waiting.begin() + Pick(int(machine.Waiting.size())));
            ++machine.Lost;  // a report the kernel had no room for
        } else {
            machine.RefuseCloses = !machine.RefuseCloses;
        }
        if (Pick(3) != 0) {
            continue;  // several changes between two passes
        }
        const Rows live = machine.Table();
        machine.Closes.clear();
        fullCloses.clear();
        incremental.engine.ProcessTcpTable({});
        full.engine.ProcessTcpTable({});
        // The kept table is the kernel's, in another order.
        ASSERT_EQ(platform::SortedByCookie(incremental.engine.Table.Rows),
                  platform::SortedByCookie(live));
        // The same closes, in the same order, and the same lines.
        ASSERT_EQ(machine.Closes, fullCloses);
        full.engine.oManager.RefreshCurrentConnections();
        incremental.engine.oManager.RefreshCurrentConnectionsIfStale();
        ASSERT_EQ(ItemTexts(incremental.engine.oManager.oCurrentConnections),
                  ItemTexts(full.engine.oManager.oCurrentConnections));
    }
}

INSTANTIATE_TEST_SUITE_P(Scripts, IncrementalPass, ::testing::Range(1u, 21u));

}  // namespace
}  // namespace quarnel::testing
