// The filters and the engine's pass judge every connection alike: random rule lists and random
// connections, each packet run through the loaded kernel filter (not attached anywhere), or
// real connections through the packet filter's table in a private network namespace, the
// verdict compared with the pass's.

#include <arpa/inet.h>
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "PayloadFilter.skel.h"
#include "engine/AddressText.h"
#include "engine/RuleSet.h"
#include "platform/RuleEntry.h"
#include "platform/linux/filter/RuleMaps.h"
#include "platform/linux/netfilter/NetfilterTable.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Rows.h"
#include "tests/support/Sockets.h"

namespace quarnel {
namespace {

using platform::TcpRow;

// A TCP segment of row's connection as it crosses the filter, in a frame as test runs take it:
// arriving (from the remote end) or leaving, with payload bytes of data. IPv4 on the wire for
// an IPv4-mapped remote address, else IPv6.
std::vector<std::uint8_t> Segment(const TcpRow& row, bool arriving, std::size_t payload) {
    const bool ipv4 = platform::IsIPv4Mapped(row.RemoteAddress);
    const std::size_t ipSize = ipv4 ? 20 : 40;
    std::vector<std::uint8_t> frame(14 + ipSize + 20 + payload, 0);
    frame[12] = ipv4 ? 0x08 : 0x86;
    frame[13] = ipv4 ? 0x00 : 0xdd;
    std::uint8_t* ip = &frame[14];
    const platform::IpAddress& source = arriving ? row.RemoteAddress : row.LocalAddress;
    const platform::IpAddress& dest = arriving ? row.LocalAddress : row.RemoteAddress;
    // Version, total (IPv4) or payload (IPv6) length, protocol, hop limit, then the addresses.
    ip[0] = ipv4 ? 0x45 : 0x60;
    const auto length = htons(static_cast<std::uint16_t>(frame.size() - 14 - (ipv4 ? 0 : 40)));
    std::memcpy(ip + (ipv4 ? 2 : 4), &length, 2);
    ip[ipv4 ? 9 : 6] = IPPROTO_TCP;
    ip[ipv4 ? 8 : 7] = 64;
    const std::size_t at = ipv4 ? 12 : 8, skip = ipv4 ? 12 : 0, size = ipv4 ? 4 : 16;
    std::memcpy(ip + at, source.data() + skip, size);
    std::memcpy(ip + at + size, dest.data() + skip, size);
    std::uint8_t* tcp = ip + ipSize;
    const std::uint16_t ports[] = {htons(static_cast<std::uint16_t>(row.RemotePort)),
                                   htons(static_cast<std::uint16_t>(row.LocalPort))};
    std::memcpy(tcp, &ports[arriving ? 0 : 1], 2);
    std::memcpy(tcp + 2, &ports[arriving ? 1 : 0], 2);
    tcp[12] = 5 << 4;                      // a header of 20 bytes
    tcp[13] = payload == 0 ? 0x02 : 0x18;  // SYN, or PSH ACK with data
    return frame;
}

// 1 when the filter lets the frame pass, 0 when it drops it.
int RunThrough(bpf_program* program, std::vector<std::uint8_t> frame) {
    LIBBPF_OPTS(bpf_test_run_opts, run, .data_in = frame.data(),
                .data_size_in = static_cast<__u32>(frame.size()));
    EXPECT_EQ(bpf_prog_test_run_opts(bpf_program__fd(program), &run), 0) << std::strerror(errno);
    return static_cast<int>(run.retval);
}

// Random rule lists as the user may write them: allowed entries from allowedEntry, port entries
// picked from ports.
RuleSet RandomRules(std::mt19937& random, const std::function<std::string()>& allowedEntry,
                    const std::vector<std::string>& ports) {
    List allowed, local, remote;
    for (List* list : {&allowed, &local, &remote}) {
        list->InitStringList();
        for (int i = random() % (list == &allowed ? 5 : 4); i > 0; --i) {
            (void)list->AddItem(list == &allowed ? allowedEntry() : ports[random() % ports.size()]);
        }
    }
    return RuleSet(allowed, local, remote);
}

bool Blocks(const RuleSet& rules, const TcpRow& row) {
    const Verdict verdict = rules.Judge(row);
    return verdict == Verdict::BlockedByLocalPort || verdict == Verdict::BlockedByRemotePort;
}

// The same connection as its other end sees it.
TcpRow Reversed(const TcpRow& row) {
    TcpRow other = row;
    std::swap(other.LocalAddress, other.RemoteAddress);
    std::swap(other.LocalPort, other.RemotePort);
    return other;
}

// The kernel filter loaded, not attached anywhere: with no namespace set, it judges the packets
// of test runs.
TEST(FilterVerdict, EveryConnectionIsJudgedAsThePassJudgesIt) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "loading a kernel filter needs real root";
    }
    const std::unique_ptr<payload_filter, decltype(&payload_filter::destroy)> program(
        payload_filter::open_and_load(), &payload_filter::destroy);
    ASSERT_TRUE(program) << std::strerror(errno);
    platform::RuleMaps maps(program->maps);
    std::mt19937 random(0xf117e5);
    const auto pick = [&random](const auto& from) { return from[random() % std::size(from)]; };
    // Few values, so that rules and rows meet often; edges of the ranges among them.
    const std::int32_t ports[] = {0, 1, 22, 80, 443, 8080, 32768, 65535};
    const char* const addresses[] = {
        "127.0.0.1", "127.0.0.2",   "10.1.2.3",     "192.168.0.255", "0.0.0.0",   "255.255.255.255",
        "::1",       "2001:db8::7", "2001:db8:1::", "fe80::1",       "::ffff:0:1"};
    // Entries of the allowed list: addresses, prefixes, and texts that name neither.
    const char* const allowedTexts[] = {
        "127.0.0.1", "10.1.2.3",           "0.0.0.0",     "127.000.0.1", "localhost",
        "::1",       " 10.1.2.3",          "10.1.2.3/32", "1.2.3",       "0.0.0.0/0",
        "::/0",      "2001:db8::/32",      "::1/128",     "10.0.0.0/8",  "10.1.2.3/8",
        "fe80::/10", "::ffff:10.0.0.0/104"};
    const std::vector<std::string> portTexts = {"0",     "1",     "22",   "80",       "443",
                                                "65535", "70000", "-1",   "1-65535",  "20-25",
                                                "80-80", "10-5",  "0-10", "443-8080", "8080-65535"};
    const auto allowedEntry = [&]() -> std::string {
        if (random() % 2 == 0) {
            return pick(allowedTexts);
        }
        // A prefix of some length around one of the rows' addresses, often overlapping.
        const platform::IpAddress around = *ParseAddress(pick(addresses));
        const auto length = random() % (platform::IsIPv4Mapped(around) ? 33 : 129);
        return platform::AddressEntryText(
            platform::ParseAddressEntry(CanonicalAddressText(around) + "/" + std::to_string(length))
                .Prefix);
    };

