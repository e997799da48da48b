#pragma once

#include <string>
#include <string_view>

namespace quarnel {

// What quarneld --stopped (the unit's ExecStopPost=) says of the run that just ended, from
// systemd's $SERVICE_RESULT: a line when systemd's watchdog ended it, else nothing (systemd
// itself says how any other run ended).
std::string StopLine(std::string_view serviceResult);

// Says it: to the journal with its MESSAGE_ID under systemd, else on standard output. The exit
// status for ExecStopPost=: always 0, since the run is over whatever it says.
int ReportStop();

}  // namespace quarnel
