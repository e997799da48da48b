#include "platform/linux/netns/ProcessNamespaces.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <memory>
#include <set>
#include <string_view>
#include <utility>

namespace quarnel::platform {

namespace {

// /proc/PID/cgroup is a few lines; one of a process deep in a hierarchy still fits.
constexpr std::size_t kCgroupFileLimit = 64 * 1024;

struct DirCloser {
    void operator()(DIR* dir) const { (void)::closedir(dir); }
};

// The pid a /proc entry names; 0 for every other entry.
pid_t PidOf(std::string_view name) {
    pid_t pid = 0;
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
    return error == std::errc{} && end == name.data() + name.size() ? pid : 0;
}

}  // namespace

bool InsideCgroupView(const std::string& path) {
    // "/..foo" is a cgroup of that name inside; only the parent's ".." leads out.
    return path.starts_with('/') && path != "/.." && !path.starts_with("/../");
}

bool ReadCgroupPath(int procDir, std::string& path) {
    const UniqueFd file(::openat(procDir, "cgroup", O_RDONLY | O_CLOEXEC));
    if (!file) {
        return false;
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(file.Get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
        if (text.size() > kCgroupFileLimit) {
            errno = EFBIG;
            return false;
        }
    }
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
        if (line.starts_with("0::")) {
            path.assign(line.substr(3));
            return true;
        }
    }
    errno = ENODATA;
    return false;
}

bool ListNetworkNamespaces(std::uint64_t ownDevice, std::uint64_t ownInode,
                           std::vector<NetworkNamespace>& namespaces) {
    const std::unique_ptr<DIR, DirCloser> proc(::opendir("/proc"));
    if (!proc) {
        return false;
    }
    std::set<std::pair<std::uint64_t, std::uint64_t>> seen;
    namespaces.clear();
    for (;;) {
        errno = 0;  // readdir tells its end from its failure only so
        const dirent* entry = ::readdir(proc.get());
        if (entry == nullptr) {
            return errno == 0;
        }
        const pid_t pid = PidOf(entry->d_name);
        if (pid <= 0) {
            continue;
        }
        // Both files through one directory: the same process, even should its pid be reused.
        const UniqueFd dir(
            ::openat(::dirfd(proc.get()), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        std::string cgroup;
        struct stat status {};
        if (!dir || !ReadCgroupPath(dir.Get(), cgroup) || !InsideCgroupView(cgroup) ||
            ::fstatat(dir.Get(), "ns/net", &status, 0) != 0) {
            continue;  // gone, or not ours to see: passed over
        }
        const auto key = std::pair<std::uint64_t, std::uint64_t>{status.st_dev, status.st_ino};
        if (seen.insert(key).second) {
            const bool own = key == std::pair{ownDevice, ownInode};
            namespaces.push_back({status.st_ino, status.st_dev, pid, cgroup, own, false});
        }
    }
}

}  // namespace quarnel::platform
