#include <gtest/gtest.h>

#include "engine/LocalAddresses.h"
#include "tests/engine/EngineFixture.h"

namespace quarnel {
namespace {

using testing::Address;

class LocalAddresses : public testing::EngineTest {
protected:
    std::vector<std::string> Items(const List& list) const {
        std::vector<std::string> items;
        for (std::int32_t i = 0; i < list.GetItemCount(); ++i) {
            items.push_back(ValueText(list.GetItem(i)));
        }
        return items;
    }
};

TEST_F(LocalAddresses, KeepTheSourcesOrderAndDuplicatesWithoutEmptyEntries) {
    hosts.Result.Addresses = {Address(192, 0, 2, 5), Address(198, 51, 100, 20),
                              Address(192, 0, 2, 5)};
    EXPECT_EQ(GetIP(hosts, &window), "192.0.2.5 198.51.100.20 192.0.2.5 ");
    oManager.RefreshLocalIPList();
    EXPECT_EQ(Items(oManager.oLocalIP),
              (std::vector<std::string>{"192.0.2.5", "198.51.100.20", "192.0.2.5"}));

    hosts.Result.Addresses.clear();
    oManager.RefreshLocalIPList();
    EXPECT_EQ(oManager.oLocalIP.GetItemCount(), 0);
    EXPECT_TRUE(window.Messages.empty());
}

TEST_F(LocalAddresses, AnUnexpectedFailureIsToldAndLeavesTheListEmpty) {
    hosts.Result.Addresses = {Address(192, 0, 2, 5)};
    oManager.RefreshLocalIPList();
    hosts.Result = {{}, platform::HostAddressFailure{12, "Cannot allocate memory"}};
    oManager.RefreshLocalIPList();
    EXPECT_EQ(oManager.oLocalIP.GetItemCount(), 0);
    EXPECT_EQ(window.Messages, std::vector<std::string>{"GetIP: error 12: Cannot allocate memory"});

    oManager.oMainForm = nullptr;  // with no window yet there is nobody to tell, and no failure
    oManager.RefreshLocalIPList();
    EXPECT_EQ(window.Messages.size(), 1u);
}

TEST_F(LocalAddresses, AddedToAllowedOnceEachWithoutSavingOrForgettingVerdicts) {
    SetRules("127.0.0.1,192.0.2.5", "", "");
    hosts.Result.Addresses = {Address(192, 0, 2, 5), Address(198, 51, 100, 20),
                              Address(198, 51, 100, 20), Address(127, 0, 0, 10)};
    oManager.RefreshLocalIPList();
    source.Connections = {testing::Established(50123, Address(198, 51, 100, 7), 443, 1)};
    Pass();
    const auto storedBefore = store.Values;

    oManager.AddLocalIPSToAllowed();
    EXPECT_EQ(Items(oManager.oAllowedIP),
              (std::vector<std::string>{"127.0.0.1", "192.0.2.5", "198.51.100.20", "127.0.0.10"}));
    EXPECT_EQ(store.Values, storedBefore);
    ASSERT_FALSE(engine.Cache.Entries.empty());
    EXPECT_EQ(engine.Cache.Entries[0].IsPassed, FlagTrue);
}

}  // namespace
}  // namespace quarnel
