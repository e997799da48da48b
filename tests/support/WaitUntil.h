#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace quarnel::testsupport {

// Asks condition every millisecond until it holds or timeout has passed; whether it held. For
// what the kernel finishes on its own time (a state change after a packet), never for timing.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace quarnel::testsupport
