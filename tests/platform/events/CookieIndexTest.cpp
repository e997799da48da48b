// The index of rows by cookie, against a standard map over random runs of puts and erases.

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>

#include "platform/linux/events/CookieIndex.h"

namespace quarnel::platform {
namespace {

TEST(CookieIndex, FindsWhatAMapWouldThroughGrowthAndErasure) {
    std::mt19937_64 random(7);
    // Neighbours, as the kernel counts cookies up, and cookies far apart, whose homes collide at
    // random; each is put and erased many times. First many, through growth, then a few at a
    // time in a small table, whose runs often wrap around its end.
    for (int pool = 0; pool < 300; ++pool) {
        std::vector<std::uint64_t> cookies;
        for (std::uint64_t c = 1; c <= (pool == 0 ? 1500u : 12u); ++c) {
            cookies.insert(cookies.end(), {c, random() | std::uint64_t{1} << 63});
        }
        CookieIndex index;
        if (pool % 2 == 1) {
            index.Reserve(cookies.size());  // never grows after
        }
        std::unordered_map<std::uint64_t, std::size_t> expected;
        const auto held = [&](std::uint64_t c) {
            return expected.contains(c) ? std::optional(expected[c]) : std::nullopt;
        };
        for (int round = 0; round < (pool == 0 ? 100000 : 300); ++round) {
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
        // Erasing many at once moves the rest back in their runs: each still found.
        index.EraseIf([](std::uint64_t, std::size_t at) { return at % 2 == 1; });
        std::erase_if(expected, [](const auto& entry) { return entry.second % 2 == 1; });
        ASSERT_EQ(index.Size(), expected.size());
        for (const std::uint64_t cookie : cookies) {
            ASSERT_EQ(index.Find(cookie), held(cookie));
        }
    }
}

}  // namespace
}  // namespace quarnel::platform
