#include <gtest/gtest.h>

#include "tests/engine/EngineFixture.h"

namespace quarnel {
namespace {

using platform::TcpRow;
using testing::Address;
using testing::Established;
using testing::Row;

const std::uint32_t Web = Address(198, 51, 100, 7);
const std::uint32_t Other = Address(203, 0, 113, 9);
const std::uint32_t Loopback = Address(127, 0, 0, 1);

class BlockingPass : public testing::EngineTest {};

struct RuleCase {
    const char* what;
    const char* allowed;
    const char* localPorts;
    const char* remotePorts;
    TcpRow row;
    bool closed;
};

TEST_F(BlockingPass, RulesDecideWhichEstablishedConnectionsClose) {
    const RuleCase cases[] = {
        {"empty rules block nothing", "", "", "", Established(50123, Web, 443, 1), false},
        {"blocked remote port", "", "", "443", Established(50123, Web, 443, 1), true},
        {"blocked local port", "", "50123", "", Established(50123, Web, 443, 1), true},
        {"ports elsewhere on the lists", "", "443", "50123", Established(50123, Web, 443, 1),
         false},
        {"allowed address with both ports blocked", "198.51.100.7", "50123", "443",
         Established(50123, Web, 443, 1), false},
        {"the allowed match is exact text", "198.51.100.70,198.51.100", "", "443",
         Established(50123, Web, 443, 1), true},
        {"loopback is allowed by default", "127.0.0.1", "", "443",
         Row(5, Loopback, 50123, Loopback, 443, 1), false},
    };
    for (const RuleCase& c : cases) {
        SCOPED_TRACE(c.what);
        testing::FakeTcpTableSource table;
        testing::MapSettingsStore rules;
        rules.Values = {{"AllowedIPString", c.allowed},
                        {"BlockedLocalPortsString", c.localPorts},
                        {"BlockedRemotePortsString", c.remotePorts}};
        Engine fresh(table, hosts, rules);
        fresh.oManager.LoadSettings();
        table.Connections = {c.row};
        fresh.ProcessTcpTable(events);
        EXPECT_EQ(table.Connections.empty(), c.closed);
    }
}

TEST_F(BlockingPass, OnlyEstablishedRowsAreJudged) {
    SetRules("", "80", "443");
    for (std::int32_t state = 0; state <= 14; ++state) {
        if (state != 5) {
            source.Connections.push_back(Row(state, Address(192, 0, 2, 5), 80, Web, 443, state));
        }
    }
    source.Connections.push_back(Row(2, 0, 80, 0, 0, 99));  // a listener on a blocked port
    for (int pass = 0; pass < 3; ++pass) {
        Pass();
    }
    EXPECT_TRUE(source.Closes.empty());
    EXPECT_EQ(eventSteps, 0);
}

TEST_F(BlockingPass, RefusedCloseIsRetriedEveryPassWithOneEventStepEach) {
    SetRules("", "", "443");
    const TcpRow blocked = Established(50123, Web, 443, 7);
    source.Connections = {Established(50000, Web, 80, 6), blocked, Established(50124, Web, 443, 8)};
    source.RefuseCloses = true;
    Pass();
    Pass();
    EXPECT_EQ(source.Closes.size(), 4u);
    EXPECT_EQ(eventSteps, 4);
    EXPECT_EQ(source.Closes[0], blocked);
    EXPECT_EQ(source.Closes[2], blocked);

    source.RefuseCloses = false;
    Pass();
    Pass();
    EXPECT_EQ(source.Connections, std::vector<TcpRow>{Established(50000, Web, 80, 6)});
    EXPECT_EQ(source.Closes.size(), 6u);
}

TEST_F(BlockingPass, SaveChangesRejudgesRowsAlreadyPassedOrAllowed) {
    SetRules("198.51.100.7", "", "");
    source.Connections = {Established(50123, Web, 443, 1), Established(50124, Other, 443, 2)};
    Pass();
    ASSERT_TRUE(source.Closes.empty());

    // A rule edited without SaveChanges leaves the verdicts standing.
    (void)oManager.oBlockedRemotePorts.AddItem(std::int32_t{443});
    (void)oManager.oAllowedIP.DeleteItem(0);
    Pass();
    EXPECT_TRUE(source.Closes.empty());

    oManager.SaveChanges();
    Pass();
    EXPECT_TRUE(source.Connections.empty());
}

struct SuccessorCase {
    const char* what;
    TcpRow before;
    TcpRow after;
};

TEST_F(BlockingPass, ANewConnectionAtTheSameIndexInheritsNoVerdict) {
    const SuccessorCase cases[] = {
        // Joined without separators both keys read "44350125".
        {"ports whose digits run together", Established(35012, Web, 44, 1),
         Established(5012, Web, 443, 2)},
        {"same ports and state, another address", Established(50123, Loopback, 443, 1),
         Established(50123, Other, 443, 2)},
    };
    for (const SuccessorCase& c : cases) {
        SCOPED_TRACE(c.what);
        SetRules("127.0.0.1", "", "443");
        ClearConnectionCache(engine.Cache);
        source.Closes.clear();
        source.Connections = {Established(40000, Web, 80, 9), c.before};
        Pass();
        ASSERT_TRUE(source.Closes.empty());
        source.Connections = {Established(40000, Web, 80, 9), c.after};
        Pass();
        EXPECT_EQ(source.Closes, std::vector<TcpRow>{c.after});
    }
}

TEST_F(BlockingPass, CloseNamesTheJudgedConnectionEvenWhenTheTableShifted) {
    SetRules("", "", "443");
    const TcpRow leaving = Established(40000, Web, 80, 1);
    const TcpRow blocked = Established(50123, Web, 443, 2);
    const TcpRow innocent = Established(40001, Other, 22, 3);
    source.Connections = {leaving, blocked, innocent};
    // The first connection ends between the read and the close: the blocked one moves to
    // index 0 and the innocent one to index 1, the index the pass judged.
    source.AfterRead = [&] { source.Connections = {blocked, innocent}; };
    Pass();
    EXPECT_EQ(source.Closes, std::vector<TcpRow>{blocked});
    EXPECT_EQ(source.Connections, std::vector<TcpRow>{innocent});

    // Gone before the close: nothing else is closed.
    const TcpRow second = Established(50124, Web, 443, 4);
    source.AfterRead = [&] { source.Connections = {innocent}; };
    source.Connections = {leaving, second, innocent};
    source.Closes.clear();
    Pass();
    EXPECT_EQ(source.Closes, std::vector<TcpRow>{second});
    EXPECT_EQ(source.Connections, std::vector<TcpRow>{innocent});
    EXPECT_EQ(eventSteps, 2);
}

TEST_F(BlockingPass, LinesFollowTheRowsIncludingVanishedOnesAndFailedReads) {
    source.Connections = {Established(40000, Web, 80, 1), Established(40001, Web, 81, 2),
                          Established(40002, Web, 82, 3)};
    Pass();
    EXPECT_EQ(Lines().size(), 3u);

    source.Connections.pop_back();  // vanishes from the end: no other row changes
    Pass();
    EXPECT_EQ(Lines(), (std::vector<std::string>{"40000 <--> 198.51.100.7:80 ESTABLISHED",
                                                 "40001 <--> 198.51.100.7:81 ESTABLISHED"}));

    source.FailReads = true;  // the previous rows stay
    Pass();
    EXPECT_EQ(Lines().size(), 2u);
}

TEST_F(BlockingPass, LinesAreCurrentAtEveryEventStepOfAPass) {
    SetRules("", "", "443");
    std::vector<std::vector<std::string>> seen;
    onEventStep = [&] { seen.push_back(Lines()); };
    source.Connections = {Established(40000, Web, 80, 1), Established(50123, Web, 443, 2),
                          Established(40001, Other, 22, 3), Established(50124, Other, 443, 4)};
    Pass();
    // Rows that the pass has not reached since the cache was empty are not listed yet.
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], (std::vector<std::string>{"40000 <--> 198.51.100.7:80 ESTABLISHED",
                                                 "50123 <--> 198.51.100.7:443 ESTABLISHED"}));
    EXPECT_EQ(seen[1].size(), 4u);
    EXPECT_EQ(Lines().size(), 4u);
}

