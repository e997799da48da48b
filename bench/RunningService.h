#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

// quarneld started by the benchmark, with rules that block one remote port and allow no
// address, measured from outside.
namespace quarnel::bench {

class RunningService {
public:
    RunningService(const std::string& program, int blockedRemotePort);
    // Ends it by SIGTERM (SIGKILL when that does not do), and removes its folder.
    ~RunningService();
    RunningService(const RunningService&) = delete;
    RunningService& operator=(const RunningService&) = delete;

    pid_t Pid() const { return pid_; }
    // quarnel-netns, its child; -1 while there is none.
    pid_t Netns() const;
    // Whether it still runs.
    bool Running() const;
    // What it wrote on stdout and stderr so far.
    std::string Output() const;
    // How many lines of its output hold text.
    int LinesWith(const std::string& text) const;

private:
    std::filesystem::path folder_;
    pid_t pid_ = -1;
    mutable bool ended_ = false;  // and reaped
};

}  // namespace quarnel::bench
