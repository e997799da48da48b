#include <gtest/gtest.h>

#include "tests/engine/EngineFixture.h"

namespace quarnel {
namespace {

using testing::Address;
using testing::Established;
using testing::Row;

const std::uint32_t Web = Address(198, 51, 100, 7);
const std::uint32_t Loopback = Address(127, 0, 0, 1);

class ManagerModes : public testing::EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        SetRules("127.0.0.1,10.0.0.1", "445,139", "6667");
        hosts.Result.Addresses = {Address(192, 0, 2, 5)};
        source.Connections = {Established(50123, Web, 443, 1)};
        Pass();
    }
};

struct ModeCase {
    std::int16_t mode;
    const char* heading;
    std::vector<std::string> lines;
    bool editing;
};

TEST_F(ManagerModes, EachModeShowsItsHeadingListAndEditingState) {
    const ModeCase cases[] = {
        {0, "Current Connections", {"50123 <--> 198.51.100.7:443 ESTABLISHED"}, false},
        {1, "Local IP Addresses", {"192.0.2.5"}, false},
        {2, "Allowed IP Addresses", {"127.0.0.1", "10.0.0.1"}, true},
        {3, "Blocked Local Ports", {"445", "139"}, true},
        {4, "Blocked Remote Ports", {"6667"}, true},
    };
    for (const ModeCase& c : cases) {
        SCOPED_TRACE(c.heading);
        oManager.SetCurrentMode(c.mode);
        EXPECT_EQ(oManager.CurrentMode, c.mode);
        EXPECT_EQ(window.Heading, c.heading);
        EXPECT_EQ(window.Lines, c.lines);
        EXPECT_EQ(window.EditingEnabled, c.editing);
    }
}

TEST_F(ManagerModes, LocalAddressesAreGatheredEveryTimeTheirViewIsShown) {
    oManager.SetCurrentMode(1);
    hosts.Result.Addresses.push_back(Address(198, 51, 100, 20));
    oManager.RefreshCurrentMode();
    EXPECT_EQ(hosts.Calls, 2);
    EXPECT_EQ(window.Lines, (std::vector<std::string>{"192.0.2.5", "198.51.100.20"}));

    const int reads = source.Reads;
    oManager.SetCurrentMode(0);  // the connection view never reads the table by itself
    EXPECT_EQ(source.Reads, reads);
}

TEST_F(ManagerModes, AnUnknownModeKeepsHeadingAndListButEnablesEditing) {
    for (const std::int16_t mode : {std::int16_t{5}, std::int16_t{-1}}) {
        oManager.SetCurrentMode(3);
        oManager.SetCurrentMode(mode);
        EXPECT_EQ(oManager.CurrentMode, mode);
        EXPECT_EQ(window.Heading, "Blocked Local Ports");
        EXPECT_EQ(window.Lines, (std::vector<std::string>{"445", "139"}));
        EXPECT_TRUE(window.EditingEnabled);
        EXPECT_EQ(oManager.CurrentList, &oManager.oBlockedLocalPorts);
    }
}

class ConnectionFilters : public testing::EngineTest {};

struct FilterCase {
    Value showOnlyConnected;
    Value hideLocal;
    std::vector<std::string> lines;
};

TEST_F(ConnectionFilters, CheckBoxesFilterTheListedRows) {
    const std::uint32_t local = Address(192, 0, 2, 5);
    source.Connections = {
        Row(5, local, 50123, Web, 443, 1),
        Row(5, Loopback, 1025, Loopback, 1026, 2),  // both ends local
        Row(5, Loopback, 1027, Web, 80, 3),         // only the local end is 127.0.0.1
        Row(2, 0, 135, 0, 0, 4),
        Row(11, local, 50124, Web, 443, 5),
        Row(5, local, 0, Web, 443, 6),  // no local port: never listed
    };
    Pass();
    const std::string web = "50123 <--> 198.51.100.7:443 ESTABLISHED";
    const std::string both = "1025 <--> 127.0.0.1:1026 ESTABLISHED";
    const std::string localOnly = "1027 <--> 198.51.100.7:80 ESTABLISHED";
    const std::string listener = "135 LISTENING";
    const std::string closing = "50124 <--> 198.51.100.7:443 TIME_WAIT";
    const FilterCase cases[] = {
        {std::int16_t{0}, std::int16_t{0}, {web, both, localOnly, listener, closing}},
        {std::int16_t{1}, std::int16_t{0}, {web, both, localOnly}},
        {std::int16_t{0}, std::int16_t{-1}, {web, localOnly, listener, closing}},
        {std::string("1"), 0.5, {web, localOnly}},
        {std::monostate{}, std::string("checked"), {web, both, localOnly, listener, closing}},
    };
    for (const FilterCase& c : cases) {
        window.ShowOnlyConnected = c.showOnlyConnected;
        window.HideLocal = c.hideLocal;
        oManager.RefreshCurrentConnections();
        EXPECT_EQ(Lines(), c.lines);
    }
}

TEST_F(ConnectionFilters, LinesAreBuiltBeforeAnyWindowExists) {
    oManager.oMainForm = nullptr;
    window.ShowOnlyConnected = std::int16_t{1};
    source.Connections = {Established(50123, Web, 443, 1), Row(2, 0, 135, 0, 0, 2)};
    oManager.RefreshCurrentConnections();  // before the first pass: nothing to list yet
    EXPECT_TRUE(Lines().empty());
    Pass();
    oManager.SetCurrentMode(0);  // nothing to show it on, and nothing fails
    EXPECT_EQ(Lines(), (std::vector<std::string>{"50123 <--> 198.51.100.7:443 ESTABLISHED",
                                                 "135 LISTENING"}));
    oManager.oMainForm = &window;
    oManager.RefreshCurrentMode();
    EXPECT_EQ(window.Lines, Lines());
}

TEST(ToBoolean, AnyNonZeroNumberIsTrueAndAnythingElseFalse) {
    const std::pair<Value, bool> cases[] = {
        {std::int16_t{-1}, true},
        {std::int16_t{0}, false},
        {std::int32_t{2}, true},
        {std::uint8_t{1}, true},
        {0.25, true},
        {0.0, false},
        {std::string(" 1 "), true},
        {std::string("0"), false},
        {std::string("yes"), false},
        {std::string(""), false},
        {std::monostate{}, false},
    };
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(ToBoolean(value), expected) << ValueText(value);
    }
}

}  // namespace
}  // namespace quarnel
