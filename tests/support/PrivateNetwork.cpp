#include "tests/support/PrivateNetwork.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/linux/UniqueFd.h"
#include "tests/support/PrivateCgroup.h"

namespace quarnel::testsupport {

namespace {

// How the child tells its end; what it recorded is printed from the child itself.
constexpr int kFailed = 1;
constexpr int kSkipped = 77;

[[noreturn]] void RunChild(const std::function<void()>& body, pid_t parent) {
    // Dies with the test process, so a killed test leaves nobody behind.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) {
        ::_exit(kFailed);
    }
    // Left uncaught, an exception would carry the child on into the tests that follow.
    try {
        body();
    } catch (...) {
        ADD_FAILURE() << "uncaught exception";
    }
    const int verdict = testing::Test::HasFailure()  ? kFailed
                        : testing::Test::IsSkipped() ? kSkipped
                                                     : 0;
    std::fflush(nullptr);
    ::_exit(verdict);
}

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
        RunChild(body, parent);
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

using platform::UniqueFd;

// Why the call named by what failed.
std::string Refusal(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

bool WriteFile(const char* path, const std::string& text) {
    UniqueFd file(::open(path, O_WRONLY | O_CLOEXEC));
    return file &&
           ::write(file.Get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// Enters a network namespace of its own; with a user namespace too (mapping root onto the
// user who made it) when asked, or when the network namespace alone is refused. Empty, or why
// the system refused.
std::string EnterNetworkNamespace(bool withUser) {
    const std::string uid = std::to_string(::geteuid());
    const std::string gid = std::to_string(::getegid());
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

// Empty, or why lo stayed down.
std::string BringLoopbackUp() {
    UniqueFd control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    const bool up =
        control && ::ioctl(control.Get(), SIOCGIFFLAGS, &request) == 0 &&
        (request.ifr_flags |= IFF_UP, ::ioctl(control.Get(), SIOCSIFFLAGS, &request)) == 0;
    return up ? "" : Refusal("SIOCGIFFLAGS/SIOCSIFFLAGS lo");
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
        ASSERT_EQ(BringLoopbackUp(), "") << "cannot bring lo up";
        body();
    });
    if (!withUser && ::geteuid() == 0) {
        RemoveFinishedTestCgroups();
    }
}

}  // namespace

void RunInPrivateNetwork(const std::function<void()>& body) {
    RunInNamespaces(false, body);
}

void RunInPrivateNetworkAndUser(const std::function<void()>& body) {
    RunInNamespaces(true, body);
}

}  // namespace quarnel::testsupport
