// What crosses a blocked connection before the pass tears it down, with and without the kernel
// filter, and what the filter costs the traffic it lets through. Runs in a private network
// namespace, in a cgroup of its own that the filter is attached to. See README.md.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "engine/Engine.h"
#include "engine/Settings.h"
#include "platform/RuleEntry.h"
#include "platform/linux/bpf/PayloadFilter.h"
#include "platform/linux/client/FilteringTcpTable.h"
#include "platform/linux/events/EventTcpTable.h"
#include "platform/linux/netfilter/NetfilterTable.h"

namespace {

using namespace quarnel;
using bench::Fail;
using bench::UniqueFd;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kTries = 1000;

std::unique_ptr<platform::PayloadFilter> AttachFilter() {
    platform::FilterCause why;
    auto filter = platform::PayloadFilter::Attach(bench::OwnCgroupRoot(), why);
    if (!filter) {
        std::fprintf(stderr, "the filter cannot be attached: %s\n", why.Text().c_str());
        std::exit(1);
    }
    return filter;
}

// The program's guard, as it runs in-process on the kernel's events: a child that passes over
// the table whenever it changes, with the filter beside it or not. It ends with this process.
pid_t StartGuard(bool filtered, int local, int remote) {
    std::fflush(stdout);  // else the child would print it again
    int ready[2];
    if (pipe(ready) != 0) {
        Fail("pipe");
    }
    const pid_t pid = fork();
    if (pid != 0) {
        // Tries start once it is attached and past its first pass: a slow start is no failure.
        close(ready[1]);
        char byte = 0;
        if (read(ready[0], &byte, 1) != 1) {
            Fail("the guard did not start");
        }
        close(ready[0]);
        return pid;
    }
    (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
    platform::PollingCause polling;
    auto events = platform::WithKernelEvents(bench::OpenTable(), polling);
    if (polling.Why != platform::PollingCause::Kind::None) {
        std::fprintf(stderr, "no kernel events: %s\n", polling.Text().c_str());
    }
    std::unique_ptr<platform::RulesFilter> filter;
    if (filtered) {
        filter = AttachFilter();
    }
    platform::FilteringTcpTable table(std::move(events), std::move(filter),
                                      {platform::FilterCause::Kind::NotBuilt});
    bench::NoAddresses hosts;
    // The given ports blocked, no address allowed.
    bench::MemoryStore rules({{BlockedLocalPortsKey, std::to_string(local)},
                              {BlockedRemotePortsKey, std::to_string(remote)},
                              {AllowedIPKey, ""}});
    Engine engine(table, hosts, rules);
    engine.oManager.LoadSettings();  // hands the rules to the filter too
    engine.ProcessTcpTable({});
    if (write(ready[1], "r", 1) != 1) {
        Fail("telling that the guard runs");
    }
    for (;;) {
        engine.ProcessTcpTable({});
        pollfd changed{table.WaitDescriptor(), POLLIN, 0};
        (void)poll(&changed, 1, 1);
    }
}

// A listener on the loopback address of family at port (0: any).
UniqueFd Listen(int family, int& port) {
    UniqueFd fd(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_storage address{};
    socklen_t length = 0;
    if (family == AF_INET) {
        auto& v4 = reinterpret_cast<sockaddr_in&>(address);
        v4 = {AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        length = sizeof v4;
    } else {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<std::uint16_t>(port));
        v6.sin6_addr = in6addr_loopback;
        length = sizeof v6;
    }
    if (!fd || bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(fd.Get(), 1024) != 0 ||
        getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        Fail("listen");
    }
    port = ntohs(reinterpret_cast<sockaddr_in&>(address).sin_port);  // same place in both
    return fd;
}

// A client connected to listener; empty when the pass closed it before connect returned, or
// closed the server's end first (connect then tells of the reset).
UniqueFd Connect(const UniqueFd& listener) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    (void)getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &length);
    UniqueFd client(socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!client) {
        Fail("socket");
    }
    if (connect(client.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0) {
        if (errno != ECONNABORTED && errno != ECONNRESET) {
            Fail("connect");
        }
        return {};
    }
    return client;
}

// Whether the pass closed this end: the kernel reports that once, as ECONNABORTED.
bool WaitClosed(int fd, Clock::duration patience) {
    const Clock::time_point until = Clock::now() + patience;
    do {
        pollfd ready{fd, POLLIN, 0};
        (void)poll(&ready, 1, 1);
        char byte = 0;
        // Data before the close is left for the receiver's count.
        if (recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK) < 0 && errno == ECONNABORTED) {
            return true;
        }
    } while (Clock::now() < until);
    return false;
}

// Whether a send failed because the pass had closed its connection, which it reports once.
bool Aborted(ssize_t sent) {
    return sent < 0 && errno == ECONNABORTED;
}

// Whether any of the data sent reached fd before its connection went.
bool Delivered(int fd) {
    WaitClosed(fd, 5ms);  // past the moment the pass or a reset ended it
    char bytes[64];
    return recv(fd, bytes, sizeof bytes, MSG_DONTWAIT) > 0;
}

struct Tally {
    int tries = 0;
    int delivered = 0;
    int tornDown = 0;
    // A pass that closes none of the first tries closes none: the rest are not waited for.
    bool Hopeless() const { return tries == 50 && tornDown == 0; }
};

// A client that sends its request right after connecting to a blocked remote port.
Tally Requests(const UniqueFd& listener) {
    Tally tally;
    for (; tally.tries < kTries && !tally.Hopeless(); ++tally.tries) {
        const UniqueFd client = Connect(listener);
        const bool aborted = !client || Aborted(send(client.Get(), "request", 7, MSG_NOSIGNAL));
        const UniqueFd server(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        tally.tornDown += aborted || WaitClosed(client.Get(), 200ms);
        tally.delivered += Delivered(server.Get());
    }
    return tally;
}

// A server on a blocked local port that greets its client right after accepting it.
Tally Greetings(const UniqueFd& listener) {
    Tally tally;
    for (; tally.tries < kTries && !tally.Hopeless(); ++tally.tries) {
        const UniqueFd client = Connect(listener);
        const UniqueFd server(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        const bool aborted = !server || Aborted(send(server.Get(), "greeting", 8, MSG_NOSIGNAL));
        tally.tornDown += aborted || WaitClosed(server.Get(), 200ms);
        tally.delivered += client && Delivered(client.Get());
    }
    return tally;
}

void PayloadOnBlockedPorts() {
    std::printf(
        "Payload on blocked connections, %d tries each (delivered: tries where any "
        "byte arrived; torn down: tries the pass closed)\n",
        kTries);
    std::printf("%-10s %-6s %-9s %6s %10s %10s\n", "filter", "family", "kind", "tries", "delivered",
                "torn down");
    for (const bool filtered : {false, true}) {
        for (const int family : {AF_INET, AF_INET6}) {
            int local = 0, remote = 0;
            const UniqueFd greeter = Listen(family, local);
            const UniqueFd server = Listen(family, remote);
            const pid_t guard = StartGuard(filtered, local, remote);
            const Tally requests = Requests(server);
            const Tally greetings = Greetings(greeter);
            kill(guard, SIGKILL);
            (void)waitpid(guard, nullptr, 0);
            for (const auto& [kind, tally] :
                 {std::pair{"requests", requests}, {"greetings", greetings}}) {
                std::printf("%-10s %-6s %-9s %6d %10d %10d\n", filtered ? "attached" : "none",
                            family == AF_INET ? "IPv4" : "IPv6", kind, tally.tries, tally.delivered,
                            tally.tornDown);
            }
        }
    }
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// MB/s of one bulk transfer of bytes over a loopback connection.
double BulkThroughput(std::size_t bytes) {
    int port = 0;
    const UniqueFd listener = Listen(AF_INET, port);
    const UniqueFd client = Connect(listener);
    const UniqueFd server(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    const Clock::time_point start = Clock::now();
    std::thread sender([&] {
        std::vector<char> chunk(256 * 1024, 'x');
        for (std::size_t sent = 0; sent < bytes;) {
            const ssize_t n = send(client.Get(), chunk.data(), std::min(chunk.size(), bytes - sent),
                                   MSG_NOSIGNAL);
            if (n <= 0) {
                Fail("send");
            }
            sent += static_cast<std::size_t>(n);
        }
    });
    std::vector<char> buffer(256 * 1024);
    for (std::size_t received = 0; received < bytes;) {
        const ssize_t n = recv(server.Get(), buffer.data(), buffer.size(), 0);
        if (n <= 0) {
            Fail("recv");
        }
        received += static_cast<std::size_t>(n);
    }
    sender.join();
    return static_cast<double>(bytes) / 1e6 /
           std::chrono::duration<double>(Clock::now() - start).count();
}

// Microseconds per round trip of a one-byte request and its one-byte answer.
double RoundTrip(int rounds) {
    int port = 0;
    const UniqueFd listener = Listen(AF_INET, port);
    const UniqueFd client = Connect(listener);
    const UniqueFd server(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    const int one = 1;
    (void)setsockopt(client.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    (void)setsockopt(server.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::thread echo([&] {
        char byte = 0;
        for (int i = 0; i < rounds; ++i) {
            if (recv(server.Get(), &byte, 1, 0) != 1 || send(server.Get(), &byte, 1, 0) != 1) {
                Fail("echo");
            }
        }
    });
    const Clock::time_point start = Clock::now();
    char byte = 'x';
    for (int i = 0; i < rounds; ++i) {
        if (send(client.Get(), &byte, 1, 0) != 1 || recv(client.Get(), &byte, 1, 0) != 1) {
            Fail("round trip");
        }
    }
    const double micros =
        std::chrono::duration<double, std::micro>(Clock::now() - start).count() / rounds;
    echo.join();
    return micros;
}

// count prefixes of both versions and ranges ranges below the ephemeral ports, none of which
// the loopback traffic here meets.
platform::BlockingRules LargeRules(std::size_t count, std::size_t ranges) {
    std::mt19937 random(0x5eed);
    platform::BlockingRules rules;
    for (std::size_t i = 0; i < count; ++i) {
        platform::IpAddress address{};
        for (auto& byte : address) {
            byte = static_cast<std::uint8_t>(random());
        }
        const bool ipv4 = i % 2 == 0;
        if (ipv4) {
            address = platform::MappedIPv4(static_cast<std::uint32_t>(random()));
            address[12] = static_cast<std::uint8_t>(address[12] == 127 ? 128 : address[12]);
        }
        std::string text = platform::CanonicalAddressText(address);
        text += '/';
        text += std::to_string(ipv4 ? 8 + random() % 25 : 32 + random() % 97);
        rules.AllowedAddresses.push_back(platform::ParseAddressEntry(text).Prefix);
    }
    std::ranges::sort(rules.AllowedAddresses);
    rules.AllowedAddresses.erase(std::ranges::unique(rules.AllowedAddresses).begin(),
                                 rules.AllowedAddresses.end());
    for (std::size_t i = 0; i < ranges; ++i) {
        const auto low = static_cast<std::uint16_t>(1 + random() % 30000);
        rules.BlockedLocalPorts.push_back({low, static_cast<std::uint16_t>(low + random() % 64)});
    }
    rules.BlockedRemotePorts = rules.BlockedLocalPorts;
    return rules;
}

// Milliseconds to write an edit of one prefix into the filter's maps while they hold 100,000.
void EditOfManyPrefixes() {
    const std::unique_ptr<platform::PayloadFilter> filter = AttachFilter();
    platform::BlockingRules rules = LargeRules(100000, 1000);
    platform::FilterCause why;
    if (!filter->SetRules(rules, why)) {
        Fail("the filter took no 100,000 prefixes: " + why.Text());
    }
    std::vector<double> millis;
    for (int i = 0; i < 21; ++i) {
        if (i % 2 == 0) {
            rules.AllowedAddresses.push_back({platform::MappedIPv4(htonl(0x7f000001)), 128});
        } else {
            rules.AllowedAddresses.pop_back();
        }
        const Clock::time_point start = Clock::now();
        if (!filter->SetRules(rules, why)) {
            Fail("an edit of 100,000 prefixes: " + why.Text());
        }
        millis.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::printf(
        "\nAn edit of one prefix among 100,000 written to the filter's maps: median %.1f ms\n",
        Median(millis));
}

// Milliseconds to write an edit that moves a port from one list to the other, which waits for the
// filter's runs under way to end, beside one that only adds a port, which does not.
void EditsOfPorts() {
    const std::unique_ptr<platform::PayloadFilter> filter = AttachFilter();
    const platform::PortRange port{4000, 4000}, other{4001, 4001};
    const platform::BlockingRules asLocal{{}, {port}, {}}, asRemote{{}, {}, {port}};
    const platform::BlockingRules added{{}, {port, other}, {}};
    platform::FilterCause why;
    const auto timed = [&](const platform::BlockingRules& to, std::vector<double>& millis) {
        const Clock::time_point start = Clock::now();
        if (!filter->SetRules(to, why)) {
            Fail("an edit of ports: " + why.Text());
        }
        millis.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    };
    std::vector<double> moves, adds, ignored;
    timed(asLocal, ignored);
    for (int i = 0; i < 51; ++i) {
        timed(asRemote, moves);
        timed(asLocal, moves);
        timed(added, adds);
        timed(asLocal, ignored);
    }
    std::printf(
        "\nAn edit that moves a port from one list to the other: median %.2f ms (one that only "
        "adds a port: %.3f ms)\n",
        Median(moves), Median(adds));
}

// Milliseconds to load 10,000 prefixes and 1,000 ranges into an empty packet filter's table, and
// to edit one prefix among them.
void TableOfManyPrefixes() {
    platform::FilterCause why;
    const std::unique_ptr<platform::NetfilterTable> table = platform::NetfilterTable::Open(why);
    if (!table) {
        Fail("no packet filter's table: " + why.Text());
    }
    platform::BlockingRules rules = LargeRules(10000, 1000);
    platform::BlockingRules edited = rules;
    edited.AllowedAddresses.push_back({platform::MappedIPv4(htonl(0x7f000001)), 128});
    const auto timed = [&](const platform::BlockingRules& to, std::vector<double>& millis) {
        const Clock::time_point start = Clock::now();
        if (!table->SetRules(to, why)) {
            Fail("the table took no 10,000 prefixes: " + why.Text());
        }
        millis.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    };
    std::vector<double> loads, edits;
    for (int i = 0; i < 11; ++i) {
        timed(rules, loads);
        timed(edited, edits);
        if (!table->SetRules({}, why)) {
            Fail("the table kept its rules: " + why.Text());
        }
    }
    std::printf(
        "\nThe packet filter's table, 10,000 prefixes and 1,000 ranges: loaded in median "
        "%.1f ms, one prefix edited in %.1f ms\n",
        Median(loads), Median(edits));
}

void CostForUnblockedTraffic() {
    constexpr int kRounds = 21;
    // Without a filter, with one that holds three ports, and with one that holds 10,000
    // prefixes and 1,000 ranges of other ports (so that every packet is looked at the whole way).
    enum Mode { None, Three, Large, Modes };
    const platform::BlockingRules rules[Modes] = {
        {}, {{}, {{9, 9}, {13, 13}}, {{37, 37}}}, LargeRules(10000, 1000)};
    std::map<int, std::vector<double>> throughput, latency, throughputRatio, latencyRatio;
    // Each round measures every mode, in an order turned every round, so that the machine's
    // load hits them alike; the ratio of each round's filtered run to its unfiltered one then
    // cancels most of the drift.
    for (int round = 0; round < kRounds; ++round) {
        for (int turn = 0; turn < Modes; ++turn) {
            const int mode = (round + turn) % Modes;
            std::unique_ptr<platform::PayloadFilter> filter;
            if (mode != None) {
                filter = AttachFilter();
                platform::FilterCause why;
                (void)filter->SetRules(rules[mode], why);
            }
            throughput[mode].push_back(BulkThroughput(std::size_t{256} << 20));
            latency[mode].push_back(RoundTrip(10000));
        }
        for (const int mode : {Three, Large}) {
            throughputRatio[mode].push_back(throughput[mode].back() / throughput[None].back());
            latencyRatio[mode].push_back(latency[mode].back() / latency[None].back());
        }
    }
    std::printf(
        "\nUnblocked loopback traffic, %d rounds of each; medians, and the medians of the "
        "rounds' ratios to no filter\n",
        kRounds);
    std::printf("%-34s %9s %9s %9s %7s %7s\n", "", "no filter", "3 ports", "large", "ratio 3",
                "large");
    std::printf("%-34s %9.0f %9.0f %9.0f %7.3f %7.3f\n", "bulk transfer, MB/s (256 MiB)",
                Median(throughput[None]), Median(throughput[Three]), Median(throughput[Large]),
                Median(throughputRatio[Three]), Median(throughputRatio[Large]));
    std::printf("%-34s %9.2f %9.2f %9.2f %7.3f %7.3f\n", "request/response round trip, us",
                Median(latency[None]), Median(latency[Three]), Median(latency[Large]),
                Median(latencyRatio[Three]), Median(latencyRatio[Large]));
}

}  // namespace

// With an argument, only that measure: "table" for the packet filter's table alone, "edits" for
// the kernel filter's edits.
int main(int argc, char** argv) {
    if (geteuid() != 0) {
        std::fprintf(stderr, "the payload benchmark loads kernel programs: run it as root\n");
        return 1;
    }
    bench::EnterPrivateNetwork(argv);
    if (argc > 1 && std::string(argv[1]) == "table") {
        TableOfManyPrefixes();
        return 0;
    }
    if (argc > 1 && std::string(argv[1]) == "edits") {
        EditsOfPorts();
        EditOfManyPrefixes();
        return 0;
    }
    PayloadOnBlockedPorts();
    EditsOfPorts();
    EditOfManyPrefixes();
    TableOfManyPrefixes();
    CostForUnblockedTraffic();
    return 0;
}
