#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/linux/privileges/NonBlockingLog.h"

namespace quarnel::platform {

// The start of the main of a small privileged program (quarnel-helper, quarnel-netns), which
// StartSocketChild started with its end of a socket pair on one descriptor: its log on stderr
// (never waited for), what it does before it reads anything or serves, and how it says why it
// cannot go on.
class ProgramStart {
public:
    // name is the program's, as its log lines begin.
    explicit ProgramStart(const char* name);

    // Clears the signal mask and the environment (a starter may block signals across the exec;
    // the program's own starter passes no environment, and one passed by hand is read by
    // nobody), checks the socket on socketFd (CheckHelperSocket), lets go of every other
    // descriptor (IsolateDescriptors), ties this process's life to the program that started it
    // (TieToParent) and keeps only what it may of keep (DropPrivileges; Kept tells which). False,
    // once it said why, when any step failed: the program must then end without serving.
    [[nodiscard]] bool PrepareToServe(int socketFd, std::uint64_t keep);

    std::uint64_t Kept() const { return kept_; }
    std::FILE* Log() const { return log_.Stream(); }

    // Says why the program cannot start or go on; main's status for that.
    int Fail(const std::string& problem) const;

private:
    const char* name_;
    NonBlockingLog log_;
    std::uint64_t kept_ = 0;
};

}  // namespace quarnel::platform
