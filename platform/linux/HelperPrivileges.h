#pragma once

#include <linux/capability.h>

#include <array>
#include <cstdint>
#include <string>

// What quarnel-helper does to itself before it serves anything: it takes the socket it was
// given, lets go of every other descriptor, ties its life to the program that started it and
// gives up every privilege but the one it exists for.

namespace quarnel::platform {

// The descriptor on which the helper finds its end of the socketpair.
inline constexpr int kHelperSocketFd = 3;

// The capabilities the helper keeps; every other one is dropped at start. Closing other
// programs' connections needs CAP_NET_ADMIN; loading the kernel program that reports the
// table's changes needs CAP_BPF and CAP_PERFMON.
inline constexpr std::array kKeptCapabilities = {CAP_NET_ADMIN, CAP_BPF, CAP_PERFMON};

std::uint64_t KeptCapabilityMask();

// Whether fd is one end of a connected AF_UNIX SOCK_SEQPACKET socket pair.
bool CheckHelperSocket(int fd, std::string& problem);

// Puts /dev/null on stdin and stdout (and on stderr when that is closed; an open stderr stays
// for the log) and closes every descriptor above keepFd.
bool IsolateDescriptors(int keepFd, std::string& problem);

// Asks for SIGKILL when the parent goes and checks that the parent is still the process that
// made the socketpair on socketFd: when it went before the request took hold, nobody is left
// to serve. The signal comes when the thread that started the helper ends, so the program
// starts it from its main thread.
bool TieToParent(int socketFd, std::string& problem);

// Sets no_new_privs, empties the ambient and inheritable sets, reduces the bounding set to the
// kept capabilities when it may (it needs CAP_SETPCAP, which a helper started through file
// capabilities does not have; no_new_privs keeps an exec from gaining anything anyway) and the
// permitted and effective sets to the kept capabilities it has. kept tells which of those it
// has. False when any step failed: the helper must not serve with more than it keeps.
bool DropPrivileges(std::uint64_t& kept, std::string& problem);

// The three capability sets of this process.
struct CapabilitySets {
    std::uint64_t Effective = 0;
    std::uint64_t Permitted = 0;
    std::uint64_t Inheritable = 0;
};
bool ReadCapabilities(CapabilitySets& sets);
bool WriteCapabilities(const CapabilitySets& sets);

inline constexpr std::uint64_t CapabilityBit(int capability) {
    return std::uint64_t{1} << capability;
}

}  // namespace quarnel::platform
