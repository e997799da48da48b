#include "service/SystemdNotify.h"

#if QUARNEL_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace quarnel {

void NotifySystemd(const std::string& state) {
#if QUARNEL_SYSTEMD
    // Nobody to tell outside systemd; a failed send changes nothing about guarding.
    (void)::sd_notify(0, state.c_str());
#else
    (void)state;
#endif
}

}  // namespace quarnel
