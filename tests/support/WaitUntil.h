#pragma once

#include <chrono>
#include <functional>

namespace quarnel::testsupport {

// Asks condition every millisecond until it holds or timeout has passed; whether it held. For
// what the kernel finishes on its own time (a state change after a packet), never for timing.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace quarnel::testsupport
