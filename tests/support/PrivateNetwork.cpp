#include "tests/support/PrivateNetwork.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/linux/UniqueFd.h"
#include "platform/linux/filter/CgroupRoot.h"

namespace quarnel::testsupport {

namespace {

// Why the call named by what failed.
std::string Refusal(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

bool WriteFile(const char* path, const std::string& text) {
    platform::UniqueFd file(::open(path, O_WRONLY | O_CLOEXEC));
    return file &&
           ::write(file.Get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

constexpr const char* kPrefix = "quarnel-tests-";

// The cgroups below dir (of the tests only, unless all), deepest first; one with a process in it
// stays (EBUSY). The kernel's files go with each.
void RemoveCgroups(const std::filesystem::path& dir, bool all) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        if (entry.is_directory(error) &&
            (all || entry.path().filename().string().starts_with(kPrefix))) {
            RemoveCgroups(entry.path(), true);
            (void)::rmdir(entry.path().c_str());  // a busy one stays
        }
    }
}

// Confines the calling process (a test's child, as root) to a cgroup v2 of its own that it sees
// as the hierarchy's root: a cgroup made for it, a cgroup namespace rooted there and, in a mount
// namespace of its own, the cgroup v2 hierarchy mounted anew where it was. A kernel filter that
// the code under test attaches to "the root" then filters only this process and its children,
// never the machine. Where no cgroup can be made, the hierarchy is hidden instead, so that
// nothing is attached at all. Empty, or why neither worked.
std::string ConfineToOwnCgroup() {
    const std::string root = platform::FindCgroup2Root();
    if (root.empty()) {
        return {};  // nothing to attach to, nothing to confine
    }
    RemoveCgroups(root, false);  // those of finished tests
    const std::string own = root + "/" + kPrefix + std::to_string(::getpid());
    const bool joined = (::mkdir(own.c_str(), 0755) == 0 || errno == EEXIST) &&
                        WriteFile((own + "/cgroup.procs").c_str(), std::to_string(::getpid()));
    if (::unshare(CLONE_NEWNS | (joined ? CLONE_NEWCGROUP : 0)) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::string("a mount namespace of its own: ") + std::strerror(errno);
    }
    constexpr unsigned long kFlags = MS_NOSUID | MS_NODEV | MS_NOEXEC;
    // The machine's hierarchy hidden first (it cannot be mounted again on the same place);
    // without a cgroup of its own the test then sees none at all, rather than the machine's.
    if (::mount("tmpfs", root.c_str(), "tmpfs", kFlags, nullptr) != 0) {
        return std::string("cannot hide the machine's cgroup hierarchy: ") + std::strerror(errno);
    }
    if (joined) {
        (void)::mount("cgroup2", root.c_str(), "cgroup2", kFlags, nullptr);  // else none is seen
    }
    return {};
}

// How the child tells its end; what it recorded is printed from the child itself.
constexpr int kFailed = 1, kSkipped = 77;

// Runs body in a forked child of the current test and waits for it, so that what body changes
// about its process (namespaces, limits, credentials) stays there. A failure or a GTEST_SKIP()
// in body fails or skips the test; the child dies with the test process and leaves through
// _exit (no atexit handlers, static destructors or leak check).
void RunInChildProcess(const std::function<void()>& body) {
    // Output still buffered here would otherwise be written twice, once by each process (std::cout
    // writes through stdio's buffers).
    std::fflush(nullptr);
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0) << "fork: " << std::strerror(errno);
    if (child == 0) {
        // Dies with the test process, so a killed test leaves nobody behind.
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) {
            ::_exit(kFailed);
        }
        // The child inherits what the test recorded before the fork: only what body adds is its
        // verdict, so that a failure in an earlier child is not told again by every later one.
        const testing::TestResult& result =
            *testing::UnitTest::GetInstance()->current_test_info()->result();
        const int recorded = result.total_part_count();
        // Left uncaught, an exception would carry the child on into the tests that follow.
        try {
            body();
        } catch (...) {
            ADD_FAILURE() << "uncaught exception";
        }
        bool failed = false, skipped = false;
        for (int part = recorded; part < result.total_part_count(); ++part) {
            failed = failed || result.GetTestPartResult(part).failed();
            skipped = skipped || result.GetTestPartResult(part).skipped();
        }
        const int verdict = failed ? kFailed : skipped ? kSkipped : 0;
        std::fflush(nullptr);
        ::_exit(verdict);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child) << "waitpid: " << std::strerror(errno);
    if (WIFSIGNALED(status)) {
        FAIL() << "the child process was killed by signal " << WTERMSIG(status) << " ("
               << ::strsignal(WTERMSIG(status)) << ")";
    }
    if (WEXITSTATUS(status) == kSkipped) {
        GTEST_SKIP() << "skipped in the child process, for the reason shown above";
    }
    if (WEXITSTATUS(status) != 0) {
        ADD_FAILURE() << "the child process failed; its failures are shown above";
    }
}

// Enters a network namespace of its own; with a user namespace too (mapping root onto the
// user who made it) when asked, or when the network namespace alone is refused. Empty, or why
// the system refused.
std::string EnterNetworkNamespace(bool withUser) {
    const std::string uid = std::to_string(::geteuid()), gid = std::to_string(::getegid());
    if (!withUser && ::unshare(CLONE_NEWNET) == 0) {
        return {};
    }
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
        return Refusal("unshare(CLONE_NEWUSER | CLONE_NEWNET)");
    }
    // Writing gid_map without CAP_SETGID requires setgroups to be denied first.
    if (!WriteFile("/proc/self/setgroups", "deny") ||
        !WriteFile("/proc/self/uid_map", "0 " + uid + " 1") ||
        !WriteFile("/proc/self/gid_map", "0 " + gid + " 1")) {
        return Refusal("mapping root in a user namespace");
    }
    return {};
}

