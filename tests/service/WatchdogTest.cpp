// When the guard tells systemd's watchdog it is alive (what it says of a run the watchdog ended
// is asked of quarneld --stopped in ServiceTest).

#include "service/Watchdog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quarnel {
namespace {

using namespace std::chrono_literals;

// A keep-alive after a pass that judged what it read, at most every half interval; none after
// passes whose read failed, however many, so a guard that reads nothing is restarted too; none
// at all when systemd asks for no watchdog.
TEST(Watchdog, KeepsAliveOnlyAfterPassesThatJudgedAtMostEveryHalfInterval) {
    std::vector<std::string> told;
    Watchdog watchdog(10s, [&](const std::string& state) { told.push_back(state); });
    ASSERT_TRUE(watchdog.Enabled());
    const Watchdog::Clock::time_point start{};
    watchdog.Passed(true, start + 1s);
    EXPECT_EQ(told, std::vector<std::string>{"WATCHDOG=1"});
    watchdog.Passed(true, start + 1s + 250ms);
    watchdog.Passed(true, start + 5s);  // within half the interval of the last
    EXPECT_EQ(told.size(), 1U);
    watchdog.Passed(true, start + 6s);
    EXPECT_EQ(told.size(), 2U);
    for (auto at = start + 6s; at < start + 30s; at += 250ms) {
        watchdog.Passed(false, at);  // the read keeps failing: systemd is left to end it
    }
    EXPECT_EQ(told.size(), 2U);
    watchdog.Passed(true, start + 30s);  // judging again
    EXPECT_EQ(told.size(), 3U);

    Watchdog none(0s, [&](const std::string& state) { told.push_back(state); });
    EXPECT_FALSE(none.Enabled());
    none.Passed(true, start);
    EXPECT_EQ(told.size(), 3U);
}

}  // namespace
}  // namespace quarnel
