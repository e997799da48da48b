#include "platform/linux/namespaces/NamespaceNames.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <vector>

namespace quarnel::platform {

namespace {

// A unit name's escapes undone: systemd writes "web-1" in a scope's name as "web\x2d1".
std::string Unescaped(std::string_view name) {
    std::string plain;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto hex = [](char c) {
            return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        };
        if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x' && hex(name[i + 2]) >= 0 &&
            hex(name[i + 3]) >= 0) {
            plain.push_back(static_cast<char>(hex(name[i + 2]) * 16 + hex(name[i + 3])));
            i += 3;
        } else {
            plain.push_back(name[i]);
        }
    }
    return plain;
}

bool IsId(std::string_view text) {
    return text.size() >= 12 && std::ranges::all_of(text, [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

// The part after prefix and before suffix, empty when part is not so made (or has nothing in
// between).
std::string_view Between(std::string_view part, std::string_view prefix, std::string_view suffix) {
    if (part.size() <= prefix.size() + suffix.size() || !part.starts_with(prefix) ||
        !part.ends_with(suffix)) {
        return {};
    }
    return part.substr(prefix.size(), part.size() - prefix.size() - suffix.size());
}

// The pod uid a Kubernetes cgroup path component names: "kubepods-besteffort-pod<uid>.slice"
// (dashes of the uid written as underscores) or cgroupfs' "pod<uid>".
std::string PodOf(std::string_view part) {
    if (part.starts_with("kubepods") && part.ends_with(".slice")) {
        const std::size_t pod = part.rfind("-pod");
        if (pod == std::string_view::npos) {
            return {};
        }
        std::string uid(Between(part.substr(pod + 1), "pod", ".slice"));
        std::ranges::replace(uid, '_', '-');
        return uid;
    }
    const std::string_view uid = Between(part, "pod", "");
    const bool isUid = uid.size() >= 32 && std::ranges::all_of(uid, [](char c) {
                           return c == '-' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
                       });
    return isUid ? std::string(uid) : std::string();
}

// The container one component names, given the one above it (empty at the top).
std::optional<Container> ContainerIn(std::string_view part, std::string_view parent) {
    struct Scope {
        std::string_view Prefix, Suffix, Runtime;
        bool Named;  // a name, not an id
    };
    // conmon's scopes (libpod-conmon-ID, crio-conmon-ID) hold the monitor, not the container.
    if (part.starts_with("libpod-conmon-") || part.starts_with("crio-conmon-") ||
        part.starts_with("lxc.monitor.")) {
        return std::nullopt;
    }
    for (const Scope& scope :
         {Scope{"docker-", ".scope", "docker", false}, Scope{"libpod-", ".scope", "podman", false},
          Scope{"cri-containerd-", ".scope", "containerd", false},
          Scope{"crio-", ".scope", "cri-o", false}, Scope{"machine-", ".scope", "nspawn", true},
          Scope{"lxc.payload.", "", "lxc", true}, Scope{"libpod-", "", "podman", false},
          Scope{"crio-", "", "cri-o", false}}) {
        const std::string_view inside = Between(part, scope.Prefix, scope.Suffix);
        if (!inside.empty() && (scope.Named || IsId(inside))) {
            return Container{std::string(scope.Runtime), Unescaped(inside), {}};
        }
    }
    if (parent == "docker" && IsId(part)) {
        return Container{"docker", std::string(part), {}};
    }
    if (parent == "lxc" && !part.empty()) {
        return Container{"lxc", std::string(part), {}};
    }
    // cgroupfs under Kubernetes: the container's folder, bare, in its pod's.
    if (IsId(part) && !PodOf(parent).empty()) {
        return Container{"containerd", std::string(part), {}};
    }
    return std::nullopt;
}

}  // namespace

std::optional<Container> ContainerOf(std::string_view cgroup) {
    std::vector<std::string_view> parts;
    for (std::size_t at = 0; at < cgroup.size();) {
        const std::size_t slash = std::min(cgroup.find('/', at), cgroup.size());
        if (slash > at) {
            parts.push_back(cgroup.substr(at, slash - at));
        }
        at = slash + 1;
    }
    // The innermost container: its processes may sit in a cgroup below it.
    for (std::size_t i = parts.size(); i-- > 0;) {
        if (std::optional<Container> found = ContainerIn(parts[i], i > 0 ? parts[i - 1] : "")) {
            for (std::size_t j = i; j-- > 0 && found->Pod.empty();) {
                found->Pod = PodOf(parts[j]);
            }
            return found;
        }
    }
    return std::nullopt;
}

std::string ContainerText(const Container& container) {
    if (container.Runtime == "nspawn") {
        return "machine " + container.Id;
    }
    if (container.Runtime == "lxc") {
        return "lxc " + container.Id;
    }
    std::string text = container.Runtime + " " + container.Id.substr(0, 12);
    return container.Pod.empty() ? text : text + " of pod " + container.Pod;
}

std::string NamespaceName(std::uint64_t inode, std::uint64_t device, std::string_view cgroup,
                          const std::string& folder) {
    if (const std::optional<Container> container = ContainerOf(cgroup)) {
        return ContainerText(*container);
    }
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        struct stat status {};
        if (::stat(entry.path().c_str(), &status) == 0 && status.st_ino == inode &&
            status.st_dev == device) {
            return entry.path().filename().string();
        }
    }
    return "net:[" + std::to_string(inode) + "]";
}

}  // namespace quarnel::platform
