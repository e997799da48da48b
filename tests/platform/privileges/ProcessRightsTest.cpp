// What the process may still open: the soft open-files limit less the descriptors it holds.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "platform/linux/UniqueFd.h"
#include "platform/linux/privileges/ProcessRights.h"

namespace quarnel::platform {
namespace {

TEST(ProcessRights, FreeDescriptorsAreWhatTheSoftLimitLeaves) {
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
    rlimit low = before;
    low.rlim_cur = 100;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    const std::optional<std::size_t> free = FreeDescriptors();
    ASSERT_TRUE(free.has_value());
    EXPECT_LT(*free, 100u);
    {
        const UniqueFd one(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(one);
        EXPECT_EQ(FreeDescriptors(), *free - 1);
    }
    EXPECT_EQ(FreeDescriptors(), free);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &before), 0);
    if (before.rlim_cur != RLIM_INFINITY) {
        EXPECT_EQ(FreeDescriptors(), *free + (before.rlim_cur - 100));
    }
}

}  // namespace
}  // namespace quarnel::platform
