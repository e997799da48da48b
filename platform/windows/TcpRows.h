#pragma once

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
// clang-format on

#include <cstdint>
#include <string>

#include "platform/TcpTableSource.h"

namespace quarnel::platform {

// The rows of GetExtendedTcpTable (owner pids included) as the engine's rows. A port is the
// field's two lowest-addressed bytes read big-endian; a listener has no remote end, whatever its
// row's remote fields hold.
TcpRow RowOf(const MIB_TCPROW_OWNER_PID& row);
TcpRow RowOf(const MIB_TCP6ROW_OWNER_PID& row);

// The row SetTcpEntry takes to tear an IPv4 connection down: its addresses and ports as the
// table gave them, in state 12 (DELETE_TCB).
MIB_TCPROW DeleteRowOf(const TcpRow& row);

// A connection as the user reads it: "127.0.0.1:50000 -> 127.0.0.1:6885" or
// "[::1]:50000 -> [::1]:6885".
std::string ConnectionText(const TcpRow& row);

}  // namespace quarnel::platform
