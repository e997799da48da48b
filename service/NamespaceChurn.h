#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace quarnel {

// How the log tells network namespaces guarded and gone: a line each, but under churn
// (containers started by the hundred, a user's loop of unshare) only the first few of a minute,
// the rest summed in one line once that minute is over.
class NamespaceChurn {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kOneByOne = 20;  // lines in a minute before the rest is summed
    static constexpr Clock::duration kPeriod = std::chrono::minutes(1);
    enum class Change { Guarded, Gone };

    // Whether the change seen at now has a line of its own; else it is counted for the sum.
    bool Tell(Change change, Clock::time_point now);
    // What was not told line by line, once the minute it was counted in is over; then the
    // count starts afresh.
    std::optional<std::string> TakeSum(Clock::time_point now);

private:
    std::optional<Clock::time_point> since_;  // the minute's start
    std::size_t told_ = 0;
    std::size_t guarded_ = 0;
    std::size_t gone_ = 0;
};

}  // namespace quarnel
