#include "platform/linux/privileges/ProcessRights.h"

#include <dirent.h>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <string>

namespace quarnel::platform {

bool HoldsCapabilities(std::uint64_t mask) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> data{};
    if (::syscall(SYS_capget, &header, data.data()) != 0) {
        return false;
    }
    const std::uint64_t effective =
        std::uint64_t{data[1].effective} << 32 | std::uint64_t{data[0].effective};
    return (effective & mask) == mask;
}

bool UnderSystemCallFilter() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("Seccomp:")) {
            return line.find('2') != std::string::npos;  // 0 none, 1 strict, 2 filter
        }
    }
    return false;
}

std::optional<std::size_t> FreeDescriptors() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return std::nullopt;
    }
    DIR* folder = ::opendir("/proc/self/fd");
    if (folder == nullptr) {
        return std::nullopt;
    }
    rlim_t open = 0;  // the folder's own descriptor among them, closed below
    while (const dirent* entry = ::readdir(folder)) {
        open += entry->d_name[0] != '.' ? 1 : 0;
    }
    (void)::closedir(folder);
    if (limit.rlim_cur == RLIM_INFINITY) {
        return SIZE_MAX;
    }
    open = open > 0 ? open - 1 : 0;
    return limit.rlim_cur > open ? static_cast<std::size_t>(limit.rlim_cur - open) : 0;
}

}  // namespace quarnel::platform
