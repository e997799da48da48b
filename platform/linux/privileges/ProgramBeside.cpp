#include "platform/linux/privileges/ProgramBeside.h"

#include <filesystem>
#include <system_error>

namespace quarnel::platform {

std::string FindProgramBeside(const char* name, std::initializer_list<const char*> folders) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path program = fs::read_symlink("/proc/self/exe", error);
    if (error) {
        return {};
    }
    for (const char* folder : folders) {
        const fs::path path = (program.parent_path() / folder / name).lexically_normal();
        if (fs::is_regular_file(path, error)) {
            return path.string();
        }
    }
    return {};
}

}  // namespace quarnel::platform
