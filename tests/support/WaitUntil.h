#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace quarnel::testsupport {

// How long a test waits for what another process or the kernel does in its own time. Each wait
// has one deadline, and a test ends at the first that passes (ASSERT_TRUE(WaitUntil(...))): a
// fault then fails the test in seconds, rather than at every later wait until ctest's timeout.
//
// What follows at once from what the test did, once the one that acts is running: a close, a
// kernel report, a reply, a line logged.
inline constexpr std::chrono::seconds kEventTimeout{10};
// A program the test started (under the sanitizers, on a machine busy with other tests) until it
// says it runs.
inline constexpr std::chrono::seconds kStartTimeout{60};

// Asks condition every millisecond until it holds or timeout has passed; whether it held. For
// what the kernel or another process finishes in its own time, never for timing.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = kEventTimeout) {
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
