#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/TcpTableSource.h"

namespace quarnel {

// Which rule closed a connection: the local-port list is asked first, as the pass does.
enum class BlockedBy : std::uint8_t {
    LocalPort,
    RemotePort,
};

// Told of every connection the blocking pass has closed, with the rule that closed it, before
// the pass goes on. The row is the pass's; copy what outlives the call.
using CloseObserver = std::function<void(const platform::TcpRow& row, BlockedBy rule)>;

// One line for the log, e.g. "closed IPv4 192.0.2.5:50123 -> 198.51.100.7:443 (remote port 443
// blocked)"; an IPv6 socket's addresses are written [address]:port.
std::string CloseLine(const platform::TcpRow& row, BlockedBy rule);

}  // namespace quarnel
