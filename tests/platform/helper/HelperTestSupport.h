#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/TcpTableSource.h"
#include "tests/support/Sockets.h"

namespace quarnel::platform {

// The quarnel-helper this build made.
inline constexpr const char* kBuiltHelper = QUARNEL_HELPER_PATH;

// The value of one field of /proc/PID/status ("CapEff", "NoNewPrivs", ...); empty when absent.
std::string ProcessStatus(pid_t pid, const std::string& field);
// A capability set of /proc/PID/status as a mask.
std::uint64_t ProcessCapabilities(pid_t pid, const std::string& field);
// The one-letter state of a process ('Z' for a zombie); 0 when there is no such process.
char ProcessState(pid_t pid);

// One loopback connection to a listener of its own.
struct Loopback {
    testsupport::Listener listener;
    testsupport::Connection c;

    // The row of its client end among rows, if there.
    std::optional<TcpRow> RowIn(const std::vector<TcpRow>& rows) const;
};
// Records a failure when the system refuses: check c.server.
Loopback OpenLoopback();

// The errno of a receive that must fail at once; 0 when it did not fail.
int ReceiveError(int fd);
// Whether one byte makes it across the connection in both directions.
bool StillCarries(const testsupport::Connection& c);

// Whether this process is root of the machine itself, not of a user namespace: file
// capabilities and securebits tests need that.
bool IsRealRoot();

}  // namespace quarnel::platform
