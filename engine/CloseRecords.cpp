#include "engine/CloseRecords.h"

#include "engine/ActionLog.h"
#include "platform/RuleEntry.h"

namespace quarnel {

void CloseRecords::Add(const platform::TcpRow& row, Verdict why, const RuleSet& rules,
                       const platform::ConnectionOwner& owner, bool missed,
                       std::chrono::system_clock::time_point now) {
    CloseRecord record{now, missed, row, why, owner, {}, {}, {}, {}};
    record.Line = missed ? MissedLine(row, why, &rules, userName_, owner, namespaceName_)
                         : CloseLine(row, why, &rules, userName_, owner, namespaceName_);
    record.Connection = ConnectionText(row);
    record.Rule = RuleText(row, why, &rules);
    if (owner.Known()) {
        record.User = userName_ ? userName_(owner.Uid) : std::to_string(owner.Uid);
    }
    ++(missed ? missed_ : closed_);
    if (!missed && IsBlocked(why)) {
        const bool local = IsLocalRule(why);
        const std::int32_t port = PortJudged(row, why);
        std::string entry =
            (local ? "local " : "remote ") +
            platform::PortEntryText(rules.EntryOf(static_cast<std::uint16_t>(port), local));
        if (byEntry_.size() >= kEntriesCounted && !byEntry_.contains(entry)) {
            entry = "other";
        }
        ++byEntry_[entry];
    }
    if (kept_ == 0) {
        return;
    }
    if (recent_.size() == kept_) {
        recent_.pop_front();
    }
    recent_.push_back(std::move(record));
}

std::string CloseRecords::TakeNotice() {
    const std::uint64_t closed = closed_ - closedTold_, missed = missed_ - missedTold_;
    closedTold_ = closed_;
    missedTold_ = missed_;
    if (closed + missed == 0) {
        return {};
    }
    if (closed + missed == 1 && !recent_.empty()) {
        return recent_.back().Line;
    }
    std::string text;
    if (closed > 0) {
        text = GroupedNumber(closed) + (closed == 1 ? " connection closed" : " connections closed");
    }
    if (missed > 0) {
        text += text.empty() ? GroupedNumber(missed) + " blocked connection" +
                                   (missed == 1 ? "" : "s") + " missed"
                             : ", " + GroupedNumber(missed) + " missed";
    }
    return text;
}

}  // namespace quarnel
