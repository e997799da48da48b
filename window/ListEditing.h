#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/Manager.h"
#include "window/Messages.h"

namespace quarnel {

inline constexpr const char* InvalidIPText = "This is not a valid ip address.";
inline constexpr const char* InvalidPortText = "This is not a valid port number.";
inline constexpr const char* AddLocalIPsQuestion = "Add Local IP's to Allowed?";

// Why a prefix with bits set past its length is not taken, naming the network it would be.
std::string HostBitsText(const std::string& network);

// The stored text of a typed entry of the allowed list (see platform::ParseAddressEntry, typed),
// or the message why it is not taken.
struct TypedEntry {
    std::string Text;
    std::string Problem;  // empty for an entry
};
TypedEntry TypedAllowedEntry(std::string_view text);

// Adds the typed entry to the rule list shown, unless it is there already, then saves the rule
// lists and shows the view again. Tells why an invalid entry is not taken.
void AddToCurrentList(Manager& oManager, std::string text, Messages& messages);
// The same for the rule list of view, whichever view is shown; whether the entry was taken.
bool AddToList(Manager& oManager, std::int16_t view, std::string text, Messages& messages);

// Removes the first entry of the list shown that equals selected, the text of the entry selected
// in lstMain (empty when none is), then saves the rule lists and shows the view again; with
// nothing selected, or an empty list shown, nothing happens.
void DeleteSelectedItem(Manager& oManager, const std::string& selected);

// Asks, then adds every local address missing from the allowed list. Saving is left to the
// next edit or to closing the window.
void AddLocalIPs(Manager& oManager, Messages& messages);

}  // namespace quarnel
