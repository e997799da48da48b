#include "platform/linux/netns/NamespaceProtocol.h"

#include <algorithm>
#include <utility>

namespace quarnel::platform {

namespace {

constexpr std::uint8_t kLastFlag = 1;
constexpr std::uint8_t kOwnFlag = 1;
constexpr std::uint8_t kCutFlag = 2;

void Put(std::span<std::uint8_t> bytes, std::size_t offset, std::uint64_t value,
         std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) {
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint64_t Get(std::span<const std::uint8_t> bytes, std::size_t offset, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        value |= std::uint64_t{bytes[offset + i]} << (8 * i);
    }
    return value;
}

bool Zero(std::span<const std::uint8_t> bytes, std::size_t from, std::size_t to) {
    return std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                       bytes.begin() + static_cast<std::ptrdiff_t>(to),
                       [](std::uint8_t b) { return b == 0; });
}

void PutHeader(std::span<std::uint8_t> bytes, std::uint16_t kind, std::uint32_t sequence) {
    Put(bytes, 0, kNamespaceProtocolVersion, 2);
    Put(bytes, 2, kind, 2);
    Put(bytes, 4, sequence, 4);
}

void PutEntry(std::span<std::uint8_t> bytes, const NetworkNamespace& entry) {
    const std::size_t length = std::min(entry.Cgroup.size(), kMaxCgroupPathSize);
    const bool cut = entry.CgroupCut || length < entry.Cgroup.size();
    Put(bytes, 0, entry.Inode, 8);
    Put(bytes, 8, entry.Device, 8);
    Put(bytes, 16, static_cast<std::uint32_t>(entry.Pid), 4);
    Put(bytes, 20, (entry.Own ? kOwnFlag : 0) | (cut ? kCutFlag : 0), 1);
    Put(bytes, 22, length, 2);
    std::copy_n(entry.Cgroup.begin(), length, bytes.begin() + 24);
}

bool GetEntry(std::span<const std::uint8_t> bytes, NetworkNamespace& entry) {
    const std::uint64_t flags = Get(bytes, 20, 1);
    const std::size_t length = Get(bytes, 22, 2);
    entry.Inode = Get(bytes, 0, 8);
    entry.Device = Get(bytes, 8, 8);
    entry.Pid = static_cast<pid_t>(static_cast<std::int32_t>(Get(bytes, 16, 4)));
    entry.Own = (flags & kOwnFlag) != 0;
    entry.CgroupCut = (flags & kCutFlag) != 0;
    if (entry.Pid <= 0 || flags > (kOwnFlag | kCutFlag) || !Zero(bytes, 21, 22) ||
        length > kMaxCgroupPathSize || !Zero(bytes, 24 + length, kNamespaceEntrySize)) {
        return false;
    }
    entry.Cgroup.assign(bytes.begin() + 24,
                        bytes.begin() + 24 + static_cast<std::ptrdiff_t>(length));
    return true;
}

// Every reason of quarnel-netns's own, with its text.
constexpr std::pair<Refusal, const char*> kOwnRefusals[] = {
    {NamespaceRefusal::NoProcess, "the process is gone"},
    {NamespaceRefusal::OutsideCgroups, "the process lies outside the cgroups seen"},
    {NamespaceRefusal::OtherNamespace, "the process is in another network namespace than named"},
    {NamespaceRefusal::CannotEnter, "cannot enter the namespace"},
    {NamespaceRefusal::CannotOpenSocket, "cannot open a sock_diag socket inside"},
    {NamespaceRefusal::CannotList, "cannot read the processes"},
};

bool KnownRefusal(std::uint16_t code) {
    return IsMessageRefusal(code) || std::ranges::any_of(kOwnRefusals, [code](const auto& own) {
               return static_cast<std::uint16_t>(own.first) == code;
           });
}

}  // namespace

const char* NamespaceRefusalText(Refusal refusal) {
    for (const auto& [own, text] : kOwnRefusals) {
        if (own == refusal) {
            return text;
        }
    }
    return RefusalName(refusal);
}

void EncodeNamespaceRequest(const NamespaceRequest& request, NamespaceRequestBytes& out) {
    out.fill(0);
    PutHeader(out, static_cast<std::uint16_t>(request.Kind), request.Sequence);
    Put(out, 8, static_cast<std::uint32_t>(request.Pid), 4);
    Put(out, 16, request.Inode, 8);
}

