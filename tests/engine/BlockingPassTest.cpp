#include "tests/engine/TestEngine.h"

namespace quarnel {
namespace {

using platform::TcpRow;
using Rows = std::vector<TcpRow>;
using testing::Established;
using testing::Row;

// Every case runs against a table read whole each pass and against one that tells when
// nothing changed, which the pass may skip: both must judge and close alike.
class BlockingPass : public testing::EngineTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        table.KnowsChanges = GetParam();
    }
};
INSTANTIATE_TEST_SUITE_P(WholeAndUnchangedReads, BlockingPass, ::testing::Bool());

TEST_P(BlockingPass, RulesDecideWhichEstablishedConnectionsClose) {
    struct {
        const char *allowed, *localPorts, *remotePorts;
        TcpRow row;
        bool closed;
    } const cases[] = {
        {"", "", "", Established(50123, "198.51.100.7", 443, 1), false},  // empty rules
        {"", "", "443", Established(50123, "198.51.100.7", 443, 1), true},
        {"", "50123", "", Established(50123, "198.51.100.7", 443, 1), true},
        {"", "443", "50123", Established(50123, "198.51.100.7", 443, 1), false},
        {"198.51.100.7", "50123", "443", Established(50123, "198.51.100.7", 443, 1), false},
        {"198.51.100.70,198.51.100", "", "443", Established(50123, "198.51.100.7", 443, 1), true},
        {"127.0.0.1", "", "443", Row(5, "127.0.0.1", 50123, "127.0.0.1", 443, 1), false},
    };
    for (const auto& c : cases) {
        SetRules(c.allowed, c.localPorts, c.remotePorts);
        ClearConnectionCache(engine.Cache);
        table.Connections = {c.row};
        Pass();
        EXPECT_EQ(table.Connections.empty(), c.closed) << c.allowed << "|" << c.localPorts;
    }
}

TEST_P(BlockingPass, OnlyEstablishedRowsAreJudged) {
    SetRules("", "80", "443");
    for (std::int32_t state = 0; state <= 14; ++state) {
        if (state != 5) {
            table.Connections.push_back(Row(state, "192.0.2.5", 80, "198.51.100.7", 443, 0));
        }
    }
    Pass();
    Pass();
    EXPECT_TRUE(table.Closes.empty());
}

TEST_P(BlockingPass, ARefusedCloseIsTriedAgainEveryPassWithOneEventStepEach) {
    SetRules("", "", "443");
    const TcpRow kept = Established(50000, "198.51.100.7", 80, 1);
    const TcpRow blocked = Established(50123, "198.51.100.7", 443, 2);
    table.Connections = {kept, blocked};
    table.RefuseCloses = true;
    Pass();
    Pass();
    EXPECT_EQ(table.Closes, (Rows{blocked, blocked}));
    EXPECT_EQ(eventSteps, 2);
    EXPECT_TRUE(engine.PassDue());
    table.RefuseCloses = false;
    Pass();
    Pass();
    EXPECT_EQ(table.Connections, Rows{kept});
    EXPECT_EQ(eventSteps, 3);
    EXPECT_FALSE(engine.PassDue());
}

TEST_P(BlockingPass, ARuleEditedBesideARefusedCloseReachesEarlierRowsOnTheNextPass) {
    SetRules("", "", "443");
    const TcpRow web = Established(40000, "198.51.100.7", 80, 1);
    const TcpRow blocked = Established(50123, "198.51.100.7", 443, 2);
    table.Connections = {web, blocked};
    table.RefuseCloses = true;  // so the table stays as it was
    onEventStep = [&] {
        (void)oManager.oBlockedRemotePorts.AddItem(std::int32_t{80});
        oManager.SaveChanges();
        onEventStep = [] {};
    };
    Pass();
    Pass();
    EXPECT_EQ(table.Closes, (Rows{blocked, web, blocked}));
}

TEST_P(BlockingPass, SaveChangesRejudgesRowsAlreadyPassedOrAllowed) {
    SetRules("198.51.100.7", "", "");
    table.Connections = {Established(50123, "198.51.100.7", 443, 1),
                         Established(50124, "203.0.113.9", 443, 2)};
    Pass();
    SetRules("", "", "443");
    Pass();  // the verdicts stand until the rules are saved
    EXPECT_TRUE(table.Closes.empty());
    oManager.SaveChanges();
    Pass();
    EXPECT_TRUE(table.Connections.empty());
}

