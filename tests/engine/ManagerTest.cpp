#include "engine/Settings.h"
#include "tests/engine/TestEngine.h"

namespace quarnel::testing {
namespace {

TEST(DisplayLine, ShowsEachKindOfRow) {
    // clang-format off
    const std::pair<platform::TcpRow, const char*> cases[] = {
        {Row(5, "192.0.2.5", 50123, "198.51.100.7", 443),
         "50123 <--> 198.51.100.7:443 ESTABLISHED"},
        {Row(2, "192.0.2.5", 139, "0.0.0.0", 0), "139 :192.0.2.5 LISTENING"},
        {Row(2, "0.0.0.0", 135, "0.0.0.0", 0), "135 LISTENING"},
        {Row(11, "0.0.0.0", 65535, "255.0.10.200", 0), "65535 TIME_WAIT"},
        {Row(0, "0.0.0.0", 80, "0.0.0.0", 0), "80 UNKNOWN"},
        {Row(13, "192.0.2.5", 80, "0.0.0.0", 0), "80 :192.0.2.5 "},  // an empty name
        {Row(14, "192.0.2.5", 80, "0.0.0.0", 0), "80 :192.0.2.5 "},  // no name at all
        {Row(-1, "0.0.0.0", 80, "0.0.0.0", 0), "80 "}};
    // clang-format on
    for (const auto& [row, expected] : cases) {
        EXPECT_EQ(DisplayLine(row, RemoteAddressText(row)), expected);
    }
    // Where the system gives no text for an address, the line says so.
    EXPECT_EQ(
        GetIPString(Ip("1.2.3.4"), [](std::uint32_t) -> std::optional<std::string> { return {}; }),
        "Unable to get IP");
}

using ManagerViews = EngineTest;

TEST_F(ManagerViews, EachModeShowsItsHeadingListAndEditingStateAndLocalAddressesJoinAllowed) {
    SetRules("127.0.0.1,10.0.0.1", "445,139", "6667");
    hosts.Result.Addresses = {Ip("192.0.2.5"), Ip("198.51.100.20"), Ip("192.0.2.5")};
    table.Connections = {Established(50123, "198.51.100.7", 443, 1),
                         Row(2, "0.0.0.0", 135, "0.0.0.0", 0, 2)};
    // The lines are built before any window exists, without asking its check boxes.
    oManager.oMainForm = nullptr;
    window.ShowOnlyConnected = std::int16_t{1};
    Pass();
    oManager.oMainForm = &window;
    const Texts connections = {"50123 <--> 198.51.100.7:443 ESTABLISHED", "135 LISTENING"};
    const std::tuple<std::int16_t, const char*, Texts, bool> cases[] = {
        {0, "Current Connections", connections, false},
        {1, "Local IP Addresses", {"192.0.2.5", "198.51.100.20", "192.0.2.5"}, false},
        {2, "Allowed IP Addresses", {"127.0.0.1", "10.0.0.1"}, true},
        {3, "Blocked Local Ports", {"445", "139"}, true},
        {4, "Blocked Remote Ports", {"6667"}, true},
        {5, "Blocked Remote Ports", {"6667"}, true},  // unknown: the view stays, editing on
    };
    for (const auto& [mode, heading, lines, editing] : cases) {
        oManager.SetCurrentMode(mode);
        EXPECT_EQ(window.Heading, heading);
        EXPECT_EQ(window.Lines, lines) << mode;
        EXPECT_EQ(window.EditingEnabled, editing) << mode;
    }
    // Local addresses join the allowed ones once, neither saved nor forgetting any verdict.
    oManager.AddLocalIPSToAllowed();
    EXPECT_EQ(ItemTexts(oManager.oAllowedIP),
              (Texts{"127.0.0.1", "10.0.0.1", "192.0.2.5", "198.51.100.20"}));
    EXPECT_TRUE(store.Values.empty());
    EXPECT_EQ(engine.Cache.Entries.at(0).IsPassed, FlagTrue);
}

TEST_F(ManagerViews, CheckBoxesFilterTheConnectionLines) {
    table.Connections = {
        Row(5, "192.0.2.5", 50123, "198.51.100.7", 443, 1),
        Row(5, "127.0.0.1", 1025, "127.0.0.1", 1026, 2),
        Row(5, "127.0.0.1", 1027, "198.51.100.7", 80, 3),  // only the local end is loopback
        Row(11, "0.0.0.0", 135, "0.0.0.0", 0, 4),
        Row(5, "192.0.2.5", 0, "198.51.100.7", 443, 5),  // no local port: never listed
    };
    Pass();
    const std::string web = "50123 <--> 198.51.100.7:443 ESTABLISHED",
                      loop = "1025 <--> 127.0.0.1:1026 ESTABLISHED",
                      half = "1027 <--> 198.51.100.7:80 ESTABLISHED", waiting = "135 TIME_WAIT";
    // Show only connected, hide local: set when they hold a non-zero number.
    const std::tuple<Value, Value, Texts> cases[] = {
        {std::int16_t{0}, std::int16_t{0}, {web, loop, half, waiting}},
        {std::int16_t{1}, std::int16_t{0}, {web, loop, half}},
        {std::int16_t{0}, std::int16_t{-1}, {web, half, waiting}},
        {std::string(" 1 "), 0.5, {web, half}},
        {std::monostate{}, std::string("on"), {web, loop, half, waiting}},
    };
    for (const auto& [showOnlyConnected, hideLocal, lines] : cases) {
        window.ShowOnlyConnected = showOnlyConnected;
        window.HideLocal = hideLocal;
        oManager.RefreshCurrentConnections();
        EXPECT_EQ(Lines(), lines);
    }
}

using Settings = EngineTest;

TEST_F(Settings, LoadInOrderWithoutEmptyOrBadPiecesAndAFailedSaveIsToldOnce) {
    EXPECT_EQ(ItemTexts(oManager.oAllowedIP), Texts{"127.0.0.1"});  // a first run
    EXPECT_EQ(
        oManager.oBlockedLocalPorts.GetItemCount() + oManager.oBlockedRemotePorts.GetItemCount(),
        0);
    store.Values = {{BlockedLocalPortsKey, " 80 , 443"},
                    {BlockedRemotePortsKey, ",80,,abc,443,80,"},
                    {AllowedIPKey, ""}};  // stays empty
    oManager.LoadSettings();
    store.Values.clear();
    oManager.SaveSettings();
    EXPECT_EQ(store.Values,
              (std::map<std::string, std::string>{{BlockedLocalPortsKey, "80,443"},
                                                  {BlockedRemotePortsKey, "80,443,80"},
                                                  {AllowedIPKey, ""}}));
    // Where the store cannot be written, the user is told once and the rules apply all the same.
    table.Connections = {Established(50123, "198.51.100.7", 8080, 1)};
    Pass();
    store.FailWrites = true;
    (void)oManager.oBlockedRemotePorts.AddItem(std::int32_t{8080});
    oManager.SaveChanges();
    oManager.SaveChanges();
    EXPECT_EQ(window.Messages, Texts{SaveFailedText(store.Location())});
    Pass();
    EXPECT_TRUE(table.Connections.empty());
}

}  // namespace
}  // namespace quarnel::testing
