#pragma once

#include <cstdint>
#include <string>

#include "container/List.h"

namespace quarnel {

// The remote address text stands on the allowed list (exact text); false for empty text.
bool IsAllowedIP(const std::string& text, const List& oAllowedIP);

// The port stands on the given list of 32-bit integers.
bool IsInList(std::int32_t port, const List& oList);

}  // namespace quarnel
