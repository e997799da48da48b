#include "service/RulesWatch.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <filesystem>
#include <vector>

namespace quarnel {

namespace {

constexpr std::uint32_t kEvents = IN_CLOSE_WRITE | IN_MODIFY | IN_MOVED_TO | IN_MOVED_FROM |
                                  IN_CREATE | IN_DELETE | IN_ATTRIB | IN_DELETE_SELF |
                                  IN_MOVE_SELF | IN_ONLYDIR;

constexpr int kMostLinks = 40;  // as the kernel follows them

// Puts the parts of path before those still to resolve.
void PutFirst(const std::filesystem::path& path, std::deque<std::string>& rest) {
    std::vector<std::string> parts;
    for (const std::filesystem::path& part : path.relative_path()) {
        parts.push_back(part.string());
    }
    rest.insert(rest.begin(), parts.begin(), parts.end());
}

}  // namespace

std::map<std::string, std::set<std::string>> EntriesOnPath(const std::string& path) {
    std::map<std::string, std::set<std::string>> entries;
    std::error_code error;  // no working folder: the path is taken as given
    std::filesystem::path start = std::filesystem::absolute(path, error);
    if (error) {
        start = path;
    }
    std::deque<std::string> rest;
    PutFirst(start, rest);
    // Every folder in done is one no link leads through, so ".." is its parent.
    std::filesystem::path done = start.root_path().empty() ? "." : start.root_path();
    int links = 0;
    while (!rest.empty()) {
        const std::string name = std::move(rest.front());
        rest.pop_front();
        if (name.empty() || name == ".") {
            continue;
        }
        if (name == "..") {
            done = done.parent_path().empty() ? done : done.parent_path();
            continue;
        }
        const std::filesystem::path next = done / name;
        struct stat status {};
        const bool found = ::lstat(next.c_str(), &status) == 0;
        if (!found || (!S_ISLNK(status.st_mode) && rest.empty())) {
            entries[done.string()].insert(name);  // the file, or missing: its folder tells
            break;
        }
        if (!S_ISLNK(status.st_mode)) {
            done = next;
            continue;
        }
        entries[done.string()].insert(name);
        std::array<char, PATH_MAX> target{};
        const ssize_t length = ::readlink(next.c_str(), target.data(), target.size());
        if (++links > kMostLinks || length <= 0) {
            break;  // resolving ends here for the kernel too
        }
        const std::filesystem::path leadsTo(
            std::string(target.data(), static_cast<std::size_t>(length)));
        if (leadsTo.is_absolute()) {
            done = leadsTo.root_path();
        }
        PutFirst(leadsTo, rest);
    }
    return entries;
}

RulesWatch::RulesWatch(const std::string& path) : path_(path) {
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
    FollowLinks();
    return watch_ >= 0;
}

void RulesWatch::FollowLinks() {
    // A folder watched twice (the path's own, reached through a link too) has one watch: the
    // names that matter in it are merged.
    std::map<int, std::set<std::string>> names;
    if (watch_ >= 0) {
        names[watch_].insert(name_);
    }
    for (const auto& [folder, entries] : EntriesOnPath(path_)) {
        // A folder that cannot be watched (gone meanwhile, say) is still named in the folder
        // before it on the path, whose change brings it back here.
        const int watch = ::inotify_add_watch(fd_.Get(), folder.c_str(), kEvents);
        if (watch >= 0) {
            names[watch].insert(entries.begin(), entries.end());
        }
    }
    for (const auto& entry : names_) {
        if (!names.contains(entry.first) && entry.first != watch_) {
            // No longer on the path; a folder that went took its watch with it.
            (void)::inotify_rm_watch(fd_.Get(), entry.first);
        }
    }
    names_ = std::move(names);
}

bool RulesWatch::TakeChange() {
    bool change = false;
    alignas(inotify_event) std::array<char, 4096> buffer{};
    for (;;) {
        const ssize_t got = ::read(fd_.Get(), buffer.data(), buffer.size());
        if (got <= 0) {
            break;  // EAGAIN: all taken
        }
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            const auto watched = names_.find(event->wd);
            if ((event->mask & IN_Q_OVERFLOW) != 0) {
                change = true;
            } else if (event->wd == watch_ && (event->mask & IN_IGNORED) != 0) {
                watch_ = -1;  // the folder went; the file went with it
                change = true;
            } else if (watched == names_.end()) {
                continue;  // a folder left since
            } else if ((event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) != 0 ||
                       (event->len > 0 && watched->second.contains(event->name))) {
                change = true;
            }
        }
    }
    if (change && fd_) {
        FollowLinks();  // a link may lead elsewhere now
    }
    return change;
}

}  // namespace quarnel
