#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/linux/UniqueFd.h"
#include "platform/linux/netns/NamespaceProtocol.h"

// What quarnel-netns reads of other processes in /proc: their cgroup as this process's cgroup
// namespace shows it, and their network namespace.

namespace quarnel::platform {

// Whether a cgroup path from /proc/PID/cgroup lies inside the hierarchy this process sees: in a
// cgroup namespace of its own, a process outside it shows as "/.." or below.
bool InsideCgroupView(const std::string& path);

// The cgroup v2 path ("0::" line) of /proc/PID/cgroup opened as procDir (/proc/PID); false
// with errno set when it cannot be read, with errno ENODATA when there is no such line (a
// cgroup v1 system only).
[[nodiscard]] bool ReadCgroupPath(int procDir, std::string& path);

// The distinct network namespaces of every process whose cgroup lies inside the hierarchy this
// process sees, each with the first such process in it (lowest pid) and its cgroup; own is the
// device and inode of this process's own, which is flagged. Processes that go meanwhile, or
// cannot be read, are passed over. False with errno set when /proc cannot be read.
[[nodiscard]] bool ListNetworkNamespaces(std::uint64_t ownDevice, std::uint64_t ownInode,
                                         std::vector<NetworkNamespace>& namespaces);

}  // namespace quarnel::platform
