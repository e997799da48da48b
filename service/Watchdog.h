#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace quarnel {

// Keep-alives for systemd's watchdog (WatchdogSec= in the unit): sent from the guard's loop
// after each pass that judged the table, at most every half interval, so that a loop that stalls
// (stopped, stuck in a call, or reading nothing but failures) sends none and systemd restarts it.
class Watchdog {
public:
    using Clock = std::chrono::steady_clock;
    using Notify = std::function<void(const std::string& state)>;

    // interval: systemd's, zero when it asks for none; notify tells systemd.
    Watchdog(Clock::duration interval, Notify notify)
        : interval_(interval), notify_(std::move(notify)) {}

    // After a pass: judged tells whether it judged the table it read (a failed read does not).
    void Passed(bool judged, Clock::time_point now = Clock::now());
    bool Enabled() const { return interval_ > Clock::duration::zero(); }
    Clock::duration Interval() const { return interval_; }

private:
    Clock::duration interval_;
    Notify notify_;
    Clock::time_point last_{};
    bool sent_ = false;
};

}  // namespace quarnel
