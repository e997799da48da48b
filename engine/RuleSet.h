#pragma once

#include <bitset>
#include <cstdint>
#include <vector>

#include "container/List.h"
#include "platform/TcpTableSource.h"

namespace quarnel {

// What the rules say of one connection.
enum class Verdict : std::uint8_t {
    Allowed,              // its remote address is on the allowed list: kept whatever its ports
    Passed,               // neither of its ports is blocked
    BlockedByLocalPort,   // its local port is on the blocked-local-ports list
    BlockedByRemotePort,  // its remote port is on the blocked-remote-ports list (and not local)
};

// The three rule lists compiled for judging rows, IPv4 and IPv6 alike. Compiled anew whenever a
// list changes; the lists themselves stay the user's text.
class RuleSet {
public:
    RuleSet() = default;  // no rules: every connection passes
    // An allowed entry that names no address (see ParseAddress) protects nothing; a port outside
    // 0..65535 blocks nothing, as no row has one.
    RuleSet(const List& allowedIP, const List& blockedLocalPorts, const List& blockedRemotePorts);

    // The verdict on a connection, judged by its remote address and both ports only; the
    // caller decides which rows are connections (the pass judges established ones).
    Verdict Judge(const platform::TcpRow& row) const;

    // The allowed addresses, IPv4 ones IPv4-mapped, sorted and without duplicates.
    const std::vector<platform::IpAddress>& AllowedAddresses() const { return allowed_; }
    // The blocked ports, sorted and without duplicates.
    const std::vector<std::uint16_t>& BlockedLocalPorts() const { return localPorts_; }
    const std::vector<std::uint16_t>& BlockedRemotePorts() const { return remotePorts_; }

private:
    using PortSet = std::bitset<65536>;

    std::vector<platform::IpAddress> allowed_;
    std::vector<std::uint16_t> localPorts_, remotePorts_;
    PortSet local_, remote_;
};

}  // namespace quarnel
