#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/UniqueFd.h"

namespace quarnel::testsupport {

// A pipe full to the brim that nobody reads, as a launcher whose reader stalled leaves a
// program's output: a write to writeEnd (which blocks, as such a pipe's end does) waits until
// the test ends. Records a gtest failure when the system refuses.
struct FullPipe {
    FullPipe() {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe2: " << std::strerror(errno);
            return;
        }
        readEnd.Reset(ends[0]);
        writeEnd.Reset(ends[1]);
        (void)::fcntl(writeEnd.Get(), F_SETPIPE_SZ, 4096);  // a smaller pipe only fills sooner
        // Filled without waiting, then made to block again as it was.
        EXPECT_EQ(::fcntl(writeEnd.Get(), F_SETFL, O_NONBLOCK), 0);
        const char block[512] = {};
        while (::write(writeEnd.Get(), block, sizeof block) > 0) {
        }
        EXPECT_EQ(errno, EAGAIN);
        EXPECT_EQ(::fcntl(writeEnd.Get(), F_SETFL, 0), 0);
    }
    platform::UniqueFd readEnd, writeEnd;
};

}  // namespace quarnel::testsupport
