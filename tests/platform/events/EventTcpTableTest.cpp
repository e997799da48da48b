// The table kept from the kernel's reports, against scripted reports and a scripted whole table;
// and its index of rows by cookie, against a standard map over random runs of puts and erases.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <iterator>
#include <random>
#include <unordered_map>
#include <utility>

#include "platform/linux/events/CookieIndex.h"
#include "platform/linux/events/EventTcpTable.h"
#include "platform/linux/sockdiag/SockDiagMessages.h"
#include "tests/support/TableRows.h"

namespace quarnel::platform {
namespace {

using Rows = std::vector<TcpRow>;
namespace tcp = linux_tcp;
using namespace std::chrono_literals;
using enum TcpState;

// What the kernel has to tell, as a test scripts it, and the time the table reads: it moves only
// when a test moves it.
struct Kernel {
    Rows Connections;                    // the whole table
    std::vector<TcpStateEvent> Waiting;  // reports not read yet
    std::vector<TcpStateEvent> Walked;   // reports of changes during the next walk, after it
    // The reports cannot be read; the table cannot be read. (Lost reports: the incremental pass.)
    bool Unreadable = false, Fail = false;
    EventTcpTable::Clock::time_point Now = EventTcpTable::Clock::now();
    std::chrono::milliseconds Walk{0};  // the time a read by state takes
    int ReadsByState = 0;
};

struct ScriptedReports final : TcpEventStream {
    explicit ScriptedReports(Kernel& kernel) : kernel(kernel) {}
    int Descriptor() const override { return -1; }
    bool Drain(const std::function<void(const TcpStateEvent&)>& sink) override {
        std::ranges::for_each(std::exchange(kernel.Waiting, {}), sink);
        return !kernel.Unreadable;
    }
    std::uint64_t LostCount() const override { return 0; }
    Kernel& kernel;
};

// The whole table, which can also be read by state: it gives the rows of the states, among those
// the tests use, that end without a report (half-open and time-wait ones).
struct ScriptedTable final : SourceDefaults<>, StateTableReader {
    explicit ScriptedTable(Kernel& kernel) : kernel(kernel) {}
    ReadResult Read(Rows& rows, TableChanges* changes) override {
        if (!kernel.Fail) {
            rows = kernel.Connections;
            kernel.Waiting = std::exchange(kernel.Walked, {});
        }
        return Whole(!kernel.Fail, changes);
    }
    bool ReadTableInStates(Rows& rows, std::uint32_t linuxStates) override {
        ++kernel.ReadsByState;
        kernel.Now += kernel.Walk;
        EXPECT_EQ(linuxStates, (1u << tcp::kSynSent) | (1u << tcp::kSynRecv) |
                                   (1u << tcp::kNewSynRecv) | (1u << tcp::kFinWait2) |
                                   (1u << tcp::kTimeWait));
        rows.clear();
        std::ranges::copy_if(kernel.Connections, std::back_inserter(rows), [](const TcpRow& r) {
            return r.State == SynReceived || r.State == TimeWait;
        });
        return !kernel.Fail;
    }
    bool CloseConnection(const TcpRow&) override { return false; }
    CloseAbility CanCloseConnections() override { return CloseAbility::Unknown; }
    Kernel& kernel;
};

// The row a whole read shows for a loopback connection from local port 40000 + cookie to remote
// port 80.
TcpRow Connection(std::uint64_t cookie, TcpState state) {
    return Row(state, "127.0.0.1", 40000 + static_cast<int>(cookie), "127.0.0.1", 80, cookie);
}

// A report of that connection's change of state.
TcpStateEvent Report(std::uint64_t cookie, std::uint8_t from, std::uint8_t to) {
    const TcpRow row = Connection(cookie, Closed);
    TcpStateEvent event{};
    event.Cookie = cookie;
    std::ranges::copy(row.LocalAddress, event.LocalAddress);
    std::ranges::copy(row.RemoteAddress, event.RemoteAddress);
    event.Family = AF_INET;
    event.LocalPort = static_cast<std::uint16_t>(row.LocalPort);
    event.RemotePort = 80;
    event.OldState = from;
    event.NewState = to;
    return event;
}

class EventTable : public ::testing::Test {
protected:
    Rows Read(ReadResult expected = ReadResult::Changed) {
        EXPECT_EQ(table.Read(rows, &changes), expected);
        return rows;
    }
    void ReadAnyway() { (void)table.Read(rows, &changes); }

