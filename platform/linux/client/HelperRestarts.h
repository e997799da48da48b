#pragma once

#include <chrono>

namespace quarnel::platform {

// When to start the helper again after it failed. While no helper runs nothing is closed or held
// back, and starting one costs a fraction of a second: so it is started again at once, unless
// starting itself failed, or the helpers died within moments of each of the last starts, where a
// start at once would only fail again. Then the pauses double from kFirstPause up to kLongestPause,
// until a helper has run for kShortRun. The caller gives the time.
class HelperRestarts {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::chrono::milliseconds kFirstPause{1000};
    static constexpr std::chrono::milliseconds kLongestPause{60000};
    // A helper that fails sooner after its start died within moments of it.
    static constexpr std::chrono::milliseconds kShortRun{1000};
    // So many of those in a row are still started again at once: one may be killed twice in a
    // row by hand, a helper that cannot run dies at every start.
    static constexpr int kQuickDeaths = 3;

    // A helper started at now and may close: how long none ran before (zero for the first).
    Clock::duration Started(Clock::time_point now);
    // The running helper failed at now: when to start the next.
    Clock::time_point Failed(Clock::time_point now);
    // A start at now failed: when to try again.
    Clock::time_point StartFailed(Clock::time_point now);

private:
    Clock::time_point Pause(Clock::time_point now);

    Clock::time_point startedAt_{};
    Clock::time_point downSince_{};  // while no helper runs: since it failed
    bool down_ = false;
    int quickDeaths_ = 0;      // in a row
    Clock::duration pause_{};  // the last pause, doubled by the next
};

}  // namespace quarnel::platform
