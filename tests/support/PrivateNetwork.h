#pragma once

#include <functional>

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

// As above, but always in a user namespace of its own too, even as root: body then holds its
// capabilities only over its own namespaces, as an unprivileged program would.
void RunInPrivateNetworkAndUser(const std::function<void()>& body);

}  // namespace quarnel::testsupport