void RunInNamespaces(bool withUser, const std::function<void()>& body) {
    RunInChildProcess([withUser, &body] {
        // As root, what the code under test attaches to the cgroup root stays with the test.
        if (!withUser && ::geteuid() == 0) {
            ASSERT_EQ(ConfineToOwnCgroup(), "");
        }
        if (const std::string refusal = EnterNetworkNamespace(withUser); !refusal.empty()) {
            GTEST_SKIP() << "this system refuses private network namespaces (" << refusal << ")";
        }
        // Our own namespace, so nothing may refuse this: a failure is a fault worth seeing.
        ASSERT_TRUE(BringLoopbackUp()) << "cannot bring lo up: " << std::strerror(errno);
        body();
    });
    if (!withUser && ::geteuid() == 0) {
        RemoveCgroups(platform::FindCgroup2Root(), false);  // the cgroups of finished tests
    }
}

}  // namespace

bool BringLoopbackUp() {
    const platform::UniqueFd control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    return control && ::ioctl(control.Get(), SIOCGIFFLAGS, &request) == 0 &&
           (request.ifr_flags |= IFF_UP, ::ioctl(control.Get(), SIOCSIFFLAGS, &request)) == 0;
}

void RunInPrivateNetwork(const std::function<void()>& body) {
    RunInNamespaces(false, body);
}

void RunInPrivateNetworkAsRoot(const char* why, const std::function<void()>& body) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << why;
    }
    RunInPrivateNetwork(body);
}

void RunInPrivateCgroup(const std::function<void(const std::string& cgroup)>& body) {
    RunInPrivateNetworkAsRoot("attaching a kernel filter needs real root", [&body] {
        const std::string cgroup = platform::FindCgroup2Root();
        if (cgroup.empty()) {
            GTEST_SKIP() << "no cgroup v2 hierarchy is mounted";
        }
        body(cgroup);
    });
}

void RunInPrivateNetworkAndUser(const std::function<void()>& body) {
    RunInNamespaces(true, body);
}

}  // namespace quarnel::testsupport
