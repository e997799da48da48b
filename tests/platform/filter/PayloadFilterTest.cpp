// The payload filters for real, over loopback connections in a private network namespace: the
// kernel filter attached to a cgroup made for the test, and the packet filter's table that
// stands in for it. Edits that lift a rule wait until no segment judged under the old rules can
// still be on their way: what is held in between, and two guarded namespaces with a rate-limited
// link between them for real. A filter of its own namespace lets another namespace's data through.

#include "platform/linux/filter/PayloadFilter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/filter/CgroupRoot.h"
#include "platform/linux/filter/EditHold.h"
#include "platform/linux/netfilter/NetfilterTable.h"
#include "tests/support/OtherNamespace.h"
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
// namespace and cgroup (the kernel filter attached there); skipped where the system refuses.
void ForEachFilter(const std::function<void(Kind, const char*, RulesFilter&)>& body) {
    for (const Kind kind : {Kernel, Netfilter}) {
        for (const char* loopback : {"127.0.0.1", "::1"}) {
            SCOPED_TRACE(std::string(kind == Kernel ? "kernel filter, " : "packet filter table, ") +
                         loopback);
            RunInPrivateCgroup([&](const std::string& cgroup) {
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
std::size_t ShortClientBytes(const Listener& listener, const char* loopback) {
    for (int i = 0; i < 50; ++i) {
        const UniqueFd client = ConnectClient(listener, loopback);
        Send(client.Get(), "x\n");
        EXPECT_EQ(::shutdown(client.Get(), SHUT_WR), 0);
    }
    std::this_thread::sleep_for(300ms);  // as Arrived waits: what has not arrived was held back
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
// stop. Every connection is aborted at once, so each probe is a packet of its own, never one TCP
// sends again later.
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

// The longest allowed list a kind of filter is edited with: as long as the kernel filter's may
// be; the table's shorter, since one that long would take it too long to edit.
std::uint32_t Fullest(Kind kind) {
    return kind == Kernel ? QUARNEL_MAX_ALLOWED_ADDRESSES : 4096;
}

// Edits under way while connections to a blocked port keep sending: the port moves from one
// list to the other moves times, and an allowed list of count other addresses, none of them ever
// sent to, is replaced replacements times by one whose every prefix holds an address of the first
// (both held together while the edit goes in). Old and new rules both block the connection, so
// not one byte may cross while the filter goes from one to the other.
void EditsLetNothingThrough(const char* loopback, RulesFilter& filter, const Listener& listener,
                            std::uint32_t count, int moves, int replacements) {
    const std::vector<AddressPrefix> one = ManyAddresses(count);
    std::vector<AddressPrefix> other = one;
    for (AddressPrefix& prefix : other) {
        prefix.Length = 127;
    }
    // The bytes that cross fresh connections while the rules go edits times there and back.
    const auto crossedDuring = [&](int edits, const BlockingRules& there,
                                   const BlockingRules& back) {
        std::atomic<bool> stop{false};
        std::future<std::uint64_t> crossed =
            std::async(std::launch::async, [&] { return Probe(listener, loopback, stop); });
        for (int edit = 0; edit < edits; ++edit) {
            SetRules(filter, edit % 2 == 0 ? there : back);
        }
        stop = true;
        return crossed.get();
    };
    const PortRange just = PortOf(listener);
    SetRules(filter, {{}, {just}, {}});
    EXPECT_EQ(crossedDuring(moves, {{}, {}, {just}}, {{}, {just}, {}}), 0u) << "moving the port";
    EXPECT_EQ(crossedDuring(replacements, {other, {}, {just}}, {one, {just}, {}}), 0u)
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
        ASSERT_EQ(ShortClientBytes(listener, loopback), 100u) << "short clients sent nothing";
        // The listener's port blocked as the clients' remote port: the open connection stops at
        // once. The table takes an allowed list of any length in one transaction (none of it
        // loopback).
        SetRules(filter, {kind == Netfilter ? ManyAddresses(50000) : std::vector<AddressPrefix>{},
                          {},
                          {PortOf(listener)}});
        Send(open.client.Get(), "during");
        EXPECT_EQ(Arrived(open.server.Get()), "");
        EXPECT_EQ(ShortClientBytes(listener, loopback), 0u) << "a short client's line arrived";

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

        EditsLetNothingThrough(loopback, filter, listener, 1024, 10, 2);

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
// through only now and then (a run of the table's chains that looks up one set before a move
// and the other after it, about once in a million moves where moves do not wait for the runs
// under way). Each move waits for the filter's runs under way to end (a grace period), so each
// kind moves as often as takes it some seconds. Long (most of the suite's time), so labelled slow:
// the test command runs it in one tree only.
TEST(PayloadFilterSoak, ManyEditsUnderWayNeverLetThroughWhatOldAndNewBlock) {
    ForEachFilter([](Kind kind, const char* loopback, RulesFilter& filter) {
        const Listener listener = Listen(loopback);
        EditsLetNothingThrough(loopback, filter, listener, Fullest(kind),
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
    RunInPrivateCgroup([](const std::string& cgroup) {
        for (const NamespaceScope scope : {NamespaceScope::Own, NamespaceScope::Every}) {
            FilterCause why;
            const auto filter = PayloadFilter::Attach(cgroup, why, scope);
            ASSERT_TRUE(filter) << why.Text();
            std::string arrived = "nothing ran";
            // A thread of this process, so in its cgroup, in a namespace of its own.
            std::thread other([&] {
                ASSERT_EQ(::unshare(CLONE_NEWNET), 0);
                ASSERT_TRUE(BringLoopbackUp());
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

using Clock = RulesFilter::Clock;

AddressPrefix Prefix(const char* text) {
    return ParseAddressEntry(text).Prefix;
}

TEST(EditHold, HoldsWhatEitherRuleSetBlocks) {
    const BlockingRules old{{Prefix("10.0.0.0/8"), Prefix("192.0.2.1")}, {{80, 80}}, {{5, 9}}};
    const BlockingRules next{
        {Prefix("10.1.0.0/16"), Prefix("198.51.100.0/24")}, {{81, 90}}, {{1, 4}, {20, 20}}};
    // Ranges that touch join; an address both allow only within the narrower prefix.
    EXPECT_EQ(BlockedByEither(old, next),
              (BlockingRules{{Prefix("10.1.0.0/16")}, {{80, 90}}, {{1, 9}, {20, 20}}}));
    EXPECT_EQ(BlockedByEither(next, old), BlockedByEither(old, next));
    EXPECT_EQ(BlockedByEither(old, old), old);
}

// Records what it is given; refuses while refusing is set.
struct Recorder final : RulesFilter {
    bool SetRules(const BlockingRules& rules, FilterCause& why) override {
        why = refusing ? FilterCause{FilterCause::Kind::Rejected, 1} : FilterCause{};
        written.push_back(rules);
        return !refusing;
    }
    std::vector<BlockingRules> written;
    bool refusing = false;
};

TEST(EditHold, LiftsOnlyAfterTheHoldAndWidensAtOnce) {
    auto owned = std::make_unique<Recorder>();
    Recorder& filter = *owned;
    Clock::time_point now{};
    EditHold hold(std::move(owned), 1s, [&] { return now; });
    FilterCause why;
    const BlockingRules local{{}, {{80, 80}}, {}}, remote{{}, {}, {{80, 80}}},
        both{{}, {{80, 80}}, {{80, 80}}}, none{};

    ASSERT_TRUE(hold.SetRules(local, why));
    EXPECT_FALSE(hold.SettleAt());
    // The port moves: both lists block it until the hold has passed, then the new one alone.
    ASSERT_TRUE(hold.SetRules(remote, why));
    EXPECT_EQ(filter.written.back(), both);
    now += 999ms;
    EXPECT_FALSE(hold.Settle(now, why));
    // A further edit meanwhile holds everything since the last whole rules, and waits anew.
    ASSERT_TRUE(hold.SetRules(none, why));
    EXPECT_EQ(filter.written.size(), 2u) << "nothing new to hold";
    now += 999ms;
    EXPECT_FALSE(hold.Settle(now, why));
    now += 1ms;
    EXPECT_TRUE(hold.Settle(now, why));
    EXPECT_EQ(filter.written.back(), none);
    EXPECT_FALSE(hold.SettleAt());

    // Adding goes in at once, even while a lift waits.
    ASSERT_TRUE(hold.SetRules(local, why));
    EXPECT_EQ(filter.written.back(), local);
    ASSERT_TRUE(hold.SetRules(none, why));
    ASSERT_TRUE(hold.SetRules(both, why));
    EXPECT_EQ(filter.written.back(), both);
    EXPECT_FALSE(hold.SettleAt());

    // A filter that failed holds nothing: the next rules go in whole, and a failed lift is told.
    filter.refusing = true;
    EXPECT_FALSE(hold.SetRules({{}, {{81, 81}}, {}}, why));
    filter.refusing = false;
    ASSERT_TRUE(hold.SetRules(remote, why));
    EXPECT_EQ(filter.written.back(), remote);
    ASSERT_TRUE(hold.SetRules(none, why));
    filter.refusing = true;
    now += 1s;
    EXPECT_TRUE(hold.Settle(now, why));
    EXPECT_EQ(why.Why, FilterCause::Kind::Rejected);
}

// Runs a shell command, failing the test when it fails.
void Shell(const std::string& command) {
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// Two namespaces joined by a veth whose ends queue what they send behind a token bucket, as the
// Kubernetes bandwidth plugin sets them up: one connection keeps both queues full, and fresh ones
// to a port under the rules send at once both ways, each segment waiting its turn behind the
// filler's. One filter guards both namespaces while the probes' port moves from the local list to
// the remote one and back: the old and the new rules both block the probes, each from one end, so
// not one byte may cross, though a segment sent under the old rules arrives under the new.
TEST(EditHold, APortMovedNeverLetsThroughASegmentQueuedBetweenNamespaces) {
    RunInPrivateCgroup([](const std::string& cgroup) {
        FilterCause why;
        std::unique_ptr<RulesFilter> attached =
            PayloadFilter::Attach(cgroup, why, NamespaceScope::Every);
        ASSERT_TRUE(attached) << why.Text();
        EditHold filter(std::move(attached));
        const OtherNamespace client, server;
        const std::string pids[] = {std::to_string(client.pid), std::to_string(server.pid)};
        Shell("ip link add q0 netns " + pids[0] + " type veth peer name q1 netns " + pids[1]);
        for (int i = 0; i < 2; ++i) {
            const std::string in = "nsenter -t " + pids[i] + " -n ", end = i == 0 ? "q0" : "q1";
            Shell(in + "ip addr add 10.99.0." + std::to_string(i + 1) + "/24 dev " + end);
            Shell(in + "ip link set " + end + " up");
            Shell(in + "tc qdisc add dev " + end + " root tbf rate 2mbit burst 16kb latency 300ms");
        }
        Listener filled, probed;
        server.Inside([&] {
            filled = ListenIPv4("10.99.0.2");
            probed = ListenIPv4("10.99.0.2");
        });
        ASSERT_EQ(::fcntl(probed.fd.Get(), F_SETFL, O_NONBLOCK), 0);
        Connection filler;
        client.Inside([&] { filler = Connect(filled, "10.99.0.2"); });
        const BlockingRules local{{}, {PortOf(probed)}, {}}, remote{{}, {}, {PortOf(probed)}};
        ASSERT_TRUE(filter.SetRules(local, why)) << why.Text();

        std::mutex probesMutex;
        std::vector<UniqueFd> probes;  // both ends
        const auto probe = [&](UniqueFd end) {
            const std::string bytes(1000, 'p');
            (void)::send(end.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
            const std::lock_guard lock(probesMutex);
            probes.push_back(std::move(end));
        };
        std::uint64_t crossed = 0;
        std::vector<std::jthread> threads;
        // Connects again and again, sending at once; the filler's thread accepts and answers.
        for (int i = 0; i < 4; ++i) {
            threads.emplace_back([&](const std::stop_token& stop) {
                client.Inside([&] {
                    for (UniqueFd end;
                         !stop.stop_requested() && (end = ConnectClient(probed, "10.99.0.2"));) {
                        probe(std::move(end));
                    }
                });
            });
        }
        threads.emplace_back([&](const std::stop_token& stop) {
            const std::string bytes(16384, 'f');
            char sink[65536];
            while (!stop.stop_requested()) {
                for (const UniqueFd* end : {&filler.client, &filler.server}) {
                    (void)::send(end->Get(), bytes.data(), bytes.size(),
                                 MSG_DONTWAIT | MSG_NOSIGNAL);
                    while (::recv(end->Get(), sink, sizeof sink, MSG_DONTWAIT) > 0) {
                    }
                }
                while (UniqueFd end{::accept4(probed.fd.Get(), nullptr, nullptr, SOCK_NONBLOCK)}) {
                    probe(std::move(end));
                }
                const std::lock_guard lock(probesMutex);
                for (const UniqueFd& end : probes) {
                    const ssize_t n = ::recv(end.Get(), sink, sizeof sink, MSG_DONTWAIT);
                    crossed += n > 0 ? static_cast<std::uint64_t>(n) : 0;
                }
                std::this_thread::sleep_for(2ms);
            }
        });
        // As the service's loop does: an edit, then passes until the next, each move settled
        // for a while.
        for (int move = 0; move < 8; ++move) {
            EXPECT_TRUE(filter.SetRules(move % 2 == 0 ? remote : local, why)) << why.Text();
            for (const auto until = Clock::now() + EditHold::kHold + 500ms; Clock::now() < until;) {
                (void)filter.Settle(Clock::now(), why);
                std::this_thread::sleep_for(5ms);
            }
        }
        threads.clear();
        EXPECT_EQ(crossed, 0u);
    });
}

}  // namespace
}  // namespace quarnel::platform
