#pragma once

#include <chrono>

#include "engine/Engine.h"

namespace quarnel {

// How long the loop that runs the engine (the window program's, the service's) may wait for news
// before its next pass. A close to try again, or a table that cannot tell when it changes, wants
// the next pass after kShortestWait; otherwise the table's news ends the wait, which ends
// after kLongestWait anyway: a table that stops telling (a helper that stops answering) is found
// out only by a pass that asks it.
inline constexpr std::chrono::milliseconds kShortestWait{1};
inline constexpr std::chrono::milliseconds kLongestWait{250};

// tableTells: the table wakes the loop when it changes.
inline std::chrono::milliseconds WaitBeforePass(const Engine& engine, bool tableTells) {
    return tableTells && !engine.PassDue() ? kLongestWait : kShortestWait;
}

}  // namespace quarnel
