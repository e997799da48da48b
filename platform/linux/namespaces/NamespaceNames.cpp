#include "platform/linux/namespaces/NamespaceNames.h"

#include <sys/stat.h>

#include <filesystem>
#include <tuple>

namespace quarnel::platform {

namespace {

// A scope's container name for one cgroup path component, empty when it is none of theirs.
std::string ScopeName(std::string_view part) {
    constexpr std::string_view kScope = ".scope";
    if (!part.ends_with(kScope)) {
        return {};
    }
    part.remove_suffix(kScope.size());
    for (const auto& [prefix, name, cut] :
         {std::tuple{std::string_view("docker-"), "docker ", true},
          std::tuple{std::string_view("libpod-"), "podman ", true},
          std::tuple{std::string_view("machine-"), "machine ", false}}) {
        if (part.starts_with(prefix) && part.size() > prefix.size()) {
            const std::string_view id = part.substr(prefix.size());
            return name + std::string(cut ? id.substr(0, 12) : id);
        }
    }
    return {};
}

}  // namespace

std::string ContainerName(std::string_view cgroup) {
    // The innermost scope that names a container: its processes may sit in a cgroup below it.
    while (!cgroup.empty()) {
        const std::size_t slash = cgroup.rfind('/');
        const std::string_view part =
            slash == std::string_view::npos ? cgroup : cgroup.substr(slash + 1);
        if (std::string name = ScopeName(part); !name.empty()) {
            return name;
        }
        cgroup = slash == std::string_view::npos ? std::string_view() : cgroup.substr(0, slash);
    }
    return {};
}

std::string NamespaceName(std::uint64_t inode, std::uint64_t device, std::string_view cgroup,
                          const std::string& folder) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        struct stat status {};
        if (::stat(entry.path().c_str(), &status) == 0 && status.st_ino == inode &&
            status.st_dev == device) {
            return entry.path().filename().string();
        }
    }
    if (std::string name = ContainerName(cgroup); !name.empty()) {
        return name;
    }
    return "net:[" + std::to_string(inode) + "]";
}

}  // namespace quarnel::platform
