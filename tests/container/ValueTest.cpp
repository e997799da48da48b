#include <cstdint>
#include <optional>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "container/List.h"
#include "container/Value.h"

namespace quarnel {
namespace {

using namespace std::string_literals;
constexpr std::nullopt_t no = std::nullopt;

TEST(ReadNumber, DecimalsWithBlanksSignAndFractionOnly) {
    // clang-format off
    const std::tuple<std::string, std::optional<double>> cases[] = {
        {" 12 ", 12}, {"\t-3.5\t", -3.5}, {"+7", 7}, {"5.", 5}, {".5", 0.5}, {"007", 7},
        {"", no}, {"  ", no}, {".", no}, {"+", no}, {"1e3", no}, {"0x10", no}, {"inf", no},
        {"nan", no}, {"1 000", no}, {"1,5", no}, {"1.2.3", no}, {"+-1", no}, {"- 1", no},
        {"12a", no}, {"\n1", no}, {std::string(400, '9'), no}};
    // clang-format on
    for (const auto& [text, number] : cases) {
        EXPECT_EQ(ReadNumber(text), number) << text;
    }
}

TEST(ToWholeNumbers, RoundHalfToEvenThenCheckEachTypesRange) {
    using Row = std::tuple<Value, std::optional<std::int32_t>, std::optional<std::int16_t>,
                           std::optional<std::uint8_t>>;
    // clang-format off
    const Row cases[] = {
        {"300"s, 300, 300, no},           {-1, -1, -1, no},              {255.5, 256, 256, no},
        {254.5, 254, 254, 254},           {2147483648.0, no, no, no},    {"32767.5"s, 32768, no, no},
        {" 2147483647 "s, INT32_MAX, no, no}, {-32768.5, -32768, -32768, no},
        {std::uint8_t{200}, 200, 200, 200}, {"abc"s, no, no, no},        {Value(), no, no, no},
        {-0.6, -1, -1, no},               {2.4999, 2, 2, 2}};
    // clang-format on
    for (const auto& [v, asLong, asInteger, asByte] : cases) {
        EXPECT_EQ(ToLongValue(v), asLong) << ValueText(v);
        EXPECT_EQ(ToIntegerValue(v), asInteger) << ValueText(v);
        EXPECT_EQ(ToByteValue(v), asByte) << ValueText(v);
    }
}

TEST(ToText, NumbersBecomeTheirDecimalText) {
    EXPECT_EQ(ToText(std::uint8_t{200}), "200");  // a number, not a character
    EXPECT_EQ(ToText(80.0), "80");
    EXPECT_EQ(ToText(0.1), "0.1");
}

TEST(HashString, KnownValuesAndUnsignedBytes) {
    const std::tuple<std::string, std::int32_t> cases[] = {
        {"", 0},       {"a", 97}, {"abc", 291}, {"127.0.0.1", 8925}, {std::string(33, 'a'), -33},
        {"\xff", 255}, {"A", 65}};
    for (const auto& [text, hash] : cases) {
        EXPECT_EQ(HashString(text), hash) << text;
    }
    const std::int32_t shifts[][3] = {
        {1, 0, 1}, {3, 31, INT32_MIN}, {-1, 1, -2}, {1, 32, 0}, {1, -1, 0}};
    for (const auto& s : shifts) {
        EXPECT_EQ(ShiftLeft(s[0], s[1]), s[2]) << s[0] << " << " << s[1];
    }
}

}  // namespace
}  // namespace quarnel
