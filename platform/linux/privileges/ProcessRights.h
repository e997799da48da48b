#pragma once

#include <linux/capability.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace quarnel::platform {

// Whether this process holds every capability of mask (bit n for capability n) in its effective
// set; false when it cannot tell.
bool HoldsCapabilities(std::uint64_t mask);

// Whether a system call filter (seccomp in filter mode) applies to this process: then an EPERM
// from a call it has the capabilities for is that filter's denial.
bool UnderSystemCallFilter();

// What the user is told when that filter denies the bpf call, with what to change.
inline constexpr const char* kFilteredBpf =
    "a system call filter (seccomp) refuses the bpf call, though CAP_BPF and CAP_PERFMON are "
    "held: let it through (systemd: SystemCallFilter=bpf; systemd-nspawn: "
    "--system-call-filter=bpf)";

// How many more descriptors this process may open under its soft RLIMIT_NOFILE; nullopt when it
// cannot tell.
std::optional<std::size_t> FreeDescriptors();

// Whether error means the process ran out of something of its own, not a denial.
inline bool OutOfResources(int error) {
    return error == EMFILE || error == ENFILE || error == ENOMEM;
}

}  // namespace quarnel::platform
