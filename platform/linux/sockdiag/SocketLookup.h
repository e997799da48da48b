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
    // Finds the socket of row's family, addresses and ports, whatever its cookie and bound
    // interface, and fills row with it as a read of the table shows it (its family may turn out
    // IPv6: a dual-stack socket carries IPv4 connections too).
    virtual Found Find(TcpRow& row) = 0;
};

}  // namespace quarnel::platform
