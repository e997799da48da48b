// The payload filters for real, over loopback connections in a private network namespace: the
// kernel filter attached to a cgroup made for the test, and the packet filter's table that
// stands in for it.

#include "platform/linux/filter/PayloadFilter.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sched.h>

#include <atomic>
#include <cstdlib>
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

void SetRules(RulesFilter& filter, const BlockingRules& rules) {
    FilterCause why;
    ASSERT_TRUE(filter.SetRules(rules, why)) << why.Text();
}

// A listener on loopback of the version of the loopback address given.
Listener Listen(const char* loopback) {
    return std::strchr(loopback, ':') ? ListenIPv6Any(true) : ListenIPv4();
}

// Runs body with each kind of filter over each IP version, each time in a private network
// namespace, in the cgroup of its own that the fixture makes there and the test sees as the root,
// the filter attached there (the table where the kernel filter would be); skipped where the
// system refuses either.
void ForEachFilter(const std::function<void(Kind, const char*, RulesFilter&)>& body) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "attaching a kernel filter needs real root";
    }
    for (const Kind kind : {Kernel, Netfilter}) {
        for (const char* loopback : {"127.0.0.1", "::1"}) {
            SCOPED_TRACE(std::string(kind == Kernel ? "kernel filter, " : "packet filter table, ") +
                         loopback);
            RunInPrivateNetwork([&] {
                const std::string cgroup = FindCgroup2Root();
                if (cgroup.empty()) {
                    GTEST_SKIP() << "no cgroup v2 hierarchy is mounted";
                }
                FilterCause why;
                const std::unique_ptr<RulesFilter> filter =
                    kind == Netfilter
                        ? OpenPacketFilterTable(why)
                        : std::unique_ptr<RulesFilter>(PayloadFilter::Attach(cgroup, why));
                ASSERT_TRUE(filter) << why.Text();
                body(kind, loopback, *filter);
            });
        }
    }
}

