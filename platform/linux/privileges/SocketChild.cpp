#include "platform/linux/privileges/SocketChild.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quarnel::platform {

namespace {

// In the child between fork and exec: system calls only.
[[noreturn]] void Exec(const char* path, const char* name, int at, void (*prepare)(), int childEnd,
                       int reportFd) {
    if (reportFd == at) {
        reportFd = ::fcntl(reportFd, F_DUPFD_CLOEXEC, at + 1);
    }
    if (prepare != nullptr) {
        prepare();
    }
    // dup2 onto itself would keep close-on-exec, so the flag is cleared by hand then.
    const bool placed =
        childEnd == at ? ::fcntl(childEnd, F_SETFD, 0) == 0 : ::dup2(childEnd, at) == at;
    if (placed) {
        char* const argv[] = {const_cast<char*>(name), nullptr};
        char* const environment[] = {nullptr};
        ::execve(path, argv, environment);
    }
    const int error = errno;
    // Should the report be lost, the parent still sees the child end at its first question.
    (void)!::write(reportFd, &error, sizeof error);
    ::_exit(127);
}

}  // namespace

std::optional<SocketChild> StartSocketChild(const std::string& path, const char* name, int at,
                                            void (*prepare)(), std::string& problem) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        problem = std::string("socketpair: ") + std::strerror(errno);
        return std::nullopt;
    }
    UniqueFd ours(pair[0]);
    UniqueFd theirs(pair[1]);
    // Tells the parent why the exec failed: the child writes errno here, and an exec that
    // succeeds closes the pipe empty.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        problem = std::string("pipe2: ") + std::strerror(errno);
        return std::nullopt;
    }
    UniqueFd reportRead(report[0]);
    UniqueFd reportWrite(report[1]);
    const pid_t pid = ::fork();
    if (pid < 0) {
        problem = std::string("fork: ") + std::strerror(errno);
        return std::nullopt;
    }
    if (pid == 0) {
        Exec(path.c_str(), name, at, prepare, theirs.Get(), reportWrite.Get());
    }
    theirs.Reset();
    reportWrite.Reset();
    int error = 0;
    ssize_t got;
    do {
        got = ::read(reportRead.Get(), &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    if (got == sizeof error) {
        (void)ReapChild(pid);  // it has already ended with status 127
        problem = "cannot run " + path + ": " + std::strerror(error);
        return std::nullopt;
    }
    return SocketChild{pid, std::move(ours)};
}

int ReapChild(pid_t pid) {
    int status = 0;
    pid_t reaped;
    do {
        reaped = ::waitpid(pid, &status, 0);
    } while (reaped < 0 && errno == EINTR);
    return reaped == pid ? status : -1;
}

}  // namespace quarnel::platform
