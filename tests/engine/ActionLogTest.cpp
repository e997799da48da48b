// The log of closes and the records the window keeps of them: that the pass hands over the rule
// that closed and the owner, how lines carry their priority, and that a storm or a full output
// never makes the pass wait.

#include "engine/ActionLog.h"

#include "engine/CloseRecords.h"

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
// joined, the owner by its program, pid and user, and a connection of another network namespace
// by that namespace; lines carry their priority where asked. (Addresses as lines write them, and
// what a sink refuses, are checked with the journal's sinks in JournalCloses.)
TEST(CloseLog, NamesTheEntryOwnerAndNamespaceAndMarksPriorities) {
    List allowed, local, remote;
    for (const char* entry : {"8080", "8081", "8000-8090", "9000-9010", "9005-9020"}) {
        (void)local.AddItem(std::string(entry));
    }
    const RuleSet rules(allowed, local, remote);
    for (const auto& [port, rule] : {std::pair{8081, ""},
                                     {8085, ", range 8000-8090"},
                                     {9012, ", range 9005-9020"},
                                     {9005, ", range 9000-9010"}}) {
        EXPECT_EQ(CloseLine(Established(port, "198.51.100.7", 50000, 1),
                            Verdict::BlockedByLocalPort, &rules),
                  "closed IPv4 192.0.2.5:" + std::to_string(port) +
                      " -> 198.51.100.7:50000 (local port " + std::to_string(port) + " blocked" +
                      rule + ") by unknown");
    }

    MemoryOutput output;
    ActionLog log(output);
    log.MarkPriorities(true);
    log.NameUsersBy([](std::uint32_t uid) { return uid == 107 ? "postfix" : "?"; });
    platform::TcpRow row = Established(50123, "198.51.100.7", 6000, 1);
    row.Namespace = 4026532890;
    const platform::ConnectionOwner smtp{812, 107, {'s', 'm', 't', 'p'}};
    log.Closed(row, Verdict::BlockedByRemotePort, ActionLog::Clock::now(), nullptr, smtp);
    log.NameNamespacesBy([](std::uint32_t inode) { return "docker " + std::to_string(inode); });
    log.Missed(row, Verdict::BlockedByRemotePort, ActionLog::Clock::now(), nullptr, smtp);
    log.Say("cannot close", ActionLog::Priority::Error);
    const std::string line =
        "IPv4 192.0.2.5:50123 -> 198.51.100.7:6000 (remote port 6000 blocked) by smtp [812] "
        "user postfix in ";
    EXPECT_EQ(output.Drain(), "<6>closed " + line + "net:[4026532890]\n<4>missed " + line +
                                  "docker 4026532890: ended before it could be closed\n<3>cannot "
                                  "close\n");
}

// Each close that worked is logged and recorded with its rule, the local port's first, and its
// owner; a blocked connection that ended before the pass saw it as missed, an unblocked one not.
TEST_F(BlockingPass, LogsAndRecordsEachCloseThatWorkedWithTheLocalPortRuleFirstAndEachMissedOne) {
    MemoryOutput output;
    ActionLog log(output);
    CloseRecords records;
    engine.LogTo(log, &records);
    SetRules(oManager, "", "50123", "443");
    table.Owners[812] = {812, 1000, {'c', 'u', 'r', 'l'}};
    table.Connections = {Established(50123, "198.51.100.7", 443, 1),
                         Established(40000, "198.51.100.7", 443, 2),
                         Established(40001, "198.51.100.7", 80, 3)};
    table.Connections[0].OwnerPid = 812;
    table.Missed = {Established(40002, "198.51.100.7", 443, 4),
                    Established(40003, "198.51.100.7", 80, 5)};
    table.RefuseCloses = true;
    Pass();  // refused closes are not told: nothing was closed
    table.RefuseCloses = false;
    Pass();
    const std::string remote = " -> 198.51.100.7:443 (remote port 443 blocked) by unknown";
    EXPECT_EQ(output.Drain(), "missed IPv4 192.0.2.5:40002" + remote +
                                  ": ended before it could be closed\n"
                                  "closed IPv4 192.0.2.5:50123 -> 198.51.100.7:443 (local port "
                                  "50123 blocked) by curl [812] user 1000\n"
                                  "closed IPv4 192.0.2.5:40000" +
                                  remote + "\n");
    EXPECT_EQ(records.ClosedCount(), 2u);
    EXPECT_EQ(records.MissedCount(), 1u);
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

// What the window keeps of closes for its tray: a storm told by its counts, in one notice, and
// only the latest closes. (One close told by its line is checked on the window's tray.)
TEST(CloseRecords, AStormIsToldByItsCountsOnceAndOnlyTheLatestAreKept) {
    List allowed, local, remote;
    (void)remote.AddItem(std::string("6000-6063"));
    const RuleSet rules(allowed, local, remote);
    CloseRecords records(3);
    const platform::ConnectionOwner curl{812, 1000, {'c', 'u', 'r', 'l'}};
    EXPECT_EQ(records.TakeNotice(), "");
    const auto add = [&](std::int32_t port, bool missed) {
        records.Add(Established(port, "198.51.100.7", 6002, std::uint64_t(port)),
                    Verdict::BlockedByRemotePort, rules,
                    missed ? platform::ConnectionOwner{} : curl, missed);
    };
    for (std::int32_t i = 0; i < 12; ++i) {
        add(50200 + i, false);
    }
    add(50300, true);
    EXPECT_EQ(records.TakeNotice(), "12 connections closed, 1 missed");
    EXPECT_EQ(records.TakeNotice(), "") << "told once";
    add(50301, true);
    add(50302, true);
    EXPECT_EQ(records.TakeNotice(), "2 blocked connections missed");

    EXPECT_EQ(records.ClosedCount(), 12u);
    EXPECT_EQ(records.MissedCount(), 3u);
    ASSERT_EQ(records.Recent().size(), 3u);
    EXPECT_EQ(records.Recent().front().Row.LocalPort, 50300);
    EXPECT_TRUE(records.Recent().front().Missed);
    EXPECT_TRUE(records.Recent().front().Line.starts_with("missed IPv4 192.0.2.5:50300 "));
}

}  // namespace
}  // namespace quarnel::testing
