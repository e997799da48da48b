#pragma once

#include <array>
#include <cstdint>
#include <string_view>

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

// What the system reported of a socket's owner when it connected or listened.
struct SocketOwner {
    std::uint64_t Cookie = 0;  // the socket, as a row's Cookie names it
    std::uint64_t Inode = 0;   // the socket's inode, 0 when not known
    ConnectionOwner Owner;
};

}  // namespace quarnel::platform
