// The table kept from the kernel's reports, against scripted reports and a scripted whole table.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <functional>

#include "platform/linux/EventTcpTable.h"
#include "platform/linux/SockDiagMessages.h"
#include "tests/platform/TableRows.h"
#include "tests/support/WaitUntil.h"

namespace quarnel::platform {
namespace {

using Rows = std::vector<TcpRow>;
namespace tcp = linux_tcp;

struct ScriptedReports : TcpEventStream {
    int Descriptor() const override { return -1; }
    bool Drain(const std::function<void(const TcpStateEvent&)>& sink) override {
        const std::vector<TcpStateEvent> now = std::move(Waiting);
        Waiting.clear();
        for (const TcpStateEvent& event : now) {
            sink(event);
        }
        return !Unreadable;
    }
    std::uint64_t LostCount() const override { return Lost; }

    std::vector<TcpStateEvent> Waiting;
    std::uint64_t Lost = 0;
    bool Unreadable = false;
};

struct ScriptedTable : TcpTableSource {
    bool ReadTable(Rows& rows) override {
        if (Fail) {
            return false;
        }
        rows = Connections;
        if (DuringWalk) {
            DuringWalk();
        }
        return true;
    }
    bool CloseConnection(const TcpRow&) override { return false; }
    CloseAbility CanCloseConnections() override { return CloseAbility::Unknown; }

    Rows Connections;
    std::function<void()> DuringWalk;
    bool Fail = false;
};

// A report of a loopback connection from local port 40000 + cookie to remote port 80.
TcpStateEvent Report(std::uint64_t cookie, std::uint8_t from, std::uint8_t to,
                     std::uint16_t family = AF_INET) {
    TcpStateEvent event{};
    event.Cookie = cookie;
    event.LocalAddress = event.RemoteAddress = htonl(INADDR_LOOPBACK);
    event.Family = family;
    event.LocalPort = static_cast<std::uint16_t>(40000 + cookie);
    event.RemotePort = 80;
    event.OldState = from;
    event.NewState = to;
    return event;
}

// The row a dump shows for the connection of Report.
TcpRow Connection(std::uint64_t cookie, std::int32_t state,
                  SocketFamily family = SocketFamily::IPv4) {
    return Row(state, "127.0.0.1", static_cast<int>(40000 + cookie), "127.0.0.1", 80, family,
               cookie);
}

class EventTable : public ::testing::Test {
protected:
    Rows Read(ReadResult expected = ReadResult::Changed) {
        EXPECT_EQ(table.ReadTableIfChanged(rows), expected);
        return rows;
    }

    std::unique_ptr<ScriptedReports> ownedReports = std::make_unique<ScriptedReports>();
    std::unique_ptr<ScriptedTable> ownedWhole = std::make_unique<ScriptedTable>();
    ScriptedReports& reports = *ownedReports;
    ScriptedTable& whole = *ownedWhole;
    EventTcpTable table{std::move(ownedReports), std::move(ownedWhole)};
    Rows rows;
};

TEST_F(EventTable, ReportsChangeRowsInPlaceAppendAndRemoveThemInTheWholeReadsOrder) {
    whole.Connections = {Connection(3, 5), Connection(1, 5), Connection(2, 5)};
    EXPECT_EQ(Read(), whole.Connections);
    reports.Waiting = {
        Report(1, tcp::kEstablished, tcp::kCloseWait),
        Report(4, tcp::kClose, tcp::kSynSent),  // port not chosen yet: not a row
        Report(3, tcp::kEstablished, tcp::kClose),
        Report(5, tcp::kSynRecv, tcp::kEstablished, AF_INET6),
        Report(4, tcp::kSynSent, tcp::kEstablished),
    };
    reports.Waiting[1].LocalPort = 0;
    EXPECT_EQ(Read(), (Rows{Connection(1, 8), Connection(2, 5),
                            Connection(5, 5, SocketFamily::MappedIPv6), Connection(4, 5)}));
    Read(ReadResult::Unchanged);
    reports.Waiting = {Report(2, tcp::kEstablished, tcp::kEstablished)};  // nothing new
    Read(ReadResult::Unchanged);
    EXPECT_EQ(table.WholeReads(), 1u);
}

class LostReports : public EventTable, public ::testing::WithParamInterface<bool> {};
INSTANTIATE_TEST_SUITE_P(CountedOrUnreadable, LostReports, ::testing::Bool());

TEST_P(LostReports, BringAWholeReadBeforeRowsGoOut) {
    const bool unreadable = GetParam();
    whole.Connections = {Connection(1, 5)};
    Read();
    whole.Connections.push_back(Connection(2, 5));  // its report was the one lost
    if (unreadable) {
        reports.Unreadable = true;
    } else {
        ++reports.Lost;
    }
    EXPECT_EQ(Read(), whole.Connections);
    // Reports that cannot be read leave only whole reads, until they can again.
    Read(ReadResult::Unchanged);
    EXPECT_EQ(table.WholeReads(), unreadable ? 3u : 2u);
    reports.Unreadable = false;
    Read(ReadResult::Unchanged);
    Read(ReadResult::Unchanged);
    EXPECT_EQ(table.WholeReads(), unreadable ? 4u : 2u);
}

TEST_F(EventTable, ReportsOfChangesDuringTheWalkAreAppliedAfterIt) {
    whole.Connections = {Connection(1, 5), Connection(2, 5)};
    whole.DuringWalk = [&] {
        // The walk had passed connection 1 when it closed, and connection 3 when it came.
        reports.Waiting = {Report(1, tcp::kEstablished, tcp::kClose),
                           Report(3, tcp::kSynSent, tcp::kEstablished)};
    };
    EXPECT_EQ(Read(), (Rows{Connection(2, 5), Connection(3, 5)}));
}

TEST_F(EventTable, AFailedWholeReadHandsOutNothingAndIsTriedAgain) {
    whole.Fail = true;
    rows = {Connection(9, 5)};
    EXPECT_EQ(Read(ReadResult::Failed), Rows{Connection(9, 5)});
    whole.Fail = false;
    whole.Connections = {Connection(1, 5)};
    EXPECT_EQ(Read(), whole.Connections);
}

TEST_F(EventTable, RowsThatComeAndGoUnreportedFollowByLaterWholeReads) {
    whole.Connections = {Connection(1, 5), Connection(2, 5)};
    Read();
    // An active close: the time-wait row that replaces the connection has no report.
    whole.Connections = {Connection(1, 11), Connection(2, 5)};
    reports.Waiting = {Report(1, tcp::kFinWait2, tcp::kClose)};
    EXPECT_TRUE(testsupport::WaitUntil([&] {
        (void)table.ReadTableIfChanged(rows);
        return rows == whole.Connections;
    }));
    // Its end has no report either.
    whole.Connections = {Connection(2, 5)};
    EXPECT_TRUE(testsupport::WaitUntil([&] {
        (void)table.ReadTableIfChanged(rows);
        return rows == whole.Connections;
    }));
}

}  // namespace
}  // namespace quarnel::platform
