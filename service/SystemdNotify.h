#pragma once

#include <chrono>
#include <string>

namespace quarnel {

// Tells systemd about the service ("READY=1", "STATUS=...", "RELOADING=1") when systemd started
// it and waits for word (Type=notify); does nothing otherwise, or where built without libsystemd.
void NotifySystemd(const std::string& state);

// The interval of systemd's watchdog for this process (WatchdogSec=), zero when none.
std::chrono::microseconds WatchdogInterval();

// Whether standard output is the journal's stream that systemd gave the service (as
// $JOURNAL_STREAM names it), which reads a priority off the start of each line.
bool OutputGoesToJournal();

}  // namespace quarnel
