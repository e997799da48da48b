// The table kept from the kernel's reports, against scripted reports and a scripted whole table.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <functional>
#include <utility>

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
        for (const TcpStateEvent& event : std::exchange(Waiting, {})) {
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
    explicit ScriptedTable(ScriptedReports& reports) : Reports(reports) {}
    bool ReadTable(Rows& rows) override {
        if (!Fail) {
            rows = Connections;
            // What happened while the kernel walked its tables is reported after the walk.
            Reports.Waiting = std::exchange(Walked, {});
        }
        return !Fail;
    }
    bool CloseConnection(const TcpRow&) override { return false; }
    CloseAbility CanCloseConnections() override { return CloseAbility::Unknown; }

    ScriptedReports& Reports;
    Rows Connections;
    std::vector<TcpStateEvent> Walked;
    bool Fail = false;
};

// A report of a loopback connection from local port 40000 + cookie to remote port 80.
TcpStateEvent Report(std::uint64_t cookie, std::uint8_t from, std::uint8_t to,
                     std::uint16_t family = AF_INET) {
    const std::uint32_t loopback = htonl(INADDR_LOOPBACK);
    return {cookie, loopback, loopback, 0, family, static_cast<std::uint16_t>(40000 + cookie),
            80,     from,     to};
}

// The row a whole read shows for the connection of Report.
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
    // Reads until the rows are whole's, as the hinted whole reads bring them in time.
    bool FollowsTheWholeTable() {
        return testsupport::WaitUntil([&] {
            (void)table.ReadTableIfChanged(rows);
            return rows == whole.Connections;
        });
    }

    std::unique_ptr<ScriptedReports> ownedReports = std::make_unique<ScriptedReports>();
    ScriptedReports& reports = *ownedReports;
    std::unique_ptr<ScriptedTable> ownedWhole = std::make_unique<ScriptedTable>(reports);
    ScriptedTable& whole = *ownedWhole;
    EventTcpTable table{std::move(ownedReports), std::move(ownedWhole)};
    Rows rows;
};

TEST_F(EventTable, ReportsChangeTheRowsOfTheWholeReadInPlaceAppendAndRemoveThem) {
    whole.Connections = {Connection(3, 5), Connection(1, 5), Connection(2, 5)};
    // The walk had passed connection 3 when it closed, and connection 6 when it came.
    whole.Walked = {Report(3, tcp::kEstablished, tcp::kClose),
                    Report(6, tcp::kSynSent, tcp::kEstablished)};
    EXPECT_EQ(Read(), (Rows{Connection(1, 5), Connection(2, 5), Connection(6, 5)}));
    reports.Waiting = {
        Report(1, tcp::kEstablished, tcp::kCloseWait),
        Report(4, tcp::kClose, tcp::kSynSent),  // port not chosen yet: not a row
        Report(2, tcp::kEstablished, tcp::kClose),
        Report(5, tcp::kSynRecv, tcp::kEstablished, AF_INET6),
        Report(4, tcp::kSynSent, tcp::kEstablished),
        Report(6, tcp::kEstablished, tcp::kCloseWait),  // moved up by the removal
    };
    reports.Waiting[1].LocalPort = 0;
    EXPECT_EQ(Read(), (Rows{Connection(1, 8), Connection(6, 8),
                            Connection(5, 5, SocketFamily::MappedIPv6), Connection(4, 5)}));
    Read(ReadResult::Unchanged);
    reports.Waiting = {Report(4, tcp::kEstablished, tcp::kEstablished)};  // nothing new
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
    reports.Unreadable = unreadable;
    reports.Lost += !unreadable;
    EXPECT_EQ(Read(), whole.Connections);
    // Reports that cannot be read leave only whole reads, until they can again.
    Read(ReadResult::Unchanged);
    EXPECT_EQ(table.WholeReads(), unreadable ? 3u : 2u);
    reports.Unreadable = false;
    Read(ReadResult::Unchanged);
    Read(ReadResult::Unchanged);
    EXPECT_EQ(table.WholeReads(), unreadable ? 4u : 2u);
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
    EXPECT_TRUE(FollowsTheWholeTable());
    // Its end has no report either.
    whole.Connections = {Connection(2, 5)};
    EXPECT_TRUE(FollowsTheWholeTable());
}

}  // namespace
}  // namespace quarnel::platform
