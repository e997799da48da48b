#include "service/Watchdog.h"

namespace quarnel {

void Watchdog::Passed(bool judged, Clock::time_point now) {
    // Half the interval leaves systemd a keep-alive in time even after a pass as long as that.
    if (!Enabled() || !judged || (sent_ && now - last_ < interval_ / 2)) {
        return;
    }
    notify_("WATCHDOG=1");
    last_ = now;
    sent_ = true;
}

}  // namespace quarnel
