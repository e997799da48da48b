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
#include <cstdlib>
#include <cstring>
#include <future>
#include <sstream>
#include <string>
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

// The allowed prefix an entry's text names.
AddressPrefix Prefix(const char* text) {
    const AddressEntry entry = ParseAddressEntry(text);
    EXPECT_EQ(entry.Is, AddressEntry::Kind::Prefix) << text;
    return entry.Prefix;
}

// A single allowed address.
AddressPrefix Whole(const char* text) {
    const AddressEntry entry = ParseAddressEntry(text);
    EXPECT_EQ(entry.Prefix.Length, 128) << text;
    return entry.Prefix;
}

// count single addresses in 2001:db8::/32, their twelfth byte part, in order.
std::vector<AddressPrefix> ManyAddresses(std::uint32_t count, std::uint8_t part) {
    std::vector<AddressPrefix> addresses(count, Whole("2001:db8::"));
    for (std::uint32_t i = 0; i < count; ++i) {
        addresses[i].Network[11] = part;
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
void PrintTo(const Family& family, std::ostream* out) {
    *out << family.Loopback;
}

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

TEST_P(PayloadFilterTest, RequestsAndGreetingsOnBlockedPortsNeverArriveTillTheRuleIsLifted) {
    const Family family = this->family();
    WithFilter(kind(), [&](RulesFilter& filter) {
        const Listener local = family.Listen();
        const Listener remote = family.Listen();
        const Connection open = Connect(remote, family.Loopback);
        Send(open.client.Get(), "before");
        ASSERT_EQ(Arrived(open.server.Get()), "before");
        // One listener blocked as a local port, the other as a remote port: each side of a
        // loopback connection sees the other's port as remote. The open connection stops at once.
        SetRules(filter, {{}, {PortOf(local)}, {PortOf(remote)}});
        Send(open.client.Get(), "during");
        EXPECT_EQ(Arrived(open.server.Get()), "");
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
        if (kind() == Kernel) {
            EXPECT_GE(static_cast<PayloadFilter&>(filter).HeldPackets(), 5u);
        }
        // Held, not lost: TCP sends it again once the rule is gone.
        SetRules(filter, {});
        EXPECT_EQ(Arrived(open.server.Get(), 5000ms), "during");
    });
}

TEST_P(PayloadFilterTest, AllowedAddressesAndOtherPortsCarryData) {
    const Family family = this->family();
    WithFilter(kind(), [&](RulesFilter& filter) {
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

        // The table holds an allowed list of any length, in one transaction.
        if (kind() == Netfilter) {
            std::vector<AddressPrefix> many = ManyAddresses(50000, 0);
            many.push_back(Whole(family.Loopback));
            std::sort(many.begin(), many.end());
            SetRules(filter, {many, {{port, port}}, {}});
            const Connection listed = Connect(blocked, family.Loopback);
            Send(listed.client.Get(), "listed");
            EXPECT_EQ(Arrived(listed.server.Get()), "listed");
            // The process has its table, which no other socket may touch: a second is refused,
            // and the refusal told.
            FilterCause why;
            EXPECT_FALSE(NetfilterTable::Open(why));
            EXPECT_NE(why.Why, FilterCause::Kind::None);
        }
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
// list to the other, and a full allowed list is replaced by another full one. Old and new rules
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
        std::vector<AddressPrefix> one, other;
        for (std::uint32_t i = 0; i < full; ++i) {
            AddressPrefix address = Whole("2001:db8::");
            std::memcpy(&address.Network[12], &i, sizeof i);
            one.push_back(address);
            address.Length = 127;
            other.push_back(address);
        }
        std::sort(one.begin(), one.end());
        std::sort(other.begin(), other.end());
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
        SetRules(filter, {});
        const std::atomic<bool> once{true};
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
        const Connection after = Connect(listener, family.Loopback);
        Send(after.client.Get(), "after");
        EXPECT_EQ(Arrived(after.server.Get()), "after");
    });
}

// A process under the same cgroup in another network namespace is none of the filter's business.
// The filter sits on the cgroup the fixture made the test's root, which the inner fixture's
// cgroup lies under.
TEST_P(PayloadFilterTest, LeavesOtherNetworkNamespacesAlone) {
    const Family family = this->family();
    if (kind() == Netfilter) {
        GTEST_SKIP() << "a netfilter table belongs to one network namespace by its nature";
    }
    WithFilter(kind(), [&](RulesFilter& filter) {
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

// The bytes that reach listener from the connections it accepts within wait, all together.
std::size_t Gathered(const Listener& listener, std::chrono::milliseconds wait) {
    std::vector<UniqueFd> accepted;
    std::size_t bytes = 0;
    const auto end = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < end) {
        std::vector<pollfd> ready{{listener.fd.Get(), POLLIN, 0}};
        for (const UniqueFd& fd : accepted) {
            ready.push_back({fd.Get(), POLLIN, 0});
        }
        if (::poll(ready.data(), ready.size(), 10) <= 0) {
            continue;
        }
        if ((ready[0].revents & POLLIN) != 0) {
            accepted.emplace_back(::accept4(listener.fd.Get(), nullptr, nullptr, SOCK_NONBLOCK));
        }
        // As a server would: read to the end, then close, which ends nc.
        for (UniqueFd& fd : accepted) {
            char buffer[256];
            ssize_t got = 0;
            while (fd && (got = ::recv(fd.Get(), buffer, sizeof buffer, 0)) > 0) {
                bytes += static_cast<std::size_t>(got);
            }
            if (got == 0) {
                fd.Reset();
            }
        }
        std::erase_if(accepted, [](const UniqueFd& fd) { return !fd; });
    }
    return bytes;
}

// A client that sends a line to port at address, half-closes and is gone.
void SendAndHalfClose(const char* address, std::uint16_t port) {
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(port);
    // An IPv4 address as IPv4-mapped: the socket then speaks IPv4.
    const std::string text = std::strchr(address, ':') ? address : std::string("::ffff:") + address;
    ASSERT_EQ(::inet_pton(AF_INET6, text.c_str(), &to.sin6_addr), 1);
    const UniqueFd client(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(client);
    ASSERT_EQ(::connect(client.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0)
        << std::strerror(errno);
    Send(client.Get(), "x\n");
    ASSERT_EQ(::shutdown(client.Get(), SHUT_WR), 0);
}

// Clients that connect, send a line and end within a fraction of a millisecond, as
// `echo x | nc -q1` does: not one byte of theirs arrives on a blocked port, as none of a long
// connection's would. With no rule they all arrive, which shows that they do send.
TEST_P(PayloadFilterTest, ShortClientsSendNothingThroughABlockedPort) {
    const Family family = this->family();
    if (std::system("command -v nc >/dev/null") != 0) {
        GTEST_SKIP() << "nc (netcat-openbsd) is not installed";
    }
    WithFilter(kind(), [&](RulesFilter& filter) {
        const Listener listener = family.Listen();
        const auto port = static_cast<std::uint16_t>(listener.port);
        constexpr int kClients = 50;
        // nc's own processes, all at once, in the background while the server reads. One whose
        // line is held waits for an end from the server that never comes: the pass would close
        // it; here it is ended after two seconds.
        const std::string command = "for i in $(seq " + std::to_string(kClients) +
                                    "); do echo x | timeout 2 nc -q1 " + family.Loopback + " " +
                                    std::to_string(port) + " & done; wait";
        for (const bool blocked : {false, true}) {
            SetRules(filter, blocked ? BlockingRules{{}, {}, {{port, port}}} : BlockingRules{});
            ASSERT_EQ(std::system(command.c_str()), 0);
            // And clients that send, half-close and close, before the server accepts.
            for (int i = 0; i < kClients; ++i) {
                SendAndHalfClose(family.Loopback, port);
            }
            const std::size_t sent = 2 * kClients * 2;  // "x\n" from each client
            EXPECT_EQ(Gathered(listener, kHeld), blocked ? 0 : sent) << "blocked: " << blocked;
        }
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

    std::istringstream none("31 23 0:28 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n");
    EXPECT_EQ(FindCgroup2Root(none), "");
}

}  // namespace
}  // namespace quarnel::platform
