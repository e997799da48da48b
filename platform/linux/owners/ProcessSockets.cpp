#include "platform/linux/owners/ProcessSockets.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <string_view>

#include "platform/linux/UniqueFd.h"

namespace quarnel::platform {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { (void)::closedir(dir); }  // nothing to do on failure
};
using Dir = std::unique_ptr<DIR, DirCloser>;

bool ParseNumber(std::string_view text, std::uint64_t& number) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    return error == std::errc{} && end == text.data() + text.size() && !text.empty();
}

// Up to size bytes of the file name inside the folder at, whole or cut; empty on failure.
std::string_view ReadSmall(int at, const char* name, char* buffer, std::size_t size) {
    const UniqueFd file(::openat(at, name, O_RDONLY | O_CLOEXEC));
    if (!file) {
        return {};
    }
    const ssize_t length = ::read(file.Get(), buffer, size);
    return length > 0 ? std::string_view(buffer, static_cast<std::size_t>(length))
                      : std::string_view();
}

// The program's short name and real uid of the process whose /proc folder is at; false when it
// went or may not be read.
bool ReadOwner(int at, ConnectionOwner& owner) {
    char buffer[4096];
    std::string_view comm = ReadSmall(at, "comm", buffer, sizeof buffer);
    if (comm.empty()) {
        return false;
    }
    comm = comm.substr(0, comm.find('\n'));
    owner.Command = {};
    comm.copy(owner.Command.data(), owner.Command.size() - 1);
    const std::string_view status = ReadSmall(at, "status", buffer, sizeof buffer);
    constexpr std::string_view kUid = "\nUid:\t";
    const std::size_t uid = status.find(kUid);
    if (uid == std::string_view::npos) {
        return false;
    }
    const std::string_view rest = status.substr(uid + kUid.size());
    std::uint64_t number = 0;
    if (!ParseNumber(rest.substr(0, rest.find('\t')), number)) {
        return false;
    }
    owner.Uid = static_cast<std::uint32_t>(number);
    return true;
}

// The sockets of the process whose /proc folder is at.
void CollectSockets(int at, const ConnectionOwner& owner, SocketHolding& holding) {
    const int fdFolder = ::openat(at, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fdFolder < 0) {
        return;  // another user's process, or gone
    }
    const Dir fds(::fdopendir(fdFolder));
    if (!fds) {
        (void)::close(fdFolder);
        return;
    }
    constexpr std::string_view kSocket = "socket:[";
    char target[64];
    while (const dirent* entry = ::readdir(fds.get())) {
        const ssize_t length = ::readlinkat(fdFolder, entry->d_name, target, sizeof target);
        if (length <= 0) {
            continue;  // "." and "..", or closed meanwhile
        }
        const std::string_view link(target, static_cast<std::size_t>(length));
        std::uint64_t inode = 0;
        if (link.starts_with(kSocket) && link.back() == ']' &&
            ParseNumber(link.substr(kSocket.size(), link.size() - kSocket.size() - 1), inode)) {
            holding.Add(inode, owner);
        }
    }
}

// What /proc/PID/stat says of a process: "pid (comm) state ppid ...", the name in brackets
// being the program's own choice (spaces and brackets included), so fields are counted from the
// last ")".
struct ProcessStat {
    bool Read = false;  // the name and state at least
    std::string_view Command;
    bool Zombie = false;
    std::uint64_t Started = 0;  // field 22, starttime; 0 when not told
};

ProcessStat ReadStat(std::uint32_t pid, const std::string& proc, char* buffer, std::size_t size) {
    const std::string folder = proc + "/" + std::to_string(pid);
    const UniqueFd at(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::string_view text = at ? ReadSmall(at.Get(), "stat", buffer, size) : "";
    const std::size_t open = text.find('(');
    const std::size_t close = text.rfind(')');
    ProcessStat stat;
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
        return stat;
    }
    stat.Read = true;
    stat.Command = text.substr(open + 1, close - open - 1);
    stat.Zombie = text.substr(close).starts_with(") Z");
    // After ")": state is field 3, starttime field 22.
    std::string_view rest = text.substr(close + 1);
    for (int field = 3; field < 22; ++field) {
        const std::size_t space = rest.find(' ', 1);
        if (space == std::string_view::npos) {
            return stat;
        }
        rest = rest.substr(space);
    }
    rest = rest.substr(1);
    if (!ParseNumber(rest.substr(0, rest.find(' ')), stat.Started)) {
        stat.Started = 0;
    }
    return stat;
}

}  // namespace

bool ScanProcessSockets(SocketHolding& holding, const std::string& proc) {
    const Dir processes(::opendir(proc.c_str()));
    if (!processes) {
        return false;
    }
    while (const dirent* entry = ::readdir(processes.get())) {
        std::uint64_t pid = 0;
        if (!ParseNumber(entry->d_name, pid) || pid > UINT32_MAX) {
            continue;
        }
        const UniqueFd folder(
            ::openat(::dirfd(processes.get()), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ConnectionOwner owner;
        owner.Pid = static_cast<std::uint32_t>(pid);
        if (folder && ReadOwner(folder.Get(), owner)) {
            CollectSockets(folder.Get(), owner, holding);
        }
    }
    holding.Sort();
    return true;
}

std::uint64_t ProcessStart(std::uint32_t pid, const std::string& proc) {
    char buffer[1024];
    const ProcessStat stat = ReadStat(pid, proc, buffer, sizeof buffer);
    return stat.Started;
}

bool StillRuns(const ConnectionOwner& owner, std::uint64_t started, const std::string& proc) {
    if (::kill(static_cast<pid_t>(owner.Pid), 0) != 0 && errno != EPERM) {
        return false;
    }
    char buffer[1024];
    const ProcessStat stat = ReadStat(owner.Pid, proc, buffer, sizeof buffer);
    if (!stat.Read) {
        // Not ours to look into: taken at its word, unless it was when learnt (under hidepid,
        // another user's process took the pid).
        return started == 0;
    }
    // A zombie holds no sockets any more, and a pid whose program has another name, or that
    // started at another time, was taken by another process.
    return !stat.Zombie && stat.Command == owner.CommandText() &&
           (started == 0 || stat.Started == 0 || stat.Started == started);
}

bool ProcessVisible(std::uint32_t pid, const std::string& proc) {
    const std::string comm = proc + "/" + std::to_string(pid) + "/comm";
    return UniqueFd(::open(comm.c_str(), O_RDONLY | O_CLOEXEC)).Get() >= 0;
}

}  // namespace quarnel::platform
