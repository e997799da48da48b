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
constexpr TcpState kEstablished = TcpState::Established, kCloseWait = TcpState::CloseWait;

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

// The loopback address of a socket of family, as its reports and rows carry it.
const char* Loopback(SocketFamily family) {
    return family == SocketFamily::IPv6 ? "::1" : "127.0.0.1";
}

// A report of a loopback connection from local port 40000 + cookie to remote port 80.
TcpStateEvent Report(std::uint64_t cookie, std::uint8_t from, std::uint8_t to,
                     SocketFamily family = SocketFamily::IPv4) {
    TcpStateEvent event{};
    event.Cookie = cookie;
    const IpAddress loopback = testsupport::Address(Loopback(family));
    std::ranges::copy(loopback, event.LocalAddress);
    std::ranges::copy(loopback, event.RemoteAddress);
    event.Family = family == SocketFamily::IPv6 ? AF_INET6 : AF_INET;
    event.LocalPort = static_cast<std::uint16_t>(40000 + cookie);
    event.RemotePort = 80;
    event.OldState = from;
    event.NewState = to;
    return event;
}

// The row a whole read shows for the connection of Report.
TcpRow Connection(std::uint64_t cookie, TcpState state, SocketFamily family = {}) {
    return Row(state, Loopback(family), 40000 + static_cast<int>(cookie), Loopback(family), 80,
               cookie, family);
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
    kernel.Connections = {Connection(3, kEstablished), Connection(1, kEstablished),
                          Connection(2, kEstablished)};
    // The walk had passed connection 3 when it closed, and connection 6 when it came.
    kernel.Walked = {Report(3, tcp::kEstablished, tcp::kClose),
                     Report(6, tcp::kSynSent, tcp::kEstablished)};
    EXPECT_EQ(Read(), (Rows{Connection(1, kEstablished), Connection(2, kEstablished),
                            Connection(6, kEstablished)}));
    kernel.Waiting = {
        Report(1, tcp::kEstablished, tcp::kCloseWait),
        Report(4, tcp::kClose, tcp::kSynSent),  // port not chosen yet: not a row
        Report(2, tcp::kEstablished, tcp::kClose),
        Report(5, tcp::kSynRecv, tcp::kEstablished, SocketFamily::IPv6),
        Report(4, tcp::kSynSent, tcp::kEstablished),
        Report(6, tcp::kEstablished, tcp::kCloseWait),  // moved up by the removal
    };
    kernel.Waiting[1].LocalPort = 0;
    EXPECT_EQ(Read(),
              (Rows{Connection(1, kCloseWait), Connection(6, kCloseWait),
                    Connection(5, kEstablished, SocketFamily::IPv6), Connection(4, kEstablished)}));
    Read(ReadResult::Unchanged);
    EXPECT_EQ(table.WholeReads(), 1u);
}

TEST_F(EventTable, EveryDoubtBringsAWholeReadBeforeRowsGoOut) {
    // A failed whole read hands out nothing, and is tried again.
    kernel.Fail = true;
    rows = {Connection(9, kEstablished)};
    EXPECT_EQ(Read(ReadResult::Failed), Rows{Connection(9, kEstablished)});
    kernel.Fail = false;
    kernel.Connections = {Connection(1, kEstablished)};
    EXPECT_EQ(Read(), kernel.Connections);
    // A lost report may be the one of a new connection.
    kernel.Connections.push_back(Connection(2, kEstablished));
    ++kernel.Lost;
    EXPECT_EQ(Read(), kernel.Connections);
    // Reports that cannot be read leave only whole reads.
    kernel.Connections.push_back(Connection(3, kEstablished));
    kernel.Unreadable = true;
    EXPECT_EQ(Read(), kernel.Connections);
    Read(ReadResult::Unchanged);
    EXPECT_EQ(table.WholeReads(), 5u);
}

}  // namespace
}  // namespace quarnel::platform
