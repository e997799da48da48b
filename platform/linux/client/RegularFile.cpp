#include "platform/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "platform/linux/UniqueFd.h"

namespace quarnel::platform {

namespace {

// The file a symbolic link at path names, through every link; path when it is none (or names
// nothing that exists).
std::string LinkTarget(const std::string& path) {
    std::error_code error;
    if (!std::filesystem::is_symlink(path, error)) {
        return path;
    }
    const std::filesystem::path target = std::filesystem::weakly_canonical(path, error);
    return error ? path : target.string();
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace

FileReading ReadRegularFile(const std::string& path, std::size_t largest) {
    FileReading reading;
    // O_NONBLOCK: a FIFO put in the file's place must not hold the reader.
    const platform::UniqueFd file(
        ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!file) {
        reading.Error = errno;
        reading.Result = reading.Error == ENOENT || reading.Error == ENOTDIR
                             ? FileReading::Outcome::Missing
                         : reading.Error == EACCES ? FileReading::Outcome::NoAccess
                                                   : FileReading::Outcome::Failed;
        return reading;
    }
    reading.Opened = true;
    struct stat status {};
    if (::fstat(file.Get(), &status) != 0) {
        reading.Error = errno;
        return reading;
    }
    if (!S_ISREG(status.st_mode)) {
        reading.Result = FileReading::Outcome::NotRegular;
        return reading;
    }
    std::array<char, 4096> block{};
    for (;;) {
        const ssize_t got = ::read(file.Get(), block.data(), block.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            reading.Error = errno;
            reading.Bytes.clear();
            return reading;
        }
        if (got == 0) {
            reading.Result = FileReading::Outcome::Read;
            return reading;
        }
        // Counted as it is read: the file may grow after fstat.
        if (reading.Bytes.size() + static_cast<std::size_t>(got) > largest) {
            reading.Result = FileReading::Outcome::TooLarge;
            reading.Bytes.clear();
            return reading;
        }
        reading.Bytes.append(block.data(), static_cast<std::size_t>(got));
    }
}

bool WriteRegularFile(const std::string& path, std::string_view bytes, unsigned newMode,
                      std::string& why) {
    const std::string target = LinkTarget(path);
    const std::string next = target + ".new";
    const auto fail = [&why](const std::string& what, int error) {
        why = what + ": " + std::strerror(error);
        return false;
    };
    struct stat old {};
    const bool replacing = ::stat(target.c_str(), &old) == 0;
    (void)::unlink(next.c_str());  // what a crash left there is no use to anyone
    {
        const UniqueFd file(::open(next.c_str(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                                   static_cast<mode_t>(newMode)));
        if (!file) {
            return fail("cannot write " + next, errno);
        }
        // On disk before the rename: after a crash the file is the old one or this one, whole.
        if ((replacing && ::fchmod(file.Get(), old.st_mode & 07777) != 0) ||
            !WriteAll(file.Get(), bytes) || ::fsync(file.Get()) != 0) {
            const int error = errno;
            (void)::unlink(next.c_str());
            return fail("cannot write " + next, error);
        }
    }
    if (std::rename(next.c_str(), target.c_str()) != 0) {
        const int error = errno;
        (void)::unlink(next.c_str());
        return fail("cannot replace " + target, error);
    }
    return true;
}

}  // namespace quarnel::platform
