// The index of rows by cookie, against a standard map over long random runs of puts and erases
// of neighbouring and scattered cookies.

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>

#include "platform/linux/events/CookieIndex.h"

namespace quarnel::platform {
namespace {

TEST(CookieIndex, FindsWhatAMapWouldThroughGrowthAndErasure) {
    std::mt19937_64 random(7);
    CookieIndex index;
    std::unordered_map<std::uint64_t, std::size_t> expected;
    for (int round = 0; round < 200000; ++round) {
        // Mostly neighbours, as the kernel counts cookies up; some far apart.
        const std::uint64_t cookie =
            random() % 4 ? 1 + random() % 3000 : random() | (std::uint64_t{1} << 63);
        if (random() % 3 == 0) {
            index.Erase(cookie);
            expected.erase(cookie);
        } else {
            const std::size_t at = random() % 100000;
            const auto before = expected.find(cookie);
            const std::optional<std::size_t> was =
                before == expected.end() ? std::nullopt : std::optional(before->second);
            ASSERT_EQ(index.Put(cookie, at), was);
            expected[cookie] = at;
        }
        if (round % 5000 == 0) {
            for (std::uint64_t c = 0; c <= 3001; ++c) {
                const auto found = expected.find(c);
                ASSERT_EQ(index.Find(c),
                          found == expected.end() ? std::nullopt : std::optional(found->second));
            }
        }
        ASSERT_EQ(index.Size(), expected.size());
    }
    for (const auto& [cookie, at] : expected) {
        ASSERT_EQ(index.Find(cookie), at);
    }
    index.Clear(10);
    EXPECT_EQ(index.Size(), 0u);
    EXPECT_EQ(index.Find(expected.begin()->first), std::nullopt);
}

}  // namespace
}  // namespace quarnel::platform
