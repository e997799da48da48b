// The payload filter for real: attached to a cgroup made for the test, in a private network
// namespace, over loopback connections.

#include "platform/linux/bpf/PayloadFilter.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <string>

#include "platform/linux/filter/CgroupRoot.h"
#include "tests/platform/bpf/TestCgroup.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"
#include "tests/support/WaitUntil.h"

namespace quarnel::platform {
namespace {

using namespace testsupport;
using namespace std::chrono_literals;

// The allowed prefix an entry's text names.
AddressPrefix Prefix(const char* text) {
    const AddressEntry entry = ParseAddressEntry(text);
    EXPECT_EQ(entry.Is, AddressEntry::Kind::Prefix) << text;
    return entry.Prefix;
}

// Longer than loopback ever takes, and past the first retransmission (at 200 ms), so that what
// does not arrive here was held back, not late.
constexpr auto kHeld = 300ms;

// The bytes that arrive on fd within wait.
std::string Arrived(int fd, std::chrono::milliseconds wait = kHeld) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(wait.count())) <= 0) {
        return {};
    }
    char bytes[256];
    const ssize_t got = ::recv(fd, bytes, sizeof bytes, MSG_DONTWAIT);
    return got > 0 ? std::string(bytes, static_cast<std::size_t>(got)) : std::string();
}

void Send(int fd, const std::string& text) {
    ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(text.size()));
}

enum Where { InATestCgroup, FromTheRoot };

// Runs body in a private network namespace, in a cgroup of its own with a filter attached
// there; skipped where the system refuses either. FromTheRoot attaches it to the root the test
// sees, the cgroup the fixture made for it.
void WithFilter(Where where, const std::function<void(PayloadFilter&)>& body) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "attaching a kernel filter needs real root";
    }
    RunInPrivateNetwork([&] {
        TestCgroup cgroup;
        if (cgroup.Path().empty()) {
            GTEST_SKIP() << cgroup.Problem();
        }
        const std::string at = where == FromTheRoot ? FindCgroup2Root() : cgroup.Path();
        FilterCause why;
        const std::unique_ptr<PayloadFilter> filter = PayloadFilter::Attach(at, why);
        ASSERT_TRUE(filter) << why.Text();
        body(*filter);
    });
}

void SetRules(PayloadFilter& filter, const BlockingRules& rules) {
    FilterCause why;
    ASSERT_TRUE(filter.SetRules(rules, why)) << why.Text();
}

struct Family {
    const char* Loopback;
    Listener (*Listen)();
};
const Family kIPv4{"127.0.0.1", [] { return ListenIPv4(); }};
const Family kIPv6{"::1", [] { return ListenIPv6Any(true); }};

class PayloadFilterTest : public ::testing::TestWithParam<Family> {};
INSTANTIATE_TEST_SUITE_P(Families, PayloadFilterTest, ::testing::Values(kIPv4, kIPv6),
                         [](const auto& info) {
                             return info.param.Loopback == kIPv4.Loopback ? "IPv4" : "IPv6";
                         });

TEST_P(PayloadFilterTest, RequestsAndGreetingsOnBlockedPortsNeverArrive) {
    const Family family = GetParam();
    WithFilter(InATestCgroup, [&](PayloadFilter& filter) {
        const Listener local = family.Listen();
        const Listener remote = family.Listen();
        // One listener blocked as a local port, the other as a remote port: each side of a
        // loopback connection sees the other's port as remote.
        SetRules(filter, {{}, {PortOf(local)}, {PortOf(remote)}});
        for (const Listener* listener : {&local, &remote}) {
            // The handshake passes: the connection is established as without the filter.
            const Connection connection = Connect(*listener, family.Loopback);
            ASSERT_TRUE(connection.server);
            Send(connection.client.Get(), "request");
            Send(connection.server.Get(), "greeting");
            EXPECT_EQ(Arrived(connection.server.Get()), "");
            EXPECT_EQ(Arrived(connection.client.Get()), "");

            // Teardown passes too: an abort reaches the other end.
            const linger abort{1, 0};
            ASSERT_EQ(
                ::setsockopt(connection.client.Get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort),
                0);
            ::close(connection.client.Get());
            char byte = 0;
            EXPECT_TRUE(WaitUntil([&] {
                return ::recv(connection.server.Get(), &byte, 1, MSG_DONTWAIT) < 0 &&
                       errno == ECONNRESET;
            })) << "the abort never arrived";
        }
        EXPECT_GE(filter.HeldPackets(), 4u);
    });
}

