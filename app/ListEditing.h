#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/Messages.h"
#include "engine/Manager.h"

class QListWidget;

namespace quarnel {

inline constexpr const char* InvalidIPText = "This is not a valid ip address.";
inline constexpr const char* InvalidPortText = "This is not a valid port number.";
inline constexpr const char* AddLocalIPsQuestion = "Add Local IP's to Allowed?";

// Lenient conversions: 0 where the text is not a number or lies outside the type's range;
// fractions are rounded half to even.
std::int16_t ToInteger(std::string_view text);
std::int32_t ToLong(std::string_view text);

// Four parts separated by ".", each a number from 0 to 255 (blanks, signs, leading zeros and
// fractions that round into range are accepted).
bool IsValidIP(std::string_view text);
// The stored text of an IPv6 entry: its RFC 5952 form, or a.b.c.d for an IPv4-mapped address
// (::ffff:a.b.c.d). None for text that is no IPv6 address, or one with a zone ("%eth0"), a prefix
// ("/64"), brackets or a port.
std::optional<std::string> IPv6Entry(std::string_view text);
// A port number from 1 to 65535 (a fraction is rounded first).
bool IsValidPort(std::string_view text);

// Adds the typed entry to the rule list shown, unless it is there already, then saves the rule
// lists and shows the view again. Refuses an invalid entry with a message.
void AddToCurrentList(Manager& oManager, std::string text, Messages& messages);

// Removes the first entry of the list shown that equals the entry selected in lstMain, then
// saves the rule lists and shows the view again.
void DeleteSelectedItem(Manager& oManager, const QListWidget& lstMain);

// Asks, then adds every local address missing from the allowed list. Saving is left to the
// next edit or to closing the window.
void AddLocalIPs(Manager& oManager, Messages& messages);

}  // namespace quarnel
