// The table kept from the kernel's reports, against scripted reports and a scripted whole table.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <functional>
#include <utility>

#include "platform/linux/EventTcpTable.h"
#include "platform/linux/SockDiagMessages.h"
#include "tests/support/TableRows.h"

namespace quarnel::platform {
namespace {

using Rows = std::vector<TcpRow>;
namespace tcp = linux_tcp;

// What the kernel has to tell, as a test scripts it.
struct Kernel {
    Rows Connections;                    // the whole table
    std::vector<TcpStateEvent> Waiting;  // reports not read yet
    std::vector<TcpStateEvent> Walked;   // reports of changes during the next walk, after it
    std::uint64_t Lost = 0;
    bool Unreadable = false;  // the reports cannot be read
    bool Fail = false;        // the whole table cannot be read
};

struct ScriptedReports final : TcpEventStream {
    explicit ScriptedReports(Kernel& kernel) : kernel(kernel) {}
    int Descriptor() const override { return -1; }
    bool Drain(const std::function<void(const TcpStateEvent&)>& sink) override {
        std::ranges::for_each(std::exchange(kernel.Waiting, {}), sink);
        return !kernel.Unreadable;
    }
    std::uint64_t LostCount() const override { return kernel.Lost; }
    Kernel& kernel;
};

struct ScriptedTable final : TcpTableSource {
    explicit ScriptedTable(Kernel& kernel) : kernel(kernel) {}
    bool ReadTable(Rows& rows) override {
        if (!kernel.Fail) {
            rows = kernel.Connections;
            kernel.Waiting = std::exchange(kernel.Walked, {});
        }
        return !kernel.Fail;
    }
    bool CloseConnection(const TcpRow&) override { return false; }
    CloseAbility CanCloseConnections() override { return CloseAbility::Unknown; }
    Kernel& kernel;
};

// A report of a loopback connection from local port 40000 + cookie to remote port 80.
TcpStateEvent Report(std::uint64_t cookie, std::uint8_t from, std::uint8_t to,
                     std::uint16_t family = AF_INET) {
    const std::uint32_t loopback = htonl(INADDR_LOOPBACK);
    return {cookie, loopback, loopback, 0, family, static_cast<std::uint16_t>(40000 + cookie),
            80,     from,     to};
}

// The row a whole read shows for the connection of Report.
TcpRow Connection(std::uint64_t cookie, std::int32_t state, SocketFamily family = {}) {
    return Row(state, "127.0.0.1", 40000 + static_cast<int>(cookie), "127.0.0.1", 80, cookie,
               family);
}

class EventTable : public ::testing::Test {
protected:
    Rows Read(ReadResult expected = ReadResult::Changed) {
        EXPECT_EQ(table.ReadTableIfChanged(rows), expected);
        return rows;
    }

    Kernel kernel;
    EventTcpTable table{std::make_unique<ScriptedReports>(kernel),
                        std::make_unique<ScriptedTable>(kernel)};
    Rows rows;
};

TEST_F(EventTable, ReportsChangeTheRowsOfTheWholeReadInPlaceAppendAndRemoveThem) {
    kernel.Connections = {Connection(3, 5), Connection(1, 5), Connection(2, 5)};
    // The walk had passed connection 3 when it closed, and connection 6 when it came.
    kernel.Walked = {Report(3, tcp::kEstablished, tcp::kClose),
                     Report(6, tcp::kSynSent, tcp::kEstablished)};
    EXPECT_EQ(Read(), (Rows{Connection(1, 5), Connection(2, 5), Connection(6, 5)}));
    kernel.Waiting = {
        Report(1, tcp::kEstablished, tcp::kCloseWait),
        Report(4, tcp::kClose, tcp::kSynSent),  // port not chosen yet: not a row
        Report(2, tcp::kEstablished, tcp::kClose),
        Report(5, tcp::kSynRecv, tcp::kEstablished, AF_INET6),
        Report(4, tcp::kSynSent, tcp::kEstablished),
        Report(6, tcp::kEstablished, tcp::kCloseWait),  // moved up by the removal
    };
    kernel.Waiting[1].LocalPort = 0;
    EXPECT_EQ(Read(), (Rows{Connection(1, 8), Connection(6, 8),
                            Connection(5, 5, SocketFamily::MappedIPv6), Connection(4, 5)}));
    Read(ReadResult::Unchanged);
    EXPECT_EQ(table.WholeReads(), 1u);
}

TEST_F(EventTable, EveryDoubtBringsAWholeReadBeforeRowsGoOut) {
    // A failed whole read hands out nothing, and is tried again.
    kernel.Fail = true;
    rows = {Connection(9, 5)};
    EXPECT_EQ(Read(ReadResult::Failed), Rows{Connection(9, 5)});
    kernel.Fail = false;
    kernel.Connections = {Connection(1, 5)};
    EXPECT_EQ(Read(), kernel.Connections);
    // A lost report may be the one of a new connection.
    kernel.Connections.push_back(Connection(2, 5));
    ++kernel.Lost;
    EXPECT_EQ(Read(), kernel.Connections);
    // Reports that cannot be read leave only whole reads.
    kernel.Connections.push_back(Connection(3, 5));
    kernel.Unreadable = true;
    EXPECT_EQ(Read(), kernel.Connections);
    Read(ReadResult::Unchanged);
    EXPECT_EQ(table.WholeReads(), 5u);
}

}  // namespace
}  // namespace quarnel::platform