TEST_F(BlockingPass, EventStepThatEditsTheRulesMidPassIsObeyedAtOnce) {
    SetRules("", "", "443");
    // The window blocks port 22 while the pass is busy with the first teardown.
    onEventStep = [&] {
        if (oManager.oBlockedRemotePorts.GetItemCount() == 1) {
            (void)oManager.oBlockedRemotePorts.AddItem(std::int32_t{22});
            oManager.SaveChanges();
        }
    };
    const TcpRow ssh = Established(40001, Other, 22, 3);
    source.Connections = {Established(40000, Web, 80, 1), Established(50123, Web, 443, 2), ssh};
    Pass();
    EXPECT_EQ(source.Connections, std::vector<TcpRow>{Established(40000, Web, 80, 1)});
    EXPECT_EQ(eventSteps, 2);
    Pass();  // rows skipped by the clear get their entries back
    EXPECT_EQ(Lines(), std::vector<std::string>{"40000 <--> 198.51.100.7:80 ESTABLISHED"});

    // Clearing during the last row's event step leaves nothing half done either.
    onEventStep = [&] { oManager.SaveChanges(); };
    source.Connections.push_back(Established(50125, Other, 443, 5));
    Pass();
    Pass();
    EXPECT_EQ(Lines(), std::vector<std::string>{"40000 <--> 198.51.100.7:80 ESTABLISHED"});
}

TEST_F(BlockingPass, ThousandsOfNewRowsCostOneRebuild) {
    for (int i = 0; i < 3000; ++i) {
        source.Connections.push_back(Established(10000 + i, Web, 80, i));
    }
    Pass();
    EXPECT_EQ(window.CheckBoxReads, 1);
    EXPECT_EQ(Lines().size(), 3000u);

    Pass();  // nothing changed: no rebuild
    EXPECT_EQ(window.CheckBoxReads, 1);

    oManager.SaveChanges();
    Pass();
    EXPECT_EQ(window.CheckBoxReads, 2);
}

}  // namespace
}  // namespace quarnel
