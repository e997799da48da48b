#include "service/RulesWatch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace quarnel {

namespace {

constexpr std::uint32_t kEvents = IN_CLOSE_WRITE | IN_MODIFY | IN_MOVED_TO | IN_MOVED_FROM |
                                  IN_CREATE | IN_DELETE | IN_ATTRIB | IN_DELETE_SELF |
                                  IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

RulesWatch::RulesWatch(const std::string& path) {
    std::error_code error;  // no working folder: the path is watched as given
    std::filesystem::path file = std::filesystem::absolute(path, error);
    file = (error ? std::filesystem::path(path) : file).lexically_normal();
    folder_ = file.has_parent_path() ? file.parent_path().string() : ".";
    name_ = file.filename().string();
    fd_.Reset(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (!fd_) {
        why_ = std::string("inotify: ") + std::strerror(errno);
        return;
    }
    (void)Rearm();
}

bool RulesWatch::Rearm() {
    if (!fd_) {
        return false;
    }
    watch_ = ::inotify_add_watch(fd_.Get(), folder_.c_str(), kEvents);
    why_ = watch_ >= 0 ? "" : "cannot watch " + folder_ + ": " + std::strerror(errno);
    return watch_ >= 0;
}

bool RulesWatch::TakeChange() {
    bool change = false;
    alignas(inotify_event) std::array<char, 4096> buffer{};
    for (;;) {
        const ssize_t got = ::read(fd_.Get(), buffer.data(), buffer.size());
        if (got <= 0) {
            return change;  // EAGAIN: all taken
        }
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if ((event->mask & IN_IGNORED) != 0) {
                watch_ = -1;  // the folder went; the file went with it
                change = true;
            } else if ((event->mask & (IN_Q_OVERFLOW | IN_DELETE_SELF | IN_MOVE_SELF)) != 0 ||
                       (event->len > 0 && name_ == event->name)) {
                change = true;
            }
        }
    }
}

}  // namespace quarnel
