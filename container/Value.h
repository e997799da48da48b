#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace quarnel {

// The tagged value that crosses the List interface and comes from the window's controls:
// null, text, byte, 16-bit integer, 32-bit integer or double.
using Value =
    std::variant<std::monostate, std::string, std::uint8_t, std::int16_t, std::int32_t, double>;

inline bool IsNull(const Value& v) {
    return std::holds_alternative<std::monostate>(v);
}

// Reads text as a number: blanks around it, an optional sign, digits with an optional fraction
// after a decimal point. Anything else is not a number.
std::optional<double> ReadNumber(std::string_view text);

// Rounds to the nearest whole number, a half to the even neighbour (2.5 -> 2, 3.5 -> 4).
double RoundHalfEven(double x);

// Conversions of a tagged value to each element type; nullopt where it cannot be converted.
// Numbers are rounded half to even; text is read as a number first.
std::optional<std::string> ToText(const Value& v);  // a number becomes its decimal text
std::optional<std::int32_t> ToLongValue(const Value& v);
std::optional<std::int16_t> ToIntegerValue(const Value& v);
std::optional<std::uint8_t> ToByteValue(const Value& v);
std::optional<double> ToDoubleValue(const Value& v);

// The text form of a value as the list box shows it; empty for null.
std::string ValueText(const Value& v);

}  // namespace quarnel
