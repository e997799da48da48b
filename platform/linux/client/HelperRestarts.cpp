#include "platform/linux/client/HelperRestarts.h"

#include <algorithm>

namespace quarnel::platform {

HelperRestarts::Clock::duration HelperRestarts::Started(Clock::time_point now) {
    startedAt_ = now;
    const Clock::duration gap = down_ ? now - downSince_ : Clock::duration{};
    down_ = false;
    return gap;
}

HelperRestarts::Clock::time_point HelperRestarts::Failed(Clock::time_point now) {
    if (!down_) {
        down_ = true;
        downSince_ = now;
    }
    if (now - startedAt_ >= kShortRun) {
        quickDeaths_ = 0;
        pause_ = {};
        return now;
    }
    return ++quickDeaths_ <= kQuickDeaths ? now : Pause(now);
}

HelperRestarts::Clock::time_point HelperRestarts::StartFailed(Clock::time_point now) {
    return Pause(now);
}

HelperRestarts::Clock::time_point HelperRestarts::Pause(Clock::time_point now) {
    pause_ = std::clamp<Clock::duration>(2 * pause_, kFirstPause, kLongestPause);
    return now + pause_;
}

}  // namespace quarnel::platform
