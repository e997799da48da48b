#include "platform/linux/client/DescriptorOutput.h"

#include <limits.h>
#include <poll.h>
#include <unistd.h>

namespace quarnel::platform {

std::size_t DescriptorOutput::LongestLine() const {
    return PIPE_BUF;
}

bool DescriptorOutput::TryWrite(std::string_view line) {
    // A pipe or socket that is full would block the write; poll asks without waiting. A line is
    // at most PIPE_BUF, so a descriptor that has room takes it whole.
    pollfd room{fd_, POLLOUT, 0};
    if (::poll(&room, 1, 0) != 1 || (room.revents & POLLOUT) == 0) {
        return false;
    }
    return ::write(fd_, line.data(), line.size()) == static_cast<ssize_t>(line.size());
}

}  // namespace quarnel::platform
