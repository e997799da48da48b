#include "bench/ProcessTree.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

namespace quarnel::bench {

namespace {

// A "Vm...:" line of /proc/PID/status, in MiB, of the process and those below it.
double StatusMiBOf(pid_t pid, const std::string& field) {
    double total = 0;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) {
            total = std::stod(line.substr(field.size())) / 1024;
        }
    }
    for (const pid_t child : Children(pid)) {
        total += StatusMiBOf(child, field);
    }
    return total;
}

}  // namespace

std::vector<pid_t> Children(pid_t pid) {
    std::vector<pid_t> children;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code gone;  // a process that ended meanwhile has none
    for (const auto& task : std::filesystem::directory_iterator(tasks, gone)) {
        std::ifstream list(task.path() / "children");
        for (pid_t child = 0; list >> child;) {
            children.push_back(child);
        }
    }
    return children;
}

double CpuSecondsOf(pid_t pid) {
    double total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code gone;
    for (const auto& task : std::filesystem::directory_iterator(tasks, gone)) {
        std::ifstream stat(task.path() / "schedstat");
        double nanoseconds = 0;
        stat >> nanoseconds;
        total += nanoseconds / 1e9;
    }
    for (const pid_t child : Children(pid)) {
        total += CpuSecondsOf(child);
    }
    return total;
}

double PeakMiBOf(pid_t pid) {
    return StatusMiBOf(pid, "VmHWM:");
}

double ResidentMiBOf(pid_t pid) {
    return StatusMiBOf(pid, "VmRSS:");
}

int OpenFdsOf(pid_t pid) {
    int count = 0;
    std::error_code gone;
    for (std::filesystem::directory_iterator fd("/proc/" + std::to_string(pid) + "/fd", gone), end;
         fd != end; fd.increment(gone)) {
        ++count;
    }
    return count;
}

bool HoldsKernelProgramOf(pid_t pid) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code gone;
    for (const auto& fd : std::filesystem::directory_iterator(fds, gone)) {
        std::error_code unreadable;
        if (std::filesystem::read_symlink(fd.path(), unreadable) == "anon_inode:bpf-prog") {
            return true;
        }
    }
    const std::vector<pid_t> children = Children(pid);
    return std::any_of(children.begin(), children.end(),
                       [](pid_t child) { return HoldsKernelProgramOf(child); });
}

}  // namespace quarnel::bench
