#include "container/List.h"
#include "container/TextCase.h"

namespace quarnel {

std::int32_t ShiftLeft(std::int32_t value, std::int32_t n) {
    if (n < 0 || n > 31) {
        return 0;
    }
    // Shift the bit pattern unsigned: bits past bit 31 drop without overflow.
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value) << n);
}

namespace {

template <typename Fold>
std::int32_t HashBytes(std::string_view text, Fold fold) {
    std::int32_t h = 0;
    for (char c : text) {
        h = ShiftLeft(h, 1) ^ static_cast<unsigned char>(fold(c));
    }
    return h;
}

}  // namespace

std::int32_t HashString(std::string_view text) {
    return HashBytes(text, [](char c) { return c; });
}

std::int32_t HashLowercased(std::string_view text) {
    return HashBytes(text, LowerAscii);
}

}  // namespace quarnel
