// The log of closes: that the pass hands over the rule that closed, how lines carry their
// priority, and that a storm or a full output never makes the pass wait.

#include "engine/ActionLog.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/engine/TestEngine.h"

namespace quarnel::testing {
namespace {

using namespace std::chrono_literals;
using BlockingPass = EngineTest;

// An output that keeps what it takes, and takes nothing while Full, as a pipe nobody reads.
struct MemoryOutput : platform::LogOutput {
    static constexpr std::size_t kLongestLine = 4096;
    std::size_t LongestLine() const override { return kLongestLine; }
    bool TryWrite(std::string_view line) override {
        if (Full || line.size() > kLongestLine) {
            return false;
        }
        Text += line;
        return true;
    }
    std::string Drain() { return std::exchange(Text, {}); }

    std::string Text;
    bool Full = false;
};

// A line names the entry that blocked as the user typed it, never a range made of entries
// joined; an IPv4 client of a dual-stack listener is said as IPv4, as the connection view
// shows it; a true IPv6 connection keeps its brackets.
TEST(CloseLog, NamesTheEntryAsStoredAndSaysAMappedIPv4ClientAsIPv4) {
    List allowed, local, remote;
    for (const char* entry : {"8080", "8081", "8000-8090", "9000-9010", "9005-9020"}) {
        (void)local.AddItem(std::string(entry));
    }
    const RuleSet rules(allowed, local, remote);
    const auto line = [&](const char* at, std::int32_t port, const char* remote) {
        const platform::TcpRow row = Row(platform::TcpState::Established, at, port, remote, 50000);
        return CloseLine(row, Verdict::BlockedByLocalPort, &rules);
    };
    EXPECT_EQ(line("192.0.2.5", 8081, "198.51.100.7"),
              "closed IPv4 192.0.2.5:8081 -> 198.51.100.7:50000 (local port 8081 blocked) by "
              "unknown");
    EXPECT_EQ(line("::ffff:127.0.0.1", 8085, "::ffff:127.0.0.1"),
              "closed IPv4 127.0.0.1:8085 -> 127.0.0.1:50000 (local port 8085 blocked, range "
              "8000-8090) by unknown");
    EXPECT_EQ(line("::1", 9012, "::ffff:127.0.0.1"),
              "closed IPv6 [::1]:9012 -> [::ffff:127.0.0.1]:50000 (local port 9012 blocked, "
              "range 9005-9020) by unknown");
    EXPECT_EQ(line("2001:db8::1", 9005, "2001:db8::2"),
              "closed IPv6 [2001:db8::1]:9005 -> [2001:db8::2]:50000 (local port 9005 blocked, "
              "range 9000-9010) by unknown");
}

// A port of a range names the range it was blocked by, the owner its program, pid and user, and
// a connection of another network namespace that namespace; what the journal's sink refuses is
// written, marked with its priority.
TEST(CloseLog, NamesTheRangeOwnerAndNamespaceAndWritesWhatTheSinkRefusesWithItsPriority) {
    List allowed, local, remote;
    (void)remote.AddItem(std::string("6000-6031"));
    (void)remote.AddItem(std::string("6032-6063"));
    const RuleSet rules(allowed, local, remote);
    const std::string range =
        "closed IPv4 192.0.2.5:50123 -> 198.51.100.7:6000 (remote port "
        "6000 blocked, range 6000-6031) by smtp [812] user postfix";
    MemoryOutput output;
    ActionLog log(output);
    log.MarkPriorities(true);
    log.NameUsersBy([](std::uint32_t uid) { return uid == 107 ? "postfix" : "?"; });
    std::vector<std::string> sunk;
    log.SendClosesTo(
        [&](const platform::TcpRow&, Verdict, const platform::ConnectionOwner&,
            const std::string& line) { return sunk.push_back(line), sunk.size() == 1; });
    platform::TcpRow row = Established(50123, "198.51.100.7", 6000, 1);
    const platform::ConnectionOwner smtp{812, 107, {'s', 'm', 't', 'p'}};
    log.Closed(row, Verdict::BlockedByRemotePort);  // taken, so not written
    log.Closed(row, Verdict::BlockedByRemotePort, ActionLog::Clock::now(), &rules, smtp);
    EXPECT_EQ(sunk.back(), range);
    log.Say("refused", ActionLog::Priority::Warning);
    log.Say("cannot close", ActionLog::Priority::Error);
    EXPECT_EQ(output.Drain(), "<6>" + range + "\n<4>refused\n<3>cannot close\n");

    row.Namespace = 4026532890;
    log.Closed(row, Verdict::BlockedByRemotePort, ActionLog::Clock::now(), nullptr, smtp);
    log.NameNamespacesBy([](std::uint32_t inode) { return "docker " + std::to_string(inode); });
    log.Missed(row, Verdict::BlockedByRemotePort, ActionLog::Clock::now(), nullptr, smtp);
    const std::string line =
        "IPv4 192.0.2.5:50123 -> 198.51.100.7:6000 (remote port 6000 blocked) by smtp [812] "
        "user postfix in ";
    EXPECT_EQ(sunk.back(), "closed " + line + "net:[4026532890]");
    EXPECT_EQ(output.Drain(), "<6>closed " + line + "net:[4026532890]\n<4>missed " + line +
                                  "docker 4026532890: ended before it could be closed\n");
}

// Each close that worked is told with its rule, the local port's first; a blocked connection that
// ended before the pass saw it is told as missed, an unblocked one not.
TEST_F(BlockingPass, TellsEachCloseThatWorkedWithTheLocalPortRuleFirstAndEachMissedOne) {
    std::vector<std::pair<std::uint64_t, Verdict>> told;
    std::vector<std::string> missed;
    engine.SetCloseObserver([&](const platform::TcpRow& row, Verdict verdict, const RuleSet&) {
        told.emplace_back(row.Cookie, verdict);
    });
    engine.SetMissObserver([&](const platform::TcpRow& row, Verdict verdict, const RuleSet& rules) {
        missed.push_back(MissedLine(row, verdict, &rules));
    });
    SetRules(oManager, "", "50123", "443");
    table.Connections = {Established(50123, "198.51.100.7", 443, 1),
                         Established(40000, "198.51.100.7", 443, 2),
                         Established(40001, "198.51.100.7", 80, 3)};
    table.Missed = {Established(40002, "198.51.100.7", 443, 4),
                    Established(40003, "198.51.100.7", 80, 5)};
    table.RefuseCloses = true;
    Pass();  // refused closes are not told: nothing was closed
    table.RefuseCloses = false;
    Pass();
    EXPECT_EQ(told, (std::vector<std::pair<std::uint64_t, Verdict>>{
                        {1, Verdict::BlockedByLocalPort}, {2, Verdict::BlockedByRemotePort}}));
    EXPECT_EQ(missed, (std::vector<std::string>{
                          "missed IPv4 192.0.2.5:40002 -> 198.51.100.7:443 (remote port 443 "
                          "blocked) by unknown: ended before it could be closed"}));
}

TEST(CloseLog, AStormIsSummarisedAndAFullOutputLosesLinesCountedNotWaitedFor) {
    MemoryOutput output;
    ActionLog log(output, 3);
    const auto start = ActionLog::Clock::now();
    const platform::TcpRow row = Established(50123, "198.51.100.7", 443, 1);
    const platform::ConnectionOwner curl{812, 1000, {'c', 'u', 'r', 'l'}};
    for (int i = 0; i < 1737; ++i) {
        log.Closed(row, Verdict::BlockedByRemotePort, start + std::chrono::microseconds(i), nullptr,
                   curl);
    }
    log.Flush(start + 500ms);  // the second is not over: nothing yet
    const std::string line = CloseLine(row, Verdict::BlockedByRemotePort, nullptr, {}, curl) + "\n";
    EXPECT_EQ(output.Drain(), line + line + line);
    log.Flush(start + 1s);
    log.Closed(row, Verdict::BlockedByRemotePort, start + 1s + 1ms, nullptr, curl);  // a new second
    EXPECT_EQ(output.Drain(),
              "and 1,734 more closed in the last second (1,734 by curl [812] user 1000)\n" + line);
    EXPECT_EQ(log.ClosedCount(), 1738u);

    output.Full = true;
    for (int i = 0; i < 5; ++i) {
        log.Closed(row, Verdict::BlockedByRemotePort, start + 3s, nullptr, curl);
    }
    log.Say("reloaded");  // lost, and counted
    log.Say(std::string(2 * MemoryOutput::kLongestLine, 'x'));
    log.Flush(start + 5s);  // still full: the count and the summary wait
    output.Full = false;
    log.Flush(start + 5s);
    EXPECT_EQ(output.Drain(),
              "lines lost while the log was full: 2\nand 5 more closed in the last 2 seconds (5 by "
              "curl [812] user 1000)\n");
    // Cut where the output still takes it whole, its priority mark counted.
    log.Say(std::string(2 * MemoryOutput::kLongestLine, 'x'));
    log.MarkPriorities(true);
    log.Say(std::string(2 * MemoryOutput::kLongestLine, 'x'));
    EXPECT_EQ(output.Drain(), std::string(MemoryOutput::kLongestLine - 1, 'x') + "\n<6>" +
                                  std::string(MemoryOutput::kLongestLine - 4, 'x') + "\n");
}

}  // namespace
}  // namespace quarnel::testing
