// The blocking pass over IPv6 connections on ::1, in private network namespaces: in this process
// and through the helper, each on the kernel's reports and polling.

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "engine/Settings.h"
#include "platform/linux/client/HelperTcpTable.h"
#include "platform/linux/client/TcpTableSelection.h"
#include "tests/engine/TestEngine.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"
#include "tests/support/WaitUntil.h"

namespace quarnel {
namespace {

using namespace testsupport;
using testing::Guard;

enum class Closer { InProcess, Helper };

std::unique_ptr<platform::TcpTableSource> OpenSource(Closer closer) {
    if (closer == Closer::InProcess) {
        return platform::OpenTcpTableSource("").Source;
    }
    platform::CloseAbility ability = platform::CloseAbility::Unknown;
    std::string problem;
    auto helper = platform::HelperTcpTable::Start(QUARNEL_HELPER_PATH, ability, problem);
    EXPECT_TRUE(helper && ability == platform::CloseAbility::Allowed) << problem;
    return helper;
}

void BlocksAndAllowsOverIPv6(Closer closer) {
    auto source = OpenSource(closer);
    ASSERT_TRUE(source);
    const Listener blockedRemote = ListenIPv6Any(true), blockedLocal = ListenIPv6Any(true),
                   open = ListenIPv6Any(true);
    // Open before the program starts with the rule that blocks it.
    const Connection earlier = Connect(blockedRemote, "::1");
    ASSERT_TRUE(earlier.server);
    Guard guard(*source, {{AllowedIPKey, ""},
                          {BlockedLocalPortsKey, std::to_string(blockedLocal.port)},
                          {BlockedRemotePortsKey, std::to_string(blockedRemote.port)}});
    EXPECT_TRUE(guard.CycleUntil([&] { return Aborted(earlier.client); }));

    const Connection toBlocked = Connect(blockedRemote, "::1");
    const Connection fromBlocked = Connect(blockedLocal, "::1");
    const Connection unblocked = Connect(open, "::1");
    EXPECT_TRUE(guard.CycleUntil([&] { return Aborted(toBlocked.client); }));
    // The end whose local port is blocked is the accepted one.
    EXPECT_TRUE(guard.CycleUntil([&] { return Aborted(fromBlocked.server); }));
    EXPECT_TRUE(Carries(unblocked));

    // ::1 allowed, written long-hand: a connection to the blocked port stays.
    Manager& manager = guard.engine.oManager;
    manager.LoadListFromString(manager.oAllowedIP, "0:0:0:0:0:0:0:1");
    manager.SaveChanges();
    const Connection allowed = Connect(blockedRemote, "::1");
    for (int i = 0; i < 50; ++i) {
        guard.Cycle();
    }
    EXPECT_TRUE(Carries(allowed) && Carries(unblocked));
    EXPECT_FALSE(Aborted(allowed.client));
}

// As root of the machine the kernel's reports bring the rows, where the system allows them.
TEST(DualStackBlocking, IPv6ConnectionsAreBlockedAndAllowedInThisProcessOnReports) {
    RunInPrivateNetwork([] { BlocksAndAllowsOverIPv6(Closer::InProcess); });
}

TEST(DualStackBlocking, IPv6ConnectionsAreBlockedAndAllowedThroughTheHelperOnReports) {
    RunInPrivateNetwork([] { BlocksAndAllowsOverIPv6(Closer::Helper); });
}

// Root of its own namespaces may close their connections, but loads no kernel program: polled.
TEST(DualStackBlocking, IPv6ConnectionsAreBlockedAndAllowedInThisProcessPolling) {
    RunInPrivateNetworkAndUser([] {
        ASSERT_EQ(platform::OpenTcpTableSource("").Source->WaitDescriptor(), -1);
        BlocksAndAllowsOverIPv6(Closer::InProcess);
    });
}

TEST(DualStackBlocking, IPv6ConnectionsAreBlockedAndAllowedThroughTheHelperPolling) {
    RunInPrivateNetworkAndUser([] { BlocksAndAllowsOverIPv6(Closer::Helper); });
}

}  // namespace
}  // namespace quarnel
