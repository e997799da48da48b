#include "platform/linux/client/HelperProcess.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

#include "platform/linux/privileges/SocketChild.h"
#include "platform/linux/protocol/HelperProtocol.h"

namespace quarnel::platform {

namespace {

std::string HowItEnded(int status) {
    if (status < 0) {
        return "could not be waited for";
    }
    if (WIFEXITED(status)) {
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    }
    const int signal = WTERMSIG(status);
    return "was killed by signal " + std::to_string(signal) + " (" + ::strsignal(signal) + ")";
}

}  // namespace

std::unique_ptr<HelperProcess> HelperProcess::Start(const std::string& path, std::string& problem) {
    // The helper clears the signal mask it inherits itself, first thing.
    std::optional<SocketChild> child =
        StartSocketChild(path, "quarnel-helper", kHelperSocketFd, nullptr, problem);
    if (!child) {
        return nullptr;
    }
    return std::make_unique<HelperProcess>(child->Pid, std::move(child->Socket));
}

std::string HelperProcess::Stop() {
    if (pid_ <= 0) {
        return "was stopped before";
    }
    const pid_t pid = std::exchange(pid_, 0);
    socket_.Reset();
    // SIGKILL ends it even when it hangs or is stopped. One that is already on its way out
    // keeps the status it is leaving with: that is set before its descriptors close, which is
    // how the program noticed it going.
    (void)::kill(pid, SIGKILL);
    return HowItEnded(ReapChild(pid));
}

}  // namespace quarnel::platform
