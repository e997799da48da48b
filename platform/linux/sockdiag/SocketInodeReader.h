#pragma once

#include <cstdint>
#include <functional>

#include "platform/TcpTableSource.h"

namespace quarnel::platform {

// The inode of every socket of the table, for a caller that looks for the processes that hold
// them (/proc names a socket by its inode, the table by its cookie).
class SocketInodeReader {
public:
    virtual ~SocketInodeReader() = default;
    // Each socket's row and inode, as the kernel lists them: the caller keeps what it needs
    // rather than a list as long as the machine's sockets. False when the table could not be
    // read whole (each may have seen some sockets, or one twice, by then).
    using EachSocket = std::function<void(const TcpRow& socket, std::uint64_t inode)>;
    [[nodiscard]] virtual bool ReadSocketInodes(const EachSocket& each) = 0;
};

}  // namespace quarnel::platform
