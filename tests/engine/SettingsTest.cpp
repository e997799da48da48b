#include "engine/Settings.h"
#include "tests/engine/TestEngine.h"

namespace quarnel {
namespace {

class Settings : public testing::EngineTest {
protected:
    std::string Saved(const List& list) const { return oManager.SaveListToString(list); }
};

TEST_F(Settings, FirstRunDefaultsAndAStoredEmptyAllowedList) {
    EXPECT_EQ(Saved(oManager.oBlockedLocalPorts) + "|" + Saved(oManager.oBlockedRemotePorts) + "|" +
                  Saved(oManager.oAllowedIP),
              "||127.0.0.1");
    store.Values[AllowedIPKey] = "";
    oManager.LoadSettings();
    EXPECT_EQ(oManager.oAllowedIP.GetItemCount(), 0);
}

TEST_F(Settings, TextLoadsInOrderWithoutEmptyOrBadPiecesAndSavesBack) {
    const std::pair<const char*, const char*> cases[] = {
        {",80,,443,", "80,443"}, {"443,80,443", "443,80,443"}, {"8080", "8080"}, {"", ""},
        {" 80 , 443", "80,443"}, {"80,abc,,443", "80,443"},
    };
    for (const auto& [stored, saved] : cases) {
        oManager.LoadListFromString(oManager.oBlockedRemotePorts, stored);
        EXPECT_EQ(oManager.oBlockedRemotePorts.GetListMode(), ListModeLong);
        EXPECT_EQ(Saved(oManager.oBlockedRemotePorts), saved) << stored;
    }
    SetRules("10.0.0.2,127.0.0.1", "445,139", "");
    oManager.SaveSettings();
    EXPECT_EQ(store.Values,
              (std::map<std::string, std::string>{{BlockedLocalPortsKey, "445,139"},
                                                  {BlockedRemotePortsKey, ""},
                                                  {AllowedIPKey, "10.0.0.2,127.0.0.1"}}));
}

TEST_F(Settings, AFailedWriteIsToldOnceAndTheRulesStayInForce) {
    table.Connections = {testing::Established(50123, "198.51.100.7", 80, 1)};
    Pass();
    store.FailWrites = true;
    (void)oManager.oBlockedRemotePorts.AddItem(std::int32_t{80});
    oManager.SaveChanges();
    oManager.SaveChanges();
    EXPECT_EQ(window.Messages, std::vector<std::string>{SaveFailedText(store.Location())});
    Pass();
    EXPECT_TRUE(table.Connections.empty());  // applied although not saved

    store.FailWrites = false;
    EXPECT_TRUE(oManager.SaveSettings());
    store.FailWrites = true;
    EXPECT_FALSE(oManager.SaveSettings());  // a new failure after a success is told again
    EXPECT_EQ(window.Messages.size(), 2u);
}

}  // namespace
}  // namespace quarnel
