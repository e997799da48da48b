#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Small files read and replaced whole: the settings file, the rules file and the service's copy
// of the rules it accepted. Each system has its own implementation (platform/linux/).
namespace quarnel::platform {

// What reading a settings or rules file found.
struct FileReading {
    enum class Outcome {
        Read,        // Bytes hold the whole file
        Missing,     // no such file (or a folder on its path is missing)
        NoAccess,    // the file exists, but this user may not read it
        NotRegular,  // a folder, a FIFO, a device: never read, so it cannot hold anything up
        TooLarge,    // larger than the largest file asked for
        Failed,      // the system failed otherwise; Error says why
    };
    Outcome Result = Outcome::Failed;
    std::string Bytes;
    int Error = 0;        // the system's error number (errno) of Missing, NoAccess and Failed
    bool Opened = false;  // Failed after the file was opened, in fstat or read
};

// The whole regular file at path, at most largest bytes, through one descriptor so that every
// check sees the same file, and without ever waiting (a FIFO in its place is not opened for
// reading).
FileReading ReadRegularFile(const std::string& path, std::size_t largest);

// Replaces the file at path with bytes, whole: written beside it, made durable, then renamed
// over it, so that after a crash the file is the old or the new one, never a part. A symbolic
// link at path stays and the file it names is replaced. A new file gets mode newMode (less the
// umask), a replaced one keeps its mode. False, why telling what failed, when it could not:
// the file is then as it was.
bool WriteRegularFile(const std::string& path, std::string_view bytes, unsigned newMode,
                      std::string& why);

}  // namespace quarnel::platform
