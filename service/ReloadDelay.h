#pragma once

#include <algorithm>
#include <chrono>
#include <optional>

namespace quarnel {

// When a changed rules file is read: once it stayed unchanged a while, so that an editor that
// writes in place is done by then and a half-written file is seldom read (and found unusable
// when it is); yet no later than a second after the first change not read, so that a file
// rewritten without pause is still read that often.
class ReloadDelay {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration kQuiet = std::chrono::milliseconds(100);
    static constexpr Clock::duration kLongest = std::chrono::seconds(1);

    // A change seen at now: a later one moves the reading on, up to the bound.
    void Changed(Clock::time_point now) {
        if (!pending_) {
            first_ = now;
            pending_ = true;
        }
        due_ = std::min(now + kQuiet, first_ + kLongest);
    }
    // The file is read now all the same (a signal): nothing stays due.
    void Cancel() { pending_ = false; }
    // When a reading is due, if one is.
    std::optional<Clock::time_point> When() const {
        return pending_ ? std::optional(due_) : std::nullopt;
    }
    // Whether a reading is due by now; it is then no longer pending.
    bool TakeDue(Clock::time_point now) {
        if (!pending_ || now < due_) {
            return false;
        }
        pending_ = false;
        return true;
    }

private:
    // A flag beside plain time points rather than an optional: GCC 12 at -O2 warns wrongly
    // (-Wmaybe-uninitialized) of the optional's value once the calls are inlined.
    bool pending_ = false;
    Clock::time_point due_{};
    Clock::time_point first_{};
};

}  // namespace quarnel
