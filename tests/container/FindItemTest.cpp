#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "container/List.h"

namespace quarnel {
namespace {

using namespace std::string_literals;

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

void ExpectResults(void (List::*init)(), const std::vector<Value>& items,
                   const std::vector<Search>& searches) {
    List list;
    (list.*init)();
    for (const Value& item : items) {
        list.AddItem(item);
    }
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
}

TEST(FindItem, EqualHashesNeverMatchDifferentTexts) {
    // "b" and 32 letters a hash like 33 letters a (-33); "ab" hashes like the byte 160.
    ExpectResults(&List::InitStringList, {"b"s + std::string(32, 'a'), "\xa0"s, "\xc9"s},
                  {{"=", std::string(33, 'a'), ListNotFound, false},
                   {"=", "ab"s, ListNotFound, false},
                   {"=", "\xe9"s, ListNotFound, false},
                   {"LIKE", "\xc9"s, 2}});
}
// clang-format on

}  // namespace
}  // namespace quarnel
