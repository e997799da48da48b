#include "engine/LocalAddresses.h"
#include "tests/engine/TestEngine.h"

namespace quarnel {
namespace {

using testing::Ip;
using Texts = std::vector<std::string>;

class LocalAddresses : public testing::EngineTest {};

TEST_F(LocalAddresses, KeepTheSystemsOrderAndDuplicatesAndReportFailures) {
    hosts.Result.Addresses = {Ip("192.0.2.5"), Ip("198.51.100.20"), Ip("192.0.2.5")};
    EXPECT_EQ(GetIP(hosts, &window), "192.0.2.5 198.51.100.20 192.0.2.5 ");
    oManager.RefreshLocalIPList();
    EXPECT_EQ(testing::Texts(oManager.oLocalIP),
              (Texts{"192.0.2.5", "198.51.100.20", "192.0.2.5"}));

    hosts.Result = {{}, platform::HostAddressFailure{12, "Cannot allocate memory"}};
    oManager.RefreshLocalIPList();
    EXPECT_EQ(oManager.oLocalIP.GetItemCount(), 0);
    EXPECT_EQ(window.Messages, Texts{"GetIP: error 12: Cannot allocate memory"});
}

TEST_F(LocalAddresses, AreAddedToAllowedOnceWithoutSavingOrForgettingVerdicts) {
    SetRules("127.0.0.1,192.0.2.5", "", "");
    hosts.Result.Addresses = {Ip("192.0.2.5"), Ip("198.51.100.20"), Ip("198.51.100.20")};
    oManager.RefreshLocalIPList();
    table.Connections = {testing::Established(50123, "198.51.100.20", 443, 1)};
    Pass();
    oManager.AddLocalIPSToAllowed();
    EXPECT_EQ(testing::Texts(oManager.oAllowedIP),
              (Texts{"127.0.0.1", "192.0.2.5", "198.51.100.20"}));
    EXPECT_TRUE(store.Values.empty());
    EXPECT_EQ(engine.Cache.Entries.at(0).IsPassed, FlagTrue);
}

}  // namespace
}  // namespace quarnel
