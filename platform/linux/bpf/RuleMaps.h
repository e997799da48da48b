#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <span>

#include "platform/BlockingRules.h"
#include "platform/linux/FilterCause.h"
#include "platform/linux/bpf/PayloadRuleMaps.h"

namespace quarnel::platform {

// A port list as the filter's map holds it: bit p % 64 of word p / 64 set for port p.
using PortWords = std::array<std::uint64_t, QUARNEL_PORT_WORDS>;
PortWords ToPortWords(std::span<const std::uint16_t> ports);

// Writes rules into the payload filter's three maps (given by descriptor, owned elsewhere) and
// remembers what they hold, so that an edit writes only what changed.
class RuleMaps {
public:
    RuleMaps(int localPorts, int remotePorts, int allowedAddresses)
        : localPorts_(localPorts), remotePorts_(remotePorts), addresses_(allowedAddresses) {}

    // Makes the maps hold rules. New allowed addresses go in before the ports change and old
    // ones out after, so that an edit never blocks, even for a moment, what both the old and
    // the new rules allow. False, with why, when the maps cannot hold the rules: then they
    // block nothing, as no filter would.
    bool Write(const BlockingRules& rules, FilterCause& why);

private:
    bool WritePorts(int fd, const PortWords& words, PortWords& held);
    bool BlockNothing();

    int localPorts_;
    int remotePorts_;
    int addresses_;
    PortWords heldLocal_{};
    PortWords heldRemote_{};
    std::set<RuleAddress> heldAddresses_;
};

}  // namespace quarnel::platform
