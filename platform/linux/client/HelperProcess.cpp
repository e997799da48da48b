#include "platform/linux/client/HelperProcess.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

#include "platform/linux/protocol/HelperProtocol.h"

namespace quarnel::platform {

namespace {

// Waits for the child to end; its wait status, or -1 when it cannot be waited for.
int Reap(pid_t pid) {
    int status = 0;
    pid_t reaped;
    do {
        reaped = ::waitpid(pid, &status, 0);
    } while (reaped < 0 && errno == EINTR);
    return reaped == pid ? status : -1;
}

std::string HowItEnded(int status) {
    if (status < 0) {
        return "could not be waited for";
    }
    if (WIFEXITED(status)) {
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    }
    const int signal = WTERMSIG(status);
    return "was killed by signal " + std::to_string(signal) + " (" + ::strsignal(signal) + ")";
}

// In the child between fork and exec: only async-signal-safe calls, since the program may
// have other threads whose locks the child inherits held.
[[noreturn]] void ExecHelper(const char* path, int helperEnd, int reportFd) {
    if (reportFd == kHelperSocketFd) {
        reportFd = ::fcntl(reportFd, F_DUPFD_CLOEXEC, kHelperSocketFd + 1);
    }
    // dup2 onto itself would keep close-on-exec, so the flag is cleared by hand then.
    const bool placed = helperEnd == kHelperSocketFd
                            ? ::fcntl(helperEnd, F_SETFD, 0) == 0
                            : ::dup2(helperEnd, kHelperSocketFd) == kHelperSocketFd;
    if (placed) {
        // The helper clears the signal mask it inherits itself, first thing.
        char name[] = "quarnel-helper";
        char* const argv[] = {name, nullptr};
        char* const environment[] = {nullptr};
        ::execve(path, argv, environment);
    }
    const int error = errno;
    // Should the report be lost, the parent still sees the child end before it answers.
    (void)!::write(reportFd, &error, sizeof error);
    ::_exit(127);
}

}  // namespace

std::unique_ptr<HelperProcess> HelperProcess::Start(const std::string& path, std::string& problem) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        problem = std::string("socketpair: ") + std::strerror(errno);
        return nullptr;
    }
    UniqueFd ours(pair[0]);
    UniqueFd theirs(pair[1]);
    // Tells the parent why the exec failed: the child writes errno here, and an exec that
    // succeeds closes the pipe empty.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        problem = std::string("pipe2: ") + std::strerror(errno);
        return nullptr;
    }
    UniqueFd reportRead(report[0]);
    UniqueFd reportWrite(report[1]);

    const pid_t pid = ::fork();
    if (pid < 0) {
        problem = std::string("fork: ") + std::strerror(errno);
        return nullptr;
    }
    if (pid == 0) {
        ExecHelper(path.c_str(), theirs.Get(), reportWrite.Get());
    }
    theirs.Reset();
    reportWrite.Reset();

    int error = 0;
    ssize_t got;
    do {
        got = ::read(reportRead.Get(), &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    if (got == sizeof error) {
        (void)Reap(pid);  // it has already ended with status 127
        problem = "cannot run " + path + ": " + std::strerror(error);
        return nullptr;
    }
    return std::make_unique<HelperProcess>(pid, std::move(ours));
}

std::string HelperProcess::Stop() {
    if (pid_ <= 0) {
        return "was stopped before";
    }
    const pid_t pid = std::exchange(pid_, 0);
    socket_.Reset();
    // SIGKILL ends it even when it hangs or is stopped. One that is already on its way out
    // keeps the status it is leaving with: that is set before its descriptors close, which is
    // how the program noticed it going.
    (void)::kill(pid, SIGKILL);
    return HowItEnded(Reap(pid));
}

}  // namespace quarnel::platform
