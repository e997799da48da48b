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
    Folder = file.has_parent_path() ? file.parent_path().string() : ".";
    Name = file.filename().string();
    Fd.Reset(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (!Fd) {
        Why = std::string("inotify: ") + std::strerror(errno);
        return;
    }
    (void)Rearm();
}

bool RulesWatch::Rearm() {
    if (!Fd) {
        return false;
    }
    Watch = ::inotify_add_watch(Fd.Get(), Folder.c_str(), kEvents);
    Why = Watch >= 0 ? "" : "cannot watch " + Folder + ": " + std::strerror(errno);
    return Watch >= 0;
}

bool RulesWatch::TakeChange() {
    bool change = false;
    alignas(inotify_event) std::array<char, 4096> buffer{};
    for (;;) {
        const ssize_t got = ::read(Fd.Get(), buffer.data(), buffer.size());
        if (got <= 0) {
            return change;  // EAGAIN: all taken
        }
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if ((event->mask & IN_IGNORED) != 0) {
                Watch = -1;  // the folder went; the file went with it
                change = true;
            } else if ((event->mask & (IN_Q_OVERFLOW | IN_DELETE_SELF | IN_MOVE_SELF)) != 0 ||
                       (event->len > 0 && Name == event->name)) {
                change = true;
            }
        }
    }
}

}  // namespace quarnel
