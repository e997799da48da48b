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

struct NoHosts : platform::HostAddressSource {
    platform::HostAddresses GetHostAddresses() override { return {}; }
};

// The pass over Windows' real table: of a blocked connection, an allowed one and one on a port
// nobody blocked, it hands SetTcpEntry exactly the row it judged blocked, in state 12, and
// nothing else; a blocked IPv6 connection is told once and handed nowhere.
TEST(WindowsBlockingPass, HandsSetTcpEntryOnlyTheBlockedIPv4RowInState12) {
    Winsock winsock;
    const Socket blocked = Listen(AF_INET), open = Listen(AF_INET), blocked6 = Listen(AF_INET6);
    const Connection closing = Connect(AF_INET, blocked, "127.0.0.1");
    const Connection allowed = Connect(AF_INET, blocked, "127.0.0.2");
    const Connection passing = Connect(AF_INET, open, "127.0.0.1");
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
    int closed = 0;  // closes that worked, as SetTcpEntry took them
    engine.SetCloseObserver([&](const TcpRow&, Verdict, const RuleSet&) { ++closed; });
    engine.ProcessTcpTable({});

    ASSERT_EQ(entries.Handed.size(), 1u);
    EXPECT_EQ(closed, 1);
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

    EXPECT_EQ(closed, 2);
    const std::optional<platform::SourceNotice> told = table.TakeNotice();
    ASSERT_TRUE(told);
    EXPECT_EQ(told->Ability, platform::CloseAbility::Unknown);  // closing IPv4 still works
    EXPECT_NE(told->Text.find("[::1]:" + std::to_string(blocked6.Port()) +
                              " -> [::1]:" + std::to_string(ipv6.Client.Port())),
              std::string::npos)
        << told->Text;
    EXPECT_FALSE(table.TakeNotice());
    (void)allowed, (void)passing, (void)ipv6;
}

}  // namespace
}  // namespace quarnel::testing
