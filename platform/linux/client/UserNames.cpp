#include "platform/linux/client/UserNames.h"

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace quarnel::platform {

std::string UserNames::Name(std::uint32_t uid) {
    const std::lock_guard<std::mutex> hold(lock_);
    if (const auto known = known_.find(uid); known != known_.end()) {
        return known->second;
    }
    const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    // A user the database does not know, or a failed lookup, is named by number; asked again
    // only by a new process.
    const int error = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
    std::string name = error == 0 && found != nullptr ? found->pw_name : std::to_string(uid);
    return known_.emplace(uid, std::move(name)).first->second;
}

}  // namespace quarnel::platform
