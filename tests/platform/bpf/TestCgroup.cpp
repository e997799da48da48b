#include "tests/platform/bpf/TestCgroup.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/linux/filter/CgroupRoot.h"

namespace quarnel::testsupport {

namespace {

bool MoveHere(const std::string& cgroup) {
    std::ofstream procs(cgroup + "/cgroup.procs");
    procs << ::getpid() << std::flush;
    return static_cast<bool>(procs);
}

// The process's own cgroup v2 below root, from /proc/self/cgroup ("0::/path").
std::string OwnCgroup(const std::string& root) {
    std::ifstream groups("/proc/self/cgroup");
    std::string line;
    while (std::getline(groups, line)) {
        if (line.starts_with("0::")) {
            return root + line.substr(3);
        }
    }
    return root;
}

}  // namespace

TestCgroup::TestCgroup() {
    const std::string root = platform::FindCgroup2Root();
    if (root.empty()) {
        problem_ = "no cgroup v2 hierarchy is mounted";
        return;
    }
    home_ = OwnCgroup(root);
    const std::string path = root + "/quarnel-test-" + std::to_string(::getpid());
    std::error_code error;
    std::filesystem::create_directory(path, error);
    if (error) {
        problem_ = "cannot make cgroup " + path + ": " + error.message();
        return;
    }
    if (!MoveHere(path)) {
        problem_ = "cannot move into cgroup " + path + ": " + std::strerror(errno);
        std::filesystem::remove(path, error);
        return;
    }
    path_ = path;
}

TestCgroup::~TestCgroup() {
    if (path_.empty()) {
        return;
    }
    // Back home first: a cgroup with a process in it cannot go.
    (void)MoveHere(home_);  // then the removal below fails and leaves an empty cgroup, harmless
    std::error_code error;
    std::filesystem::remove(path_, error);
}

}  // namespace quarnel::testsupport