    for (int round = 0; round < 60; ++round) {
        const RuleSet rules = RandomRules(random, allowedEntry, portTexts);
        platform::FilterCause why;
        ASSERT_TRUE(maps.Write(BlockingRulesOf(rules), why)) << why.Text();

        for (int n = 0; n < 100; ++n) {
            TcpRow row;
            row.RemoteAddress = *ParseAddress(pick(addresses));
            // The local end of the same version: one socket holds both.
            row.LocalAddress =
                *ParseAddress(platform::IsIPv4Mapped(row.RemoteAddress) ? "127.0.0.9" : "::1");
            row.LocalPort = pick(ports);
            row.RemotePort = pick(ports);
            const bool blocks = Blocks(rules, row);
            // A test run's packets are loopback's: one that leaves is judged as it arrives
            // too.
            const bool leavingBlocks = blocks || Blocks(rules, Reversed(row));
            for (const bool arriving : {true, false}) {
                SCOPED_TRACE(::testing::Message() << (arriving ? "arriving" : "leaving")
                                                  << " on round " << round << ", row " << n);
                bpf_program* hold =
                    arriving ? program->progs.HoldIngress : program->progs.HoldEgress;
                ASSERT_EQ(RunThrough(hold, Segment(row, arriving, 1 + random() % 1400)),
                          (arriving ? blocks : leavingBlocks) ? 0 : 1);
                // The handshake and teardown carry no data: they always pass.
                ASSERT_EQ(RunThrough(hold, Segment(row, arriving, 0)), 1);
            }
        }
    }
}

