#pragma once

#include <string>
#include <utility>
#include <vector>

#include "engine/SettingsStore.h"

namespace quarnel {

// The keys of the three rule lists in the settings store, and the allowed list of a first run.
inline constexpr const char* BlockedLocalPortsKey = "BlockedLocalPortsString";
inline constexpr const char* BlockedRemotePortsKey = "BlockedRemotePortsString";
inline constexpr const char* AllowedIPKey = "AllowedIPString";
// Loopback of both IP versions, so that both are guarded alike from the first start on.
inline constexpr const char* DefaultAllowedIP = "127.0.0.1,::1";

// What the user is told when the rule lists could not be written to location.
std::string SaveFailedText(const std::string& location);

// What the user is told at start about a store in condition at location; empty when it was
// read.
std::string LoadProblemText(const std::string& location, const StoreCondition& condition);

// What the user is told at start about stored entries that are not of their list's kind:
// pairs of the list's name and the entry. Empty when there are none.
std::string UnloadedPiecesText(const std::vector<std::pair<std::string, std::string>>& pieces);

// Where the stored lists were copied before entries left out are dropped (empty: nowhere), in
// words for the user.
std::string KeptCopyText(const std::string& copy);

}  // namespace quarnel
