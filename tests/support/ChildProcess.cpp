#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

namespace quarnel::testsupport {

namespace {

// How the child tells its end; what it recorded is printed from the child itself.
constexpr int kFailed = 1;
constexpr int kSkipped = 77;

[[noreturn]] void RunChild(const std::function<void()>& body, pid_t parent) {
    // Dies with the test process, so a killed test leaves nobody behind.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) {
        ::_exit(kFailed);
    }
    const testing::TestResult& result =
        *testing::UnitTest::GetInstance()->current_test_info()->result();
    const int firstPart = result.total_part_count();
    // Left uncaught, an exception would carry the child on into the tests that follow.
    try {
        body();
    } catch (...) {
        ADD_FAILURE() << "uncaught exception";
    }
    // The verdict over the parts the body recorded, not those the test had before.
    int verdict = 0;
    for (int i = firstPart; i < result.total_part_count() && verdict != kFailed; ++i) {
        const testing::TestPartResult& part = result.GetTestPartResult(i);
        verdict = part.failed() ? kFailed : part.skipped() ? kSkipped : verdict;
    }
    std::fflush(nullptr);
    ::_exit(verdict);
}

}  // namespace

void RunInChildProcess(const std::function<void()>& body) {
    // Output still buffered here would otherwise be written twice, once by each process (std::cout
    // writes through stdio's buffers).
    std::fflush(nullptr);
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0) << "fork: " << std::strerror(errno);
    if (child == 0) {
        RunChild(body, parent);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child) << "waitpid: " << std::strerror(errno);
    if (WIFSIGNALED(status)) {
        FAIL() << "the child process was killed by signal " << WTERMSIG(status) << " ("
               << ::strsignal(WTERMSIG(status)) << ")";
    }
    if (WEXITSTATUS(status) == kSkipped) {
        GTEST_SKIP() << "skipped in the child process, for the reason shown above";
    }
    if (WEXITSTATUS(status) != 0) {
        ADD_FAILURE() << "the child process failed; its failures are shown above";
    }
}

}  // namespace quarnel::testsupport
