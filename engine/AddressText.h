#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/IpAddress.h"

namespace quarnel {

// The address a text names: dotted IPv4 (four decimal parts, no leading zeros) or any IPv6 form
// the system reads (long-hand, compressed, upper case, with a dotted tail). An IPv4 address comes
// back IPv4-mapped. None for anything else: blanks, a zone ("%eth0"), a prefix, brackets, a port.
std::optional<platform::IpAddress> ParseAddress(std::string_view text);

// The RFC 5952 text of an IPv6 address: lower-case hexadecimal without leading zeros, the
// longest run of two or more zero groups (the first of equals) written "::".
std::string IPv6Text(const platform::IpAddress& address);

// The one text of an address: dotted decimal for an IPv4-mapped one, else its IPv6Text.
std::string CanonicalAddressText(const platform::IpAddress& address);

}  // namespace quarnel