    Kernel kernel;
    TableChanges changes;
    EventTcpTable table{std::make_unique<ScriptedReports>(kernel),
                        std::make_unique<ScriptedTable>(kernel), [this] { return kernel.Now; }};
    Rows rows;
};

TEST_F(EventTable, ReportsChangeRowsInPlaceAndHandOutOnlyTheRowsTheyChanged) {
    kernel.Connections = {Connection(7, Established), Connection(3, Established),
                          Connection(1, Established), Connection(2, Established)};
    // The walk had passed connection 3 when it closed, and connection 6 when it came. A closed
    // row's place goes to the last one.
    kernel.Walked = {Report(3, tcp::kEstablished, tcp::kClose),
                     Report(6, tcp::kSynSent, tcp::kEstablished)};
    EXPECT_EQ(Read(), (Rows{Connection(7, Established), Connection(2, Established),
                            Connection(1, Established), Connection(6, Established)}));
    EXPECT_TRUE(changes.Whole);
    kernel.Waiting = {
        Report(1, tcp::kEstablished, tcp::kCloseWait),
        Report(4, tcp::kClose, tcp::kSynSent),  // port not chosen yet: not a row
        Report(2, tcp::kEstablished, tcp::kClose),
        Report(5, tcp::kSynRecv, tcp::kEstablished),
        Report(4, tcp::kSynSent, tcp::kEstablished),
        Report(6, tcp::kEstablished, tcp::kCloseWait),  // moved into the closed row's place
    };
    kernel.Waiting[1].LocalPort = 0;
    EXPECT_EQ(Read(),
              (Rows{Connection(7, Established), Connection(6, CloseWait), Connection(1, CloseWait),
                    Connection(5, Established), Connection(4, Established)}));
    EXPECT_FALSE(changes.Whole);
    EXPECT_EQ(changes.Rows, (std::vector<std::size_t>{1, 2, 3, 4}));
    Read(ReadResult::Unchanged);
    EXPECT_EQ(table.WholeReads(), 1u);
}

// Reports of another namespace (from a stream of every namespace's) change no row and hint at
// no read here: they are handed on in order, with their namespace; reports that could not be read
// are told lost to the taker too, once.
TEST_F(EventTable, OtherNamespacesReportsAreHandedOnNotApplied) {
    kernel.Connections = {Connection(1, Established)};
    Read();
    const auto elsewhere = [](TcpStateEvent event) {
        event.Namespace = 4026532000u;
        return event;
    };
    kernel.Waiting = {elsewhere(Report(2, tcp::kSynSent, tcp::kEstablished)),
                      elsewhere(Report(1, tcp::kFinWait1, tcp::kClose)),
                      Report(3, tcp::kSynSent, tcp::kEstablished)};
    EXPECT_EQ(Read(), (Rows{Connection(1, Established), Connection(3, Established)}));
    Rows handed;
    EXPECT_TRUE(table.TakeOtherNamespaces(handed));
    TcpRow established = Connection(2, Established), closed = Connection(1, Closed);
    established.Namespace = closed.Namespace = 4026532000u;
    EXPECT_EQ(handed, (Rows{established, closed}));
    EXPECT_TRUE(table.TakeOtherNamespaces(handed));
    EXPECT_TRUE(handed.empty());
    kernel.Now += 1s;
    Read(ReadResult::Unchanged);  // the other's active close hints at nothing here
    EXPECT_EQ(kernel.ReadsByState, 0);
    kernel.Unreadable = true;
    (void)table.Read(rows, &changes);
    EXPECT_FALSE(table.TakeOtherNamespaces(handed));
    EXPECT_TRUE(table.TakeOtherNamespaces(handed));
}

TEST_F(EventTable, UnreportedRowsAreFoundByTheirStatesAndFailedReadsLeaveItToWholeReads) {
    kernel.Connections = {Connection(1, Established), Connection(3, Established),
                          Connection(4, Established)};
    Read();
    // Connection 5 closes actively: its time-wait row comes unreported, looked for a second
    // after the report hinted at it.
    kernel.Connections.push_back(Connection(5, TimeWait));
    kernel.Waiting = {Report(5, tcp::kFinWait1, tcp::kClose)};
    kernel.Now += 999ms;
    Read(ReadResult::Unchanged);
    kernel.Now += 1ms;
    EXPECT_EQ(Read(), kernel.Connections);
    EXPECT_EQ(changes.Rows, std::vector<std::size_t>{3});
    // Looked for every second while listed: time-wait 5 ends, half-open 6 comes in its place.
    kernel.Connections.back() = Connection(6, SynReceived);
    kernel.Now += 1s;
    EXPECT_EQ(Read(), kernel.Connections);
    EXPECT_EQ(table.WholeReads(), 1u);
    // A read by state that fails leaves it to a whole read; one that fails hands out nothing.
    kernel.Fail = true;
    kernel.Now += 1s;
    const Rows held = rows;
    EXPECT_EQ(Read(ReadResult::Failed), held);
    EXPECT_EQ(table.WholeReads(), 2u);
    // Reports that cannot be read leave only whole reads.
    kernel.Fail = false;
    kernel.Unreadable = true;
    kernel.Connections.push_back(Connection(7, Established));
    EXPECT_EQ(Read(), kernel.Connections);
    Read(ReadResult::Unchanged);
    EXPECT_EQ(table.WholeReads(), 4u);
}

// A read by state that takes long (it walks every socket of the machine, and nothing is judged
// meanwhile) waits while connections keep being established, and comes once none has been for
// a moment, or once it has waited 10 s.
TEST_F(EventTable, ASlowReadByStateWaitsWhileConnectionsKeepBeingEstablished) {
    kernel.Walk = 6ms;
    kernel.Connections = {Connection(1, TimeWait)};  // looked for every second while listed
    Read();
    kernel.Now += 1s;
    ReadAnyway();
    ASSERT_EQ(kernel.ReadsByState, 1);
    // Well past the next one's time, a connection is established every 5 ms, each before a read.
    kernel.Now += 2s;
    const auto busy = kernel.Now;
    std::uint64_t cookie = 10;
    for (; kernel.Now < busy + 20s && kernel.ReadsByState == 1; kernel.Now += 5ms) {
        kernel.Waiting = {Report(++cookie, tcp::kSynSent, tcp::kEstablished)};
        ReadAnyway();
    }
    EXPECT_EQ(kernel.ReadsByState, 2);
    EXPECT_GT(kernel.Now - busy, 9s);
    EXPECT_LE(kernel.Now - busy, 10s);
    // Once none has been established for a moment, it comes.
    kernel.Now += 2s;
    ReadAnyway();
    EXPECT_EQ(kernel.ReadsByState, 3);
}

TEST(CookieIndex, FindsWhatAMapWouldThroughGrowthAndErasure) {
    std::mt19937_64 random(7);
    // Neighbours, as the kernel counts cookies up, and cookies far apart, whose homes collide at
    // random; each is put and erased many times. First many, through growth, then a few at a
    // time in a small table, whose runs often wrap around its end.
    for (int pool = 0; pool < 300; ++pool) {
        std::vector<std::uint64_t> cookies;
        for (std::uint64_t c = 1; c <= (pool == 0 ? 1500u : 12u); ++c) {
            cookies.insert(cookies.end(), {c, random() | std::uint64_t{1} << 63});
        }
        CookieIndex index;
        if (pool % 2 == 1) {
            index.Reserve(cookies.size());  // never grows after
        }
        std::unordered_map<std::uint64_t, std::size_t> expected;
        const auto held = [&](std::uint64_t c) {
            return expected.contains(c) ? std::optional(expected[c]) : std::nullopt;
        };
        for (int round = 0; round < (pool == 0 ? 100000 : 300); ++round) {
            const std::uint64_t cookie = cookies[random() % cookies.size()];
            if (random() % 3 == 0) {
                index.Erase(cookie);
                expected.erase(cookie);
            } else {
                const std::size_t at = random() % 100000;
                ASSERT_EQ(index.Put(cookie, at), held(cookie));
                expected[cookie] = at;
            }
            ASSERT_EQ(index.Size(), expected.size());
        }
        for (const std::uint64_t cookie : cookies) {
            ASSERT_EQ(index.Find(cookie), held(cookie));
        }
        // Erasing many at once moves the rest back in their runs: each still found.
        index.EraseIf([](std::uint64_t, std::size_t at) { return at % 2 == 1; });
        std::erase_if(expected, [](const auto& entry) { return entry.second % 2 == 1; });
        ASSERT_EQ(index.Size(), expected.size());
        for (const std::uint64_t cookie : cookies) {
            ASSERT_EQ(index.Find(cookie), held(cookie));
        }
    }
}

}  // namespace
}  // namespace quarnel::platform
