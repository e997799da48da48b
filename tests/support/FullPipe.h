#pragma once

#include "platform/linux/UniqueFd.h"

namespace quarnel::testsupport {

// A pipe full to the brim that nobody reads, as a launcher whose reader stalled leaves a
// program's output: a write to writeEnd (which blocks, as such a pipe's end does) waits until
// the test ends. Records a gtest failure when the system refuses.
struct FullPipe {
    FullPipe();
    platform::UniqueFd readEnd, writeEnd;
};

}  // namespace quarnel::testsupport
