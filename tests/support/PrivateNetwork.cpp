#include "tests/support/PrivateNetwork.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/linux/UniqueFd.h"
#include "tests/support/ChildProcess.h"

namespace quarnel::testsupport {

namespace {

using platform::UniqueFd;

std::string ErrorText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool WriteFile(const char* path, const std::string& text, std::string& problem) {
    UniqueFd file(::open(path, O_WRONLY | O_CLOEXEC));
    if (!file ||
        ::write(file.Get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        problem = ErrorText(path);
        return false;
    }
    return true;
}

// Enters a network namespace of its own; with a user namespace too (mapping root onto the
// user who made it) when asked, or when the network namespace alone is refused.
bool EnterNetworkNamespace(bool withUser, std::string& reason) {
    const std::string uid = std::to_string(::geteuid());
    const std::string gid = std::to_string(::getegid());
    if (!withUser && ::unshare(CLONE_NEWNET) == 0) {
        return true;
    }
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
        reason = "this system refuses private network namespaces (" +
                 ErrorText("unshare(CLONE_NEWUSER | CLONE_NEWNET)") + ")";
        return false;
    }
    // Writing gid_map without CAP_SETGID requires setgroups to be denied first.
    std::string problem;
    if (!WriteFile("/proc/self/setgroups", "deny", problem) ||
        !WriteFile("/proc/self/uid_map", "0 " + uid + " 1", problem) ||
        !WriteFile("/proc/self/gid_map", "0 " + gid + " 1", problem)) {
        reason = "this system refuses to map root in a user namespace (" + problem + ")";
        return false;
    }
    return true;
}

bool BringLoopbackUp(std::string& problem) {
    UniqueFd control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (!control || ::ioctl(control.Get(), SIOCGIFFLAGS, &request) != 0) {
        problem = ErrorText("SIOCGIFFLAGS lo");
        return false;
    }
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    if (::ioctl(control.Get(), SIOCSIFFLAGS, &request) != 0) {
        problem = ErrorText("SIOCSIFFLAGS lo");
        return false;
    }
    return true;
}

void RunInNamespaces(bool withUser, const std::function<void()>& body) {
    RunInChildProcess([withUser, &body] {
        std::string reason;
        if (!EnterNetworkNamespace(withUser, reason)) {
            GTEST_SKIP() << reason;
        }
        // Our own namespace, so nothing may refuse this: a failure is a fault worth seeing.
        ASSERT_TRUE(BringLoopbackUp(reason)) << "cannot bring lo up: " << reason;
        body();
    });
}

}  // namespace

void RunInPrivateNetwork(const std::function<void()>& body) {
    RunInNamespaces(false, body);
}

void RunInPrivateNetworkAndUser(const std::function<void()>& body) {
    RunInNamespaces(true, body);
}

}  // namespace quarnel::testsupport
