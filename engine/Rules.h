#pragma once

#include <cstdint>
#include <string>

#include "container/List.h"
#include "platform/BlockingRules.h"

namespace quarnel {

// The remote address text stands on the allowed list (exact text); false for empty text.
bool IsAllowedIP(const std::string& text, const List& oAllowedIP);

// The port stands on the given list of 32-bit integers.
bool IsInList(std::int32_t port, const List& oList);

// The three lists compiled for a filter in the system that must block exactly what the pass
// blocks: allowed entries that are no address, and ports out of 0..65535, match no connection
// and are left out.
platform::BlockingRules CompileBlockingRules(const List& oAllowedIP, const List& oBlockedLocalPorts,
                                             const List& oBlockedRemotePorts);

}  // namespace quarnel
