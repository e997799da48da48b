// The index of rows by cookie, against a standard map over a long random run of puts and erases.

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>

#include "platform/linux/events/CookieIndex.h"

namespace quarnel::platform {
namespace {

TEST(CookieIndex, FindsWhatAMapWouldThroughGrowthAndErasure) {
    std::mt19937_64 random(7);
    // Neighbours, as the kernel counts cookies up, and cookies far apart, whose homes collide at
    // random (runs then wrap around the table's end); each is put and erased many times.
    std::vector<std::uint64_t> cookies;
    for (std::uint64_t c = 1; c <= 1500; ++c) {
        cookies.insert(cookies.end(), {c, random() | std::uint64_t{1} << 63});
    }
    CookieIndex index;
    std::unordered_map<std::uint64_t, std::size_t> expected;
    const auto held = [&](std::uint64_t cookie) {
        const auto found = expected.find(cookie);
        return found == expected.end() ? std::nullopt : std::optional(found->second);
    };
    for (int round = 0; round < 200000; ++round) {
        const std::uint64_t cookie = cookies[random() % cookies.size()];
        if (random() % 3 == 0) {
            index.Erase(cookie);
            expected.erase(cookie);
        } else {
            const std::size_t at = random() % 100000;
            ASSERT_EQ(index.Put(cookie, at), held(cookie));
            expected[cookie] = at;
        }
        ASSERT_EQ(index.Size(), expected.size());
    }
    for (const std::uint64_t cookie : cookies) {
        ASSERT_EQ(index.Find(cookie), held(cookie));
    }
    index.Clear(10);
    EXPECT_EQ(index.Size(), 0u);
    EXPECT_EQ(index.Find(cookies.front()), std::nullopt);
}

}  // namespace
}  // namespace quarnel::platform
