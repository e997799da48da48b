#include "platform/linux/privileges/ProgramStart.h"

#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "platform/linux/privileges/Privileges.h"

namespace quarnel::platform {

ProgramStart::ProgramStart(const char* name) : name_(name), log_(STDERR_FILENO) {}

bool ProgramStart::PrepareToServe(int socketFd, std::uint64_t keep) {
    // SIGKILL, the parent-death signal, is never blocked, and the program waits for no other
    // signal: a clean mask only avoids surprises.
    sigset_t none;
    sigemptyset(&none);
    (void)sigprocmask(SIG_SETMASK, &none, nullptr);  // cannot fail with a valid set
    (void)clearenv();                                // glibc's cannot fail
    std::string problem;
    if (!CheckHelperSocket(socketFd, problem) || !IsolateDescriptors(socketFd, problem) ||
        !TieToParent(socketFd, problem)) {
        (void)Fail(problem);  // main ends with its own status
        return false;
    }
    if (!DropPrivileges(kept_, problem, keep)) {
        (void)Fail("cannot give up its privileges: " + problem);
        return false;
    }
    return true;
}

int ProgramStart::Fail(const std::string& problem) const {
    std::fprintf(Log(), "%s: %s\n", name_, problem.c_str());
    return 1;
}

}  // namespace quarnel::platform
