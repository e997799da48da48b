#include "tests/support/PrivateCgroup.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/linux/filter/CgroupRoot.h"

namespace quarnel::testsupport {

namespace {

constexpr const char* kPrefix = "quarnel-tests-";

// A cgroup and the cgroups below it, deepest first; one with a process in it stays (EBUSY).
void RemoveCgroup(const std::filesystem::path& cgroup) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(cgroup, error)) {
        if (entry.is_directory(error)) {
            RemoveCgroup(entry.path());
        }
    }
    (void)::rmdir(cgroup.c_str());  // the kernel's files go with it; a busy one stays
}

void SweepEmpty(const std::filesystem::path& root) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(root, error)) {
        if (entry.path().filename().string().starts_with(kPrefix)) {
            RemoveCgroup(entry.path());
        }
    }
}

std::string MoveIntoOwnCgroup(const std::string& root) {
    SweepEmpty(root);
    const std::string path = root + "/" + kPrefix + std::to_string(::getpid());
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        return "mkdir " + path + ": " + std::strerror(errno);
    }
    std::ofstream procs(path + "/cgroup.procs");
    procs << ::getpid() << std::flush;
    if (!procs) {
        return "joining " + path + " failed";
    }
    return {};
}

}  // namespace

void RemoveFinishedTestCgroups() {
    if (const std::string root = platform::FindCgroup2Root(); !root.empty()) {
        SweepEmpty(root);
    }
}

std::string ConfineToOwnCgroup() {
    const std::string root = platform::FindCgroup2Root();
    if (root.empty()) {
        return {};  // nothing to attach to, nothing to confine
    }
    const std::string joined = MoveIntoOwnCgroup(root);
    if (::unshare(CLONE_NEWNS | (joined.empty() ? CLONE_NEWCGROUP : 0)) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::string("a mount namespace of its own: ") + std::strerror(errno);
    }
    constexpr unsigned long kFlags = MS_NOSUID | MS_NODEV | MS_NOEXEC;
    // The machine's hierarchy hidden first (it cannot be mounted again on the same place);
    // without a cgroup of its own the test then sees none at all, rather than the machine's.
    if (::mount("tmpfs", root.c_str(), "tmpfs", kFlags, nullptr) != 0) {
        return std::string("cannot hide the machine's cgroup hierarchy: ") + std::strerror(errno);
    }
    if (joined.empty()) {
        (void)::mount("cgroup2", root.c_str(), "cgroup2", kFlags, nullptr);  // else none is seen
    }
    return {};
}

}  // namespace quarnel::testsupport
