#include "platform/linux/filter/RuleMaps.h"

#include <bpf/bpf.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace quarnel::platform {

namespace {

AllowedPrefix KeyOf(const AddressPrefix& prefix) {
    AllowedPrefix key{};
    key.PrefixLength = prefix.Length;
    std::ranges::copy(prefix.Network, key.Address.Bytes);
    return key;
}

PortWords Union(const PortWords& a, const PortWords& b) {
    PortWords both{};
    for (std::size_t i = 0; i < both.size(); ++i) {
        both[i] = a[i] | b[i];
    }
    return both;
}

}  // namespace

bool RuleMaps::BlockNothing() {
    const PortWords none{};
    return WritePortWords(localPorts_, none, heldLocal_) &&
           WritePortWords(remotePorts_, none, heldRemote_);
}

bool RuleMaps::WritePorts(const PortWords& local, const PortWords& remote) {
    return WritePortWords(localPorts_, local, heldLocal_) &&
           WritePortWords(remotePorts_, remote, heldRemote_);
}

bool RuleMaps::Forget(const AddressPrefix& prefix) {
    const AllowedPrefix key = KeyOf(prefix);
    return bpf_map_delete_elem(addresses_, &key) == 0 || errno == ENOENT;
}

bool RuleMaps::WaitForRunsUnderWay() {
    const std::uint32_t only = 0;
    return bpf_map_update_elem(barrier_, &only, &barrierEntry_, BPF_ANY) == 0;
}

bool RuleMaps::Write(const BlockingRules& rules, FilterCause& why) {
    why = {};
    // Sorted vectors rather than trees: an edit of a list of 100,000 compares them in one sweep.
    std::vector<AddressPrefix> allowed = rules.AllowedAddresses;
    if (!std::ranges::is_sorted(allowed)) {
        std::ranges::sort(allowed);
    }
    // Not std::ranges::unique: clang 14 (the fuzz targets' compiler) cannot build it here.
    allowed.erase(std::unique(allowed.begin(), allowed.end()), allowed.end());
    if (allowed.size() > QUARNEL_MAX_ALLOWED_ADDRESSES) {
        why = {FilterCause::Kind::TooManyAddresses};
        // Blocking more than the pass would is worse than holding nothing back.
        (void)BlockNothing();  // a failure here leaves the old rules, which the pass also had
        return false;
    }
    std::vector<AddressPrefix> added, gone;
    std::ranges::set_difference(allowed, heldAddresses_, std::back_inserter(added));
    std::ranges::set_difference(heldAddresses_, allowed, std::back_inserter(gone));
    // After a failed write the trie may lack some of what it may hold: then every allowed
    // prefix goes in again (an update of one it holds changes nothing).
    const std::vector<AddressPrefix>& toAdd = unsure_ ? allowed : added;
    const auto fail = [&] {
        why = {FilterCause::Kind::Rejected, errno};
        (void)BlockNothing();
        std::vector<AddressPrefix> mayHold;
        std::ranges::set_union(heldAddresses_, toAdd, std::back_inserter(mayHold));
        heldAddresses_ = std::move(mayHold);
        unsure_ = true;
        return false;
    };
    // The trie holds the old and the new prefixes together, so the new ones go in first. Only
    // after a failed write left more than the old ones may it be too full: then the ports block
    // nothing while the prefixes about to go leave first.
    if (heldAddresses_.size() + added.size() > QUARNEL_ALLOWED_MAP_ENTRIES) {
        if (!BlockNothing()) {
            return fail();
        }
        for (const AddressPrefix& old : gone) {
            if (!Forget(old)) {
                return fail();
            }
        }
        std::vector<AddressPrefix> kept;
        std::ranges::set_intersection(heldAddresses_, allowed, std::back_inserter(kept));
        heldAddresses_ = std::move(kept);
        gone.clear();
    }
    const std::uint8_t present = 1;
    for (const AddressPrefix& prefix : toAdd) {
        const AllowedPrefix key = KeyOf(prefix);
        if (bpf_map_update_elem(addresses_, &key, &present, BPF_ANY) != 0) {
            return fail();
        }
    }
    // What the old or the new ports block first, then the new ones, so that a connection blocked
    // by the old local and the new remote port (or the other way) never passes between. A run of
    // the filter reads one list, then the other, and one that read a list before the widening
    // could read the other after the narrowing: so where an edit both widens and narrows, the
    // runs under way end in between.
    const PortWords local = ToPortWords(rules.BlockedLocalPorts);
    const PortWords remote = ToPortWords(rules.BlockedRemotePorts);
    const PortWords wideLocal = Union(local, heldLocal_), wideRemote = Union(remote, heldRemote_);
    const bool widens = wideLocal != heldLocal_ || wideRemote != heldRemote_;
    const bool narrows = wideLocal != local || wideRemote != remote;
    if (!WritePorts(wideLocal, wideRemote) || (widens && narrows && !WaitForRunsUnderWay()) ||
        !WritePorts(local, remote)) {
        return fail();
    }
    for (const AddressPrefix& old : gone) {
        if (!Forget(old)) {
            return fail();
        }
    }
    heldAddresses_ = std::move(allowed);
    unsure_ = false;
    return true;
}

}  // namespace quarnel::platform
