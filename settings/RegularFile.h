#pragma once

#include <cstddef>
#include <string>

namespace quarnel {

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
    int Error = 0;        // errno of Missing, NoAccess and Failed
    bool Opened = false;  // Failed after the file was opened, in fstat or read
};

// The whole regular file at path, at most largest bytes, through one descriptor so that every
// check sees the same file, and without ever waiting (a FIFO in its place is not opened for
// reading).
FileReading ReadRegularFile(const std::string& path, std::size_t largest);

}  // namespace quarnel
