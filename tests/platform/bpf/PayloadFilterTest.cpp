// The payload filters for real, over loopback connections in a private network namespace: the
// kernel filter attached to a cgroup made for the test, and the packet filter's table that
// stands in for it.

#include "platform/linux/bpf/PayloadFilter.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/filter/CgroupRoot.h"
#include "platform/linux/netfilter/NetfilterTable.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"
#include "tests/support/WaitUntil.h"

namespace quarnel::platform {
namespace {

using namespace testsupport;
using namespace std::chrono_literals;

// count single addresses in 2001:db8::/32, in order.
std::vector<AddressPrefix> ManyAddresses(std::uint32_t count) {
    std::vector<AddressPrefix> addresses(count, ParseAddressEntry("2001:db8::").Prefix);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::memcpy(&addresses[i].Network[12], &i, sizeof i);
    }
    std::sort(addresses.begin(), addresses.end());
    return addresses;
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

enum Kind { Kernel, Netfilter };

// The filter of kind, attached where the kernel filter would be at; nullptr with why.
std::unique_ptr<RulesFilter> Open(Kind kind, const std::string& at, FilterCause& why) {
    if (kind == Netfilter) {
        return NetfilterTable::Open(why);
    }
    return PayloadFilter::Attach(at, why);
}

// Runs body in a private network namespace, in the cgroup of its own that the fixture makes
// there and the test sees as the root (its path given); skipped where the system refuses either.
void InTestCgroup(const std::function<void(const std::string&)>& body) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "attaching a kernel filter needs real root";
    }
    RunInPrivateNetwork([&] {
        const std::string cgroup = FindCgroup2Root();
        if (cgroup.empty()) {
            GTEST_SKIP() << "no cgroup v2 hierarchy is mounted";
        }
        body(cgroup);
    });
}

// As above, with a filter of kind attached there (the table where the kernel filter would be).
void WithFilter(Kind kind, const std::function<void(RulesFilter&)>& body) {
    InTestCgroup([&](const std::string& cgroup) {
        FilterCause why;
        const std::unique_ptr<RulesFilter> filter = Open(kind, cgroup, why);
        ASSERT_TRUE(filter) << why.Text();
        body(*filter);
    });
}

void SetRules(RulesFilter& filter, const BlockingRules& rules) {
    FilterCause why;
    ASSERT_TRUE(filter.SetRules(rules, why)) << why.Text();
}

struct Family {
    const char* Loopback;
    Listener (*Listen)();
};
const Family kIPv4{"127.0.0.1", [] { return ListenIPv4(); }};
const Family kIPv6{"::1", [] { return ListenIPv6Any(true); }};

class PayloadFilterTest : public ::testing::TestWithParam<std::tuple<Kind, Family>> {
protected:
    Kind kind() const { return std::get<0>(GetParam()); }
    Family family() const { return std::get<1>(GetParam()); }
};
INSTANTIATE_TEST_SUITE_P(
    Filters, PayloadFilterTest,
    ::testing::Combine(::testing::Values(Kernel, Netfilter), ::testing::Values(kIPv4, kIPv6)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param) == Kernel ? "Kernel" : "Netfilter") +
               (std::get<1>(info.param).Loopback == kIPv4.Loopback ? "IPv4" : "IPv6");
    });

