#include <algorithm>
#include <optional>

#include "container/List.h"
#include "container/TextCase.h"

namespace quarnel {

namespace {

enum class Relation { Equal, Less, Greater, LessOrEqual, GreaterOrEqual };

// Compared exactly and without trimming: these operators have no letters to fold.
std::optional<Relation> NumberRelation(std::string_view op) {
    if (op == "=") {
        return Relation::Equal;
    }
    if (op == "<") {
        return Relation::Less;
    }
    if (op == ">") {
        return Relation::Greater;
    }
    if (op == "<=") {
        return Relation::LessOrEqual;
    }
    if (op == ">=") {
        return Relation::GreaterOrEqual;
    }
    return std::nullopt;
}

// The first index in [start, count) in scan order that satisfies match, or not found.
template <typename Match>
std::int32_t Scan(std::int32_t start, std::int32_t count, bool reversed, Match match) {
    if (reversed) {
        for (std::int32_t i = count - 1; i >= start; --i) {
            if (match(static_cast<std::size_t>(i))) {
                return i;
            }
        }
    } else {
        for (std::int32_t i = start; i < count; ++i) {
            if (match(static_cast<std::size_t>(i))) {
                return i;
            }
        }
    }
    return ListNotFound;
}

template <typename T>
std::int32_t FindNumber(const std::vector<T>& items, std::optional<T> converted,
                        std::string_view op, std::int32_t start, std::int32_t count,
                        bool reversed) {
    if (!converted) {
        return ListNotConvertible;
    }
    const std::optional<Relation> relation = NumberRelation(op);
    if (!relation) {
        return ListNotFound;
    }
    // Bytes promote to int with their unsigned value, so they compare as 0..255.
    const T value = *converted;
    const T* data = items.data();
    switch (*relation) {
        case Relation::Equal:
            return Scan(start, count, reversed, [&](std::size_t i) { return data[i] == value; });
        case Relation::Less:
            return Scan(start, count, reversed, [&](std::size_t i) { return data[i] < value; });
        case Relation::Greater:
            return Scan(start, count, reversed, [&](std::size_t i) { return data[i] > value; });
        case Relation::LessOrEqual:
            return Scan(start, count, reversed, [&](std::size_t i) { return data[i] <= value; });
        case Relation::GreaterOrEqual:
            return Scan(start, count, reversed, [&](std::size_t i) { return data[i] >= value; });
    }
    return ListNotFound;
}

// Whether needle occurs in item at a 0-based offset of from or later. An empty needle
// matches where a character stands at from.
bool Contains(std::string_view item, std::string_view needle, std::size_t from,
              bool caseSensitive) {
    if (from >= item.size()) {
        return false;
    }
    if (needle.empty()) {
        return true;
    }
    item.remove_prefix(from);
    if (caseSensitive) {
        return item.find(needle) != std::string_view::npos;
    }
    return std::search(item.begin(), item.end(), needle.begin(), needle.end(), SameChar) !=
           item.end();
}

}  // namespace

std::int32_t List::FindItem(std::string_view Operator, const Value& value, bool CaseSensitive,
                            std::int32_t StartAtIndex, bool SearchReversed,
                            std::int32_t SubStringStart) const {
    if (Operator.empty()) {
        return ListEmptyOperator;
    }
    if (ItemCount == 0) {
        return ListNotFound;
    }
    if (StartAtIndex < 0 || StartAtIndex > ItemCount - 1) {
        return ListOutOfRange;
    }
    switch (ListMode) {
        case ListModeLong:
            return FindNumber(LongItems, ToLongValue(value), Operator, StartAtIndex, ItemCount,
                              SearchReversed);
        case ListModeDouble:
            return FindNumber(DoubleItems, ToDoubleValue(value), Operator, StartAtIndex, ItemCount,
                              SearchReversed);
        case ListModeByte:
            return FindNumber(ByteItems, ToByteValue(value), Operator, StartAtIndex, ItemCount,
                              SearchReversed);
        case ListModeInteger:
            return FindNumber(IntegerItems, ToIntegerValue(value), Operator, StartAtIndex,
                              ItemCount, SearchReversed);
        default:
            break;
    }

    // A text value is searched in place; only a number is turned into its decimal text.
    std::string converted;
    std::string_view needle;
    if (const auto* text = std::get_if<std::string>(&value)) {
        needle = *text;
    } else if (auto asText = ToText(value)) {
        converted = std::move(*asText);
        needle = converted;
    } else {
        return ListNotConvertible;
    }

    if (Operator == "=") {
        // Both hashes are over lowercased text, so the hash filters either way and the text
        // comparison decides.
        const std::int32_t hash = HashLowercased(needle);
        return Scan(StartAtIndex, ItemCount, SearchReversed, [&](std::size_t i) {
            return LongItems[i] == hash &&
                   (CaseSensitive ? StringItems[i] == needle
                                  : EqualsIgnoreCase(StringItems[i], needle));
        });
    }
    if (EqualsIgnoreCase(Operator, "LIKE")) {
        // A start position below 1 searches from the first character.
        const std::size_t from =
            SubStringStart < 1 ? 0 : static_cast<std::size_t>(SubStringStart) - 1;
        return Scan(StartAtIndex, ItemCount, SearchReversed, [&](std::size_t i) {
            return Contains(StringItems[i], needle, from, CaseSensitive);
        });
    }
    return ListOperatorNotForText;
}

}  // namespace quarnel
