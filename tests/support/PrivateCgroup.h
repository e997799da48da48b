#pragma once

#include <string>

namespace quarnel::testsupport {

// Confines the calling process (a test's child, as root) to a cgroup v2 of its own that it sees
// as the hierarchy's root: a cgroup made for it, a cgroup namespace rooted there and, in a mount
// namespace of its own, the cgroup v2 hierarchy mounted anew where it was. A kernel filter that
// the code under test attaches to "the root" then filters only this process and its children,
// never the machine. Where no cgroup can be made, the hierarchy is hidden instead, so that
// nothing is attached at all. Empty, or why neither worked.
std::string ConfineToOwnCgroup();

// Removes the cgroups of confined tests whose processes are all gone; one still in use stays.
void RemoveFinishedTestCgroups();

}  // namespace quarnel::testsupport