TEST(FilterVerdict, ThePacketFilterTableJudgesEveryConnectionAsThePassJudgesIt) {
    testsupport::RunInPrivateNetwork([] {
        int error = 0;
        const auto table = platform::NetfilterTable::Open(error);
        ASSERT_TRUE(table) << std::strerror(error);
        // Servers on every address of both versions; clients from several loopback addresses.
        std::vector<testsupport::Listener> listeners;
        std::vector<std::string> ports = {"1", "65535"};
        for (int i = 0; i < 3; ++i) {
            listeners.push_back(testsupport::ListenIPv6Any(false));
            ports.push_back(std::to_string(listeners.back().port));
        }
        // Ranges around the listeners' ports, overlapping, and up to the last port.
        ports.push_back(std::to_string(listeners[0].port - 1) + "-" +
                        std::to_string(listeners[0].port + 1));
        ports.push_back(std::to_string(listeners[1].port) + "-65535");
        ports.push_back("1-" + std::to_string(listeners[2].port));
        // Prefixes that meet, overlap and hold one another, and those that hold every address.
        const std::vector<const char*> allowedTexts = {
            "127.0.0.1",    "127.0.0.2", "127.0.0.2/31", "127.0.0.4/30",     "::1",
            "localhost",    "::/127",    "0.0.0.0/0",    "::ffff:127.0.0.3", "::/0",
            "127.0.0.0/30", "::/64",     "::2/127"};
        const char* const addresses[] = {"127.0.0.1", "127.0.0.2", "127.0.0.3", "127.0.0.4", "::1"};
        std::mt19937 random(0x7ab1e);
        const auto allowedEntry = [&] {
            return std::string(allowedTexts[random() % std::size(allowedTexts)]);
        };
        for (int round = 0; round < 20; ++round) {
            const RuleSet rules = RandomRules(random, allowedEntry, ports);
            error = table->SetRules(BlockingRulesOf(rules));
            ASSERT_EQ(error, 0) << std::strerror(error);
            std::vector<std::pair<testsupport::Connection, bool>> tried;  // and whether blocked
            for (int n = 0; n < 12; ++n) {
                const testsupport::Listener& listener = listeners[random() % listeners.size()];
                const bool ipv6 = random() % 5 == 0;
                const char* from = ipv6 ? "::1" : addresses[random() % 4];
                const char* to = ipv6 ? "::1" : addresses[random() % 4];
                testsupport::Connection connection = testsupport::Connect(listener, to, 0, from);
                ASSERT_TRUE(connection.server);
                // Each end sees the other as remote: held when either view is blocked.
                const TcpRow atServer =
                    testsupport::Row(platform::TcpState::Established, to, listener.port, from,
                                     connection.clientPort);
                ASSERT_EQ(::send(connection.client.Get(), "c", 1, 0), 1);
                ASSERT_EQ(::send(connection.server.Get(), "s", 1, 0), 1);
                tried.emplace_back(std::move(connection),
                                   Blocks(rules, atServer) || Blocks(rules, Reversed(atServer)));
            }
            // Loopback delivers in microseconds; what has not arrived by then was held.
            ::usleep(100'000);
            for (std::size_t n = 0; n < tried.size(); ++n) {
                const auto& [connection, blocks] = tried[n];
                SCOPED_TRACE(::testing::Message() << "round " << round << ", connection " << n);
                char byte = 0;
                for (const auto& end : {&connection.server, &connection.client}) {
                    EXPECT_EQ(::recv(end->Get(), &byte, 1, MSG_DONTWAIT) == 1, !blocks);
                }
            }
        }
    });
}

}  // namespace
}  // namespace quarnel
