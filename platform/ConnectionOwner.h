#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

namespace quarnel::platform {

// The process a connection belongs to: the one that connected, or for a connection to a
// listener the one that listens; as far as it is known (Pid 0: not known, never guessed).
struct ConnectionOwner {
    std::uint32_t Pid = 0;  // as this process's /proc numbers it
    std::uint32_t Uid = 0;
    std::array<char, 16> Command{};  // the kernel's short name of the program, NUL-padded

    bool Known() const { return Pid != 0; }
    std::string_view CommandText() const {
        std::string_view text(Command.data(), Command.size());
        return text.substr(0, text.find('\0'));
    }
    bool operator==(const ConnectionOwner&) const = default;
};

// Who holds which socket, by inode: each socket with the index of its holder.
struct SocketHolding {
    // 8 bytes a socket, since the look holds one for every socket of the machine: a socket's
    // inode is a 32-bit number (the kernel counts them so, and sock_diag reports them so).
    struct Held {
        std::uint32_t Inode = 0;
        std::uint32_t Holder = 0;  // index into Holders
    };
    std::vector<ConnectionOwner> Holders;
    std::vector<Held> Sockets;

    // The holder of a socket's inode, the first listed where several hold it; after Sort.
    const ConnectionOwner* HolderOf(std::uint64_t inode) const;
    // Sorts the sockets by inode, each inode's first holder first.
    void Sort();
    // Adds socket inode held by owner, who holds the socket before it too when it is the last
    // one added: a process's sockets come one after the other. An inode past 32 bits names no
    // socket and is left out.
    void Add(std::uint64_t inode, const ConnectionOwner& owner);
};

// What the system reported of a socket's owner when it connected or listened.
struct SocketOwner {
    std::uint64_t Cookie = 0;  // the socket, as a row's Cookie names it
    std::uint64_t Inode = 0;   // the socket's inode, 0 when not known
    ConnectionOwner Owner;
    std::uint32_t Namespace = 0;  // the socket's network namespace, as a row's; 0: the reader's
};

inline void SocketHolding::Add(std::uint64_t inode, const ConnectionOwner& owner) {
    if (inode > UINT32_MAX) {
        return;
    }
    if (Holders.empty() || Holders.back() != owner) {
        Holders.push_back(owner);
    }
    Sockets.push_back(
        {static_cast<std::uint32_t>(inode), static_cast<std::uint32_t>(Holders.size() - 1)});
}

inline void SocketHolding::Sort() {
    // Holders are numbered in the order they came, so this keeps each inode's first holder
    // first without the copy a stable sort makes.
    std::sort(Sockets.begin(), Sockets.end(), [](const Held& a, const Held& b) {
        return a.Inode != b.Inode ? a.Inode < b.Inode : a.Holder < b.Holder;
    });
}

inline const ConnectionOwner* SocketHolding::HolderOf(std::uint64_t inode) const {
    const auto at =
        std::lower_bound(Sockets.begin(), Sockets.end(), inode,
                         [](const Held& held, std::uint64_t i) { return held.Inode < i; });
    static_assert(sizeof(Held) == 8);
    return at != Sockets.end() && at->Inode == inode ? &Holders[at->Holder] : nullptr;
}

}  // namespace quarnel::platform
