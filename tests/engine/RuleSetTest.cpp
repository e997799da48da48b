#include "engine/RuleSet.h"

#include <gtest/gtest.h>

#include "engine/AddressText.h"
#include "tests/engine/TestEngine.h"

namespace quarnel::testing {
namespace {

using platform::SocketFamily;
using platform::TcpState;

// Texts the system reads as addresses come back in their one form; the rest names nothing.
TEST(AddressText, AddressesHaveOneTextAndOnlyPlainAddressesParse) {
    const std::pair<const char*, const char*> named[] = {
        {"127.0.0.1", "127.0.0.1"},
        {"::1", "::1"},
        {"0:0:0:0:0:0:0:1", "::1"},
        {"2001:DB8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},     // the first of two equal zero runs
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},  // one zero group stays "0"
        {"2001:0db8::0001", "2001:db8::1"},
        {"::1:2", "::1:2"},  // not "::0.1.0.2"
        {"::", "::"},
        {"fe80::", "fe80::"},
        {"::ffff:198.51.100.7", "198.51.100.7"},
        {"::FFFF:c633:6407", "198.51.100.7"},
    };
    for (const auto& [text, canonical] : named) {
        const auto address = ParseAddress(text);
        ASSERT_TRUE(address) << text;
        EXPECT_EQ(CanonicalAddressText(*address), canonical) << text;
    }
    EXPECT_EQ(ParseAddress("10.0.0.1"), platform::MappedIPv4(Ip("10.0.0.1")));
    for (const char* text : {"", " ::1", "::1 ", "fe80::1%eth0", "2001:db8::/64", "[::1]",
                             "[::1]:443", "::1:443:", "1:2:3:4:5:6:7:8:9", "010.0.0.1", "10.0.0",
                             "0x7f.0.0.1", "localhost", "::g"}) {
        EXPECT_FALSE(ParseAddress(text)) << text;
    }
    EXPECT_FALSE(ParseAddress(std::string_view("::1\0", 4)));
}

TEST(RuleSet, JudgesIPv4AndIPv6RowsByTheRemoteAddressThenTheLocalThenTheRemotePort) {
    List allowed, local, remote;
    allowed.InitStringList();
    local.InitLongList();
    remote.InitLongList();
    // Entries that are no address protect nothing; ports no row has block nothing.
    for (const char* entry : {"198.51.100.7", "0:0:0:0:0:0:0:1", "2001:db8::/64", "fe80::1%lo",
                              "junk", "2001:DB8::7", "::ffff:203.0.113.9"}) {
        (void)allowed.AddItem(std::string(entry));
    }
    for (const std::int32_t port : {139, 445, 445, 70000, -1}) {
        (void)local.AddItem(port);
    }
    (void)remote.AddItem(std::int32_t{443});
    const RuleSet rules(allowed, local, remote);
    EXPECT_EQ(rules.BlockedLocalPorts(), (std::vector<std::uint16_t>{139, 445}));
    EXPECT_EQ(rules.AllowedAddresses().size(), 4u);

    const auto row = [](const char* local, int localPort, const char* remote, int remotePort) {
        return Row(TcpState::Established, local, localPort, remote, remotePort);
    };
    const std::pair<platform::TcpRow, Verdict> cases[] = {
        {row("192.0.2.5", 50000, "198.51.100.7", 443), Verdict::Allowed},
        {row("192.0.2.5", 445, "198.51.100.8", 443), Verdict::BlockedByLocalPort},
        {row("192.0.2.5", 50000, "198.51.100.8", 443), Verdict::BlockedByRemotePort},
        {row("192.0.2.5", 50000, "198.51.100.8", 80), Verdict::Passed},
        {row("::1", 50000, "::1", 443), Verdict::Allowed},  // stored long-hand
        {row("2001:db8::5", 139, "2001:db8::7", 22), Verdict::Allowed},
        {row("2001:db8::5", 139, "2001:db8::8", 22), Verdict::BlockedByLocalPort},
        {row("2001:db8::5", 50000, "2001:db8::8", 443), Verdict::BlockedByRemotePort},
        {row("2001:db8::5", 50000, "2001:db8::8", 80), Verdict::Passed},
        // Only the remote address protects: an allowed local address does not.
        {row("::1", 50000, "2001:db8::8", 443), Verdict::BlockedByRemotePort},
        {row("198.51.100.7", 50000, "198.51.100.9", 443), Verdict::BlockedByRemotePort},
        // A prefix entry protects no address within it; a zone entry no address at all.
        {row("2001:db8::5", 50000, "2001:db8::", 443), Verdict::BlockedByRemotePort},
        {row("fe80::2", 50000, "fe80::1", 443), Verdict::BlockedByRemotePort},
    };
    for (const auto& [connection, verdict] : cases) {
        EXPECT_EQ(rules.Judge(connection), verdict) << ::testing::PrintToString(connection);
    }
    // An IPv4 connection of a dual-stack socket is judged as one of an IPv4 socket.
    platform::TcpRow mapped = row("192.0.2.5", 50000, "203.0.113.9", 443);
    mapped.Family = SocketFamily::IPv6;
    EXPECT_EQ(rules.Judge(mapped), Verdict::Allowed);
    mapped.RemoteAddress = Address("203.0.113.10");
    EXPECT_EQ(rules.Judge(mapped), Verdict::BlockedByRemotePort);
    EXPECT_EQ(RuleSet().Judge(mapped), Verdict::Passed);
}

}  // namespace
}  // namespace quarnel::testing
