#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "container/Value.h"

namespace quarnel {

// Result codes of the List operations.
inline constexpr std::int32_t ListNotFound = -2;
inline constexpr std::int32_t ListOutOfRange = -3;
inline constexpr std::int32_t ListEmptyOperator = -4;
inline constexpr std::int32_t ListOperatorNotForText = -5;
inline constexpr std::int32_t ListNotConvertible = -6;

// Element type codes, as GetListMode returns them.
enum ListModeCode : std::int16_t {
    ListModeString = 0,
    ListModeLong = 1,
    ListModeDouble = 2,
    ListModeByte = 3,
    ListModeInteger = 4,
};

// An ordered, growable sequence of items of one element type, with a hash beside every text
// item so that equality search compares texts only where the hashes agree. Storage is
// preallocated: 20,001 slots after every Init operation and Reset, 20,000 more when full.
class List {
public:
    List();  // an initialized, empty text list

    void InitStringList();
    void InitLongList();
    void InitDoubleList();
    void InitByteList();
    void InitIntegerList();
    std::int16_t GetListMode() const;

    // 0, or -6 (nothing appended) when the value cannot be converted to the element type.
    std::int32_t AddItem(const Value& v);
    // 0; -3 when Count is negative or exceeds the number of items.
    std::int32_t DeleteLastItems(std::int32_t Count);
    void Reset();
    std::int32_t DeleteItem(std::int32_t index);
    // The index of the first match in scan order, or a negative code.
    std::int32_t FindItem(std::string_view Operator, const Value& value, bool CaseSensitive = true,
                          std::int32_t StartAtIndex = 0, bool SearchReversed = false,
                          std::int32_t SubStringStart = 1) const;
    std::int32_t GetItemCount() const;
    Value GetItem(std::int32_t index) const;
    std::int32_t SetItem(std::int32_t index, const Value& value);
    Value ExtractItem(std::int32_t index);
    Value ExtractLastItem();

    // Allocated slots (UpperBound + 1), read-only, so that growth can be observed.
    std::int32_t SlotCount() const;

private:
    // Implementation detail of the container; see List.cpp.
    void InitList(std::int32_t mode);
    void Grow();
    // Calls f(array, inUse) for each of the five arrays; inUse for those of the element type.
    template <typename F>
    void ForEachArray(F f);
    bool Convertible(const Value& v) const;
    bool StoreItem(std::int32_t index, const Value& v);

    std::vector<std::string> StringItems;
    std::vector<std::int32_t> LongItems;  // 32-bit items, or the hashes of a text list
    std::vector<double> DoubleItems;
    std::vector<std::uint8_t> ByteItems;
    std::vector<std::int16_t> IntegerItems;
    std::int32_t ListMode = ListModeString;
    std::int32_t ItemCount = 0;
    std::int32_t UpperBound = 0;
};

// 32-bit hash of a text: h = ShiftLeft(h, 1) XOR byte, over every byte. Callers pass the
// lowercased text.
std::int32_t HashString(std::string_view text);
// value shifted left by n bits within 32 bits; 0 for n outside 0..31.
std::int32_t ShiftLeft(std::int32_t value, std::int32_t n);

}  // namespace quarnel
