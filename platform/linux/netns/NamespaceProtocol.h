#pragma once

#include <linux/capability.h>
#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/linux/privileges/Refusal.h"

// The conversation between the service and quarnel-netns, the small process that may enter
// other network namespaces. It runs over one SOCK_SEQPACKET socketpair: every message is one
// record, the service asks one question at a time and quarnel-netns answers it whole before it
// reads the next. All numbers are little-endian; bytes not named below are zero.
//
// Request, kNamespaceRequestSize (24) bytes:
//   0 u16 version (kNamespaceProtocolVersion)   2 u16 kind (NamespaceRequestKind)
//   4 u32 sequence, repeated in the answer
//   8 i32 process id        OpenSockDiag: above 0; ListNamespaces: 0
//   16 u64 namespace inode  OpenSockDiag: the st_ino of that process's /proc/PID/ns/net as the
//                           list gave it, so that a pid used again names no other namespace;
//                           ListNamespaces: 0
//
// Reply, a kNamespaceReplyHeaderSize (16) byte header:
//   0 u16 version   2 u16 kind (NamespaceReplyKind)   4 u32 sequence of the request it answers
//   Namespaces  8 u16 entry count (at most kNamespacesPerReply)  10 u8 flags (1: the last
//               reply of the list), then the entries; every reply but the last is full
//   SockDiag    nothing more: the NETLINK_SOCK_DIAG socket, opened inside the namespace, comes
//               as the one descriptor of an SCM_RIGHTS message
//   Refused     8 u16 Refusal or NamespaceRefusal   12 u32 the error number that goes with it
//               (0: none)
//
// Entry, kNamespaceEntrySize (256) bytes: one network namespace of the processes whose cgroup
// lies inside the hierarchy quarnel-netns sees:
//   0 u64 inode   8 u64 device (st_ino and st_dev of /proc/PID/ns/net)   16 i32 one pid in it
//   20 u8 flags (1: quarnel-netns's own namespace; 2: the cgroup path was cut)
//   22 u16 the path's length (at most kMaxCgroupPathSize)
//   24 that process's cgroup path as quarnel-netns sees it ("/" its root), not terminated
//
// A request that is cut short, too long, of another version, of an unknown kind or with a field
// out of its range is answered with Refused and never acted on, as is one for a process that is
// gone, that lies outside the hierarchy seen, or whose namespace is not the one named.

namespace quarnel::platform {

inline constexpr std::uint16_t kNamespaceProtocolVersion = 1;

// The descriptor on which quarnel-netns finds its end of the socketpair.
inline constexpr int kNetnsSocketFd = 3;

// What quarnel-netns is started with and keeps: setns into another network namespace, opening
// another user's /proc/PID/ns/net, and the right to close that the kernel checks on a netlink
// socket's opener as well as on its sender.
inline constexpr int kNetnsCapabilities[] = {CAP_SYS_ADMIN, CAP_SYS_PTRACE, CAP_NET_ADMIN};

inline constexpr std::size_t kNamespaceRequestSize = 24;
inline constexpr std::size_t kNamespaceReplyHeaderSize = 16;
inline constexpr std::size_t kNamespaceEntrySize = 256;
inline constexpr std::size_t kMaxCgroupPathSize = kNamespaceEntrySize - 24;
// 16 KiB a reply: far within the default socket buffer, which bounds one message.
inline constexpr std::size_t kNamespacesPerReply = 64;
inline constexpr std::size_t kMaxNamespaceReplySize =
    kNamespaceReplyHeaderSize + kNamespacesPerReply * kNamespaceEntrySize;

enum class NamespaceRequestKind : std::uint16_t {
    ListNamespaces = 1,
    OpenSockDiag = 2,
};

enum class NamespaceReplyKind : std::uint16_t {
    Namespaces = 0x81,
    SockDiag = 0x82,
    Refused = 0xff,
};

// Why quarnel-netns refuses a sound request: its own codes, after those of a message that is no
// sound request (Refusal), and carried alike. The last three come with the error that caused them.
struct NamespaceRefusal {
    static constexpr Refusal NoProcess{6};          // the process is gone (or never was)
    static constexpr Refusal OutsideCgroups{7};     // its cgroup lies outside the hierarchy seen
    static constexpr Refusal OtherNamespace{8};     // its network namespace is not the one named
    static constexpr Refusal CannotEnter{9};        // its namespace could not be opened or entered
    static constexpr Refusal CannotOpenSocket{10};  // the socket could not be opened inside
    static constexpr Refusal CannotList{11};        // the processes could not be read
};
static_assert(static_cast<std::uint16_t>(NamespaceRefusal::NoProcess) == kFirstOwnRefusal);

// Any refusal in a few words, e.g. "the process is gone".
const char* NamespaceRefusalText(Refusal refusal);

struct NamespaceRequest {
    NamespaceRequestKind Kind = NamespaceRequestKind::ListNamespaces;
    std::uint32_t Sequence = 0;
    pid_t Pid = 0;
    std::uint64_t Inode = 0;
};

// One network namespace, as a list names it.
struct NetworkNamespace {
    std::uint64_t Inode = 0;
    std::uint64_t Device = 0;
    pid_t Pid = 0;       // one process in it
    std::string Cgroup;  // that process's cgroup, at most kMaxCgroupPathSize bytes
    bool Own = false;    // quarnel-netns's own namespace, which is the service's
    bool CgroupCut = false;

    bool operator==(const NetworkNamespace&) const = default;
};

struct NamespaceReply {
    NamespaceReplyKind Kind = NamespaceReplyKind::Refused;
    std::uint32_t Sequence = 0;
    bool Last = false;  // Namespaces
    Refusal Reason = Refusal::None;
    int Error = 0;  // Refused
};

using NamespaceRequestBytes = std::array<std::uint8_t, kNamespaceRequestSize>;

void EncodeNamespaceRequest(const NamespaceRequest& request, NamespaceRequestBytes& out);

// Reads one request. received holds the bytes that arrived; length is the whole message's length
// as the socket reported it, larger when the message was cut. Sets request.Sequence whenever the
// message is long enough to carry one, so that a refusal can name what it refuses.
[[nodiscard]] Refusal DecodeNamespaceRequest(std::span<const std::uint8_t> received,
                                             std::size_t length, NamespaceRequest& request);

// Writes one reply into out, with entries for Namespaces (at most kNamespacesPerReply, a cgroup
// path longer than kMaxCgroupPathSize cut and flagged); its length.
[[nodiscard]] std::size_t EncodeNamespaceReply(const NamespaceReply& reply,
                                               std::span<const NetworkNamespace> entries,
                                               std::span<std::uint8_t, kMaxNamespaceReplySize> out);

// Reads one reply as DecodeNamespaceRequest reads a request; a Namespaces reply's entries are
// appended to entries. False for anything but one well-formed reply of this version.
[[nodiscard]] bool DecodeNamespaceReply(std::span<const std::uint8_t> received, std::size_t length,
                                        NamespaceReply& reply,
                                        std::vector<NetworkNamespace>& entries);

}  // namespace quarnel::platform
