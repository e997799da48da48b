#include <windows.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/windows/TcpRows.h"
#include "platform/windows/WindowsTcpTable.h"
#include "tests/platform/windows/LoopbackSockets.h"

namespace quarnel::testing {
namespace {

using platform::CloseAbility;
using platform::SocketFamily;
using platform::TcpRow;
using platform::TcpState;

platform::IpAddress LoopbackOf(int family) {
    platform::IpAddress address{};
    if (family == AF_INET) {
        return platform::MappedIPv4(htonl(INADDR_LOOPBACK));
    }
    address[15] = 1;
    return address;
}

// The row of the table for the socket at localPort talking to remotePort, if listed.
const TcpRow* Find(const std::vector<TcpRow>& rows, SocketFamily family, std::int32_t localPort,
                   std::int32_t remotePort) {
    const auto found = std::find_if(rows.begin(), rows.end(), [&](const TcpRow& row) {
        return row.Family == family && row.LocalPort == localPort && row.RemotePort == remotePort;
    });
    return found != rows.end() ? &*found : nullptr;
}

class TableTest : public ::testing::Test {
protected:
    Winsock winsock;
    RecordedEntries entries;
    platform::WindowsTcpTable table{entries};
    std::vector<TcpRow> rows;
};
class WindowsTable : public TableTest, public ::testing::WithParamInterface<int> {};
using WindowsTableReads = TableTest;
using Closing = TableTest;

// A listener and a client of one IP version, as the table shows them: the listener without a
// remote end, both ends of the connection established, each with its addresses and ports; once
// the client has closed, the listener's end waits to close.
TEST_P(WindowsTable, ShowsAListenerAndBothEndsOfAConnectionWithTheirStatesAndAddresses) {
    const int family = GetParam();
    const SocketFamily kind = family == AF_INET ? SocketFamily::IPv4 : SocketFamily::IPv6;
    const platform::IpAddress loopback = LoopbackOf(family);
    const Socket listener = Listen(family);
    Connection connection = Connect(family, listener);
    const std::int32_t port = listener.Port(), clientPort = connection.Client.Port();

    ASSERT_TRUE(table.ReadTable(rows));
    const TcpRow* listening = Find(rows, kind, port, 0);
    ASSERT_NE(listening, nullptr);
    EXPECT_EQ(listening->State, TcpState::Listening);
    EXPECT_EQ(listening->LocalAddress, loopback);
    EXPECT_TRUE(platform::IsUnspecified(listening->RemoteAddress));
    for (const auto& [local, remote] : {std::pair{clientPort, port}, std::pair{port, clientPort}}) {
        const TcpRow* end = Find(rows, kind, local, remote);
        ASSERT_NE(end, nullptr) << local << " -> " << remote;
        EXPECT_EQ(end->State, TcpState::Established);
        EXPECT_EQ(end->LocalAddress, loopback);
        EXPECT_EQ(end->RemoteAddress, loopback);
        // Wine does not tell who owns a connection.
        EXPECT_EQ(end->OwnerPid, platform::RunningUnderWine() ? 0u : GetCurrentProcessId());
    }

    connection.Client.Close();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    const TcpRow* serverEnd = nullptr;
    while (std::chrono::steady_clock::now() < deadline) {
        ASSERT_TRUE(table.ReadTable(rows));
        serverEnd = Find(rows, kind, port, clientPort);
        if (serverEnd != nullptr && serverEnd->State == TcpState::CloseWait) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(serverEnd, nullptr);
    EXPECT_EQ(serverEnd->State, TcpState::CloseWait);
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, WindowsTable, ::testing::Values(AF_INET, AF_INET6),
                         [](const auto& family) {
                             return std::string(family.param == AF_INET ? "IPv4" : "IPv6");
                         });

// A read that finds the table as it handed it to the same rows says so and leaves them alone; a
// changed table, or other rows, get the whole table.
TEST_F(WindowsTableReads, TellWhenNothingChangedSinceTheSameRowsWereFilled) {
    const Socket listener = Listen(AF_INET);
    std::vector<TcpRow> others;
    platform::TableChanges changes;
    ASSERT_EQ(table.Read(rows, &changes), platform::ReadResult::Changed);
    EXPECT_TRUE(changes.Whole);
    EXPECT_EQ(table.Read(rows, &changes), platform::ReadResult::Unchanged);
    EXPECT_EQ(table.Read(others, &changes), platform::ReadResult::Changed);
    EXPECT_EQ(others, rows);
    const Socket second = Listen(AF_INET);
    ASSERT_EQ(table.Read(others, &changes), platform::ReadResult::Changed);
    EXPECT_NE(Find(others, SocketFamily::IPv4, second.Port(), 0), nullptr);
}

// Refusals: one for want of an administrator is told once and makes the table close nothing
// more; any other is told once per kind; a connection that ended meanwhile is no news.
TEST_F(Closing, ARefusalIsToldOnceAndOneForWantOfTheRightEndsClosing) {
    TcpRow row;
    row.State = TcpState::Established;
    row.LocalAddress = row.RemoteAddress = LoopbackOf(AF_INET);
    row.LocalPort = 50000;
    row.RemotePort = 6885;
    for (const unsigned long answer : {ERROR_NOT_FOUND, ERROR_INVALID_PARAMETER,
                                       ERROR_INVALID_PARAMETER, ERROR_MR_MID_NOT_FOUND}) {
        entries.Answer = answer;
        EXPECT_FALSE(table.CloseConnection(row));
    }
    const std::optional<platform::SourceNotice> other = table.TakeNotice();
    ASSERT_TRUE(other);
    EXPECT_EQ(other->Ability, CloseAbility::Unknown);
    EXPECT_NE(other->Text.find("127.0.0.1:50000 -> 127.0.0.1:6885 (error 87: "), std::string::npos)
        << other->Text;
    const std::optional<platform::SourceNotice> denied = table.TakeNotice();
    ASSERT_TRUE(denied);
    EXPECT_EQ(denied->Ability, CloseAbility::NoPermission);
    EXPECT_NE(denied->Text.find("Run as administrator"), std::string::npos);
    EXPECT_FALSE(table.TakeNotice());

    EXPECT_FALSE(table.CloseConnection(row));
    EXPECT_EQ(entries.Handed.size(), 4u);  // nothing handed over since
}

TEST_F(Closing, AViewerClosesNothingAndWineIsNoPlaceToClose) {
    TcpRow row;
    row.State = TcpState::Established;
    row.LocalAddress = row.RemoteAddress = LoopbackOf(AF_INET);
    table.CloseNothing();
    EXPECT_FALSE(table.CloseConnection(row));
    EXPECT_TRUE(entries.Handed.empty());

    platform::SystemTcpEntries system;
    platform::WindowsTcpTable real(system);
    if (platform::RunningUnderWine()) {
        EXPECT_EQ(real.CanCloseConnections(), CloseAbility::NotSupported);
    } else {
        EXPECT_NE(real.CanCloseConnections(), CloseAbility::NotSupported);
    }
}

}  // namespace
}  // namespace quarnel::testing
