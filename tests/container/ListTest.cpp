#include <cstdint>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "container/List.h"

namespace quarnel {
namespace {

using namespace std::string_literals;
constexpr std::int32_t FreshSlots = 20001;

List LongList(std::initializer_list<std::int32_t> items) {
    List list;
    list.InitLongList();
    for (std::int32_t item : items) {
        list.AddItem(item);
    }
    return list;
}

TEST(List, IndexesAndCountsOutsideTheItemsAreRefused) {
    List list = LongList({});
    EXPECT_TRUE(IsNull(list.GetItem(0)));
    EXPECT_TRUE(IsNull(list.ExtractLastItem()));
    EXPECT_EQ(list.DeleteItem(0), ListOutOfRange);
    EXPECT_EQ(list.DeleteLastItems(0), 0);
    EXPECT_EQ(list.DeleteLastItems(1), ListOutOfRange);
    list = LongList({10, 20, 30});
    EXPECT_EQ(list.DeleteItem(1), 0);
    EXPECT_EQ(list.GetItem(1), Value(30));
    EXPECT_EQ(list.DeleteItem(2), ListOutOfRange);
    EXPECT_EQ(list.DeleteLastItems(-1), ListOutOfRange);  // must not revive freed slots
    EXPECT_EQ(list.GetItemCount(), 2);
}

TEST(List, ItemsComeBackInTheListsType) {
    List list = LongList({});
    list.AddItem(2.5);
    list.AddItem(" 3.5 "s);
    EXPECT_EQ(list.GetItem(0), Value(2));
    EXPECT_EQ(list.GetItem(1), Value(4));
    list.InitByteList();
    list.AddItem(250);
    EXPECT_EQ(list.GetItem(0), Value(std::uint8_t{250}));
    list.InitStringList();  // a new type, emptied
    EXPECT_EQ(list.GetItemCount(), 0);
    list.AddItem(5);
    EXPECT_EQ(list.GetItem(0), Value("5"s));
}

TEST(List, UnconvertibleValuesAreRefusedAndChangeNothing) {
    const struct {
        std::function<void(List&)> init;
        Value good, bad;
    } cases[] = {{&List::InitLongList, 1, "abc"s},      {&List::InitLongList, 1, 3e9},
                 {&List::InitByteList, 1, 300},         {&List::InitByteList, 1, -1},
                 {&List::InitIntegerList, 1, 40000},    {&List::InitDoubleList, 1.5, "1e3"s},
                 {&List::InitStringList, "a"s, Value()}};
    for (const auto& c : cases) {
        List list;
        c.init(list);
        list.AddItem(c.good);
        const Value stored = list.GetItem(0);
        EXPECT_EQ(list.AddItem(c.bad), ListNotConvertible) << ValueText(c.bad);
        EXPECT_EQ(list.SetItem(0, c.bad), ListNotConvertible);
        EXPECT_EQ(list.GetItemCount(), 1);
        EXPECT_EQ(list.GetItem(0), stored);
    }
    List ports = LongList({80, 443});
    ports.DeleteItem(1);  // the freed slot once held 443
    ports.AddItem("x"s);
    EXPECT_EQ(ports.FindItem("=", 443), ListNotFound);
}

TEST(List, TextKeepsItsCaseAndItsHashFollowsIt) {
    List list;
    for (const char* text : {"Alpha", "b", "c"}) {
        list.AddItem(std::string(text));
    }
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
    EXPECT_EQ(list.AddItem(Value()), ListNotConvertible);
    EXPECT_EQ(list.SlotCount(), FreshSlots);  // no growth for a refused value
    EXPECT_EQ(list.AddItem("last"s), 0);
    EXPECT_EQ(list.SlotCount(), 40001);
    for (std::int32_t i : {0, 12345, 20000}) {
        EXPECT_EQ(list.FindItem("=", std::to_string(i)), i);  // hashes moved with the texts
    }
    EXPECT_EQ(list.FindItem("=", "LAST"s, false), FreshSlots);  // in the grown hash array
    list.Reset();
    EXPECT_EQ(list.GetItemCount(), 0);
    EXPECT_EQ(list.GetListMode(), ListModeString);
    EXPECT_EQ(list.SlotCount(), FreshSlots);
    list.AddItem("1"s);
    EXPECT_EQ(list.FindItem("=", "0"s), ListNotFound);  // earlier items are gone
}

}  // namespace
}  // namespace quarnel
