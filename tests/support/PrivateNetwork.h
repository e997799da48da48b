#pragma once

#include <functional>
#include <string>

namespace quarnel::testsupport {

// Runs body in a forked child process inside a network namespace of its own:
// only a loopback device exists there, and it is up. Anything body opens, reads or closes
// cannot touch the machine's real connections, so tests that close connections run here.
//
// As root the child also gets a cgroup of its own that it sees as the cgroup root, so that a
// kernel filter the code under test attaches there never filters the machine. As root the child
// unshares the network namespace alone; otherwise (or when that is refused) it also unshares the
// user namespace and maps itself to root there. Where the system allows neither, the test is
// skipped with the reason. Call it as the last statement of a test:
//
//     TEST(Table, ShowsLoopbackConnection) {
//         RunInPrivateNetwork([] {
//             auto listener = ListenIPv4();
//             ...
//         });
//     }
void RunInPrivateNetwork(const std::function<void()>& body);

// Brings lo of the calling thread's network namespace up; whether it came up (errno says why not).
// Only system calls, so that a child just forked may call it.
bool BringLoopbackUp();

// As RunInPrivateNetwork, for a test that needs root of the machine: skipped otherwise, saying why.
void RunInPrivateNetworkAsRoot(const char* why, const std::function<void()>& body);

// As RunInPrivateNetwork as root, body given the root of the cgroup v2 hierarchy the test sees:
// its cgroup of its own, where a kernel filter attached filters the test alone. Skipped without
// root of the machine or where no hierarchy is mounted.
void RunInPrivateCgroup(const std::function<void(const std::string& cgroup)>& body);

// As above, but always in a user namespace of its own too, even as root: body then holds its
// capabilities only over its own namespaces, as an unprivileged program would.
void RunInPrivateNetworkAndUser(const std::function<void()>& body);

}  // namespace quarnel::testsupport