TEST_P(BlockingPass, ANewConnectionAtTheSameIndexInheritsNoVerdict) {
    SetRules("127.0.0.1", "", "443");
    // Joined without separators, the ports and state of both rows read "44350125".
    const TcpRow passed = Established(35012, "198.51.100.7", 44, 1);
    const TcpRow allowed = Row(5, "127.0.0.1", 50123, "127.0.0.1", 443, 2);
    table.Connections = {passed, allowed};
    Pass();
    const Rows successors = {Established(5012, "198.51.100.7", 443, 3),
                             Established(50123, "203.0.113.9", 443, 4)};
    table.Connections = successors;
    Pass();
    EXPECT_EQ(table.Closes, successors);
}

TEST_P(BlockingPass, TheCloseNamesTheJudgedConnectionEvenAfterTheTableShifted) {
    SetRules("", "", "443");
    const TcpRow leaving = Established(40000, "198.51.100.7", 80, 1);
    const TcpRow blocked = Established(50123, "198.51.100.7", 443, 2);
    const TcpRow innocent = Established(40001, "203.0.113.9", 22, 3);
    table.Connections = {leaving, blocked, innocent};
    // The first connection ends right after the read: the innocent one moves to index 1.
    table.AfterRead = [&] { table.Connections = {blocked, innocent}; };
    Pass();
    EXPECT_EQ(table.Connections, Rows{innocent});

    const TcpRow gone = Established(50124, "198.51.100.7", 443, 4);
    table.Connections = {leaving, gone, innocent};
    table.AfterRead = [&] { table.Connections = {leaving, innocent}; };
    Pass();
    EXPECT_EQ(table.Closes, (Rows{blocked, gone}));
    EXPECT_EQ(table.Connections, (Rows{leaving, innocent}));
    EXPECT_EQ(eventSteps, 2);
}

TEST_P(BlockingPass, VanishedRowsLeaveTheLinesAndAFailedReadKeepsThem) {
    table.Connections = {Established(40000, "198.51.100.7", 80, 1),
                         Established(40001, "198.51.100.7", 81, 2)};
    Pass();
    table.Connections.pop_back();  // no remaining row changes
    Pass();
    EXPECT_EQ(Lines(), std::vector<std::string>{"40000 <--> 198.51.100.7:80 ESTABLISHED"});
    table.FailReads = true;
    Pass();
    EXPECT_EQ(Lines().size(), 1u);
}

TEST_P(BlockingPass, LinesAreCurrentAtEveryEventStepEvenWhenItEditsTheRules) {
    SetRules("", "", "443");
    std::vector<std::vector<std::string>> seen;
    onEventStep = [&] {
        seen.push_back(Lines());
        (void)oManager.oBlockedRemotePorts.AddItem(std::int32_t{22});
        oManager.SaveChanges();  // the rows after this one are judged under the new rule
    };
    table.Connections = {Established(40000, "198.51.100.7", 80, 1),
                         Established(50123, "198.51.100.7", 443, 2),
                         Established(40001, "203.0.113.9", 22, 3)};
    Pass();
    // A row the pass has not reached since the cache was emptied is not listed yet.
    EXPECT_EQ(seen.at(0), (std::vector<std::string>{"40000 <--> 198.51.100.7:80 ESTABLISHED",
                                                    "50123 <--> 198.51.100.7:443 ESTABLISHED"}));
    EXPECT_EQ(seen.at(1), std::vector<std::string>{"40001 <--> 203.0.113.9:22 ESTABLISHED"});
    EXPECT_EQ(table.Connections.size(), 1u);
    Pass();
    EXPECT_EQ(Lines(), std::vector<std::string>{"40000 <--> 198.51.100.7:80 ESTABLISHED"});
}

TEST_P(BlockingPass, ThousandsOfNewRowsCostOneRebuild) {
    for (int i = 0; i < 3000; ++i) {
        table.Connections.push_back(Established(10000 + i, "198.51.100.7", 80, i));
    }
    Pass();
    Pass();  // nothing changed: no rebuild
    EXPECT_EQ(window.Rebuilds, 1);
    EXPECT_EQ(Lines().size(), 3000u);
    oManager.SaveChanges();
    Pass();
    EXPECT_EQ(window.Rebuilds, 2);
}

}  // namespace
}  // namespace quarnel
