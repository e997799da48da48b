#include "settings/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "platform/linux/UniqueFd.h"

namespace quarnel {

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

}  // namespace quarnel
