#include "platform/linux/filter/CgroupRoot.h"

#include <cerrno>
#include <fstream>
#include <sstream>

namespace quarnel::platform {

namespace {

// mountinfo escapes blanks and backslashes in paths as a backslash and three octal digits.
std::string Unescape(const std::string& field) {
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        const std::string digits = field.substr(i + 1, 3);
        if (field[i] == '\\' && digits.size() == 3 &&
            digits.find_first_not_of("01234567") == std::string::npos) {
            text += static_cast<char>(std::stoi(digits, nullptr, 8));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

}  // namespace

std::string FindCgroup2Root(std::istream& mountinfo) {
    // id parent major:minor root mount-point options [optional fields...] - type source ...
    std::string line;
    std::string found;
    while (std::getline(mountinfo, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point, options, field;
        fields >> id >> parent >> device >> root >> point >> options;
        while (fields >> field && field != "-") {
        }
        std::string type;
        fields >> type;
        // A mount of a part of the hierarchy would filter only that part.
        // The last: a mount over another on the same path is listed after it.
        if (type == "cgroup2" && root == "/") {
            found = Unescape(point);
        }
    }
    return found;
}

std::string FindCgroup2Root(int* error) {
    std::ifstream mountinfo("/proc/self/mountinfo");
    // Out of descriptors, say: that is not a system without the hierarchy.
    if (error != nullptr) {
        *error = mountinfo ? 0 : errno;
    }
    return mountinfo ? FindCgroup2Root(mountinfo) : std::string();
}

}  // namespace quarnel::platform
