#pragma once

#include <vector>

#include "platform/ConnectionOwner.h"

namespace quarnel::platform {

// The inode of every socket of the table, for a caller that looks for the processes that hold
// them (/proc names a socket by its inode, the table by its cookie).
class SocketInodeReader {
public:
    virtual ~SocketInodeReader() = default;
    // sockets receive each socket's cookie and inode; false when the table could not be read.
    [[nodiscard]] virtual bool ReadSocketInodes(std::vector<SocketInode>& sockets) = 0;
};

}  // namespace quarnel::platform