TEST_P(PayloadFilterTest, AllowedAddressesAndOtherPortsCarryData) {
    const Family family = GetParam();
    WithFilter(InATestCgroup, [&](PayloadFilter& filter) {
        const Listener blocked = family.Listen();
        const Listener open = family.Listen();
        // A range of ports that holds the blocked listener's, and a prefix that holds the
        // loopback address.
        const auto port = static_cast<std::uint16_t>(blocked.port);
        const PortRange around{static_cast<std::uint16_t>(port - 1),
                               static_cast<std::uint16_t>(port + 1)};
        SetRules(filter, {{Prefix("127.0.0.0/8"), Prefix("::/127")}, {around}, {around}});
        const Connection allowed = Connect(blocked, family.Loopback);
        Send(allowed.client.Get(), "request");
        EXPECT_EQ(Arrived(allowed.server.Get()), "request");

        // Prefixes beside it do not protect this one.
        SetRules(filter, {{Prefix("127.0.0.2/31"), Prefix("::2/127")}, {around}, {}});
        const Connection other = Connect(open, family.Loopback);
        Send(other.server.Get(), "greeting");
        EXPECT_EQ(Arrived(other.client.Get()), "greeting");
        Send(allowed.client.Get(), "more");
        EXPECT_EQ(Arrived(allowed.server.Get()), "");
    });
}

TEST_P(PayloadFilterTest, ARuleStopsAnOpenConnectionAtOnceAndLiftingItLetsTheDataThrough) {
    const Family family = GetParam();
    WithFilter(InATestCgroup, [&](PayloadFilter& filter) {
        const Listener listener = family.Listen();
        const Connection connection = Connect(listener, family.Loopback);
        Send(connection.client.Get(), "before");
        ASSERT_EQ(Arrived(connection.server.Get()), "before");

        SetRules(filter, {{}, {}, {PortOf(listener)}});
        Send(connection.client.Get(), "during");
        EXPECT_EQ(Arrived(connection.server.Get()), "");

        // Held, not lost: TCP sends it again once the rule is gone.
        SetRules(filter, {});
        EXPECT_EQ(Arrived(connection.server.Get(), 5000ms), "during");
    });
}

// The filter is loaded in a child that blocks the listener's port, then killed.
TEST_P(PayloadFilterTest, GoesWithTheProcessThatOwnsIt) {
    const Family family = GetParam();
    if (::geteuid() != 0) {
        GTEST_SKIP() << "attaching a kernel filter needs real root";
    }
    RunInPrivateNetwork([&] {
        TestCgroup cgroup;
        if (cgroup.Path().empty()) {
            GTEST_SKIP() << cgroup.Problem();
        }
        const Listener listener = family.Listen();
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t owner = ::fork();
        ASSERT_GE(owner, 0);
        if (owner == 0) {
            FilterCause why;
            auto filter = PayloadFilter::Attach(cgroup.Path(), why);
            const char attached =
                filter && filter->SetRules({{}, {PortOf(listener)}, {}}, why) ? 'y' : 'n';
            (void)::write(ready[1], &attached, 1);
            ::pause();
            ::_exit(0);
        }
        ::close(ready[1]);
        char attached = 0;
        ASSERT_EQ(::read(ready[0], &attached, 1), 1);
        ASSERT_EQ(attached, 'y');
        const Connection held = Connect(listener, family.Loopback);
        Send(held.client.Get(), "held");
        EXPECT_EQ(Arrived(held.server.Get()), "");

        ::kill(owner, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(owner, &status, 0), owner);
        // The kernel lets go of the filter when the last descriptor of its links closes.
        EXPECT_EQ(Arrived(held.server.Get(), 5000ms), "held");
        const Connection after = Connect(listener, family.Loopback);
        Send(after.client.Get(), "after");
        EXPECT_EQ(Arrived(after.server.Get()), "after");
    });
}

// A process under the same cgroup in another network namespace is none of the filter's business.
// The filter sits on the cgroup the fixture made the test's root, which the inner fixture's
// cgroup lies under.
TEST_P(PayloadFilterTest, LeavesOtherNetworkNamespacesAlone) {
    const Family family = GetParam();
    WithFilter(FromTheRoot, [&](PayloadFilter& filter) {
        const Listener here = family.Listen();
        SetRules(filter, {{}, {PortOf(here)}, {}});
        RunInPrivateNetwork([&] {
            // Same port number, another namespace: the cgroup's filter sees it, and lets it be.
            const Listener there = family.Listen();
            SetRules(filter, {{}, {PortOf(there)}, {}});
            const Connection connection = Connect(there, family.Loopback);
            Send(connection.client.Get(), "elsewhere");
            EXPECT_EQ(Arrived(connection.server.Get()), "elsewhere");
        });
    });
}

TEST(CgroupRoot, IsFoundInMountinfo) {
    std::istringstream hybrid(
        "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
        "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
        "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime shared:7 - cgroup2 cgroup2 rw\n");
    EXPECT_EQ(FindCgroup2Root(hybrid), "/sys/fs/cgroup/unified");

    // A mount of a part of the hierarchy would filter only that part; a blank is escaped.
    std::istringstream part(
        "50 23 0:40 /user.slice /mnt/part rw - cgroup2 cgroup2 rw\n"
        "51 23 0:40 / /mnt/whole\\040tree rw master:1 - cgroup2 cgroup2 rw\n");
    EXPECT_EQ(FindCgroup2Root(part), "/mnt/whole tree");

    std::istringstream none("31 23 0:28 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n");
    EXPECT_EQ(FindCgroup2Root(none), "");
}

}  // namespace
}  // namespace quarnel::platform
