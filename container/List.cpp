#include "container/List.h"

#include <algorithm>
#include <utility>

#include "container/TextCase.h"

namespace quarnel {

namespace {

// 20,001 slots: UpperBound starts at 20000 and slot UpperBound is usable.
constexpr std::size_t InitialSlots = 20001;
constexpr std::size_t GrowthSlots = 20000;

// Brings an array to the initial slots: a list that never grew keeps its storage, so that
// emptying and refilling it costs no allocation; growth is given back; unused arrays are freed.
template <typename T>
void FitInitial(std::vector<T>& items, bool inUse) {
    if (!inUse) {
        items = std::vector<T>();
    } else if (items.size() != InitialSlots) {
        items = std::vector<T>(InitialSlots);
    }
}

template <typename T>
bool Put(std::vector<T>& items, std::int32_t index, std::optional<T> value) {
    if (!value) {
        return false;
    }
    items[static_cast<std::size_t>(index)] = *value;
    return true;
}

}  // namespace

// A list nobody initialized is an empty text list, so every operation works on it.
List::List() {
    InitList(ListModeString);
}

void List::InitStringList() {
    InitList(ListModeString);
}
void List::InitLongList() {
    InitList(ListModeLong);
}
void List::InitDoubleList() {
    InitList(ListModeDouble);
}
void List::InitByteList() {
    InitList(ListModeByte);
}
void List::InitIntegerList() {
    InitList(ListModeInteger);
}
void List::Reset() {
    InitList(ListMode);
}

std::int16_t List::GetListMode() const {
    return static_cast<std::int16_t>(ListMode);
}
std::int32_t List::GetItemCount() const {
    return ItemCount;
}
std::int32_t List::SlotCount() const {
    return UpperBound + 1;
}

template <typename F>
void List::ForEachArray(F f) {
    f(StringItems, ListMode == ListModeString);
    // A text list keeps the hash of each item in the 32-bit array.
    f(LongItems, ListMode == ListModeString || ListMode == ListModeLong);
    f(DoubleItems, ListMode == ListModeDouble);
    f(ByteItems, ListMode == ListModeByte);
    f(IntegerItems, ListMode == ListModeInteger);
}

void List::InitList(std::int32_t mode) {
    ListMode = mode;
    // Slots beyond ItemCount are never read, so reused slots need no clearing.
    ForEachArray([](auto& items, bool inUse) { FitInitial(items, inUse); });
    ItemCount = 0;
    UpperBound = static_cast<std::int32_t>(InitialSlots) - 1;
}

void List::Grow() {
    const std::size_t slots = static_cast<std::size_t>(UpperBound) + 1 + GrowthSlots;
    ForEachArray([slots](auto& items, bool inUse) {
        if (inUse) {
            items.reserve(slots);  // exactly the new slot count, not a doubling
            items.resize(slots);
        }
    });
    UpperBound += static_cast<std::int32_t>(GrowthSlots);
}

bool List::Convertible(const Value& v) const {
    switch (ListMode) {
        case ListModeString:
            return !IsNull(v);
        case ListModeLong:
            return ToLongValue(v).has_value();
        case ListModeDouble:
            return ToDoubleValue(v).has_value();
        case ListModeByte:
            return ToByteValue(v).has_value();
        case ListModeInteger:
            return ToIntegerValue(v).has_value();
    }
    return false;
}

bool List::StoreItem(std::int32_t index, const Value& v) {
    switch (ListMode) {
        case ListModeString: {
            std::string& slot = StringItems[static_cast<std::size_t>(index)];
            if (const auto* text = std::get_if<std::string>(&v)) {
                slot = *text;  // reuses the slot's buffer when it is large enough
            } else if (auto converted = ToText(v)) {
                slot = std::move(*converted);
            } else {
                return false;
            }
            LongItems[static_cast<std::size_t>(index)] = HashLowercased(slot);
            return true;
        }
        case ListModeLong:
            return Put(LongItems, index, ToLongValue(v));
        case ListModeDouble:
            return Put(DoubleItems, index, ToDoubleValue(v));
        case ListModeByte:
            return Put(ByteItems, index, ToByteValue(v));
        case ListModeInteger:
            return Put(IntegerItems, index, ToIntegerValue(v));
    }
    return false;
}

std::int32_t List::AddItem(const Value& v) {
    if (ItemCount > UpperBound) {
        // Grow only for a value that will be stored.
        if (!Convertible(v)) {
            return ListNotConvertible;
        }
        Grow();
    }
    if (!StoreItem(ItemCount, v)) {
        return ListNotConvertible;
    }
    ++ItemCount;
    return 0;
}

std::int32_t List::DeleteLastItems(std::int32_t Count) {
    if (Count < 0 || Count > ItemCount) {
        return ListOutOfRange;
    }
    ItemCount -= Count;
    return 0;
}

std::int32_t List::DeleteItem(std::int32_t index) {
    if (index < 0 || index >= ItemCount) {
        return ListOutOfRange;
    }
    ForEachArray([index, count = ItemCount](auto& items, bool inUse) {
        if (inUse) {  // a text keeps its hash beside it
            std::move(items.begin() + index + 1, items.begin() + count, items.begin() + index);
        }
    });
    --ItemCount;
    return 0;
}

Value List::GetItem(std::int32_t index) const {
    if (index < 0 || index >= ItemCount) {
        return Value();
    }
    const auto slot = static_cast<std::size_t>(index);
    switch (ListMode) {
        case ListModeString:
            return StringItems[slot];
        case ListModeLong:
            return LongItems[slot];
        case ListModeDouble:
            return DoubleItems[slot];
        case ListModeByte:
            return ByteItems[slot];
        case ListModeInteger:
            return IntegerItems[slot];
    }
    return Value();
}

std::int32_t List::SetItem(std::int32_t index, const Value& value) {
    if (index < 0 || index >= ItemCount) {
        return ListOutOfRange;
    }
    return StoreItem(index, value) ? 0 : ListNotConvertible;
}

Value List::ExtractItem(std::int32_t index) {
    Value item = GetItem(index);
    if (!IsNull(item)) {
        (void)DeleteItem(index);  // cannot fail: index names an item
    }
    return item;
}

Value List::ExtractLastItem() {
    return ExtractItem(ItemCount - 1);
}

}  // namespace quarnel
