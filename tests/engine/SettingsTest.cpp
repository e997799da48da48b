#include <gtest/gtest.h>

#include "engine/Settings.h"
#include "tests/engine/EngineFixture.h"

namespace quarnel {
namespace {

class Settings : public testing::EngineTest {
protected:
    std::string Stored(const List& list) const { return oManager.SaveListToString(list); }
};

TEST_F(Settings, MissingKeysGiveTheFirstRunDefaultsButStoredEmptyTextStaysEmpty) {
    EXPECT_EQ(Stored(oManager.oBlockedLocalPorts), "");
    EXPECT_EQ(Stored(oManager.oBlockedRemotePorts), "");
    EXPECT_EQ(Stored(oManager.oAllowedIP), "127.0.0.1");

    store.Values[AllowedIPKey] = "";
    oManager.LoadSettings();
    EXPECT_EQ(oManager.oAllowedIP.GetItemCount(), 0);
}

struct ListCase {
    const char* stored;
    std::vector<std::int32_t> ports;
    const char* saved;
};

TEST_F(Settings, PortTextLoadsInOrderSkippingEmptyAndBadPieces) {
    const ListCase cases[] = {
        {",80,,443,", {80, 443}, "80,443"}, {"443,80,443", {443, 80, 443}, "443,80,443"},
        {"8080", {8080}, "8080"},           {"", {}, ""},
        {" 80 , 443", {80, 443}, "80,443"}, {"80,abc,443,,", {80, 443}, "80,443"},
    };
    List& ports = oManager.oBlockedRemotePorts;
    for (const ListCase& c : cases) {
        SCOPED_TRACE(c.stored);
        oManager.LoadListFromString(ports, c.stored);
        EXPECT_EQ(ports.GetListMode(), ListModeLong);
        ASSERT_EQ(ports.GetItemCount(), static_cast<std::int32_t>(c.ports.size()));
        for (std::size_t i = 0; i < c.ports.size(); ++i) {
            EXPECT_EQ(ports.GetItem(static_cast<std::int32_t>(i)), Value(c.ports[i]));
        }
        EXPECT_EQ(Stored(ports), c.saved);
    }
}

TEST_F(Settings, SavedListsLoadBackUnchanged) {
    SetRules("10.0.0.2,127.0.0.1", "445,139,445", "6667");
    oManager.SaveSettings();
    EXPECT_EQ(store.Values,
              (std::map<std::string, std::string>{{BlockedLocalPortsKey, "445,139,445"},
                                                  {BlockedRemotePortsKey, "6667"},
                                                  {AllowedIPKey, "10.0.0.2,127.0.0.1"}}));
    SetRules("", "", "");
    oManager.SaveSettings();  // empty lists still write their keys
    EXPECT_EQ(store.Values.at(AllowedIPKey), "");
    store.Values[BlockedRemotePortsKey] = "6667,22";
    oManager.LoadSettings();
    EXPECT_EQ(Stored(oManager.oBlockedRemotePorts), "6667,22");
    EXPECT_EQ(oManager.oAllowedIP.GetItemCount(), 0);
}

TEST_F(Settings, AFailedWriteIsToldOnceAndTheRulesStayInForce) {
    SetRules("127.0.0.1", "", "443");
    source.Connections = {testing::Established(50123, testing::Address(198, 51, 100, 7), 80, 1)};
    Pass();
    store.FailWrites = true;
    (void)oManager.oBlockedRemotePorts.AddItem(std::int32_t{80});
    oManager.SaveChanges();
    oManager.SaveChanges();
    ASSERT_EQ(window.Messages.size(), 1u);
    EXPECT_NE(window.Messages[0].find(store.Location()), std::string::npos);
    EXPECT_EQ(Stored(oManager.oBlockedRemotePorts), "443,80");
    Pass();  // the edit applies although it was not saved
    EXPECT_TRUE(source.Connections.empty());

    store.FailWrites = false;
    EXPECT_TRUE(oManager.SaveSettings());
    store.FailWrites = true;
    EXPECT_FALSE(oManager.SaveSettings());  // a new failure after a success is told again
    EXPECT_EQ(window.Messages.size(), 2u);
}

}  // namespace
}  // namespace quarnel
