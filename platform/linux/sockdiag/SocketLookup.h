#pragma once

#include <cstdint>

#include "platform/TcpTableSource.h"

namespace quarnel::platform {

// Finds the one socket a row names exactly (family, both addresses and ports, bound interface
// and cookie) and tells what it is, without touching it.
class SocketLookup {
public:
    virtual ~SocketLookup() = default;

    enum class Found {
        Socket,    // state tells its state
        NoSocket,  // no socket has that name (any more)
        Failed,    // the system could not be asked
    };
    virtual Found LookUp(const TcpRow& row, TcpState& state) = 0;
};

}  // namespace quarnel::platform
