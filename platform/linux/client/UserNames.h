#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace quarnel::platform {

// Users' names by number as the system's user database has them, each asked once: a lookup
// may go over the network (LDAP, say), and close lines name the same few users again and again.
class UserNames {
public:
    // The name, or the number where the database knows none.
    std::string Name(std::uint32_t uid);

private:
    std::mutex lock_;  // the log may be written from any thread
    std::unordered_map<std::uint32_t, std::string> known_;
};

}  // namespace quarnel::platform
