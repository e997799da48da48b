#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quarnel::platform {

// Where `ip netns add NAME` binds a network namespace, as NAME.
inline constexpr const char* kNamedNamespaces = "/run/netns";

// What the log calls a network namespace (inode and device as /proc/PID/ns/net has them): its
// `ip netns` name (an entry of folder that is that namespace's bind mount), else the container a
// process of it runs in as its cgroup path tells
// ("docker 0123456789ab" for docker-<id>.scope, "podman 0123456789ab" for libpod-<id>.scope,
// "machine NAME" for machine-NAME.scope), else "net:[INODE]" as /proc shows it.
std::string NamespaceName(std::uint64_t inode, std::uint64_t device, std::string_view cgroup,
                          const std::string& folder = kNamedNamespaces);

// The container name in a cgroup path, empty when it names none.
std::string ContainerName(std::string_view cgroup);

}  // namespace quarnel::platform
