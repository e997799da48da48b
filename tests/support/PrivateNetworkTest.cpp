// The isolation every connection-closing test relies on, and that a child's failure is never
// lost: a fault here would let every namespace test pass without testing anything.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

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
        EXPECT_STREQ(devices[0].if_name, "lo");
        EXPECT_EQ(devices[1].if_index, 0u) << "a device besides lo";
        ::if_freenameindex(devices);
        const Listener listener = ListenIPv4();
        EXPECT_TRUE(Connect(listener).server) << "loopback is not up";
    });
}

// How a test that ran body in a child ended: 0 passed, 1 failed, 2 skipped. Found out in a
// process of its own, whose messages about the deliberate failures go nowhere.
int EndOfTestWith(const std::function<void()>& body) {
    const pid_t test = ::fork();
    if (test == 0) {
        const int nowhere = ::open("/dev/null", O_WRONLY);
        (void)!::dup2(nowhere, STDOUT_FILENO);
        (void)!::dup2(nowhere, STDERR_FILENO);
        RunInChildProcess(body);
        ::_exit(::testing::Test::HasFailure() ? 1 : ::testing::Test::IsSkipped() ? 2 : 0);
    }
    int status = 0;
    EXPECT_EQ(::waitpid(test, &status, 0), test);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ChildProcess, ItsEndBecomesTheTestsEnd) {
    const struct {
        const char* name;
        std::function<void()> body;
        int end;
    } cases[] = {
        {"passes", [] {}, 0},
        {"fails", [] { ASSERT_TRUE(false); }, 1},
        {"aborts", [] { std::abort(); }, 1},
        {"skips", [] { GTEST_SKIP(); }, 2},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EndOfTestWith(c.body), c.end) << "a child that " << c.name;
    }
}

}  // namespace
}  // namespace quarnel::testsupport