// Clients that connect, send a line and end within a fraction of a millisecond, as
// `echo x | nc -q1` does, all before the server accepts them: the bytes that then reach it.
std::size_t ShortClientBytes(const char* address, const Listener& listener) {
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(static_cast<std::uint16_t>(listener.port));
    // An IPv4 address as IPv4-mapped: the socket then speaks IPv4.
    const std::string text = std::strchr(address, ':') ? address : std::string("::ffff:") + address;
    EXPECT_EQ(::inet_pton(AF_INET6, text.c_str(), &to.sin6_addr), 1);
    for (int i = 0; i < 50; ++i) {
        const UniqueFd client(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
        EXPECT_EQ(::connect(client.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0)
            << std::strerror(errno);
        Send(client.Get(), "x\n");
        EXPECT_EQ(::shutdown(client.Get(), SHUT_WR), 0);
    }
    std::this_thread::sleep_for(kHeld);
    std::size_t bytes = 0;
    pollfd waiting{listener.fd.Get(), POLLIN, 0};
    while (::poll(&waiting, 1, 0) == 1) {
        const UniqueFd server(::accept4(listener.fd.Get(), nullptr, nullptr, SOCK_NONBLOCK));
        char line[8];
        for (ssize_t got = 0; server && (got = ::recv(server.Get(), line, sizeof line, 0)) > 0;) {
            bytes += static_cast<std::size_t>(got);
        }
    }
    return bytes;
}

TEST_P(PayloadFilterTest, RequestsAndGreetingsOnBlockedPortsNeverArriveTillTheRuleIsLifted) {
    const Family family = this->family();
    WithFilter(kind(), [&](RulesFilter& filter) {
        const Listener local = family.Listen();
        const Listener remote = family.Listen();
        const Connection open = Connect(remote, family.Loopback);
        Send(open.client.Get(), "before");
        ASSERT_EQ(Arrived(open.server.Get()), "before");
        ASSERT_EQ(ShortClientBytes(family.Loopback, remote), 100u) << "short clients sent nothing";
        // One listener blocked as a local port, the other as a remote port: each side of a
        // loopback connection sees the other's port as remote. The open connection stops at once.
        // The table takes an allowed list of any length in one transaction (none of it loopback).
        SetRules(filter, {kind() == Netfilter ? ManyAddresses(50000) : std::vector<AddressPrefix>{},
                          {PortOf(local)},
                          {PortOf(remote)}});
        Send(open.client.Get(), "during");
        EXPECT_EQ(Arrived(open.server.Get()), "");
        EXPECT_EQ(ShortClientBytes(family.Loopback, remote), 0u) << "a short client's line arrived";
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
            EXPECT_TRUE(WaitUntil([&] {
                return ReceiveError(connection.server.Get()) == ECONNRESET;
            })) << "the abort never arrived";
        }
        if (kind() == Kernel) {
            EXPECT_GE(static_cast<PayloadFilter&>(filter).HeldPackets(), 5u);
            // The same port in another network namespace under the cgroup: the filter sees its
            // packets, and lets them be.
            RunInPrivateNetwork([&] {
                const Listener there = family.Listen();
                SetRules(filter, {{}, {PortOf(there)}, {}});
                const Connection connection = Connect(there, family.Loopback);
                Send(connection.client.Get(), "elsewhere");
                EXPECT_EQ(Arrived(connection.server.Get()), "elsewhere");
            });
        }
        // Held, not lost: TCP sends it again once the rule is gone.
        SetRules(filter, {});
        EXPECT_EQ(Arrived(open.server.Get(), 5000ms), "during");
    });
}

// The bytes that cross fresh connections to listener, each sending at once both ways, until
// stop. Every connection is aborted at once, so each
// probe is a packet of its own, never one TCP sends again later.
std::uint64_t Probe(const Listener& listener, const char* loopback, const std::atomic<bool>& stop) {
    std::uint64_t crossed = 0;
    const std::string bytes(16, 'p');
    do {
        const Connection connection = Connect(listener, loopback);
        if (!connection.server) {
            break;
        }
        (void)::send(connection.client.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        (void)::send(connection.server.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        char got[64];
        for (const int end : {connection.server.Get(), connection.client.Get()}) {
            const ssize_t n = ::recv(end, got, sizeof got, MSG_DONTWAIT);
            crossed += n > 0 ? static_cast<std::uint64_t>(n) : 0;
        }
        const linger abort{1, 0};
        (void)::setsockopt(connection.client.Get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    } while (!stop);
    return crossed;
}

// Edits under way while connections to a blocked port keep sending: the port moves from one
// list to the other, and a full allowed list is replaced by another full one (both held together
// while the edit goes in). Old and new rules
// both block the connection, so not one byte may cross while the filter goes from one to the
// other.
TEST_P(PayloadFilterTest, AnEditNeverLetsThroughWhatTheOldAndTheNewRulesBlock) {
    const Family family = this->family();
    WithFilter(kind(), [&](RulesFilter& filter) {
        const Listener listener = family.Listen();
        const auto port = static_cast<std::uint16_t>(listener.port);
        // Two full lists of other addresses, none of them ever sent to; each prefix of the
        // second holds an address of the first.
        // (As long as the kernel filter's list may be would take the table too long to edit.)
        const std::uint32_t full = kind() == Kernel ? QUARNEL_MAX_ALLOWED_ADDRESSES : 4096;
        const std::vector<AddressPrefix> one = ManyAddresses(full);
        std::vector<AddressPrefix> other = one;
        for (AddressPrefix& prefix : other) {
            prefix.Length = 127;
        }
        const PortRange just{port, port};
        const BlockingRules asLocal{{}, {just}, {}}, asRemote{{}, {}, {just}};
        const BlockingRules fullAsLocal{one, {just}, {}}, fullAsRemote{other, {}, {just}};
        // The bytes that cross while the rules go edits times from one to the other and back.
        const auto crossedDuring = [&](int edits, const BlockingRules& there,
                                       const BlockingRules& back) {
            std::atomic<bool> stop{false};
            std::future<std::uint64_t> crossed = std::async(
                std::launch::async, [&] { return Probe(listener, family.Loopback, stop); });
            for (int edit = 0; edit < edits; ++edit) {
                SetRules(filter, edit % 2 == 0 ? there : back);
            }
            stop = true;
            return crossed.get();
        };
        SetRules(filter, asLocal);
        EXPECT_EQ(crossedDuring(5000, asRemote, asLocal), 0u) << "moving the port";
        EXPECT_EQ(crossedDuring(20, fullAsRemote, fullAsLocal), 0u) << "replacing full lists";

        // The probe sees what crosses: without the rule it all does.
        const std::atomic<bool> once{true};
        if (kind() == Kernel) {
            // One address more than the filter holds: refused, and it holds back nothing until
            // a list fits again.
            FilterCause why;
            EXPECT_FALSE(filter.SetRules({ManyAddresses(full + 1), {just}, {}}, why));
            EXPECT_EQ(why.Why, FilterCause::Kind::TooManyAddresses);
            EXPECT_EQ(Probe(listener, family.Loopback, once), 32u);
            SetRules(filter, fullAsLocal);
            EXPECT_EQ(Probe(listener, family.Loopback, once), 0u);
        }
        SetRules(filter, {});
        EXPECT_EQ(Probe(listener, family.Loopback, once), 32u);
    });
}

// The filter is loaded in a child that blocks the listener's port, then killed.
TEST_P(PayloadFilterTest, GoesWithTheProcessThatOwnsIt) {
    const Family family = this->family();
    InTestCgroup([&](const std::string& cgroup) {
        const Listener listener = family.Listen();
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t owner = ::fork();
        ASSERT_GE(owner, 0);
        if (owner == 0) {
            FilterCause why;
            auto filter = Open(kind(), cgroup, why);
            const char attached =
                filter && filter->SetRules({{}, {PortOf(listener)}, {}}, why) ? 'y' : 'n';
            (void)!::write(ready[1], &attached, 1);
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
        // The kernel lets go of the filter when the last descriptor of its links closes, and of
        // the table with its owner's socket.
        EXPECT_EQ(Arrived(held.server.Get(), 5000ms), "held");
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
        "51 23 0:40 / /mnt/whole\\040tree rw master:1 - cgroup2 cgroup2 rw\n"
        "50 23 0:40 /user.slice /mnt/part rw - cgroup2 cgroup2 rw\n");
    EXPECT_EQ(FindCgroup2Root(part), "/mnt/whole tree");
}

}  // namespace
}  // namespace quarnel::platform
