#include "service/SystemdNotify.h"

#if QUARNEL_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include <sys/stat.h>
#include <unistd.h>

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

void NotifySystemd(const std::string& state) {
#if QUARNEL_SYSTEMD
    // Nobody to tell outside systemd; a failed send changes nothing about guarding.
    (void)::sd_notify(0, state.c_str());
#else
    (void)state;
#endif
}

}  // namespace quarnel
