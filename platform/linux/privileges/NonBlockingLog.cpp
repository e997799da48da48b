#include "platform/linux/privileges/NonBlockingLog.h"

#include <poll.h>
#include <unistd.h>

namespace quarnel::platform {

NonBlockingLog::NonBlockingLog(int fd) : fd_(fd) {
    const cookie_io_functions_t functions{nullptr, &NonBlockingLog::Write, nullptr, nullptr};
    stream_ = ::fopencookie(this, "w", functions);
    // One write per line: a line is far below PIPE_BUF, so a pipe with room takes it whole.
    if (stream_ != nullptr && std::setvbuf(stream_, nullptr, _IOLBF, BUFSIZ) != 0) {
        (void)std::fclose(stream_);  // unbuffered would split a line into several writes
        stream_ = nullptr;
    }
}

NonBlockingLog::~NonBlockingLog() {
    if (stream_ != nullptr) {
        (void)std::fclose(stream_);  // a last line it cannot write is dropped as any other
    }
}

ssize_t NonBlockingLog::Write(void* self, const char* data, std::size_t size) {
    const int fd = static_cast<NonBlockingLog*>(self)->fd_;
    // Taken as written either way: stdio would otherwise keep it and try again.
    pollfd room{fd, POLLOUT, 0};
    if (::poll(&room, 1, 0) == 1 && (room.revents & POLLOUT) != 0) {
        (void)!::write(fd, data, size);  // a short or failed write loses the rest of the line
    }
    return static_cast<ssize_t>(size);
}

}  // namespace quarnel::platform
