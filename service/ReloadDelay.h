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
        if (!due_) {
            first_ = now;
        }
        due_ = std::min(now + kQuiet, first_ + kLongest);
    }
    // The file is read now all the same (a signal): nothing stays due.
    void Cancel() { due_.reset(); }
    // When a reading is due, if one is.
    std::optional<Clock::time_point> When() const { return due_; }
    // Whether a reading is due by now; it is then no longer pending.
    bool TakeDue(Clock::time_point now) {
        if (!due_ || now < *due_) {
            return false;
        }
        due_.reset();
        return true;
    }

private:
    std::optional<Clock::time_point> due_;
    Clock::time_point first_{};
};

}  // namespace quarnel
