#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "platform/linux/UniqueFd.h"

namespace quarnel::platform {

// A small process started on one end of a SOCK_SEQPACKET pair (quarnel-helper, quarnel-netns):
// its pid and the other end.
struct SocketChild {
    pid_t Pid = -1;
    UniqueFd Socket;
};

// Starts the program at path as name (its argv[0]), with its end of the pair on descriptor at,
// nothing else open but what it inherits on purpose and an empty environment. prepare, when
// given, runs in the child just before the exec: async-signal-safe calls only, since the caller
// may have other threads whose locks the child inherits held. Nothing when the program could
// not be started, and problem says why (an exec that failed is told by its error).
std::optional<SocketChild> StartSocketChild(const std::string& path, const char* name, int at,
                                            void (*prepare)(), std::string& problem);

// Waits for pid to end; its wait status, or -1 when it cannot be waited for.
int ReapChild(pid_t pid);

}  // namespace quarnel::platform
