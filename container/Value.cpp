#include "container/Value.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <type_traits>

namespace quarnel {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// A whole number of type T from a value, rounded half to even; nullopt when out of T's range.
template <typename T>
std::optional<T> ToWhole(const Value& v) {
    constexpr double low = std::numeric_limits<T>::min();
    constexpr double high = std::numeric_limits<T>::max();
    std::optional<double> number = ToDoubleValue(v);
    if (!number) {
        return std::nullopt;
    }
    const double rounded = RoundHalfEven(*number);
    // Written so that NaN fails too.
    if (!(rounded >= low && rounded <= high)) {
        return std::nullopt;
    }
    return static_cast<T>(rounded);
}

}  // namespace

// Accepted: [blanks] [+|-] digits [. [digits]] [blanks], or [blanks] [+|-] . digits [blanks],
// where blanks are spaces and tabs. Not accepted: empty text, a lone sign or point, exponents, hex,
// "inf"/"nan", thousands separators, blanks inside the number, and numbers too large for a
// double.
std::optional<double> ReadNumber(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    // from_chars would also take "inf", "nan" and a second sign; the rest it rejects itself.
    if (text.find_first_not_of("0123456789.") != std::string_view::npos) {
        return std::nullopt;
    }
    double result = 0;
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), result, std::chars_format::fixed);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return negative ? -result : result;
}

double RoundHalfEven(double x) {
    // The default rounding mode, which nothing in the program changes, takes a half to even.
    return std::nearbyint(x);
}

std::optional<std::string> ToText(const Value& v) {
    return std::visit(
        [](const auto& x) -> std::optional<std::string> {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                return std::nullopt;
            } else if constexpr (std::is_same_v<T, std::string>) {
                return x;
            } else if constexpr (std::is_same_v<T, double>) {
                // Shortest text that reads back as the same double.
                char buffer[32];
                const auto result = std::to_chars(buffer, buffer + sizeof buffer, x);
                return std::string(buffer, result.ptr);
            } else {
                return std::to_string(x);
            }
        },
        v);
}

std::optional<double> ToDoubleValue(const Value& v) {
    return std::visit(
        [](const auto& x) -> std::optional<double> {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                return std::nullopt;
            } else if constexpr (std::is_same_v<T, std::string>) {
                return ReadNumber(x);
            } else {
                return static_cast<double>(x);
            }
        },
        v);
}

std::optional<std::int32_t> ToLongValue(const Value& v) {
    return ToWhole<std::int32_t>(v);
}
std::optional<std::int16_t> ToIntegerValue(const Value& v) {
    return ToWhole<std::int16_t>(v);
}
std::optional<std::uint8_t> ToByteValue(const Value& v) {
    return ToWhole<std::uint8_t>(v);
}

std::string ValueText(const Value& v) {
    return ToText(v).value_or(std::string());
}

}  // namespace quarnel
