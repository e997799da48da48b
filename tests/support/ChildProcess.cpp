#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>

#include "platform/linux/UniqueFd.h"

namespace quarnel::testsupport {

namespace {

using platform::UniqueFd;

// How the child tells its end; a skip's reason travels through a pipe.
constexpr int kPassed = 0;
constexpr int kFailed = 1;
constexpr int kSkipped = 77;

// Fits into an empty pipe at once, so the child never waits on a parent that waits on it.
constexpr std::size_t kMaxReason = PIPE_BUF;

[[noreturn]] void RunChild(const std::function<void()>& body, int reasonFd, pid_t parent) {
    // Dies with the test process, so a killed test leaves nobody behind.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) {
        ::_exit(kFailed);
    }
    const testing::TestResult& result =
        *testing::UnitTest::GetInstance()->current_test_info()->result();
    const int firstPart = result.total_part_count();
    try {
        body();
    } catch (const std::exception& e) {
        ADD_FAILURE() << "uncaught exception: " << e.what();
    } catch (...) {
        ADD_FAILURE() << "uncaught exception";
    }
    // The verdict over the parts the body recorded, not those the test had before.
    int verdict = kPassed;
    std::string reason;
    for (int i = firstPart; i < result.total_part_count() && verdict != kFailed; ++i) {
        const testing::TestPartResult& part = result.GetTestPartResult(i);
        verdict = part.failed() ? kFailed : part.skipped() ? kSkipped : verdict;
        reason += part.skipped() ? part.message() : "";
    }
    reason.resize(std::min(reason.size(), kMaxReason));
    // A lost reason only makes the skip message shorter.
    (void)!::write(reasonFd, reason.data(), reason.size());
    std::cout.flush();
    std::fflush(nullptr);
    ::_exit(verdict);
}

}  // namespace

void RunInChildProcess(const std::function<void()>& body) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        FAIL() << "pipe2: " << std::strerror(errno);
    }
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);

    // Output still buffered here would otherwise be written twice, once by each process.
    std::cout.flush();
    std::fflush(nullptr);
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0) << "fork: " << std::strerror(errno);
    if (child == 0) {
        readEnd.Reset();
        RunChild(body, writeEnd.Get(), parent);
    }
    writeEnd.Reset();

    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child) << "waitpid: " << std::strerror(errno);
    if (WIFSIGNALED(status)) {
        FAIL() << "the child process was killed by signal " << WTERMSIG(status) << " ("
               << ::strsignal(WTERMSIG(status)) << ")";
    }
    std::string reason(kMaxReason, '\0');
    reason.resize(static_cast<std::size_t>(
        std::max<ssize_t>(0, ::read(readEnd.Get(), reason.data(), reason.size()))));
    switch (WEXITSTATUS(status)) {
        case kPassed:
            return;
        case kSkipped:
            GTEST_SKIP() << reason;
        default:
            ADD_FAILURE() << "the child process failed (exit status " << WEXITSTATUS(status)
                          << "); its failures are shown above";
    }
}

}  // namespace quarnel::testsupport
