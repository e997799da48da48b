#include "engine/RuleSet.h"

#include <gtest/gtest.h>

#include "engine/AddressText.h"
#include "engine/CloseReport.h"
#include "tests/engine/TestEngine.h"

namespace quarnel::testing {
namespace {

using platform::SocketFamily;
using platform::TcpState;

// Texts the system reads as addresses come back in their one form; the rest names nothing.
TEST(AddressText, AddressesHaveOneTextAndOnlyPlainAddressesParse) {
    const std::pair<const char*, const char*> named[] = {
        {"0:0:0:0:0:0:0:1", "::1"},
        {"2001:DB8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},     // the first of two equal zero runs
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},  // one zero group stays "0"
        {"::1:2", "::1:2"},                                // not "::0.1.0.2"
        {"fe80::", "fe80::"},
        {"::FFFF:c633:6407", "198.51.100.7"},
        {"::ffff:198.51.100.7", "198.51.100.7"},
        {"1:2:3:4:5:6:192.0.2.7", "1:2:3:4:5:6:c000:207"},
        {"::", "::"},
        {"255.255.255.255", "255.255.255.255"},
    };
    for (const auto& [text, canonical] : named) {
        const auto address = ParseAddress(text);
        ASSERT_TRUE(address) << text;
        EXPECT_EQ(CanonicalAddressText(*address), canonical) << text;
    }
    EXPECT_EQ(ParseAddress("10.0.0.1"), platform::MappedIPv4(Ip("10.0.0.1")));
    for (const char* text : {"",
                             " ::1",
                             "fe80::1%eth0",
                             "2001:db8::/64",
                             "[::1]:443",
                             "::1:443:",
                             "1:2:3:4:5:6:7:8:9",
                             "010.0.0.1",
                             "10.0.0",
                             "0x7f.0.0.1",
                             "::g",
                             ":::",
                             "1::2::3",
                             "1:2:3:4:5:6:7::8",
                             "00001::",
                             "::1.2.3.04",
                             "::1.2.3.4:5",
                             "1:2:3:4:5:6:7:1.2.3.4",
                             "1.2.3.4.",
                             "256.0.0.1"}) {
        EXPECT_FALSE(ParseAddress(text)) << text;
    }
    EXPECT_FALSE(ParseAddress(std::string_view("::1\0", 4)));
}

// What a port entry and an allowed entry may say, and the one form each is kept in.
TEST(RuleEntries, EntriesHaveOneStoredFormAndOnlyTheirFormsAreTaken) {
    // The forms taken are loaded from stored settings in EngineTest.
    for (const char* text : {"", "0", "-5", "5-", "1-65536", "6000 - 6063", "+1-5", "1.0-5"}) {
        EXPECT_FALSE(platform::ParsePortEntry(text)) << text;
    }

    using Kind = platform::AddressEntry::Kind;
    // text, what it is, its stored form (or the network it would be)
    const std::tuple<const char*, Kind, const char*> addresses[] = {
        {"192.0.2.7/32", Kind::Prefix, "192.0.2.7"},
        {"0.0.0.0/0", Kind::Prefix, "0.0.0.0/0"},
        {"::ffff:0:0/95", Kind::HostBitsSet, "::fffe:0:0/95"},
        {"010.000.000.001", Kind::NotAnEntry, ""},  // taken only as typed in the entry box
    };
    for (const auto& [text, kind, stored] : addresses) {
        const platform::AddressEntry entry = platform::ParseAddressEntry(text, false);
        EXPECT_EQ(entry.Is, kind) << text;
        if (kind != Kind::NotAnEntry) {
            EXPECT_EQ(platform::AddressEntryText(entry.Prefix), stored) << text;
        }
    }
    for (const char* text :
         {"::/129", "10.0.0.0/ 8", "10.0.0.0/+8", "10.0.0.0/", "10.0.0.0/8/8", "256.0.0.1"}) {
        EXPECT_EQ(platform::ParseAddressEntry(text, true).Is, Kind::NotAnEntry) << text;
    }
}

TEST_F(EngineTest, RulesJudgeIPv4AndIPv6RowsByTheRemoteAddressThenTheLocalThenTheRemotePort) {
    // Entries that are no address or prefix protect nothing; ports no row has block nothing;
    // overlapping entries count as their union.
    SetRules(oManager,
             "198.51.100.7,0:0:0:0:0:0:0:1,2001:db8:ffff::/48,fe80::1%lo,junk,2001:DB8::7,"
             "::ffff:203.0.113.9,10.20.0.0/16,10.20.1.2/16,10.20.7.0/24,2001:db8:ffff::/48",
             "139,445,445,70000,-1,6000-6063,6010-6070,6071", "443");
    const RuleSet& rules = oManager.Rules();
    EXPECT_EQ(rules.BlockedLocalPorts(),
              (std::vector<platform::PortRange>{{139, 139}, {445, 445}, {6000, 6071}}));
    EXPECT_EQ(rules.AllowedAddresses().size(), 7u);

    const auto row = [](const char* local, int localPort, const char* remote, int remotePort,
                        std::optional<SocketFamily> family = std::nullopt) {
        return Row(TcpState::Established, local, localPort, remote, remotePort, 0, family);
    };
    const std::pair<platform::TcpRow, Verdict> cases[] = {
        {row("192.0.2.5", 50000, "198.51.100.7", 443), Verdict::Allowed},
        {row("192.0.2.5", 445, "198.51.100.8", 443), Verdict::BlockedByLocalPort},
        {row("192.0.2.5", 50000, "198.51.100.8", 443), Verdict::BlockedByRemotePort},
        {row("::1", 50000, "::1", 443), Verdict::Allowed},  // stored long-hand
        {row("2001:db8::5", 139, "2001:db8::7", 22), Verdict::Allowed},
        // Only the remote address protects: an allowed local address does not.
        {row("::1", 50000, "2001:db8::8", 443), Verdict::BlockedByRemotePort},
        // A prefix protects every address within it, to its end; a zone entry protects nothing.
        {row("2001:db8::5", 50000, "2001:db8:ffff::", 443), Verdict::Allowed},
        {row("2001:db8::5", 50000, "2001:db8:ffff:ffff:ffff:ffff:ffff:ffff", 443),
         Verdict::Allowed},
        {row("fe80::2", 50000, "fe80::1", 443), Verdict::BlockedByRemotePort},
        // An IPv4 connection of a dual-stack socket is judged as one of an IPv4 socket.
        {row("192.0.2.5", 50000, "203.0.113.9", 443, SocketFamily::IPv6), Verdict::Allowed},
        {row("192.0.2.5", 50000, "203.0.113.10", 443, SocketFamily::IPv6),
         Verdict::BlockedByRemotePort},
    };
    for (const auto& [connection, verdict] : cases) {
        EXPECT_EQ(rules.Judge(connection), verdict) << ::testing::PrintToString(connection);
    }

    // A connection translated to its socket (a published port) is judged by the port its
    // client addressed after the local port, and the close names the port that blocked it.
    // (PublishedPort judges real translated connections.)
    const auto translated = [&](int localPort, std::uint16_t original, const char* remote) {
        platform::TcpRow translatedRow = row("10.88.0.2", localPort, remote, 50000);
        translatedRow.OriginalPort = original;
        return translatedRow;
    };
    EXPECT_EQ(
        RuleText(translated(7000, 445, "198.51.100.8"), Verdict::BlockedByOriginalPort, &rules),
        "local port 445 blocked");
    EXPECT_EQ(rules.Judge(translated(445, 7000, "198.51.100.8")), Verdict::BlockedByLocalPort);
    EXPECT_EQ(rules.Judge(translated(7000, 7001, "198.51.100.8")), Verdict::Passed);
}

}  // namespace
}  // namespace quarnel::testing
