#pragma once

#include <bitset>
#include <cstdint>
#include <vector>

#include "container/List.h"
#include "platform/BlockingRules.h"
#include "platform/Spans.h"
#include "platform/TcpTableSource.h"

namespace quarnel {

// What the rules say of one connection.
enum class Verdict : std::uint8_t {
    Allowed,              // its remote address is on the allowed list: kept whatever its ports
    Passed,               // neither of its ports is blocked
    BlockedByLocalPort,   // its local port is on the blocked-local-ports list
    BlockedByRemotePort,  // its remote port is on the blocked-remote-ports list (and not local)
    // The port it was addressed to before this machine translated it to its socket's (a
    // published port) is on the blocked-local-ports list (and neither of its socket's ports).
    BlockedByOriginalPort,
};

// Whether the verdict closes the connection.
inline bool IsBlocked(Verdict verdict) {
    return verdict != Verdict::Allowed && verdict != Verdict::Passed;
}
// Whether a blocked-local-ports entry blocked it (its socket's or its original port).
inline bool IsLocalRule(Verdict verdict) {
    return verdict == Verdict::BlockedByLocalPort || verdict == Verdict::BlockedByOriginalPort;
}
// The port the verdict names: the one whose entry blocked the connection.
inline std::int32_t PortJudged(const platform::TcpRow& row, Verdict verdict) {
    switch (verdict) {
        case Verdict::BlockedByOriginalPort:
            return row.OriginalPort;
        case Verdict::BlockedByRemotePort:
            return row.RemotePort;
        default:
            return row.LocalPort;
    }
}

// The three rule lists compiled for judging rows, IPv4 and IPv6 alike. Compiled anew whenever a
// list changes; the lists themselves stay the user's text.
class RuleSet {
public:
    RuleSet() = default;  // no rules: every connection passes
    // An allowed entry that names no address or prefix (see platform::ParseAddressEntry)
    // protects nothing, and a port entry that names no port or range (platform::ParsePortEntry)
    // blocks nothing. Overlapping entries count as their union.
    RuleSet(const List& allowedIP, const List& blockedLocalPorts, const List& blockedRemotePorts);

    // The verdict on a connection, judged by its remote address and both ports (and the port
    // it was addressed to before translation, where it was translated) only; the
    // caller decides which rows are connections (the pass judges established ones).
    Verdict Judge(const platform::TcpRow& row) const;

    // The allowed prefixes, IPv4 ones IPv4-mapped, sorted and without duplicates.
    const std::vector<platform::AddressPrefix>& AllowedAddresses() const { return allowed_; }
    // The blocked ports as sorted ranges, overlapping and adjacent entries joined.
    const std::vector<platform::PortRange>& BlockedLocalPorts() const { return localPorts_; }
    const std::vector<platform::PortRange>& BlockedRemotePorts() const { return remotePorts_; }

    // The entry of the blocked-local-ports list (local) or the blocked-remote-ports list that
    // holds port, as the list holds it: the port's own entry if there is one, else the first
    // range that holds it; a range of that port alone when none does.
    platform::PortRange EntryOf(std::uint16_t port, bool local) const;

private:
    using PortSet = std::bitset<65536>;
    std::vector<platform::AddressPrefix> allowed_;
    std::vector<platform::AddressSpan> allowedSpans_;  // the prefixes joined
    std::vector<platform::PortRange> localPorts_, remotePorts_;
    std::vector<platform::PortRange> localEntries_, remoteEntries_;  // in the lists' order
    PortSet local_, remote_;
};

// The rules as a filter in the system takes them, so that it blocks exactly what Judge blocks.
platform::BlockingRules BlockingRulesOf(const RuleSet& rules);

}  // namespace quarnel
