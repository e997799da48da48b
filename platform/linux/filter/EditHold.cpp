#include "platform/linux/filter/EditHold.h"

#include <algorithm>
#include <iterator>
#include <set>

#include "platform/Spans.h"

namespace quarnel::platform {

namespace {

std::vector<PortRange> Either(const std::vector<PortRange>& a, const std::vector<PortRange>& b) {
    std::vector<PortRange> both = a;
    both.insert(both.end(), b.begin(), b.end());
    return JoinedRanges(std::move(both));
}

// The prefixes of inner that lie within a prefix of outer (sorted).
void Within(const std::vector<AddressPrefix>& inner, const std::vector<AddressPrefix>& outer,
            std::vector<AddressPrefix>& found) {
    std::set<std::uint8_t> lengths;
    for (const AddressPrefix& prefix : outer) {
        lengths.insert(prefix.Length);
    }
    for (const AddressPrefix& prefix : inner) {
        // One look per length outer holds, not per prefix: a list of 20,000 takes milliseconds.
        for (auto length = lengths.begin(); length != lengths.end() && *length <= prefix.Length;
             ++length) {
            if (std::ranges::binary_search(outer, Masked(prefix.Network, *length))) {
                found.push_back(prefix);
                break;
            }
        }
    }
}

}  // namespace

BlockingRules BlockedByEither(const BlockingRules& a, const BlockingRules& b) {
    // The addresses both allow: the prefixes of each list that lie within one of the other.
    std::vector<AddressPrefix> allowed;
    Within(a.AllowedAddresses, b.AllowedAddresses, allowed);
    Within(b.AllowedAddresses, a.AllowedAddresses, allowed);
    std::ranges::sort(allowed);
    allowed.erase(std::unique(allowed.begin(), allowed.end()), allowed.end());
    return {std::move(allowed), Either(a.BlockedLocalPorts, b.BlockedLocalPorts),
            Either(a.BlockedRemotePorts, b.BlockedRemotePorts)};
}

EditHold::EditHold(std::unique_ptr<RulesFilter> filter, Clock::duration hold,
                   std::function<Clock::time_point()> now)
    : filter_(std::move(filter)), hold_(hold), now_(std::move(now)) {}

bool EditHold::Write(const BlockingRules& rules, FilterCause& why) {
    if (!filter_->SetRules(rules, why)) {
        held_.reset();
        settleAt_.reset();
        told_ = why;
        return false;
    }
    held_ = rules;
    told_ = why;
    return true;
}

bool EditHold::SetRules(const BlockingRules& rules, FilterCause& why) {
    if (!held_) {
        settleAt_.reset();
        return Write(rules, why);  // it holds nothing that could be lifted too soon
    }
    BlockingRules wide = BlockedByEither(*held_, rules);
    if (wide == rules) {
        settleAt_.reset();
        return Write(rules, why);
    }
    wanted_ = rules;
    settleAt_ = now_() + hold_;
    if (wide == *held_) {
        why = told_;
        return true;
    }
    return Write(wide, why);
}

bool EditHold::Settle(Clock::time_point now, FilterCause& why) {
    if (!settleAt_ || now < *settleAt_) {
        return false;
    }
    settleAt_.reset();
    (void)Write(wanted_, why);  // why tells a failure
    return true;
}

}  // namespace quarnel::platform
