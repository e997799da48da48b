#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/ManagerWindow.h"
#include "platform/HostAddressSource.h"

namespace quarnel {

// "GetIP: error 12: description": the text telling the user of an unexpected failure.
std::string ErrorText(std::string_view procedureName, std::int32_t number,
                      std::string_view description);

// Shows ErrorText in the window's message box; without a window there is nobody to tell.
void ReportError(ManagerWindow* window, std::string_view procedureName, std::int32_t number,
                 std::string_view description);

// The machine's own addresses, each followed by one blank ("192.0.2.5 198.51.100.20 ::1 "):
// the IPv4 ones first, then the IPv6 ones; empty when none are found. An unexpected failure is
// reported and gives empty text.
std::string GetIP(platform::HostAddressSource& hosts, ManagerWindow* window);

}  // namespace quarnel
