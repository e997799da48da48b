#pragma once

#include <bpf/libbpf.h>

#include <cstdint>
#include <vector>

#include "platform/BlockingRules.h"
#include "platform/linux/bpf/PortWords.h"
#include "platform/linux/filter/FilterCause.h"

namespace quarnel::platform {

// Writes rules into the payload filter's maps (owned by its loaded program) and remembers what
// they hold, so that an edit writes only what changed.
class RuleMaps {
public:
    // The maps of a loaded filter program (its skeleton's maps), found by their names.
    template <typename ProgramMaps>
    explicit RuleMaps(const ProgramMaps& maps)
        : localPorts_(bpf_map__fd(maps.BlockedLocalPorts)),
          remotePorts_(bpf_map__fd(maps.BlockedRemotePorts)),
          addresses_(bpf_map__fd(maps.AllowedAddresses)),
          barrier_(bpf_map__fd(maps.RunsBarrier)),
          barrierEntry_(bpf_map__fd(maps.RunsBarrierEntry)) {}

    // Makes the maps hold rules. New allowed prefixes go in before the ports change and old
    // ones out after, and the ports change through what the old or the new ones block, so that
    // an edit never blocks, even for a moment, what both the old and the new rules allow, nor
    // lets through what both block. False, with why, when the maps cannot hold the rules: then
    // they block nothing, as no filter would.
    bool Write(const BlockingRules& rules, FilterCause& why);

private:
    bool BlockNothing();
    bool WritePorts(const PortWords& local, const PortWords& remote);
    bool Forget(const AddressPrefix& prefix);
    bool WaitForRunsUnderWay();

    int localPorts_;
    int remotePorts_;
    int addresses_;
    // A map of maps that holds barrierEntry_: putting it back waits for the filter's runs under
    // way (the kernel does so for every update of such a map).
    int barrier_;
    int barrierEntry_;
    PortWords heldLocal_{};
    PortWords heldRemote_{};
    // Sorted: what the trie holds, or after a failed write (unsure_) what it may hold.
    std::vector<AddressPrefix> heldAddresses_;
    bool unsure_ = false;
};

}  // namespace quarnel::platform
