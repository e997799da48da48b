#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/Engine.h"
#include "engine/Settings.h"
#include "platform/windows/TcpRows.h"
#include "platform/windows/WindowsTcpTable.h"
#include "tests/platform/windows/LoopbackSockets.h"
#include "tests/support/MemoryStore.h"

namespace quarnel::testing {
namespace {

using platform::TcpRow;

struct RecordedEntries : platform::TcpEntryWriter {
    unsigned long SetTcpEntry(const MIB_TCPROW& row) override {
        Handed.push_back(row);
        return NO_ERROR;  // taken; under Wine the connection stays all the same
    }
    bool CarriedOut() const override { return true; }
    std::vector<MIB_TCPROW> Handed;
};

struct NoHosts : platform::HostAddressSource {
    platform::HostAddresses GetHostAddresses() override { return {}; }
};

// A client of listener connected from address (an IPv4 loopback address).
Connection ConnectFrom(const char* address, const Socket& listener) {
    Connection connection{Socket(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)), {}};
    sockaddr_in from{};
    from.sin_family = AF_INET;
    EXPECT_EQ(inet_pton(AF_INET, address, &from.sin_addr), 1);
    EXPECT_EQ(bind(connection.Client.get(), reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
    int length = 0;
    const sockaddr_storage to = Loopback(AF_INET, listener.Port(), length);
    EXPECT_EQ(connect(connection.Client.get(), reinterpret_cast<const sockaddr*>(&to), length), 0);
    connection.Server = Socket(accept(listener.get(), nullptr, nullptr));
    return connection;
}

// The pass over Windows' real table: of a blocked connection, an allowed one and one on a port
// nobody blocked, it hands SetTcpEntry exactly the row it judged blocked, in state 12, and
// nothing else; a blocked IPv6 connection is told once and handed nowhere.
TEST(WindowsBlockingPass, HandsSetTcpEntryOnlyTheBlockedIPv4RowInState12) {
    Winsock winsock;
    const Socket blocked = Listen(AF_INET), open = Listen(AF_INET), blocked6 = Listen(AF_INET6);
    const Connection closing = ConnectFrom("127.0.0.1", blocked);
    const Connection allowed = ConnectFrom("127.0.0.2", blocked);
    const Connection passing = ConnectFrom("127.0.0.1", open);
    const Connection ipv6 = Connect(AF_INET6, blocked6);

    RecordedEntries entries;
    platform::WindowsTcpTable table(entries);
    NoHosts hosts;
    testsupport::MemoryStore store;
    std::string ports = std::to_string(blocked.Port());
    ports.append(",").append(std::to_string(blocked6.Port()));
    store.Values = {{AllowedIPKey, "127.0.0.2"}, {BlockedLocalPortsKey, ports}};
    Engine engine(table, hosts, store);
    (void)engine.oManager.LoadSettings();
    engine.ProcessTcpTable({});

    ASSERT_EQ(entries.Handed.size(), 1u);
    const MIB_TCPROW handed = entries.Handed[0];
    EXPECT_EQ(handed.dwState, DWORD(MIB_TCP_STATE_DELETE_TCB));
    EXPECT_EQ(handed.dwLocalAddr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(handed.dwLocalPort & 0xFFFF, htons(u_short(blocked.Port())));
    EXPECT_EQ(handed.dwRemoteAddr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(handed.dwRemotePort & 0xFFFF, htons(u_short(closing.Client.Port())));

    // Still listed (Wine closes nothing): tried again on the next pass, and only it.
    engine.ProcessTcpTable({});
    ASSERT_EQ(entries.Handed.size(), 2u);
    EXPECT_EQ(std::memcmp(&entries.Handed[1], &handed, sizeof handed), 0);

    const std::optional<platform::SourceNotice> told = table.TakeNotice();
    ASSERT_TRUE(told);
    const std::string port6 = std::to_string(blocked6.Port());
    EXPECT_NE(told->Text.find("]:" + port6), std::string::npos) << told->Text;
    EXPECT_FALSE(table.TakeNotice());
    (void)allowed, (void)passing, (void)ipv6;
}

}  // namespace
}  // namespace quarnel::testing
