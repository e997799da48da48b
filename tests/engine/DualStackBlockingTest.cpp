// The blocking pass over IPv4 and IPv6 loopback connections, in private network namespaces: in
// this process and through the helper, each on the kernel's reports and polling.

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "engine/Settings.h"
#include "platform/linux/client/HelperTcpTable.h"
#include "platform/linux/client/LinuxHostAddressSource.h"
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

// Passes enough for the pass to have closed whatever it would.
void Settle(Guard<platform::LinuxHostAddressSource>& guard) {
    for (int i = 0; i < 50; ++i) {
        guard.Cycle();
    }
}

// A blocked remote port and a blocked range of local ports: what is open before the program
// starts and what opens after is closed, the ports just outside the range stay open; an allowed
// prefix that ends at the loopback address keeps a connection to the range, until it moves away.
void BlocksAndAllows(Closer closer, bool ipv4) {
    auto source = OpenSource(closer);
    ASSERT_TRUE(source);
    // A network of its own: these ports are free.
    const auto listen = [ipv4](int port) {
        return ipv4 ? ListenIPv4("0.0.0.0", port) : ListenIPv6Any(true, port);
    };
    const char* loopback = ipv4 ? "127.0.0.1" : "::1";
    const Listener remote = listen(0), below = listen(40000), inside = listen(40003),
                   above = listen(40006);
    const Connection earlier = Connect(remote, loopback);
    ASSERT_TRUE(earlier.server);
    Guard<platform::LinuxHostAddressSource> guard(
        *source, {{AllowedIPKey, ""},
                  {BlockedLocalPortsKey, "40001-40005"},
                  {BlockedRemotePortsKey, std::to_string(remote.port)}});
    EXPECT_TRUE(guard.CycleUntil([&] { return Aborted(earlier.client); }));

    const Connection toRemote = Connect(remote, loopback), toInside = Connect(inside, loopback),
                     lower = Connect(below, loopback), upper = Connect(above, loopback);
    EXPECT_TRUE(guard.CycleUntil([&] { return Aborted(toRemote.client); }));
    // The end whose local port is blocked is the accepted one.
    EXPECT_TRUE(guard.CycleUntil([&] { return Aborted(toInside.server); }));
    Settle(guard);
    EXPECT_TRUE(Carries(lower) && Carries(upper));

    Manager& manager = guard.engine.oManager;
    manager.LoadListFromString(manager.oAllowedIP, ipv4 ? "127.0.0.0/31" : "::/127");
    manager.SaveChanges();
    const Connection allowed = Connect(inside, loopback);
    Settle(guard);
    ASSERT_TRUE(Carries(allowed));

    manager.LoadListFromString(manager.oAllowedIP, "2001:db8::/32");
    manager.SaveChanges();
    EXPECT_TRUE(guard.CycleUntil([&] { return Aborted(allowed.server); }));

    manager.RefreshLocalIPList();  // with the addresses of interfaces that are up
    EXPECT_GE(manager.oLocalIP.FindItem("=", std::string("127.0.0.1")), 0);
}

// As root of the machine the kernel's reports bring the rows, where the system allows them; root
// of its own namespaces may close their connections, but loads no kernel program: polled.
TEST(DualStackBlocking, BothVersionsAreBlockedAndAllowedInThisProcessAndThroughTheHelper) {
    for (const bool reports : {true, false}) {
        for (const Closer closer : {Closer::InProcess, Closer::Helper}) {
            for (const bool ipv4 : {true, false}) {
                SCOPED_TRACE(
                    std::string(reports ? "on reports" : "polling") +
                    (closer == Closer::Helper ? " through the helper" : " in this process") +
                    (ipv4 ? ", IPv4" : ", IPv6"));
                (reports ? RunInPrivateNetwork
                         : RunInPrivateNetworkAndUser)([=] { BlocksAndAllows(closer, ipv4); });
            }
        }
    }
}

}  // namespace
}  // namespace quarnel
