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
        Socket,    // state tells its state, in the table's numbers
        NoSocket,  // no socket has that name (any more)
        Failed,    // the system could not be asked
    };
    virtual Found LookUp(const TcpRow& row, std::int32_t& state) = 0;
};

// The table's number of the listening state.
inline constexpr std::int32_t kListenState = 2;

}  // namespace quarnel::platform