Refusal DecodeNamespaceRequest(std::span<const std::uint8_t> received, std::size_t length,
                               NamespaceRequest& request) {
    if (received.size() >= 8 && length >= 8) {
        request.Sequence = static_cast<std::uint32_t>(Get(received, 4, 4));
    }
    if (length < kNamespaceRequestSize || received.size() < kNamespaceRequestSize) {
        return Refusal::Truncated;
    }
    if (length > kNamespaceRequestSize) {
        return Refusal::Oversized;
    }
    if (Get(received, 0, 2) != kNamespaceProtocolVersion) {
        return Refusal::WrongVersion;
    }
    const std::uint64_t kind = Get(received, 2, 2);
    request.Pid = static_cast<pid_t>(static_cast<std::int32_t>(Get(received, 8, 4)));
    request.Inode = Get(received, 16, 8);
    if (!Zero(received, 12, 16)) {
        return Refusal::Malformed;
    }
    switch (kind) {
        case static_cast<std::uint16_t>(NamespaceRequestKind::ListNamespaces):
            request.Kind = NamespaceRequestKind::ListNamespaces;
            return Zero(received, 8, kNamespaceRequestSize) ? Refusal::None : Refusal::Malformed;
        case static_cast<std::uint16_t>(NamespaceRequestKind::OpenSockDiag):
            request.Kind = NamespaceRequestKind::OpenSockDiag;
            return request.Pid > 0 && request.Inode != 0 ? Refusal::None : Refusal::Malformed;
        default:
            return Refusal::UnknownKind;
    }
}

std::size_t EncodeNamespaceReply(const NamespaceReply& reply,
                                 std::span<const NetworkNamespace> entries,
                                 std::span<std::uint8_t, kMaxNamespaceReplySize> out) {
    const std::size_t count = reply.Kind == NamespaceReplyKind::Namespaces
                                  ? std::min(entries.size(), kNamespacesPerReply)
                                  : 0;
    const std::size_t size = kNamespaceReplyHeaderSize + count * kNamespaceEntrySize;
    const std::span<std::uint8_t> bytes = out.first(size);
    std::fill(bytes.begin(), bytes.end(), std::uint8_t{0});
    PutHeader(bytes, static_cast<std::uint16_t>(reply.Kind), reply.Sequence);
    switch (reply.Kind) {
        case NamespaceReplyKind::Namespaces:
            Put(bytes, 8, count, 2);
            Put(bytes, 10, reply.Last ? kLastFlag : 0, 1);
            for (std::size_t i = 0; i < count; ++i) {
                PutEntry(bytes.subspan(kNamespaceReplyHeaderSize + i * kNamespaceEntrySize,
                                       kNamespaceEntrySize),
                         entries[i]);
            }
            break;
        case NamespaceReplyKind::Refused:
            Put(bytes, 8, static_cast<std::uint16_t>(reply.Reason), 2);
            Put(bytes, 12, static_cast<std::uint32_t>(reply.Error), 4);
            break;
        case NamespaceReplyKind::SockDiag:
            break;
    }
    return size;
}

bool DecodeNamespaceReply(std::span<const std::uint8_t> received, std::size_t length,
                          NamespaceReply& reply, std::vector<NetworkNamespace>& entries) {
    if (length != received.size() || length < kNamespaceReplyHeaderSize ||
        Get(received, 0, 2) != kNamespaceProtocolVersion) {
        return false;
    }
    reply.Sequence = static_cast<std::uint32_t>(Get(received, 4, 4));
    switch (Get(received, 2, 2)) {
        case static_cast<std::uint16_t>(NamespaceReplyKind::Namespaces): {
            reply.Kind = NamespaceReplyKind::Namespaces;
            const std::size_t count = Get(received, 8, 2);
            const std::uint64_t flags = Get(received, 10, 1);
            reply.Last = flags == kLastFlag;
            // Every reply but the last is full, so a list cannot end unmarked.
            if (count > kNamespacesPerReply || flags > kLastFlag ||
                (!reply.Last && count != kNamespacesPerReply) ||
                !Zero(received, 11, kNamespaceReplyHeaderSize) ||
                length != kNamespaceReplyHeaderSize + count * kNamespaceEntrySize) {
                return false;
            }
            for (std::size_t i = 0; i < count; ++i) {
                NetworkNamespace entry;
                if (!GetEntry(received.subspan(kNamespaceReplyHeaderSize + i * kNamespaceEntrySize,
                                               kNamespaceEntrySize),
                              entry)) {
                    return false;
                }
                entries.push_back(std::move(entry));
            }
            return true;
        }
        case static_cast<std::uint16_t>(NamespaceReplyKind::SockDiag):
            reply.Kind = NamespaceReplyKind::SockDiag;
            return length == kNamespaceReplyHeaderSize && Zero(received, 8, length);
        case static_cast<std::uint16_t>(NamespaceReplyKind::Refused): {
            reply.Kind = NamespaceReplyKind::Refused;
            const auto reason = static_cast<std::uint16_t>(Get(received, 8, 2));
            reply.Reason = static_cast<Refusal>(reason);
            reply.Error = static_cast<int>(Get(received, 12, 4));
            return KnownRefusal(reason) && length == kNamespaceReplyHeaderSize &&
                   Zero(received, 10, 12);
        }
        default:
            return false;
    }
}

}  // namespace quarnel::platform
