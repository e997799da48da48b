// Log lines to a descriptor: a pipe nobody reads makes the write fail at once instead of
// waiting, and a line as long as the output promises goes in whole.

#include "platform/linux/client/DescriptorOutput.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <string>

#include "tests/support/FullPipe.h"

namespace quarnel::platform {
namespace {

TEST(DescriptorOutput, AFullPipeRefusesAtOnceAndAPipeWithRoomTakesTheLongestLineWhole) {
    const testsupport::FullPipe pipe;  // its write end blocks: the test hangs if a write waits
    DescriptorOutput output(pipe.writeEnd.Get());
    EXPECT_FALSE(output.TryWrite("closed\n"));

    std::string drained(1 << 20, '\0');
    ASSERT_GT(::read(pipe.readEnd.Get(), drained.data(), drained.size()), 0);
    ASSERT_EQ(output.LongestLine(), std::size_t{PIPE_BUF});
    const std::string longest = std::string(PIPE_BUF - 1, 'x') + "\n";
    EXPECT_TRUE(output.TryWrite(longest));
    std::string read(2 * PIPE_BUF, '\0');
    read.resize(static_cast<std::size_t>(::read(pipe.readEnd.Get(), read.data(), read.size())));
    EXPECT_EQ(read, longest);
}

}  // namespace
}  // namespace quarnel::platform
