#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

#include "platform/linux/UniqueFd.h"

namespace quarnel::testsupport {

// A child process in a network namespace of its own, with lo up, until dropped; it stays in the
// test's cgroup. Make it inside RunInPrivateNetwork, as root.
struct OtherNamespace {
    OtherNamespace();
    ~OtherNamespace();
    OtherNamespace(const OtherNamespace&) = delete;
    OtherNamespace& operator=(const OtherNamespace&) = delete;

    // Runs body in a thread inside the namespace: the sockets it opens are the namespace's.
    template <typename Body>
    void Inside(Body body) const {
        std::thread([&] {
            const platform::UniqueFd space(
                ::open(("/proc/" + std::to_string(pid) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC));
            ASSERT_EQ(::setns(space.Get(), CLONE_NEWNET), 0) << std::strerror(errno);
            body();
        }).join();
    }

    platform::UniqueFd endWrite;
    pid_t pid = -1;
    std::uint32_t Inode = 0;  // the namespace's, as /proc/PID/ns/net shows it
    std::string Name;         // as the service names it: net:[inode]
};

}  // namespace quarnel::testsupport
