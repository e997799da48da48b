#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "platform/BlockingRules.h"
#include "platform/linux/filter/RulesFilter.h"

namespace quarnel::platform {

// What blocks, from either end's view, everything a or b blocks: every blocked port of either,
// and only the addresses both allow.
BlockingRules BlockedByEither(const BlockingRules& a, const BlockingRules& b);

// A filter whose edits pass through what the old and the new rules block, held for as long as a
// segment may wait in a queue between two guarded namespaces. Each end judges a segment by its
// own view: the sender on the way out, the receiver on the way in. Were the rules to change while
// a segment waits in between (a veth with a rate limit), the sender could judge it by the old
// rules and the receiver by the new, and a connection both block would pass: blocked-local P
// moved to blocked-remote P lets the client send under the old rules and the server take it
// under the new. Held through both, every segment is judged at one end or the other by rules
// that block it. Closing follows the new rules at once; only holding back waits.
//
// An edit that only adds to what is blocked goes in at once; one that lifts something goes in
// after the hold, and a further edit meanwhile widens what is held to everything since the last
// rules that went in whole.
class EditHold final : public RulesFilter {
public:
    // Longer than a segment waits in any queue a host sets up on a path between namespaces (a
    // token bucket drops what would wait longer than its latency, a few hundred milliseconds at
    // most), short enough that a lifted rule soon lets data through again.
    static constexpr Clock::duration kHold = std::chrono::seconds(1);

    explicit EditHold(std::unique_ptr<RulesFilter> filter, Clock::duration hold = kHold,
                      std::function<Clock::time_point()> now = Clock::now);

    bool SetRules(const BlockingRules& rules, FilterCause& why) override;
    bool Settle(Clock::time_point now, FilterCause& why) override;
    std::optional<Clock::time_point> SettleAt() const override { return settleAt_; }

private:
    bool Write(const BlockingRules& rules, FilterCause& why);

    std::unique_ptr<RulesFilter> filter_;
    Clock::duration hold_;
    std::function<Clock::time_point()> now_;
    // What the filter holds; none before the first edit and after a failed one, which leaves it
    // holding nothing.
    std::optional<BlockingRules> held_;
    BlockingRules wanted_;  // what goes in at settleAt_
    std::optional<Clock::time_point> settleAt_;
    FilterCause told_;  // the last write's answer, told again while nothing is written
};

}  // namespace quarnel::platform
