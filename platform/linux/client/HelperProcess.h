#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "platform/linux/UniqueFd.h"

namespace quarnel::platform {

// One running quarnel-helper, started by this process with its end of a fresh SOCK_SEQPACKET
// socketpair on the helper's descriptor 3. No other process can reach the conversation: there
// is no path and no listening socket. Dropping it kills and reaps the helper.
class HelperProcess {
public:
    // Starts the program at path with no arguments and an empty environment. nullptr, with
    // problem, when it cannot be started (a missing file, or one this user may not run).
    [[nodiscard]] static std::unique_ptr<HelperProcess> Start(const std::string& path,
                                                              std::string& problem);

    HelperProcess(pid_t pid, UniqueFd socket) : pid_(pid), socket_(std::move(socket)) {}
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;
    ~HelperProcess() { (void)Stop(); }  // how it ended matters to nobody now

    // This process's end of the conversation.
    int Socket() const { return socket_.Get(); }
    // The helper's process id; 0 once it was stopped.
    pid_t Pid() const { return pid_; }

    // Ends the helper (when it still runs), reaps it and says how it ended, e.g. "exited with
    // status 1" or "was killed by signal 9 (Killed)".
    [[nodiscard]] std::string Stop();

private:
    pid_t pid_;
    UniqueFd socket_;
};

}  // namespace quarnel::platform
