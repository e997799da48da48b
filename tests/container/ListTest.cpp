#include <gtest/gtest.h>

#include <tuple>

#include "container/List.h"

namespace quarnel {
namespace {

using namespace std::string_literals;
using Init = void (List::*)();
constexpr std::nullopt_t no = std::nullopt;

List Make(Init init, const std::vector<Value>& items) {
    List list;
    (list.*init)();
    for (const Value& item : items) {
        (void)list.AddItem(item);
    }
    return list;
}

// One search: FindItem's arguments, those left out at their defaults, and its result.
struct Search {
    const char* op;
    Value value;
    std::int32_t expected;
    bool caseSensitive = true;
    std::int32_t start = 0;
    bool reversed = false;
    std::int32_t subStart = 1;
};
constexpr bool kAnyCase = false, kCase = true, kBack = true;

void ExpectResults(Init init, const std::vector<Value>& items, const std::vector<Search>& rows) {
    const List list = Make(init, items);
    for (const Search& s : rows) {
        EXPECT_EQ(list.FindItem(s.op, s.value, s.caseSensitive, s.start, s.reversed, s.subStart),
                  s.expected)
            << "'" << s.op << "' " << ValueText(s.value) << " from " << s.start;
    }
}

TEST(FindItem, ComparesInTheListsTypeTextsThroughTheHashAndTellsWhyNothingWasFound) {
    ExpectResults(&List::InitLongList, {},
                  {{"", 5, ListEmptyOperator}, {"=", "abc"s, ListNotFound, kCase, 9}});
    ExpectResults(&List::InitLongList, {10, 20, 30, 20},
                  {{"=", 20, 1},
                   {"=", 20, 3, kCase, 0, kBack},
                   {">", 15, 1},
                   {"<", 10, ListNotFound},
                   {"<=", 10, 0},
                   {"LIKE", "x"s, ListNotConvertible},
                   {"=", 20, ListOutOfRange, kCase, 4},
                   {"=", "abc"s, ListOutOfRange, kCase, -1},
                   {"=", 10, ListNotFound, kCase, 1, kBack}});
    ExpectResults(&List::InitByteList, {100, 250}, {{">", 200, 1}});  // 0..255
    ExpectResults(&List::InitStringList, {"Alpha"s, "beta"s, "ALPHA"s, "80"s, "8080"s},
                  {{"=", "alpha"s, ListNotFound},
                   {"=", "alpha"s, 0, kAnyCase},
                   {"=", "ALPHA"s, 2},
                   {"Like", "PH"s, 2},
                   {"LIKE", "ph"s, ListNotFound, kAnyCase, 0, false, 4},
                   {"LIKE", "ph"s, 0, kAnyCase, 0, false, 3},
                   {" =", "beta"s, ListOperatorNotForText},  // no trimming
                   {"<", Value(), ListNotConvertible},
                   {"=", 80, 3}});
    ExpectResults(&List::InitStringList, {""s, "x"s, "xy"s},
                  {{"LIKE", ""s, 1}, {"LIKE", ""s, 2, kCase, 0, false, 2}, {"=", ""s, 0}});
    // "b" and 32 letters a hash like 33 letters a (-33); "ab" hashes like the byte 160.
    ExpectResults(&List::InitStringList, {"b"s + std::string(32, 'a'), "\xa0"s, "\xc9"s},
                  {{"=", std::string(33, 'a'), ListNotFound, kAnyCase},
                   {"=", "ab"s, ListNotFound, kAnyCase},
                   {"=", "\xe9"s, ListNotFound, kAnyCase},
                   {"LIKE", "\xc9"s, 2}});
}

TEST(List, GrowsKeepingEachHashBesideItsTextAndRefusesIndexesAndCountsOutsideTheItems) {
    List list;  // never initialized: an empty text list
    for (std::int32_t i = 0; i < 20001; ++i) {
        list.AddItem(std::to_string(i));
    }
    EXPECT_EQ(list.AddItem("Last"s), 0);
    EXPECT_EQ(list.FindItem("=", "LAST"s, false), 20001);  // in the grown hash array
    EXPECT_EQ(list.SetItem(0, "Beta"s), 0);
    EXPECT_EQ(list.FindItem("=", "beta"s, false), 0);
    EXPECT_EQ(list.ExtractItem(1), Value("1"s));
    EXPECT_EQ(list.FindItem("=", "12345"s), 12344);  // hashes moved with their texts
    EXPECT_EQ(list.DeleteItem(20001), ListOutOfRange);
    EXPECT_EQ(list.DeleteLastItems(-1), ListOutOfRange);  // must not revive freed slots
    EXPECT_EQ(list.DeleteLastItems(20002), ListOutOfRange);
    EXPECT_EQ(list.ExtractLastItem(), Value("Last"s));
    EXPECT_EQ(list.DeleteLastItems(20000), 0);
    EXPECT_TRUE(IsNull(list.GetItem(0)) && IsNull(list.ExtractLastItem()));
    list.Reset();
    EXPECT_EQ(list.SlotCount(), 20001);
}

TEST(List, ValuesAreStoredInTheListsTypeAndTheUnconvertibleChangeNothing) {
    const struct {
        Init init;
        Value good, stored, bad;
    } cases[] = {
        {.init = &List::InitLongList, .good = " 3.5 "s, .stored = 4, .bad = "abc"s},
        {.init = &List::InitDoubleList, .good = 1.5, .stored = 1.5, .bad = "1e3"s},
        {.init = &List::InitStringList, .good = 5, .stored = "5"s, .bad = {}},
    };
    for (const auto& [init, good, stored, bad] : cases) {
        List list = Make(init, {good});
        EXPECT_EQ(list.AddItem(bad), ListNotConvertible) << ValueText(bad);
        EXPECT_EQ(list.SetItem(0, bad), ListNotConvertible);
        EXPECT_EQ(list.GetItemCount(), 1);
        EXPECT_EQ(list.GetItem(0), stored);
    }
}

// clang-format off
TEST(Numbers, TextReadsAsADecimalAndWholeNumbersRoundHalfToEvenWithinEachType) {
    const std::tuple<std::string, std::optional<double>> texts[] = {
        {"\t-3.5 ", -3.5}, {"+7", 7}, {"5.", 5}, {".5", 0.5}, {"", no}, {".", no}, {"1e3", no},
        {"inf", no}, {"1.2.3", no}, {"+-1", no}, {"\n1", no}, {std::string(400, '9'), no}};
    for (const auto& [text, number] : texts) {
        EXPECT_EQ(ReadNumber(text), number) << text;
    }
    // What a value reads as in each integer type; none where it does not fit.
    const struct {
        Value v;
        std::optional<std::int32_t> asLong;
        std::optional<std::int16_t> asInteger;
        std::optional<std::uint8_t> asByte;
    } values[] = {
        {.v = -1, .asLong = -1, .asInteger = -1, .asByte = no},
        {.v = 255.5, .asLong = 256, .asInteger = 256, .asByte = no},
        {.v = 254.5, .asLong = 254, .asInteger = 254, .asByte = 254},
        {.v = 2147483648.0, .asLong = no, .asInteger = no, .asByte = no},
        {.v = "32767.5"s, .asLong = 32768, .asInteger = no, .asByte = no},
        {.v = -32768.5, .asLong = -32768, .asInteger = -32768, .asByte = no},
        {.v = std::uint8_t{200}, .asLong = 200, .asInteger = 200, .asByte = 200},
    };
    for (const auto& [v, asLong, asInteger, asByte] : values) {
        EXPECT_EQ(ToLongValue(v), asLong) << ValueText(v);
        EXPECT_EQ(ToIntegerValue(v), asInteger) << ValueText(v);
        EXPECT_EQ(ToByteValue(v), asByte) << ValueText(v);
    }
    EXPECT_EQ(ToText(std::uint8_t{200}), "200");  // a number, not a character
}
// clang-format on

}  // namespace
}  // namespace quarnel
