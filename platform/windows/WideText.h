#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quarnel::platform {

// Windows' wide (UTF-16) text and the UTF-8 the rest of the program speaks.
std::wstring Widen(std::string_view utf8);
// None for text that is no valid UTF-16 (a lone surrogate).
std::optional<std::string> Narrow(std::wstring_view wide);

// What Windows says of an error code, in one line without the closing period: "Access is
// denied". "error N" where it says nothing.
std::string SystemErrorText(unsigned long code);

}  // namespace quarnel::platform
