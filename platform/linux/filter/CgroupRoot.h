#pragma once

#include <istream>
#include <string>

namespace quarnel::platform {

// Where the cgroup v2 hierarchy is mounted, read from mountinfo (as /proc/self/mountinfo
// reads): its root as this process sees it, e.g. /sys/fs/cgroup or, on a hybrid system,
// /sys/fs/cgroup/unified. Empty when there is none.
std::string FindCgroup2Root(std::istream& mountinfo);

// The same from this process's /proc/self/mountinfo; when that cannot be read, empty and, with
// error, the reason (0 when it was read).
std::string FindCgroup2Root(int* error = nullptr);

}  // namespace quarnel::platform
