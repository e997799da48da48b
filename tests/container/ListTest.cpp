#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "container/List.h"

namespace quarnel {
namespace {

using namespace std::string_literals;
using Init = void (List::*)();
constexpr std::nullopt_t no = std::nullopt;
constexpr std::int32_t FreshSlots = 20001;

List Make(Init init, const std::vector<Value>& items) {
    List list;
    (list.*init)();
    for (const Value& item : items) {
        (void)list.AddItem(item);
    }
    return list;
}

// Operator, value, result, then the optional arguments of FindItem in their order.
struct Search {
    const char* op;
    Value value;
    std::int32_t expected;
    bool caseSensitive = true;
    std::int32_t start = 0;
    bool reversed = false;
    std::int32_t subStart = 1;
};

void ExpectResults(Init init, const std::vector<Value>& items,
                   const std::vector<Search>& searches) {
    const List list = Make(init, items);
    for (const Search& s : searches) {
        EXPECT_EQ(list.FindItem(s.op, s.value, s.caseSensitive, s.start, s.reversed, s.subStart),
                  s.expected)
            << "'" << s.op << "' " << ValueText(s.value) << " start " << s.start
            << (s.reversed ? " reversed" : "") << " from " << s.subStart;
    }
}

// clang-format off
TEST(FindItem, NumberRelationsAndTheOrderOfResultCodes) {
    ExpectResults(&List::InitLongList, {},
                  {{"", 5, ListEmptyOperator}, {"=", "abc"s, ListNotFound, true, 9}});
    ExpectResults(&List::InitLongList, {10, 20, 30, 20}, {
        {"=", 20, 1}, {"=", 20, 3, true, 0, true}, {"=", 20, 3, true, 2}, {"=", 10, 0, true, 0, true},
        {">", 15, 1},
        {"<", 10, ListNotFound}, {"<=", 10, 0}, {">=", 25, 2, true, 0, true},
        {"<>", 20, ListNotFound}, {"LIKE", 5, ListNotFound}, {"LIKE", "x"s, ListNotConvertible},
        {"=", " 20 "s, 1}, {"=", 19.5, 1}, {"=", 20, ListOutOfRange, true, 4},
        {"=", "abc"s, ListOutOfRange, true, -1}});
    ExpectResults(&List::InitLongList, {5, 6, 7}, {{"=", 5, ListNotFound, true, 1, true}});
    ExpectResults(&List::InitByteList, {100, 250},
                  {{">", 200, 1}, {"=", 300, ListNotConvertible}, {"=", -1, ListNotConvertible}});
    ExpectResults(&List::InitIntegerList, {-5, 7}, {{"<", 0, 0}});
    ExpectResults(&List::InitDoubleList, {0.5, 2.25}, {{">", "0.5"s, 1}});
}

TEST(FindItem, TextEqualityAndContainment) {
    ExpectResults(&List::InitStringList, {"Alpha"s, "beta"s, "ALPHA"s}, {
        {"=", "alpha"s, ListNotFound}, {"=", "alpha"s, 0, false}, {"=", "ALPHA"s, 2},
        {"=", "alpha"s, 2, false, 1}, {"like", "ph"s, 0, false}, {"Like", "PH"s, 2},
        {"LIKE", "ph"s, ListNotFound, false, 0, false, 4}, {"LIKE", "ph"s, 0, false, 0, false, 3},
        {"LIKE", "ha"s, 0, false, 0, false, 4},
        {"LIKE", "ph"s, 0, false, 0, false, 0},  // below 1 searches from the start
        {" =", "beta"s, ListOperatorRefused},   // no trimming
        {"<", "b"s, ListOperatorRefused}, {"<", Value(), ListNotConvertible}});
    ExpectResults(&List::InitStringList, {""s, "x"s, "xy"s},
                  {{"LIKE", ""s, 1}, {"LIKE", ""s, 2, true, 0, false, 2}, {"=", ""s, 0}});
    ExpectResults(&List::InitStringList, {"80"s, "8080"s},
        {{"=", 80, 0}, {"LIKE", 80, 0}, {"LIKE", 80, 1, true, 0, true}, {"=", 8080.0, 1}});
    // "b" and 32 letters a hash like 33 letters a (-33); "ab" hashes like the byte 160.
    ExpectResults(&List::InitStringList, {"b"s + std::string(32, 'a'), "\xa0"s, "\xc9"s},
                  {{"=", std::string(33, 'a'), ListNotFound, false},
                   {"=", "ab"s, ListNotFound, false},
                   {"=", "\xe9"s, ListNotFound, false}, {"LIKE", "\xc9"s, 2}});
}
// clang-format on

TEST(List, IndexesAndCountsOutsideTheItemsAreRefused) {
    List list = Make(&List::InitLongList, {});
    EXPECT_TRUE(IsNull(list.GetItem(0)));
    EXPECT_TRUE(IsNull(list.ExtractLastItem()));
    EXPECT_EQ(list.DeleteLastItems(0), 0);
    EXPECT_EQ(list.DeleteLastItems(1), ListOutOfRange);
    list = Make(&List::InitLongList, {10, 20, 30});
    EXPECT_EQ(list.DeleteItem(1), 0);
    EXPECT_EQ(list.GetItem(1), Value(30));
    EXPECT_EQ(list.DeleteItem(2), ListOutOfRange);
    EXPECT_EQ(list.DeleteLastItems(-1), ListOutOfRange);  // must not revive freed slots
    EXPECT_EQ(list.GetItemCount(), 2);
}

TEST(List, ValuesAreStoredInTheListsTypeAndTheUnconvertibleChangeNothing) {
    const struct {
        Init init;
        Value good, stored, bad;
    } cases[] = {{&List::InitLongList, " 3.5 "s, 4, "abc"s},
                 {&List::InitLongList, 2.5, 2, 3e9},
                 {&List::InitByteList, 250, std::uint8_t{250}, 300},
                 {&List::InitByteList, 1, std::uint8_t{1}, -1},
                 {&List::InitIntegerList, 1, std::int16_t{1}, 40000},
                 {&List::InitDoubleList, 1.5, 1.5, "1e3"s},
                 {&List::InitStringList, 5, "5"s, Value()}};
    for (const auto& c : cases) {
        List list = Make(c.init, {c.good});
        EXPECT_EQ(list.GetItem(0), c.stored) << ValueText(c.good);
        EXPECT_EQ(list.AddItem(c.bad), ListNotConvertible) << ValueText(c.bad);
        EXPECT_EQ(list.SetItem(0, c.bad), ListNotConvertible);
        EXPECT_EQ(list.GetItemCount(), 1);
        EXPECT_EQ(list.GetItem(0), c.stored);
    }
}

TEST(List, TextKeepsItsCaseAndItsHashFollowsIt) {
    List list = Make(&List::InitStringList, {"Alpha"s, "b"s, "c"s});
    EXPECT_EQ(list.GetItem(0), Value("Alpha"s));
    EXPECT_EQ(list.SetItem(0, "Beta"s), 0);
    EXPECT_EQ(list.FindItem("=", "beta"s, false), 0);
    EXPECT_EQ(list.FindItem("=", "Alpha"s, false), ListNotFound);
    EXPECT_EQ(list.ExtractItem(1), Value("b"s));
    EXPECT_EQ(list.FindItem("=", "c"s), 1);  // the hash moved down with its text
    EXPECT_EQ(list.ExtractLastItem(), Value("c"s));
    EXPECT_EQ(list.GetItemCount(), 1);
}

TEST(List, GrowsByTwentyThousandKeepingItemsAndResetGivesItBack) {
    List list;  // never initialized: an empty text list
    EXPECT_EQ(list.GetListMode(), ListModeString);
    EXPECT_EQ(list.SlotCount(), FreshSlots);
    for (std::int32_t i = 0; i < FreshSlots; ++i) {
        list.AddItem(std::to_string(i));
    }
    EXPECT_EQ(list.SlotCount(), FreshSlots);
    EXPECT_EQ(list.AddItem("last"s), 0);
    EXPECT_EQ(list.SlotCount(), 40001);
    for (std::int32_t i : {0, 12345, 20000}) {
        EXPECT_EQ(list.FindItem("=", std::to_string(i)), i);  // hashes moved with the texts
    }
    EXPECT_EQ(list.FindItem("=", "LAST"s, false), FreshSlots);  // in the grown hash array
    list.Reset();
    EXPECT_EQ(list.GetItemCount(), 0);
    EXPECT_EQ(list.SlotCount(), FreshSlots);
}

TEST(ReadNumber, DecimalsWithBlanksSignAndFractionOnly) {
    // clang-format off
    const std::tuple<std::string, std::optional<double>> cases[] = {
        {" 12 ", 12}, {"\t-3.5\t", -3.5}, {"+7", 7}, {"5.", 5}, {".5", 0.5}, {"", no}, {".", no},
        {"1e3", no}, {"0x10", no}, {"inf", no}, {"1 000", no}, {"1.2.3", no}, {"+-1", no},
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
        {"300"s, 300, 300, no},               {-1, -1, -1, no},            {255.5, 256, 256, no},
        {254.5, 254, 254, 254},               {2147483648.0, no, no, no},  {"32767.5"s, 32768, no, no},
        {" 2147483647 "s, INT32_MAX, no, no}, {-32768.5, -32768, -32768, no},
        {std::uint8_t{200}, 200, 200, 200},   {"abc"s, no, no, no},        {Value(), no, no, no}};
    // clang-format on
    for (const auto& [v, asLong, asInteger, asByte] : cases) {
        EXPECT_EQ(ToLongValue(v), asLong) << ValueText(v);
        EXPECT_EQ(ToIntegerValue(v), asInteger) << ValueText(v);
        EXPECT_EQ(ToByteValue(v), asByte) << ValueText(v);
    }
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
    const std::int32_t shifts[][3] = {{3, 31, INT32_MIN}, {-1, 1, -2}, {1, 32, 0}, {1, -1, 0}};
    for (const auto& s : shifts) {
        EXPECT_EQ(ShiftLeft(s[0], s[1]), s[2]) << s[0] << " << " << s[1];
    }
}

}  // namespace
}  // namespace quarnel
