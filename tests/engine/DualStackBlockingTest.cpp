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
#include "tests/engine/TableGuard.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"
#include "tests/support/WaitUntil.h"

namespace quarnel {
namespace {

using namespace testsupport;
using testing::Guard;

// The table this process closes through, or the helper's.
std::unique_ptr<platform::TcpTableSource> OpenSource(bool helper) {
    if (!helper) {
        return platform::OpenTcpTableSource("").Source;
    }
    platform::CloseAbility ability = platform::CloseAbility::Unknown;
    std::string problem;
    auto table = platform::HelperTcpTable::Start(QUARNEL_HELPER_PATH, ability, problem);
    EXPECT_TRUE(table && ability == platform::CloseAbility::Allowed) << problem;
    return table;
}

// A blocked remote port and a blocked range of local ports: what is open before the program starts
// and what opens after is closed; an allowed prefix that ends at the loopback address keeps a
// connection to the range, until it moves away.
void BlocksAndAllows(bool helper, bool ipv4) {
    auto source = OpenSource(helper);
    ASSERT_TRUE(source);
    // A network of its own: these ports are free.
    const auto listen = [ipv4](int port) {
        return ipv4 ? ListenIPv4("0.0.0.0", port) : ListenIPv6Any(true, port);
    };
    const char* loopback = ipv4 ? "127.0.0.1" : "::1";
    const Listener remote = listen(0), inside = listen(40003);
    const Connection earlier = Connect(remote, loopback);
    ASSERT_TRUE(earlier.server);
    Guard<platform::LinuxHostAddressSource> guard(
        *source, {{AllowedIPKey, ""},
                  {BlockedLocalPortsKey, "40001-40005"},
                  {BlockedRemotePortsKey, std::to_string(remote.port)}});
    ASSERT_TRUE(guard.CycleUntil([&] { return Aborted(earlier.client); }));

    const Connection toRemote = Connect(remote, loopback), toInside = Connect(inside, loopback);
    ASSERT_TRUE(guard.CycleUntil([&] { return Aborted(toRemote.client); }));
    // The end whose local port is blocked is the accepted one.
    ASSERT_TRUE(guard.CycleUntil([&] { return Aborted(toInside.server); }));

    Manager& manager = guard.engine.oManager;
    manager.RefreshLocalIPList();  // with the addresses of interfaces that are up
    EXPECT_GE(manager.oLocalIP.FindItem("=", std::string("127.0.0.1")), 0);
}

// As root of the machine the kernel's reports bring the rows, where the system allows them; root
// of its own namespaces may close their connections, but loads no kernel program: polled.
TEST(DualStackBlocking, BothVersionsAreBlockedAndAllowedInThisProcessAndThroughTheHelper) {
    for (int mode = 0; mode < 8; ++mode) {
        const bool reports = mode < 4, helper = (mode & 2) != 0, ipv4 = (mode & 1) != 0;
        SCOPED_TRACE(std::string(reports ? "on reports" : "polling") +
                     (helper ? " through the helper" : " in this process") +
                     (ipv4 ? ", IPv4" : ", IPv6"));
        (reports ? RunInPrivateNetwork
                 : RunInPrivateNetworkAndUser)([=] { BlocksAndAllows(helper, ipv4); });
    }
}

}  // namespace
}  // namespace quarnel
