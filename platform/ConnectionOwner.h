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

// A socket's inode beside its cookie: /proc and the processes' files name a socket by its inode,
// the table by its cookie.
struct SocketInode {
    std::uint64_t Cookie = 0;
    std::uint64_t Inode = 0;
};

// Who holds which socket, by inode: each socket with the index of its holder.
struct SocketHolding {
    struct Held {
        std::uint64_t Inode = 0;
        std::uint32_t Holder = 0;  // index into Holders
    };
    std::vector<ConnectionOwner> Holders;
    std::vector<Held> Sockets;

    // The holder of a socket's inode, the first listed where several hold it; after Sort.
    const ConnectionOwner* HolderOf(std::uint64_t inode) const;
    // Sorts the sockets by inode, each inode's first holder first.
    void Sort();
    // Adds socket inode held by owner, who holds the socket before it too when it is the last
    // one added: a process's sockets come one after the other.
    void Add(std::uint64_t inode, const ConnectionOwner& owner);
};

// What the system reported of a socket's owner when it connected or listened.
struct SocketOwner {
    std::uint64_t Cookie = 0;  // the socket, as a row's Cookie names it
    std::uint64_t Inode = 0;   // the socket's inode, 0 when not known
    ConnectionOwner Owner;
};

inline void SocketHolding::Add(std::uint64_t inode, const ConnectionOwner& owner) {
    if (Holders.empty() || Holders.back() != owner) {
        Holders.push_back(owner);
    }
    Sockets.push_back({inode, static_cast<std::uint32_t>(Holders.size() - 1)});
}

inline void SocketHolding::Sort() {
    std::stable_sort(Sockets.begin(), Sockets.end(),
                     [](const Held& a, const Held& b) { return a.Inode < b.Inode; });
}

inline const ConnectionOwner* SocketHolding::HolderOf(std::uint64_t inode) const {
    const auto at =
        std::lower_bound(Sockets.begin(), Sockets.end(), inode,
                         [](const Held& held, std::uint64_t i) { return held.Inode < i; });
    return at != Sockets.end() && at->Inode == inode ? &Holders[at->Holder] : nullptr;
}

}  // namespace quarnel::platform
