// The log under namespace churn: a line for each namespace guarded or gone, but past the first
// few of a minute one sum for the rest, told once that minute is over.

#include "service/NamespaceChurn.h"

#include <gtest/gtest.h>

namespace quarnel {
namespace {

using namespace std::chrono_literals;
using Change = NamespaceChurn::Change;

TEST(NamespaceChurn, TellsTheFirstFewOfAMinuteAndSumsTheRest) {
    NamespaceChurn churn;
    const NamespaceChurn::Clock::time_point start{1h};
    for (std::size_t i = 0; i < NamespaceChurn::kOneByOne; ++i) {
        EXPECT_TRUE(churn.Tell(i % 2 == 0 ? Change::Guarded : Change::Gone, start + i * 1s));
    }
    for (int i = 0; i < 300; ++i) {
        EXPECT_FALSE(churn.Tell(i % 3 == 0 ? Change::Gone : Change::Guarded, start + 30s));
    }
    EXPECT_FALSE(churn.TakeSum(start + 59s)) << "before the minute is over";
    EXPECT_EQ(churn.TakeSum(start + 60s),
              "200 more network namespaces guarded and 100 more gone in the last minute, not "
              "logged one by one");
    EXPECT_FALSE(churn.TakeSum(start + 61s)) << "said once";
    EXPECT_TRUE(churn.Tell(Change::Guarded, start + 61s)) << "a new minute";

    // A quiet machine: every one told, and no sum.
    NamespaceChurn quiet;
    for (int i = 0; i < 100; ++i) {
        EXPECT_TRUE(quiet.Tell(Change::Guarded, start + i * 10min));
        EXPECT_FALSE(quiet.TakeSum(start + i * 10min + 1min));
    }
}

}  // namespace
}  // namespace quarnel
