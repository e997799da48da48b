#pragma once

#include <string_view>

namespace quarnel {

// The access key a button answers after a repaint, given the key it had: the character after
// the first "&" of an enabled button's caption (none when "&" ends the caption, the ampersand
// itself after "&&"); an enabled caption without "&" keeps the key it had; a disabled button
// answers none. Captions are UTF-16, as both toolkits hold them; 0 is no key.
char16_t NextAccessKey(std::u16string_view caption, bool enabled, char16_t current);

}  // namespace quarnel
