#include "platform/linux/bpf/RuleMaps.h"

#include <bpf/bpf.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace quarnel::platform {

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
    // Room first for the new ones: the map is made just large enough for all of them.
    const auto fail = [&] {
        why = {FilterCause::Kind::Refused, errno};
        (void)BlockNothing();
        return false;
    };
    const std::uint8_t present = 1;
    for (const RuleAddress& address : allowed) {
        if (!heldAddresses_.contains(address)) {
            if (heldAddresses_.size() + 1 > QUARNEL_MAX_ALLOWED_ADDRESSES) {
                // Full of addresses about to go: let the ports block nothing while they go.
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
    if (!WritePortWords(localPorts_, ToPortWords(rules.BlockedLocalPorts), heldLocal_) ||
        !WritePortWords(remotePorts_, ToPortWords(rules.BlockedRemotePorts), heldRemote_)) {
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
