#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quarnel::platform {

// Where `ip netns add NAME` binds a network namespace, as NAME.
inline constexpr const char* kNamedNamespaces = "/run/netns";

// A container as its runtime names it, found in the cgroup path of a process of it.
struct Container {
    std::string Runtime;  // podman, docker, containerd, cri-o, lxc or nspawn
    std::string Id;       // its id (whole), or its name (lxc, nspawn)
    std::string Pod;      // the Kubernetes pod's uid, where it runs in one

    bool operator==(const Container&) const = default;
};

// The innermost container a cgroup path names, whatever the layout: systemd's scopes
// (docker-ID.scope, libpod-ID.scope, cri-containerd-ID.scope and crio-ID.scope in a kubepods pod
// slice, machine-NAME.scope) and the plain folders of cgroupfs (/docker/ID,
// /libpod_parent/libpod-ID, /kubepods/QOS/podUID/ID, /lxc/NAME, lxc.payload.NAME).
std::optional<Container> ContainerOf(std::string_view cgroup);

// What the log calls it: "docker 0123456789ab", "podman 0123456789ab", "containerd 0123456789ab
// of pod UID", "lxc NAME", "machine NAME".
std::string ContainerText(const Container& container);

// What the log calls a network namespace (inode and device as /proc/PID/ns/net has them): the
// container a process of it runs in, as its cgroup path tells (podman's own bind mount of it in
// folder notwithstanding), else its `ip netns` name (an entry of folder that is that namespace's
// bind mount), else "net:[INODE]" as /proc shows it.
std::string NamespaceName(std::uint64_t inode, std::uint64_t device, std::string_view cgroup,
                          const std::string& folder = kNamedNamespaces);

}  // namespace quarnel::platform
