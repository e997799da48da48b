#pragma once

#include <cstddef>
#include <vector>

#include "platform/TcpTableSource.h"

namespace quarnel {

// The established connections among rows: a connection between two sockets the table both
// holds (over loopback, or between namespaces it reads alike) counts once, not once a socket.
// An IPv4 socket and a dual-stack one speaking to it are one connection too.
std::size_t CountConnections(const std::vector<platform::TcpRow>& rows);

}  // namespace quarnel
