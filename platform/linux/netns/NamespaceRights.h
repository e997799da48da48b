#pragma once

#include <string>

namespace quarnel::platform {

// Gives up CAP_SYS_ADMIN and CAP_SYS_PTRACE for good, from the permitted, effective,
// inheritable and ambient sets and (with CAP_SETPCAP, as root) the bounding set, and sets
// no_new_privs, so that nothing this process runs or becomes holds them again. The service calls
// it once quarnel-netns is started: from then on only quarnel-netns may enter namespaces. False,
// with problem, when any of it failed.
[[nodiscard]] bool GiveUpNamespaceRights(std::string& problem);

}  // namespace quarnel::platform
