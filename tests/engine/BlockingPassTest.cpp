#include "tests/engine/TestEngine.h"

namespace quarnel::testing {
namespace {

using platform::TcpRow;
using Rows = std::vector<TcpRow>;
using BlockingPass = EngineTest;

TEST_F(BlockingPass, RulesCloseOnlyEstablishedConnectionsTheyBlock) {
    // The allowed addresses, blocked local and remote ports; whether 50123 -> :443 closes.
    // Each case is saved over the verdicts of the one before: passed and allowed rows are
    // judged again. The lists hold each end's own ports; the address matches exactly.
    // clang-format off
    const std::tuple<const char*, const char*, const char*, bool> cases[] = {
        {"", "", "", false},      {"", "", "443", true},            {"", "50123", "", true},
        {"", "443", "50123", false},  {"198.51.100.7", "50123", "443", false},
        {"198.51.100.70,198.51.100", "", "443", true}};
    // clang-format on
    for (const auto& [allowed, localPorts, remotePorts, closed] : cases) {
        SetRules(allowed, localPorts, remotePorts);
        oManager.SaveChanges();
        table.Connections = {Established(50123, "198.51.100.7", 443, 1)};
        Pass();
        EXPECT_EQ(table.Connections.empty(), closed) << allowed << "|" << localPorts;
    }
    SetRules("", "50123", "443");
    for (std::int32_t state = 0; state <= 14; ++state) {
        table.Connections.push_back(Row(state, "192.0.2.5", 50123, "203.0.113.9", 443));
    }
    Pass();
    EXPECT_EQ(table.Closes.back().State, 5);
    EXPECT_EQ(table.Connections.size(), 14u);
}

TEST_F(BlockingPass, ARefusedCloseIsTriedAgainEveryPassWithOneEventStepEach) {
    SetRules("", "", "443");
    const TcpRow kept = Established(50000, "198.51.100.7", 80, 1);
    const TcpRow blocked = Established(50123, "198.51.100.7", 443, 2);
    table.Connections = {kept, blocked};
    table.RefuseCloses = true;
    Pass();
    Pass();  // the table looks unchanged, yet the close is due again
    EXPECT_EQ(table.Closes, (Rows{blocked, blocked}));
    EXPECT_EQ(eventSteps, 2);
    table.RefuseCloses = false;
    Pass();
    Pass();  // closed: nothing left to try
    EXPECT_EQ(table.Connections, Rows{kept});
    EXPECT_EQ(eventSteps, 3);
}

TEST_F(BlockingPass, ANewConnectionAtTheSameIndexInheritsNoVerdict) {
    SetRules("127.0.0.1", "", "443");
    // Joined without separators, the ports and state of both rows read "44350125".
    table.Connections = {Established(35012, "198.51.100.7", 44, 1),
                         Row(5, "127.0.0.1", 50123, "127.0.0.1", 443, 2)};
    Pass();
    const Rows successors = {Established(5012, "198.51.100.7", 443, 3),
                             Established(50123, "203.0.113.9", 443, 4)};
    table.Connections = successors;
    Pass();
    EXPECT_EQ(table.Closes, successors);
}

TEST_F(BlockingPass, TheCloseNamesTheJudgedConnectionEvenAfterTheTableShifted) {
    SetRules("", "", "443");
    const TcpRow leaving = Established(40000, "198.51.100.7", 80, 1);
    const TcpRow blocked = Established(50123, "198.51.100.7", 443, 2);
    const TcpRow innocent = Established(40001, "203.0.113.9", 22, 3);
    table.Connections = {leaving, blocked, innocent};
    // The first connection ends right after the read: the innocent one moves to index 1.
    table.AfterRead = [&] { table.Connections = {blocked, innocent}; };
    Pass();
    EXPECT_EQ(table.Connections, Rows{innocent});
    // A blocked connection gone before its close: nothing else is closed in its place.
    const TcpRow gone = Established(50124, "198.51.100.7", 443, 4);
    table.Connections = {leaving, gone, innocent};
    table.AfterRead = [&] { table.Connections = {leaving, innocent}; };
    Pass();
    EXPECT_EQ(table.Closes, (Rows{blocked, gone}));
    EXPECT_EQ(table.Connections, (Rows{leaving, innocent}));
}

TEST_F(BlockingPass, LinesAreCurrentAtEveryEventStepAndAnEditedRuleReachesEveryRow) {
    SetRules("", "", "443");
    const std::string web = "40000 <--> 198.51.100.7:80 ESTABLISHED";
    std::vector<Texts> seen;
    onEventStep = [&] {
        seen.push_back(Lines());
        if (seen.size() == 1) {  // the rows after this one are judged under the new rules
            SetRules("", "", "443,22,80");
            oManager.SaveChanges();
        }
    };
    table.Connections = {Established(40000, "198.51.100.7", 80, 1),
                         Established(50123, "198.51.100.7", 443, 2),
                         Established(40001, "203.0.113.9", 22, 3)};
    Pass();
    Pass();  // the row passed before the edit is judged again
    // A row the pass has not reached since the cache was emptied is not listed yet.
    EXPECT_EQ(seen, (std::vector<Texts>{{web, "50123 <--> 198.51.100.7:443 ESTABLISHED"},
                                        {"40001 <--> 203.0.113.9:22 ESTABLISHED"},
                                        {web}}));
    Pass();  // every row has vanished: so have the lines
    EXPECT_EQ(Lines(), Texts{});
}

TEST_F(BlockingPass, ThousandsOfNewRowsCostOneRebuild) {
    table.WholeReads = true;  // every pass walks the whole table
    for (int i = 0; i < 3000; ++i) {
        table.Connections.push_back(Established(10000 + i, "198.51.100.7", 80, i));
    }
    Pass();
    Pass();
    EXPECT_EQ(window.Rebuilds, 1);
    EXPECT_EQ(Lines().size(), 3000u);
}

}  // namespace
}  // namespace quarnel::testing
