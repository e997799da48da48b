#pragma once

#include <cstdint>
#include <string>

#include "platform/ConnectionOwner.h"

namespace quarnel::platform {

// Which process holds which socket, as /proc shows it to this process (as ss -p finds it): the
// inode of every socket a process has open, with that process as its owner (the first found
// where several hold one). Processes this process may not look into are left out. False when
// /proc itself could not be read.
[[nodiscard]] bool ScanProcessSockets(SocketHolding& holding, const std::string& proc = "/proc");

// When the process pid started (field 22 of /proc/PID/stat, in clock ticks since boot): with
// the pid, it names one process, since a pid is reused only by a process that starts later. 0
// when it cannot be read (gone, or not this process's to look into).
[[nodiscard]] std::uint64_t ProcessStart(std::uint32_t pid, const std::string& proc = "/proc");

// Whether the process pid still runs as the program owner names, and when started is not 0, is
// still the process that started then: a pid whose program has a new name or a later start was
// reused, and a zombie holds nothing. A process this one may not look into is taken at its word,
// unless it could when started was read.
[[nodiscard]] bool StillRuns(const ConnectionOwner& owner, std::uint64_t started = 0,
                             const std::string& proc = "/proc");

// Whether this process may read pid's entries in /proc: what a user may know of another
// user's process under hidepid.
[[nodiscard]] bool ProcessVisible(std::uint32_t pid, const std::string& proc = "/proc");

}  // namespace quarnel::platform
