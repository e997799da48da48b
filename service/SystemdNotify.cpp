#include "service/SystemdNotify.h"

#if QUARNEL_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace quarnel {

bool OutputGoesToJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");  // "device:inode"
    struct stat status {};
    if (stream == nullptr || ::fstat(STDOUT_FILENO, &status) != 0) {
        return false;
    }
    return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino) == stream;
}

std::chrono::microseconds WatchdogInterval() {
#if QUARNEL_SYSTEMD
    std::uint64_t interval = 0;
    // WATCHDOG_PID names this process: a child, which inherits the environment, is not asked.
    if (::sd_watchdog_enabled(0, &interval) > 0) {
        return std::chrono::microseconds(interval);
    }
#endif
    return {};
}

void NotifySystemd(const std::string& state) {
#if QUARNEL_SYSTEMD
    // Nobody to tell outside systemd; a failed send changes nothing about guarding.
    (void)::sd_notify(0, state.c_str());
#else
    (void)state;
#endif
}

}  // namespace quarnel
