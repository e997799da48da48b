#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>

#include <csignal>

#include "app/SingleInstance.h"

namespace quarnel {
namespace {

TEST(SingleInstance, OnlyOneRunsAndADeadOnesLockIsTakenOver) {
    const QTemporaryDir folder;
    int ready[2] = {-1, -1};
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t other = ::fork();
    if (other == 0) {
        SingleInstance running(folder.path());
        const char claimed = running.Claim() ? 1 : 0;
        (void)::write(ready[1], &claimed, 1);
        ::pause();  // holds the lock until killed, which leaves the lock file behind
        ::_exit(0);
    }
    ASSERT_GT(other, 0);
    char claimed = 0;
    ASSERT_EQ(::read(ready[0], &claimed, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_EQ(claimed, 1);

    EXPECT_FALSE(SingleInstance(folder.path()).Claim());
    ASSERT_EQ(::kill(other, SIGKILL), 0);
    ASSERT_EQ(::waitpid(other, nullptr, 0), other);
    EXPECT_TRUE(SingleInstance(folder.path()).Claim());
}

}  // namespace
}  // namespace quarnel
