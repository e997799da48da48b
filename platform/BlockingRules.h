#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace quarnel::platform {

// A remote address as the rules compare it: 16 bytes in network order, an IPv4 address as its
// IPv4-mapped IPv6 address (::ffff:a.b.c.d).
using RuleAddress = std::array<std::uint8_t, 16>;

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
