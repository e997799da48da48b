#pragma once

#include <algorithm>
#include <cstdint>
#include <string_view>

// The one case mapping of text lists: ASCII letters fold to lower case, every other byte
// (including 128..255) stays as it is.
namespace quarnel {

inline char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

inline bool SameChar(char a, char b) {
    return LowerAscii(a) == LowerAscii(b);
}

inline bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, SameChar);
}

// HashString of the lowercased text, without building the lowercased copy.
std::int32_t HashLowercased(std::string_view text);

}  // namespace quarnel
