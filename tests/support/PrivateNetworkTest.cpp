// The isolation every connection-closing test relies on, and how a child's end reaches the test.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <stdexcept>

#include "tests/support/ChildProcess.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"

namespace quarnel::testsupport {
namespace {

ino_t NetworkNamespace() {
    struct stat info {};
    EXPECT_EQ(::stat("/proc/self/ns/net", &info), 0);
    return info.st_ino;
}

TEST(PrivateNetwork, BodyRunsInANetworkOfItsOwnWithOnlyLoopbackUp) {
    const ino_t testNetwork = NetworkNamespace();
    RunInPrivateNetwork([testNetwork] {
        EXPECT_NE(NetworkNamespace(), testNetwork);
        struct if_nameindex* devices = ::if_nameindex();
        ASSERT_NE(devices, nullptr);
        int count = 0;
        for (const struct if_nameindex* d = devices; d->if_index != 0; ++d, ++count) {
            EXPECT_STREQ(d->if_name, "lo");
        }
        ::if_freenameindex(devices);
        EXPECT_EQ(count, 1);
        Listener listener = ListenIPv4();
        ASSERT_TRUE(listener.fd);
        EXPECT_TRUE(Connect(listener).server) << "loopback is not up";
    });
}

// How a test that ran body in a child ended: 0 passed, 1 failed, 2 skipped. Found out in a
// process of its own, since the point is to see that test fail; its messages about the
// deliberate failures would only confuse the output, so they go nowhere.
int EndOfTestWith(const std::function<void()>& body) {
    std::cout.flush();
    std::fflush(nullptr);
    const pid_t test = ::fork();
    if (test == 0) {
        const int nowhere = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (nowhere < 0 || ::dup2(nowhere, STDOUT_FILENO) < 0 ||
            ::dup2(nowhere, STDERR_FILENO) < 0) {
            ::_exit(3);
        }
        RunInChildProcess(body);
        ::_exit(::testing::Test::HasFailure() ? 1 : ::testing::Test::IsSkipped() ? 2 : 0);
    }
    int status = 0;
    EXPECT_EQ(::waitpid(test, &status, 0), test);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ChildProcess, ItsEndBecomesTheTestsEnd) {
    struct Case {
        const char* name;
        std::function<void()> body;
        int end;
    };
    const Case cases[] = {
        {"passes", [] { EXPECT_TRUE(true); }, 0},
        {"EXPECT fails", [] { EXPECT_TRUE(false) << "deliberate failure"; }, 1},
        {"ASSERT fails", [] { ASSERT_TRUE(false) << "deliberate failure"; }, 1},
        {"throws", [] { throw std::runtime_error("deliberate exception"); }, 1},
        {"aborts", [] { std::abort(); }, 1},
        {"skips", [] { GTEST_SKIP() << "deliberate skip"; }, 2},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EndOfTestWith(c.body), c.end) << "a child that " << c.name;
    }
}

}  // namespace
}  // namespace quarnel::testsupport
