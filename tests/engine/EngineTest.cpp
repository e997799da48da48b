#include <algorithm>

#include "engine/Settings.h"
#include "tests/engine/TestEngine.h"

namespace quarnel::testing {
namespace {

using platform::TcpRow;
using platform::TcpState;
using Rows = std::vector<TcpRow>;
using BlockingPass = EngineTest;
using ManagerViews = EngineTest;

// A connection is closed while it can still carry data, also half closed (a client that shuts
// down its side right after its request is past established before any pass sees it). One
// whose close succeeds yet stays, as the kernel leaves a socket its process let go, is closed
// again only while it is established.
TEST_F(BlockingPass, ConnectionsThatCanStillCarryDataAreClosedHalfClosedOnesOnce) {
    SetRules(oManager, "127.0.0.1", "", "443");
    const auto at = [](TcpState state, std::uint64_t cookie) {
        return Row(state, "192.0.2.5", 50123, "198.51.100.7", 443, cookie);
    };
    const Rows carrying = {at(TcpState::Established, 1), at(TcpState::FinWait1, 2),
                           at(TcpState::FinWait2, 3),    at(TcpState::CloseWait, 4),
                           at(TcpState::Closing, 5),     at(TcpState::LastAck, 6)};
    const Rows finished = {at(TcpState::SynSent, 7), at(TcpState::SynReceived, 8),
                           at(TcpState::TimeWait, 9), at(TcpState::Listening, 10)};
    table.Connections = carrying;
    table.Connections.insert(table.Connections.end(), finished.begin(), finished.end());
    Pass();
    EXPECT_EQ(table.Closes, carrying);
    EXPECT_EQ(table.Connections, finished);

    table.Linger = true;
    table.Closes.clear();
    table.Connections = {at(TcpState::FinWait1, 15), at(TcpState::Established, 16)};
    Pass();
    Pass();
    EXPECT_EQ(table.Closes, (Rows{at(TcpState::FinWait1, 15), at(TcpState::Established, 16),
                                  at(TcpState::Established, 16)}));
}

TEST_F(BlockingPass, LinesAreCurrentWhenLookedAtAndAnEditedRuleReachesEveryRow) {
    // Each close names the judged connection: after the first, the table has shifted and an
    // innocent one stands at the next blocked one's index.
    SetRules(oManager, "", "", "443");
    const std::string web = "40000 <--> 198.51.100.7:80 ESTABLISHED";
    std::vector<Texts> seen;
    onEventStep = [&] {
        seen.push_back(Lines());
        if (seen.size() == 1) {  // the rows after this one are judged under the new rules
            SetRules(oManager, "", "", "443,22,80");
            oManager.SaveChanges();
        }
    };
    table.Connections = {
        Established(40000, "198.51.100.7", 80, 1), Established(50123, "198.51.100.7", 443, 2),
        Established(40001, "203.0.113.9", 22, 3), Established(40002, "203.0.113.9", 8080, 4)};
    Pass();
    Pass();  // the row passed before the edit is judged again
    // A row the pass has not reached since the cache was emptied is not listed yet.
    EXPECT_EQ(seen, (std::vector<Texts>{{web, "50123 <--> 198.51.100.7:443 ESTABLISHED"},
                                        {"40001 <--> 203.0.113.9:22 ESTABLISHED"},
                                        {web}}));
    // Also when the table stays as it was (the closed socket lingers): the next pass judges
    // again the row this one had passed before the edit.
    const TcpRow mail = Established(40003, "203.0.113.9", 25, 5);
    table.Linger = true;
    table.Connections = {mail, Established(40004, "203.0.113.9", 22, 6)};
    onEventStep = [&] {
        SetRules(oManager, "", "", "22,25");
        oManager.SaveChanges();
    };
    Pass();
    table.Closes.clear();
    Pass();
    EXPECT_EQ(std::ranges::count(table.Closes, mail), 1);
}

// Rows of both versions and of every state as the connection view lists them, the machine's
// addresses, and the check boxes' filters, set when they hold a non-zero number.
TEST_F(ManagerViews, EachViewShowsItsLinesAndTheCheckBoxesFilterThoseOfEveryRow) {
    SetRules(oManager, "127.0.0.1,0:0:0:0:0:0:0:1,2001:db8::7", "", "");
    hosts.Result.Addresses = {Ip("192.0.2.5"), Ip("198.51.100.20"), Ip("192.0.2.5")};
    hosts.Result.IPv6Addresses = {Address("2001:db8::5"), Address("::1")};
    table.Connections = {
        Row(TcpState::Established, "192.0.2.5", 50123, "198.51.100.7", 443, 1),
        Row(TcpState::Established, "127.0.0.1", 1025, "127.0.0.1", 1026, 2),
        // Only the local end is loopback.
        Row(TcpState::Established, "127.0.0.1", 1027, "198.51.100.7", 80, 3),
        // A state without a name.
        Row(static_cast<TcpState>(14), "192.0.2.5", 139, "0.0.0.0", 0, 6),
        Row(TcpState::Established, "192.0.2.5", 0, "198.51.100.7", 443, 8),  // never listed
        Row(TcpState::Established, "2001:db8::5", 50124, "2001:db8::7", 6667, 9),
        Row(TcpState::Established, "::1", 1028, "::1", 6667, 10),
        Row(TcpState::Listening, "2001:db8::5", 139, "::", 0, 12),
        Row(TcpState::Established, "::ffff:192.0.2.5", 50125, "::ffff:198.51.100.7", 80, 14),
    };
    // The lines are built before any window exists, without asking its check boxes.
    oManager.oMainForm = nullptr;
    window.ShowOnlyConnected = std::int16_t{1};
    Pass();
    oManager.RefreshCurrentConnectionsIfStale();
    oManager.oMainForm = &window;
    const std::string web = "50123 <--> 198.51.100.7:443 ESTABLISHED",
                      half = "1027 <--> 198.51.100.7:80 ESTABLISHED",
                      v6 = "50124 <--> [2001:db8::7]:6667 ESTABLISHED",
                      mapped = "50125 <--> 198.51.100.7:80 ESTABLISHED",
                      loop = "1025 <--> 127.0.0.1:1026 ESTABLISHED", unnamed = "139 :192.0.2.5 ",
                      loop6 = "1028 <--> [::1]:6667 ESTABLISHED",
                      listening = "139 :[2001:db8::5] LISTENING";
    const Texts all = {web, loop, half, unnamed, v6, loop6, listening, mapped};
    const Texts local = {"192.0.2.5", "198.51.100.20", "192.0.2.5", "2001:db8::5", "::1"};
    // The machine's IPv6 addresses follow its IPv4 ones; an unknown view leaves the last one.
    for (const auto& [mode, lines] : {std::pair{0, all}, {1, local}, {5, local}}) {
        oManager.SetCurrentMode(static_cast<std::int16_t>(mode));
        EXPECT_EQ(window.Lines, lines) << mode;
    }
    window.ShowOnlyConnected = std::string(" 1 ");
    window.HideLocal = 0.5;
    oManager.RefreshCurrentConnections();
    EXPECT_EQ(Lines(), (Texts{web, half, v6, mapped}));
    // Local addresses join the allowed ones once, and protect at once.
    oManager.AddLocalIPSToAllowed();
    EXPECT_EQ(ItemTexts(oManager.oAllowedIP),
              (Texts{"127.0.0.1", "0:0:0:0:0:0:0:1", "2001:db8::7", "192.0.2.5", "198.51.100.20",
                     "2001:db8::5", "::1"}));
    EXPECT_EQ(oManager.Rules().Judge(Row(TcpState::Established, "::1", 1, "2001:db8::5", 443)),
              Verdict::Allowed);
}

TEST_F(EngineTest, SettingsLoadInOrderAndAFailedSaveIsToldOncePerRunOfFailures) {
    // Stored values, what loads from them (the default only when the key is missing) and what
    // the user is told about entries left out: every one the entry box would refuse, a port out
    // of range as much as a word. Ranges and addresses load in their one form.
    const Texts ports = {"6000-6063", "22", "6000", "22"};
    const std::string kept =
        " The stored lists as they were are kept in "
        "/home/user/.config/Quarnel/Quarnel.ini.not-understood.";
    const std::map<std::string, std::string> bad = {
        {AllowedIPKey, "10.20.0.0/16,,2001:db8::/32,abc,010.1.0.0/16,10.20.1.2/16"},
        {BlockedLocalPortsKey, "6000-6063, 22 ,6000-6000,0,70000,10-5,22.4"},
        {BlockedRemotePortsKey, "http"}};
    const std::tuple<std::map<std::string, std::string>, Texts, Texts, std::string> cases[] = {
        {{}, {"127.0.0.1", "::1"}, {}, ""},
        {{{AllowedIPKey, ""}, {BlockedLocalPortsKey, ",80,,443,"}}, {}, {"80", "443"}, ""},
        {bad,
         {"10.20.0.0/16", "2001:db8::/32", "10.1.0.0/16"},
         ports,
         "These stored entries are not valid and were left out: \"0\" (blocked local ports), "
         "\"70000\" (blocked local ports), \"10-5\" (blocked local ports), \"http\" (blocked "
         "remote ports), \"abc\" (allowed IP addresses), \"10.20.1.2/16\" (allowed IP "
         "addresses)." +
             kept},
    };
    for (const auto& [values, allowed, local, told] : cases) {
        store.Values = values;
        EXPECT_EQ(oManager.LoadSettings(), told);
        EXPECT_EQ(ItemTexts(oManager.oAllowedIP), allowed);
        EXPECT_EQ(ItemTexts(oManager.oBlockedLocalPorts), local);
    }
    // The stored text was copied before any save could drop what was left out, once.
    EXPECT_EQ(store.Kept, (std::vector<std::map<std::string, std::string>>{bad}));
    store.Copyable = false;
    EXPECT_NE(oManager.LoadSettings().find("No copy of the stored lists could be kept"),
              std::string::npos);
    // Told once while saves fail, again after one worked; the lists stay in memory throughout.
    for (const bool writable : {false, false, true, false}) {
        store.Writable = writable;
        EXPECT_EQ(oManager.SaveSettings(), writable);
    }
    EXPECT_EQ(window.Messages, Texts(2, SaveFailedText(store.Location())));
    EXPECT_EQ(ItemTexts(oManager.oBlockedLocalPorts), ports);

    // Rules that could not be read are told at load; that they are not saved is no news later.
    store.Found = {StoreCondition::Kind::Unreadable, "Permission denied"};
    EXPECT_NE(oManager.LoadSettings(), "");
    EXPECT_FALSE(oManager.SaveSettings());
    EXPECT_EQ(window.Messages.size(), 2u);
}

}  // namespace
}  // namespace quarnel::testing
