#pragma once

#include <cstdint>
#include <vector>

#include "platform/IpAddress.h"

namespace quarnel::platform {

// A remote address as the rules compare it: an IPv4 address IPv4-mapped (::ffff:a.b.c.d).
using RuleAddress = IpAddress;

// The three rule lists compiled for the system: what a filter in the operating system needs to
// block exactly what the engine's pass blocks. A connection is blocked when its local port is in
// BlockedLocalPorts or its remote port in BlockedRemotePorts, unless its remote address is in
// AllowedAddresses. List entries that are no address or no port are not here.
struct BlockingRules {
    std::vector<RuleAddress> AllowedAddresses;
    std::vector<std::uint16_t> BlockedLocalPorts;
    std::vector<std::uint16_t> BlockedRemotePorts;

    bool operator==(const BlockingRules&) const = default;
};

}  // namespace quarnel::platform
