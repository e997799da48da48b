#include "platform/linux/bpf/RuleMaps.h"

#include <bpf/bpf.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <vector>

namespace quarnel::platform {

namespace {

PortWords Union(const PortWords& one, const PortWords& other) {
    PortWords both{};
    std::ranges::transform(one, other, both.begin(), std::bit_or<>{});
    return both;
}

}  // namespace

bool RuleMaps::BlockNothing() {
    const PortWords none{};
    return WritePortWords(localPorts_, none, heldLocal_) &&
           WritePortWords(remotePorts_, none, heldRemote_);
}

bool RuleMaps::Write(const BlockingRules& rules, FilterCause& why) {
    why = {};
    const std::set<RuleAddress> allowed(rules.AllowedAddresses.begin(),
                                        rules.AllowedAddresses.end());
    if (allowed.size() > QUARNEL_MAX_ALLOWED_ADDRESSES) {
        why = {FilterCause::Kind::TooManyAddresses};
        // Blocking more than the pass would is worse than holding nothing back.
        (void)BlockNothing();  // a failure here leaves the old rules, which the pass also had
        return false;
    }
    std::vector<RuleAddress> gone;
    std::ranges::set_difference(heldAddresses_, allowed, std::back_inserter(gone));
    // Room first for the new ones: the map holds the largest list twice, old and new together.
    const auto fail = [&] {
        why = {FilterCause::Kind::Refused, errno};
        (void)BlockNothing();
        return false;
    };
    const std::uint8_t present = 1;
    for (const RuleAddress& address : allowed) {
        if (!heldAddresses_.contains(address)) {
            if (heldAddresses_.size() + 1 > QUARNEL_ALLOWED_ADDRESS_ENTRIES) {
                // Full only after a write that failed half way: let the ports block nothing
                // while the addresses about to go go.
                if (!BlockNothing()) {
                    return fail();
                }
                for (const RuleAddress& old : gone) {
                    (void)bpf_map_delete_elem(addresses_, old.data());  // absent is fine
                    heldAddresses_.erase(old);
                }
                gone.clear();
            }
            if (bpf_map_update_elem(addresses_, address.data(), &present, BPF_ANY) != 0) {
                return fail();
            }
            heldAddresses_.insert(address);
        }
    }
    // The old and the new ports together first, then the new alone: a port moved from one list
    // to the other is on one of them throughout.
    const PortWords local = ToPortWords(rules.BlockedLocalPorts);
    const PortWords remote = ToPortWords(rules.BlockedRemotePorts);
    if (!WritePortWords(localPorts_, Union(heldLocal_, local), heldLocal_) ||
        !WritePortWords(remotePorts_, Union(heldRemote_, remote), heldRemote_) ||
        !WritePortWords(localPorts_, local, heldLocal_) ||
        !WritePortWords(remotePorts_, remote, heldRemote_)) {
        return fail();
    }
    for (const RuleAddress& old : gone) {
        if (bpf_map_delete_elem(addresses_, old.data()) != 0 && errno != ENOENT) {
            return fail();
        }
        heldAddresses_.erase(old);
    }
    return true;
}

}  // namespace quarnel::platform
