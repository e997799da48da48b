// What the service hands the journal: each close and miss with fields that write addresses as
// the line does, a MESSAGE_ID the catalog explains, every close of a storm up to the journal's
// limit; and what the status counts.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/ActionLog.h"
#include "service/ConnectionCount.h"
#include "service/JournalCloses.h"
#include "tests/support/Rows.h"

namespace quarnel {
namespace {

using platform::SocketFamily;
using platform::TcpState;
using testsupport::Row;

// An output that takes every line, as the service's standard output under systemd.
struct TextOutput : platform::LogOutput {
    std::size_t LongestLine() const override { return 4096; }
    bool TryWrite(std::string_view line) override { return Text += line, true; }
    std::string Text;
};

// The journal the service's sinks send to, kept.
struct Journal {
    JournalSend Send() {
        return [this](const JournalFields& fields) { return Entries.push_back(fields), true; };
    }
    // The value of NAME in entry, or "(none)".
    std::string Field(std::size_t entry, const std::string& name) const {
        for (const std::string& field : Entries.at(entry)) {
            if (field.starts_with(name + "=")) {
                return field.substr(name.size() + 1);
            }
        }
        return "(none)";
    }
    std::vector<JournalFields> Entries;
};

// An IPv6 close keeps its brackets in the fields, so the port can be told from the address; a
// dual-stack socket's IPv4 connection is IPv4 in the line and the fields alike. A miss has its
// own MESSAGE_ID and fields too.
TEST(JournalCloses, WriteAddressesInTheFieldsAsTheLineDoes) {
    TextOutput output;
    ActionLog log(output);
    Journal journal;
    log.SendClosesTo(JournalCloses(journal.Send(), JournalMessage::Closed), 1000);
    log.SendMissesTo(JournalCloses(journal.Send(), JournalMessage::Missed));
    const platform::ConnectionOwner curl{812, 1000, {'c', 'u', 'r', 'l'}};
    log.Closed(Row(TcpState::Established, "fd00:89::10", 37222, "fd00:89::20", 9090),
               Verdict::BlockedByRemotePort, ActionLog::Clock::now(), nullptr, curl);
    log.Closed(Row(TcpState::Established, "::ffff:10.89.0.20", 9090, "::ffff:10.89.0.5", 40000, 0,
                   SocketFamily::IPv6),
               Verdict::BlockedByLocalPort);
    log.Missed(Row(TcpState::Established, "fd00:89::10", 9090, "2001:db8::5", 40001),
               Verdict::BlockedByLocalPort);
    ASSERT_EQ(journal.Entries.size(), 3U);
    EXPECT_EQ(output.Text, "");  // nothing went to the output instead

    EXPECT_EQ(journal.Field(0, "MESSAGE"),
              "closed IPv6 [fd00:89::10]:37222 -> [fd00:89::20]:9090 (remote port 9090 blocked) "
              "by curl [812] user 1000");
    EXPECT_EQ(journal.Field(0, "QUARNEL_LOCAL"), "[fd00:89::10]:37222");
    EXPECT_EQ(journal.Field(0, "QUARNEL_REMOTE"), "[fd00:89::20]:9090");
    EXPECT_EQ(journal.Field(0, "QUARNEL_FAMILY"), "IPv6");
    EXPECT_EQ(journal.Field(0, "QUARNEL_RULE"), "remote-port");
    EXPECT_EQ(journal.Field(0, "QUARNEL_PORT"), "9090");
    EXPECT_EQ(journal.Field(0, "QUARNEL_COMMAND"), "curl");
    EXPECT_EQ(journal.Field(0, "PRIORITY"), "6");
    EXPECT_EQ(journal.Field(0, "MESSAGE_ID"), MessageId(JournalMessage::Closed));

    EXPECT_EQ(journal.Field(1, "MESSAGE"),
              "closed IPv4 10.89.0.20:9090 -> 10.89.0.5:40000 (local port 9090 blocked) by "
              "unknown");
    EXPECT_EQ(journal.Field(1, "QUARNEL_LOCAL"), "10.89.0.20:9090");
    EXPECT_EQ(journal.Field(1, "QUARNEL_REMOTE"), "10.89.0.5:40000");
    EXPECT_EQ(journal.Field(1, "QUARNEL_FAMILY"), "IPv4");
    EXPECT_EQ(journal.Field(1, "QUARNEL_PID"), "(none)");  // nobody known, nobody named

    EXPECT_EQ(journal.Field(2, "MESSAGE"),
              "missed IPv6 [fd00:89::10]:9090 -> [2001:db8::5]:40001 (local port 9090 blocked) by "
              "unknown: ended before it could be closed");
    EXPECT_EQ(journal.Field(2, "QUARNEL_REMOTE"), "[2001:db8::5]:40001");
    EXPECT_EQ(journal.Field(2, "PRIORITY"), "4");
    EXPECT_EQ(journal.Field(2, "MESSAGE_ID"), MessageId(JournalMessage::Missed));

    // One in a container's namespace names the namespace and the container in fields of their
    // own.
    platform::TcpRow inPod = Row(TcpState::Established, "10.0.0.2", 8080, "10.0.0.1", 50000);
    inPod.Namespace = 4026532999;
    const platform::Container pod{"containerd", std::string(64, 'a'), "6f1e2d3c"};
    journal.Entries.push_back(ConnectionFields(
        inPod, Verdict::BlockedByLocalPort, {}, "closed", JournalMessage::Closed,
        [&](std::uint32_t) { return platform::ContainerText(pod); },
        [&](std::uint32_t inode) {
            return inode == 4026532999 ? std::optional(pod) : std::nullopt;
        }));
    EXPECT_EQ(journal.Field(3, "QUARNEL_NETNS"), "containerd aaaaaaaaaaaa of pod 6f1e2d3c");
    EXPECT_EQ(journal.Field(3, "QUARNEL_CONTAINER"), pod.Id);
    EXPECT_EQ(journal.Field(3, "QUARNEL_RUNTIME"), "containerd");
    EXPECT_EQ(journal.Field(3, "QUARNEL_POD"), "6f1e2d3c");
}

// In a storm every close up to the journal's limit keeps its fields, and only those past it are
// summed in a line; a journal that refuses an entry leaves its line to the output.
TEST(JournalCloses, KeepTheFieldsOfEveryCloseUpToTheLimitAndWriteWhatTheJournalRefuses) {
    TextOutput output;
    ActionLog log(output, 20);
    Journal journal;
    log.SendClosesTo(JournalCloses(journal.Send(), JournalMessage::Closed), 1000);
    EXPECT_EQ(log.CloseLinesPerSecond(), 1000U);
    const auto start = ActionLog::Clock::now();
    for (int i = 0; i < 1200; ++i) {
        log.Closed(Row(TcpState::Established, "127.0.0.1", 7001, "127.0.0.1", 40000 + i),
                   Verdict::BlockedByLocalPort, start);
    }
    log.Flush(start + std::chrono::seconds(1));
    EXPECT_EQ(journal.Entries.size(), 1000U);
    EXPECT_EQ(journal.Field(999, "QUARNEL_REMOTE"), "127.0.0.1:40999");
    EXPECT_EQ(output.Text, "and 200 more closed in the last second (200 by unknown)\n");

    bool refuse = true;
    log.SendClosesTo(
        JournalCloses([&](const JournalFields&) { return !refuse; }, JournalMessage::Closed));
    log.Closed(Row(TcpState::Established, "::1", 7001, "::1", 41000), Verdict::BlockedByLocalPort,
               start + std::chrono::seconds(2));
    EXPECT_EQ(output.Text.substr(output.Text.find('\n') + 1),
              "closed IPv6 [::1]:7001 -> [::1]:41000 (local port 7001 blocked) by unknown\n");
}

// Reloads, refusals and fallbacks carry MESSAGE_IDs of their own; each ID is one the catalog
// explains (the catalog is checked by the unit's test).
TEST(JournalCloses, GiveEachKindOfLineAMessageIdOfItsOwn) {
    const std::vector<JournalMessage> kinds = {
        JournalMessage::Closed,       JournalMessage::Missed,   JournalMessage::RulesInForce,
        JournalMessage::RulesRefused, JournalMessage::FallBack, JournalMessage::Stalled};
    std::vector<std::string> ids;
    for (const JournalMessage kind : kinds) {
        ids.emplace_back(MessageId(kind));
        EXPECT_EQ(ids.back().size(), 32U);
    }
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::unique(ids.begin(), ids.end()), ids.end());
    const JournalFields fields =
        LineFields("rules in force: none", ActionLog::Priority::Warning, JournalMessage::FallBack);
    EXPECT_EQ(fields, (JournalFields{"MESSAGE=rules in force: none", "PRIORITY=4",
                                     "MESSAGE_ID=f8797795e2d9456ca363dcf75155fbdf",
                                     "SYSLOG_IDENTIFIER=quarneld"}));
}

// One loopback connection is one, though the table holds both its sockets; so is an IPv4
// client of a dual-stack server. The same addresses in another namespace are another
// connection, and a listener is none.
TEST(ConnectionCount, CountsConnectionsNotSockets) {
    const auto established = TcpState::Established;
    std::vector<platform::TcpRow> rows = {
        Row(established, "127.0.0.1", 40000, "127.0.0.1", 7001),
        Row(established, "127.0.0.1", 7001, "127.0.0.1", 40000),
        Row(TcpState::Listening, "0.0.0.0", 7001, "0.0.0.0", 0),
    };
    EXPECT_EQ(CountConnections(rows), 1U);
    rows.push_back(Row(established, "127.0.0.1", 40001, "127.0.0.1", 9090));
    rows.push_back(Row(established, "::ffff:127.0.0.1", 9090, "::ffff:127.0.0.1", 40001, 0,
                       SocketFamily::IPv6));
    EXPECT_EQ(CountConnections(rows), 2U);
    platform::TcpRow elsewhere = rows[0];
    elsewhere.Namespace = 4026532000;
    rows.push_back(elsewhere);
    EXPECT_EQ(CountConnections(rows), 3U);
    rows.push_back(Row(established, "192.0.2.5", 50000, "198.51.100.7", 443));  // one socket here
    EXPECT_EQ(CountConnections(rows), 4U);
}

}  // namespace
}  // namespace quarnel
