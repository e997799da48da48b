#include "controls/AccessKey.h"

namespace quarnel {

char16_t NextAccessKey(std::u16string_view caption, bool enabled, char16_t current) {
    if (!enabled) {
        return 0;
    }
    const auto marker = caption.find(u'&');
    if (marker == std::u16string_view::npos) {
        return current;
    }
    return marker + 1 < caption.size() ? caption[marker + 1] : char16_t{0};
}

}  // namespace quarnel
