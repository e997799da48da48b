// What the window keeps of closes: the latest for its list, the counts for its tray icon, and
// notifications that tell a storm in one.

#include "engine/CloseRecords.h"

#include "engine/ActionLog.h"

#include "tests/engine/TestEngine.h"

namespace quarnel::testing {
namespace {

struct Discarding : platform::LogOutput {
    std::size_t LongestLine() const override { return 4096; }
    bool TryWrite(std::string_view /*line*/) override { return true; }
};

TEST(CloseRecords, OneCloseIsToldByItsLineAStormByItsCountAndOnlyTheLatestAreKept) {
    List allowed, local, remote;
    (void)remote.AddItem(std::string("6000-6063"));
    const RuleSet rules(allowed, local, remote);
    CloseRecords records(3);
    records.NameUsersBy([](std::uint32_t uid) { return uid == 1000 ? "alice" : "?"; });
    const platform::ConnectionOwner curl{812, 1000, {'c', 'u', 'r', 'l'}};
    EXPECT_EQ(records.TakeNotice(), "");

    records.Add(Established(50123, "198.51.100.7", 6001, 1), Verdict::BlockedByRemotePort, rules,
                curl, false);
    EXPECT_EQ(records.TakeNotice(),
              "closed IPv4 192.0.2.5:50123 -> 198.51.100.7:6001 (remote port 6001 blocked, range "
              "6000-6063) by curl [812] user alice");
    EXPECT_EQ(records.TakeNotice(), "") << "told once";

    for (std::uint64_t i = 0; i < 12; ++i) {
        records.Add(Established(50200 + int(i), "198.51.100.7", 6002, 2 + i),
                    Verdict::BlockedByRemotePort, rules, curl, false);
    }
    records.Add(Established(50300, "198.51.100.7", 6003, 20), Verdict::BlockedByRemotePort, rules,
                {}, true);
    EXPECT_EQ(records.TakeNotice(), "12 connections closed, 1 missed");
    records.Add(Established(50301, "198.51.100.7", 6003, 21), Verdict::BlockedByRemotePort, rules,
                {}, true);
    records.Add(Established(50302, "198.51.100.7", 6003, 22), Verdict::BlockedByRemotePort, rules,
                {}, true);
    EXPECT_EQ(records.TakeNotice(), "2 blocked connections missed");

    EXPECT_EQ(records.ClosedCount(), 13u);
    EXPECT_EQ(records.MissedCount(), 3u);
    ASSERT_EQ(records.Recent().size(), 3u);
    EXPECT_EQ(records.Recent().front().Row.LocalPort, 50300);
    EXPECT_TRUE(records.Recent().back().Missed);
    EXPECT_EQ(records.Recent().back().Line,
              "missed IPv4 192.0.2.5:50302 -> 198.51.100.7:6003 (remote port 6003 blocked, range "
              "6000-6063) by unknown: ended before it could be closed");
}

// The engine hands each close and each miss to the records beside the log.
TEST_F(EngineTest, ClosesAndMissesReachTheRecordsWithTheirOwners) {
    Discarding output;
    ActionLog log(output);
    CloseRecords records;
    engine.LogTo(log, &records);
    SetRules(oManager, "", "", "443");
    table.Owners[812] = {812, 1000, {'c', 'u', 'r', 'l'}};
    table.Connections = {Established(50123, "198.51.100.7", 443, 1)};
    table.Connections[0].OwnerPid = 812;
    table.Missed = {Established(40002, "198.51.100.7", 443, 4)};
    Pass();
    ASSERT_EQ(records.Recent().size(), 2u);
    EXPECT_EQ(records.ClosedCount(), 1u);
    EXPECT_EQ(records.MissedCount(), 1u);
    const CloseRecord& closed = records.Recent()[records.Recent()[0].Missed ? 1 : 0];
    EXPECT_EQ(closed.Owner.Pid, 812u);
    EXPECT_EQ(closed.Why, Verdict::BlockedByRemotePort);
}

}  // namespace
}  // namespace quarnel::testing
