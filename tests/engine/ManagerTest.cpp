#include "tests/engine/TestEngine.h"

namespace quarnel {
namespace {

using testing::Established;
using testing::Row;
using Texts = std::vector<std::string>;

class ManagerViews : public testing::EngineTest {};

TEST_F(ManagerViews, EachModeShowsItsHeadingListAndEditingState) {
    SetRules("127.0.0.1,10.0.0.1", "445,139", "6667");
    hosts.Result.Addresses = {testing::Ip("192.0.2.5")};
    table.Connections = {Established(50123, "198.51.100.7", 443, 1)};
    Pass();
    const struct {
        std::int16_t mode;
        const char* heading;
        Texts lines;
        bool editing;
    } cases[] = {
        {0, "Current Connections", {"50123 <--> 198.51.100.7:443 ESTABLISHED"}, false},
        {1, "Local IP Addresses", {"192.0.2.5"}, false},
        {2, "Allowed IP Addresses", {"127.0.0.1", "10.0.0.1"}, true},
        {3, "Blocked Local Ports", {"445", "139"}, true},
        {4, "Blocked Remote Ports", {"6667"}, true},
        {5, "Blocked Remote Ports", {"6667"}, true},  // unknown: the view stays, editing on
        {-1, "Blocked Remote Ports", {"6667"}, true},
    };
    const int reads = table.Reads;
    for (const auto& c : cases) {
        oManager.SetCurrentMode(c.mode);
        EXPECT_EQ(oManager.CurrentMode, c.mode);
        EXPECT_EQ(window.Heading, c.heading);
        EXPECT_EQ(window.Lines, c.lines) << c.mode;
        EXPECT_EQ(window.EditingEnabled, c.editing) << c.mode;
    }
    oManager.SetCurrentMode(1);
    EXPECT_EQ(hosts.Calls, 2);      // gathered anew every time the view is shown
    EXPECT_EQ(table.Reads, reads);  // the connection view never reads the table itself
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
    const std::tuple<Value, Value, Texts> cases[] = {
        {std::int16_t{0}, std::int16_t{0}, {web, loop, half, waiting}},
        {std::int16_t{1}, std::int16_t{0}, {web, loop, half}},
        {std::int16_t{0}, std::int16_t{-1}, {web, half, waiting}},
        {std::string("1"), 0.5, {web, half}},
        {std::monostate{}, std::string("on"), {web, loop, half, waiting}},
    };
    for (const auto& [showOnlyConnected, hideLocal, lines] : cases) {
        window.ShowOnlyConnected = showOnlyConnected;
        window.HideLocal = hideLocal;
        oManager.RefreshCurrentConnections();
        EXPECT_EQ(Lines(), lines);
    }
}

TEST_F(ManagerViews, LinesAreBuiltBeforeAnyWindowExists) {
    oManager.oMainForm = nullptr;
    window.ShowOnlyConnected = std::int16_t{1};  // not consulted without a window
    table.Connections = {Row(2, "0.0.0.0", 135, "0.0.0.0", 0, 1)};
    oManager.RefreshCurrentConnections();
    oManager.SetCurrentMode(0);
    Pass();
    EXPECT_EQ(Lines(), Texts{"135 LISTENING"});
    oManager.oMainForm = &window;
    oManager.RefreshCurrentMode();
    EXPECT_EQ(window.Lines, Texts{"135 LISTENING"});
}

TEST(ToBoolean, AnyNonZeroNumberIsTrueAndAnythingElseFalse) {
    const std::pair<Value, bool> cases[] = {
        {std::int16_t{-1}, true},    {std::int16_t{0}, false},
        {std::uint8_t{1}, true},     {0.25, true},
        {std::string(" 1 "), true},  {std::string("0"), false},
        {std::string("yes"), false}, {std::monostate{}, false},
    };
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(ToBoolean(value), expected) << ValueText(value);
    }
}

}  // namespace
}  // namespace quarnel