// Closes end at once with an abort, as the pass closes a connection.
void Abort(UniqueFd& end) {
    const linger abort{1, 0};
    EXPECT_EQ(::setsockopt(end.Get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
    end.Reset();
}

// Clients that connect, send a line and end within a fraction of a millisecond, as
// `echo x | nc -q1` does, all before the server accepts them: the bytes that then reach it.
std::size_t ShortClientBytes(const Listener& listener) {
    // The listener's address: a connect to [::] goes to ::1.
    sockaddr_storage to{};
    socklen_t size = sizeof to;
    EXPECT_EQ(::getsockname(listener.fd.Get(), reinterpret_cast<sockaddr*>(&to), &size), 0);
    for (int i = 0; i < 50; ++i) {
        const UniqueFd client(::socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        EXPECT_EQ(::connect(client.Get(), reinterpret_cast<const sockaddr*>(&to), size), 0)
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

// The bytes that cross fresh connections to listener, each sending at once both ways, until
// stop. Every connection is aborted at once, so each
// probe is a packet of its own, never one TCP sends again later.
std::uint64_t Probe(const Listener& listener, const char* loopback, const std::atomic<bool>& stop) {
    std::uint64_t crossed = 0;
    const std::string bytes(16, 'p');
    do {
        Connection connection = Connect(listener, loopback);
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
        Abort(connection.client);
    } while (!stop);
    return crossed;
}

// Two allowed lists of count other addresses, none of them ever sent to; each prefix of the
// second holds an address of the first.
struct TwoLists {
    explicit TwoLists(std::uint32_t count) : one(ManyAddresses(count)), other(one) {
        for (AddressPrefix& prefix : other) {
            prefix.Length = 127;
        }
    }
    std::vector<AddressPrefix> one, other;
};

// The longest allowed list a kind of filter is edited with: as long as the kernel filter's may
// be; the table's shorter, since one that long would take it too long to edit.
std::uint32_t Fullest(Kind kind) {
    return kind == Kernel ? QUARNEL_MAX_ALLOWED_ADDRESSES : 4096;
}

// The bytes that cross fresh connections to listener while the filter's rules go edits times
// from there to back and back.
std::uint64_t CrossedDuring(const Listener& listener, const char* loopback, RulesFilter& filter,
                            int edits, const BlockingRules& there, const BlockingRules& back) {
    std::atomic<bool> stop{false};
    std::future<std::uint64_t> crossed =
        std::async(std::launch::async, [&] { return Probe(listener, loopback, stop); });
    for (int edit = 0; edit < edits; ++edit) {
        SetRules(filter, edit % 2 == 0 ? there : back);
    }
    stop = true;
    return crossed.get();
}

// Edits under way while connections to a blocked port keep sending: the port moves from one
// list to the other moves times, and an allowed list is replaced by the other of lists
// replacements times (both held together while the edit goes in). Old and new rules both block
// the connection, so not one byte may cross while the filter goes from one to the other.
void EditsLetNothingThrough(const char* loopback, RulesFilter& filter, const Listener& listener,
                            const TwoLists& lists, int moves, int replacements) {
    const PortRange just = PortOf(listener);
    SetRules(filter, {{}, {just}, {}});
    EXPECT_EQ(CrossedDuring(listener, loopback, filter, moves, {{}, {}, {just}}, {{}, {just}, {}}),
              0u)
        << "moving the port";
    EXPECT_EQ(CrossedDuring(listener, loopback, filter, replacements, {lists.other, {}, {just}},
                            {lists.one, {just}, {}}),
              0u)
        << "replacing full lists";
}

// What the rules block never arrives, requests and greetings alike, and is held back, not lost,
// till the rule is lifted. A few edits under way let nothing through (many more, of full lists,
// in the soak below); the kernel filter takes a list as long as it may be, and refuses a longer.
TEST(PayloadFilter, HoldsBackWhatTheRulesBlockAndAnEditNeverLetsThroughWhatOldAndNewBlock) {
    ForEachFilter([](Kind kind, const char* loopback, RulesFilter& filter) {
        const Listener listener = Listen(loopback);
        const Connection open = Connect(listener, loopback);
        Send(open.client.Get(), "before");
        ASSERT_EQ(Arrived(open.server.Get()), "before");
        ASSERT_EQ(ShortClientBytes(listener), 100u) << "short clients sent nothing";
        // The listener's port blocked as the clients' remote port: the open connection stops at
        // once. The table takes an allowed list of any length in one transaction (none of it
        // loopback).
        SetRules(filter, {kind == Netfilter ? ManyAddresses(50000) : std::vector<AddressPrefix>{},
                          {},
                          {PortOf(listener)}});
        Send(open.client.Get(), "during");
        EXPECT_EQ(Arrived(open.server.Get()), "");
        EXPECT_EQ(ShortClientBytes(listener), 0u) << "a short client's line arrived";

        // The handshake passes, and so does an abort: the pass's closes reach the other end.
        Connection connection = Connect(listener, loopback);
        ASSERT_TRUE(connection.server);
        Abort(connection.client);
        ASSERT_TRUE(WaitUntil([&] { return ReceiveError(connection.server.Get()) == ECONNRESET; }))
            << "the abort never arrived";
        if (kind == Kernel) {
            // The same port in another network namespace under the cgroup: the filter sees its
            // packets, and lets them be.
            RunInPrivateNetwork([&] {
                const Listener there = Listen(loopback);
                SetRules(filter, {{}, {PortOf(there)}, {}});
                const Connection elsewhere = Connect(there, loopback);
                Send(elsewhere.client.Get(), "elsewhere");
                EXPECT_EQ(Arrived(elsewhere.server.Get()), "elsewhere");
            });
        }
        // Held, not lost: TCP sends it again once the rule is gone.
        SetRules(filter, {});
        ASSERT_EQ(Arrived(open.server.Get(), 5000ms), "during");

        EditsLetNothingThrough(loopback, filter, listener, TwoLists(1024), 10, 2);

        // The probe sees what crosses: without the rule it all does.
        const std::atomic<bool> once{true};
        const PortRange just = PortOf(listener);
        if (kind == Kernel) {
            // One address more than the filter holds: refused, and it holds back nothing until
            // a list fits again, one as long as it may be.
            FilterCause why;
            EXPECT_FALSE(filter.SetRules({ManyAddresses(Fullest(kind) + 1), {just}, {}}, why));
            EXPECT_EQ(why.Why, FilterCause::Kind::TooManyAddresses);
            EXPECT_EQ(Probe(listener, loopback, once), 32u);
            SetRules(filter, {ManyAddresses(Fullest(kind)), {just}, {}});
            EXPECT_EQ(Probe(listener, loopback, once), 0u);
        }
        SetRules(filter, {});
        EXPECT_EQ(Probe(listener, loopback, once), 32u);
    });
}

// The edits above, many times over while connections keep sending, for a fault that lets a byte
// through only now and then. Each move waits for the kernel filter's runs under way to end (a
// grace period, some milliseconds), so it moves fewer times than the table. Long (most of the
// suite's time), so labelled slow: the test command runs it in one tree only.
TEST(PayloadFilterSoak, ManyEditsUnderWayNeverLetThroughWhatOldAndNewBlock) {
    ForEachFilter([](Kind kind, const char* loopback, RulesFilter& filter) {
        const Listener listener = Listen(loopback);
        EditsLetNothingThrough(loopback, filter, listener, TwoLists(Fullest(kind)),
                               kind == Kernel ? 400 : 5000, 20);
    });
}

// The table is made in a child that blocks the listener's port, then killed. (The kernel filter,
// let go of when the last descriptor of its links closes, goes with the helper that owns it.)
TEST(PayloadFilter, TheTableGoesWithTheProcessThatOwnsIt) {
    RunInPrivateNetwork([] {
        const Listener listener = ListenIPv4();
        const pid_t owner = ::fork();
        ASSERT_GE(owner, 0);
        if (owner == 0) {
            int error = 0;
            const auto table = NetfilterTable::Open(error);
            if (table && table->SetRules({{}, {PortOf(listener)}, {}}) == 0) {
                ::pause();
            }
            ::_exit(1);
        }
        const std::atomic<bool> once{true};
        ASSERT_TRUE(WaitUntil([&] { return Probe(listener, "127.0.0.1", once) == 0; }))
            << "the owner's table never held anything back";
        const Connection held = Connect(listener);
        Send(held.client.Get(), "held");
        EXPECT_EQ(Arrived(held.server.Get()), "");

        int status = 0;
        ASSERT_TRUE(::kill(owner, SIGKILL) == 0 && ::waitpid(owner, &status, 0) == owner);
        ASSERT_EQ(Arrived(held.server.Get(), 5000ms), "held");
    });
}

// The service's filter, which guards every namespace, holds back what the rules block in another
// namespace of a process in its cgroups; one of its own namespace alone lets that through.
TEST(PayloadFilter, OneForEveryNamespaceHoldsBackInTheOthersToo) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "attaching a kernel filter needs real root";
    }
    RunInPrivateNetwork([] {
        const std::string cgroup = FindCgroup2Root();
        if (cgroup.empty()) {
            GTEST_SKIP() << "no cgroup v2 hierarchy is mounted";
        }
        for (const NamespaceScope scope : {NamespaceScope::Own, NamespaceScope::Every}) {
            FilterCause why;
            const auto filter = PayloadFilter::Attach(cgroup, why, scope);
            ASSERT_TRUE(filter) << why.Text();
            std::string arrived = "nothing ran";
            // A thread of this process, so in its cgroup, in a namespace of its own.
            std::thread other([&] {
                ASSERT_EQ(::unshare(CLONE_NEWNET), 0);
                ASSERT_EQ(std::system("ip link set lo up"), 0);
                const Listener listener = ListenIPv4();
                SetRules(*filter, {{}, {}, {PortOf(listener)}});
                const Connection held = Connect(listener);
                Send(held.client.Get(), "held");
                arrived = Arrived(held.server.Get());
            });
            other.join();
            EXPECT_EQ(arrived, scope == NamespaceScope::Every ? "" : "held");
        }
    });
}

// A mount of a part of the hierarchy would filter only that part; a blank is escaped.
TEST(CgroupRoot, IsFoundInMountinfo) {
    std::istringstream mounts(
        "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
        "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup "
        "rw,memory\n"
        "41 31 0:38 / /mnt/whole\\040tree rw,relatime shared:7 - cgroup2 cgroup2 "
        "rw\n"
        "50 23 0:40 /user.slice /mnt/part rw - cgroup2 cgroup2 rw\n");
    EXPECT_EQ(FindCgroup2Root(mounts), "/mnt/whole tree");
}

}  // namespace
}  // namespace quarnel::platform
