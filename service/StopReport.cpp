#include "service/StopReport.h"

#include <cstdio>
#include <cstdlib>

#include "service/JournalCloses.h"
#include "service/SystemdNotify.h"

namespace quarnel {

std::string StopLine(std::string_view serviceResult) {
    if (serviceResult != "watchdog") {
        return {};
    }
    return "the guard stalled: no pass judged the table within WatchdogSec=, so systemd's "
           "watchdog ended it; it is started again (nothing was closed meanwhile)";
}

int ReportStop() {
    const char* result = std::getenv("SERVICE_RESULT");
    const std::string line = StopLine(result != nullptr ? result : "");
    if (line.empty()) {
        return 0;
    }
    if (OutputGoesToJournal()) {
        if (const JournalSend journal = SystemJournal();
            journal &&
            journal(LineFields(line, ActionLog::Priority::Error, JournalMessage::Stalled))) {
            return 0;
        }
    }
    // Nowhere else to tell it: a failed write changes nothing.
    (void)std::printf("%s\n", line.c_str());
    return 0;
}

}  // namespace quarnel
