#include "engine/ActionLog.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace quarnel {

namespace {
constexpr std::chrono::seconds kWindow{1};
// Owners counted apart in a storm's summary; the rest count as others.
constexpr std::size_t kOwnersCounted = 256;
// Owners the summary names, the most closed first.
constexpr std::size_t kOwnersNamed = 3;
}  // namespace

std::string GroupedNumber(std::uint64_t number) {
    std::string digits = std::to_string(number);
    for (auto at = static_cast<std::ptrdiff_t>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<std::size_t>(at), 1, ',');
    }
    return digits;
}

void ActionLog::Closed(const platform::TcpRow& row, Verdict verdict, Clock::time_point now,
                       const RuleSet* rules, const platform::ConnectionOwner& owner) {
    ++totalClosed_;
    if (Room(now) && Tell(row, verdict, rules, owner)) {
        ++writtenInWindow_;
        return;
    }
    ++untold_;
    ++totalUntold_;
    const auto counted = untoldBy_.find(owner);
    if (counted != untoldBy_.end()) {
        ++counted->second;
    } else if (untoldBy_.size() < kOwnersCounted) {
        untoldBy_.emplace(owner, 1);
    }
}

bool ActionLog::Tell(const platform::TcpRow& row, Verdict verdict, const RuleSet* rules,
                     const platform::ConnectionOwner& owner) {
    const std::string line = CloseLine(row, verdict, rules, userName_, owner, namespaceName_);
    return (sink_ && sink_(row, verdict, owner, line)) || Write(line);
}

void ActionLog::Missed(const platform::TcpRow& row, Verdict verdict, Clock::time_point now,
                       const RuleSet* rules, const platform::ConnectionOwner& owner) {
    ++totalMissed_;
    // Past the limit it is only counted: the service's status tells the count.
    if (!Room(now)) {
        return;
    }
    const std::string line = MissedLine(row, verdict, rules, userName_, owner, namespaceName_);
    if ((missSink_ && missSink_(row, verdict, owner, line)) || Write(line, Priority::Warning)) {
        ++writtenInWindow_;
    }
}

bool ActionLog::Room(Clock::time_point now) {
    if (now - windowStart_ >= kWindow) {
        Flush(now);
        windowStart_ = now;
        writtenInWindow_ = 0;
    }
    return writtenInWindow_ < limit_;
}

void ActionLog::Say(std::string_view line, Priority priority) {
    // A full output loses it rather than stall the pass; cut short of the longest line with its
    // priority mark ("<4>") and end, the output takes it whole.
    if (!Write(line.substr(0, output_.LongestLine() - 1 - (marked_ ? 3 : 0)), priority)) {
        ++lost_;
        ++totalLost_;
    }
}

void ActionLog::Flush(Clock::time_point now) {
    if (const std::uint64_t lost = lost_.exchange(0);
        lost != 0 && !Write("lines lost while the log was full: " + GroupedNumber(lost))) {
        lost_ += lost;
    }
    if (untold_ == 0 || now - windowStart_ < kWindow) {
        return;
    }
    // Every close counted came within a second of windowStart_; a summary that waited for a long
    // pass says how long ago that began.
    const auto seconds = std::chrono::floor<std::chrono::seconds>(now - windowStart_).count();
    const std::string span =
        seconds <= 1 ? "the last second" : "the last " + std::to_string(seconds) + " seconds";
    if (Write("and " + GroupedNumber(untold_) + " more closed in " + span + UntoldOwners())) {
        untold_ = 0;
        untoldBy_.clear();
    }
}

std::string ActionLog::UntoldOwners() const {
    std::vector<std::pair<std::uint64_t, const platform::ConnectionOwner*>> byCount;
    for (const auto& [owner, count] : untoldBy_) {
        byCount.emplace_back(count, &owner);
    }
    const std::size_t named = std::min(byCount.size(), kOwnersNamed);
    std::partial_sort(byCount.begin(), byCount.begin() + static_cast<std::ptrdiff_t>(named),
                      byCount.end(),
                      [](const auto& a, const auto& b) { return a.first > b.first; });
    std::string text;
    std::uint64_t told = 0;
    for (std::size_t i = 0; i < named; ++i) {
        text += i == 0 ? " (" : ", ";
        text += GroupedNumber(byCount[i].first);
        text += " by ";
        text += OwnerText(*byCount[i].second, userName_);
        told += byCount[i].first;
    }
    if (told != 0 && told < untold_) {
        text += ", " + GroupedNumber(untold_ - told) + " by others";
    }
    return told != 0 ? text + ")" : text;
}

bool ActionLog::Write(std::string_view text, Priority priority) {
    std::string line;
    if (marked_) {
        // Appended, not chained with +: GCC 12 warns wrongly (-Wrestrict) of such chains.
        line += '<';
        line += std::to_string(static_cast<int>(priority));
        line += '>';
    }
    line.append(text);
    line += '\n';
    return output_.TryWrite(line);
}

}  // namespace quarnel
