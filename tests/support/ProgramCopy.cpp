#include "tests/support/ProgramCopy.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace quarnel::testsupport {

namespace fs = std::filesystem;

ProgramCopy::ProgramCopy(const std::string& program) {
    std::error_code error;
    std::string folder = (fs::temp_directory_path(error) / "quarnel-program.XXXXXX").string();
    if (error || ::mkdtemp(folder.data()) == nullptr) {
        problem_ = "cannot make a folder for a copy of " + program + ": " +
                   (error ? error.message() : std::strerror(errno));
        return;
    }
    folder_ = folder;
    const fs::path copy = folder_ / fs::path(program).filename();
    // Readable and runnable by all; mkdtemp made the folder for its maker alone.
    constexpr auto kEveryone = fs::perms::owner_all | fs::perms::group_read |
                               fs::perms::group_exec | fs::perms::others_read |
                               fs::perms::others_exec;
    fs::copy_file(program, copy, error);
    for (const fs::path& made : {copy, folder_}) {
        if (!error) {
            fs::permissions(made, kEveryone, error);
        }
    }
    if (error) {
        problem_ = "cannot copy " + program + " to " + copy.string() + ": " + error.message();
        return;
    }
    path_ = copy.string();
    struct statvfs mount {};
    if (::statvfs(folder_.c_str(), &mount) == 0 && (mount.f_flag & ST_NOEXEC) != 0) {
        unrunnable_ = "the temporary folder " + folder_.parent_path().string() +
                      " is mounted noexec: no copy of " + program + " that another user may " +
                      "run can run from there";
    }
}

ProgramCopy::~ProgramCopy() {
    if (!folder_.empty()) {
        std::error_code ignored;  // what is left lies in the temporary folder, and says whose
        fs::remove_all(folder_, ignored);
    }
}

}  // namespace quarnel::testsupport
