#pragma once

#include <linux/capability.h>

#include <cstdint>
#include <string>

// What quarnel-helper does to itself before it serves anything: it takes the socket it was
// given, lets go of every other descriptor, ties its life to the program that started it and
// gives up every privilege but the one it exists for.

namespace quarnel::platform {

inline constexpr std::uint64_t CapabilityBit(int capability) {
    return std::uint64_t{1} << capability;
}

// What the helper serves with: closing other programs' connections needs CAP_NET_ADMIN.
inline constexpr std::uint64_t kServingCapabilities = CapabilityBit(CAP_NET_ADMIN);
// What it keeps at start, every other capability dropped: those it serves with, and CAP_BPF and
// CAP_PERFMON to load and attach the kernel program that reports the table's changes. Reading
// the program's reports needs no capability, so those two go once it is attached (or could not
// be).
inline constexpr std::uint64_t kStartCapabilities =
    kServingCapabilities | CapabilityBit(CAP_BPF) | CapabilityBit(CAP_PERFMON);

// Whether fd is one end of a connected AF_UNIX SOCK_SEQPACKET socket pair.
[[nodiscard]] bool CheckHelperSocket(int fd, std::string& problem);

// Puts /dev/null on stdin and stdout (and on stderr when that is closed; an open stderr stays
// for the log) and closes every descriptor above keepFd.
[[nodiscard]] bool IsolateDescriptors(int keepFd, std::string& problem);

// Asks for SIGKILL when the parent goes and checks that the parent is still the process that
// made the socketpair on socketFd: when it went before the request took hold, nobody is left
// to serve. The signal comes when the thread that started the helper ends, so the program
// starts it from its main thread.
[[nodiscard]] bool TieToParent(int socketFd, std::string& problem);

// Sets no_new_privs, empties the ambient and inheritable sets, reduces the bounding set to keep
// when it may (it needs CAP_SETPCAP, which a helper started through file capabilities does not
// have; no_new_privs keeps an exec from gaining anything anyway) and the permitted and
// effective sets to those of keep it has. kept tells which of those it has. False when any step
// failed: the helper must not serve with more than it keeps.
[[nodiscard]] bool DropPrivileges(std::uint64_t& kept, std::string& problem,
                                  std::uint64_t keep = kStartCapabilities);

// Reduces the permitted and effective sets to those of keep they hold, for good; kept as above.
[[nodiscard]] bool NarrowCapabilities(std::uint64_t keep, std::uint64_t& kept,
                                      std::string& problem);

// The three capability sets of this process.
struct CapabilitySets {
    std::uint64_t Effective = 0;
    std::uint64_t Permitted = 0;
    std::uint64_t Inheritable = 0;
};
[[nodiscard]] bool ReadCapabilities(CapabilitySets& sets);
[[nodiscard]] bool WriteCapabilities(const CapabilitySets& sets);

}  // namespace quarnel::platform
