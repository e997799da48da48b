#pragma once

#include <vector>

#include "platform/IpAddress.h"
#include "platform/RuleEntry.h"

namespace quarnel::platform {

// A remote address as the rules compare it: an IPv4 address IPv4-mapped (::ffff:a.b.c.d).
using RuleAddress = IpAddress;

// The three rule lists compiled for the system: what a filter in the operating system needs to
// block exactly what the engine's pass blocks. A connection is blocked when its local port is in
// a range of BlockedLocalPorts or its remote port in one of BlockedRemotePorts, unless its remote
// address lies in a prefix of AllowedAddresses. List entries that are no address or no port are
// not here. Prefixes are sorted without repeats (they may overlap); port ranges are sorted,
// disjoint and not adjacent.
struct BlockingRules {
    std::vector<AddressPrefix> AllowedAddresses;
    std::vector<PortRange> BlockedLocalPorts;
    std::vector<PortRange> BlockedRemotePorts;

    bool operator==(const BlockingRules&) const = default;
};

}  // namespace quarnel::platform
