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

const testing::TestResult* CurrentResult() {
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    return test != nullptr ? test->result() : nullptr;
}

// The child's verdict over the parts its body recorded (not those the test had before).
int Verdict(int firstPart, std::string& skipReason) {
    const testing::TestResult* result = CurrentResult();
    if (result == nullptr) {
        return testing::Test::HasFailure() ? kFailed : kPassed;
    }
    bool skipped = false;
    for (int i = firstPart; i < result->total_part_count(); ++i) {
        const testing::TestPartResult& part = result->GetTestPartResult(i);
        if (part.failed()) {
            return kFailed;
        }
        if (part.skipped()) {
            skipped = true;
            skipReason += part.message();
        }
    }
    return skipped ? kSkipped : kPassed;
}

[[noreturn]] void RunChild(const std::function<void()>& body, int reasonFd, pid_t parent) {
    // Dies with the test process, so a killed test leaves nobody behind.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) {
        ::_exit(kFailed);
    }
    const testing::TestResult* result = CurrentResult();
    const int firstPart = result != nullptr ? result->total_part_count() : 0;
    try {
        body();
    } catch (const std::exception& e) {
        ADD_FAILURE() << "uncaught exception: " << e.what();
    } catch (...) {
        ADD_FAILURE() << "uncaught exception";
    }
    std::string reason;
    const int verdict = Verdict(firstPart, reason);
    if (verdict == kSkipped) {
        reason.resize(std::min(reason.size(), kMaxReason));
        // A lost reason only makes the skip message shorter.
        (void)::write(reasonFd, reason.data(), reason.size());
    }
    std::cout.flush();
    std::fflush(nullptr);
    ::_exit(verdict);
}

std::string ReadReason(int fd) {
    std::string reason(kMaxReason, '\0');
    ssize_t length;
    do {
        length = ::read(fd, reason.data(), reason.size());
    } while (length < 0 && errno == EINTR);
    reason.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return reason;
}

}  // namespace

void RunInChildProcess(const std::function<void()>& body) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        ADD_FAILURE() << "pipe2: " << std::strerror(errno);
        return;
    }
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);

    // Output still buffered here would otherwise be written twice, once by each process.
    std::cout.flush();
    std::fflush(nullptr);
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        return;
    }
    if (child == 0) {
        readEnd.Reset();
        RunChild(body, writeEnd.Get(), parent);
    }
    writeEnd.Reset();

    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            ADD_FAILURE() << "waitpid: " << std::strerror(errno);
            return;
        }
    }
    if (WIFSIGNALED(status)) {
        ADD_FAILURE() << "the child process was killed by signal " << WTERMSIG(status) << " ("
                      << ::strsignal(WTERMSIG(status)) << ")";
        return;
    }
    switch (WEXITSTATUS(status)) {
        case kPassed:
            return;
        case kSkipped:
            GTEST_SKIP() << ReadReason(readEnd.Get());
        default:
            ADD_FAILURE() << "the child process failed (exit status " << WEXITSTATUS(status)
                          << "); its failures are shown above";
    }
}

}  // namespace quarnel::testsupport
