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

// Passes enough for the pass to have closed whatever it would.
void Settle(Guard<>& guard) {
    for (int i = 0; i < 50; ++i) {
        guard.Cycle();
    }
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
    Settle(guard);
    EXPECT_TRUE(Carries(allowed) && Carries(unblocked));
    EXPECT_FALSE(Aborted(allowed.client));
}

// As root of the machine the kernel's reports bring the rows, where the system allows them; root
// of its own namespaces may close their connections, but loads no kernel program: polled.
TEST(DualStackBlocking, IPv6ConnectionsAreBlockedAndAllowedInThisProcessAndThroughTheHelper) {
    for (const auto run : {RunInPrivateNetwork, RunInPrivateNetworkAndUser}) {
        for (const Closer closer : {Closer::InProcess, Closer::Helper}) {
            SCOPED_TRACE(std::string(run == RunInPrivateNetwork ? "on reports" : "polling") +
                         (closer == Closer::Helper ? " through the helper" : " in this process"));
            run([closer] { BlocksAndAllowsOverIPv6(closer); });
        }
    }
}

// An allowed prefix and a blocked range of local ports, through the helper and its filter: a
// connection from within the prefix to a port of the range stays; one from outside is closed,
// and its greeting never arrives; the ports just outside the range stay open.
void HoldsPrefixesAndRanges(bool ipv4) {
    auto source = OpenSource(Closer::Helper);
    ASSERT_TRUE(source);
    // A network of its own: these ports are free.
    const auto listen = [ipv4](int port) {
        return ipv4 ? ListenIPv4("0.0.0.0", port) : ListenIPv6Any(true, port);
    };
    const Listener below = listen(40000), inside = listen(40003), above = listen(40006);
    Guard guard(*source, {{AllowedIPKey, ipv4 ? "127.0.0.0/31" : "::/127"},
                          {BlockedLocalPortsKey, "40001-40005"},
                          {BlockedRemotePortsKey, ""}});
    const char* loopback = ipv4 ? "127.0.0.1" : "::1";
    const Connection allowed = Connect(inside, loopback);
    Settle(guard);
    ASSERT_TRUE(Carries(allowed));
    if (!ipv4) {  // ::1 is the only IPv6 loopback address: the prefix moves away from it
        Manager& manager = guard.engine.oManager;
        manager.LoadListFromString(manager.oAllowedIP, "2001:db8::/32");
        manager.SaveChanges();
    }
    // From 127.0.0.2, bound to it: the kernel would pick 127.0.0.1.
    const char* outsider = ipv4 ? "127.0.0.2" : nullptr;
    const Connection outside = Connect(inside, loopback, 0, outsider);
    ASSERT_TRUE(outside.server);
    ASSERT_EQ(::send(outside.server.Get(), "hello", 5, MSG_NOSIGNAL), 5);
    const Connection lower = Connect(below, loopback, 0, outsider),
                     upper = Connect(above, loopback, 0, outsider);
    EXPECT_TRUE(guard.CycleUntil([&] { return Aborted(outside.server); }));
    char byte = 0;
    EXPECT_LE(::recv(outside.client.Get(), &byte, 1, MSG_DONTWAIT), 0) << "the greeting arrived";
    Settle(guard);
    EXPECT_TRUE(Carries(lower) && Carries(upper));
    EXPECT_EQ(Carries(allowed), ipv4);  // the IPv6 one lost its prefix
}

TEST(DualStackBlocking, AllowedPrefixesAndBlockedRangesHoldInBothVersions) {
    for (const bool ipv4 : {true, false}) {
        SCOPED_TRACE(ipv4 ? "IPv4" : "IPv6");
        RunInPrivateNetwork([ipv4] { HoldsPrefixesAndRanges(ipv4); });
    }
}

}  // namespace
}  // namespace quarnel
