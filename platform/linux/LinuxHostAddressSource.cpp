#include "platform/linux/LinuxHostAddressSource.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

namespace quarnel::platform {

namespace {

HostAddresses FailedWith(std::int32_t number, std::string description) {
    HostAddresses result;
    result.Failure = HostAddressFailure{number, std::move(description)};
    return result;
}

std::string TrimBlanks(const char* text) {
    std::string name(text);
    const auto first = name.find_first_not_of(' ');
    if (first == std::string::npos) {
        return {};
    }
    return name.substr(first, name.find_last_not_of(' ') - first + 1);
}

// A name that does not resolve is not a failure worth telling: the machine simply has no
// address under its name.
bool IsUnresolvedName(int code) {
    return code == EAI_NONAME || code == EAI_AGAIN || code == EAI_FAIL
#ifdef EAI_NODATA
           || code == EAI_NODATA
#endif
        ;
}

}  // namespace

HostAddresses LinuxHostAddressSource::GetHostAddresses() {
    HostAddresses result;

    char hostName[256] = {};
    if (gethostname(hostName, sizeof hostName - 1) == 0) {
        const std::string name = TrimBlanks(hostName);
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
        addrinfo* found = nullptr;
        const int code =
            name.empty() ? EAI_NONAME : getaddrinfo(name.c_str(), nullptr, &hints, &found);
        if (code == 0) {
            const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(found, freeaddrinfo);
            for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
                if (entry->ai_family == AF_INET && entry->ai_addr != nullptr) {
                    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
                    result.Addresses.push_back(address->sin_addr.s_addr);
                }
            }
        } else if (code == EAI_SYSTEM) {
            const int number = errno;
            return FailedWith(number, std::strerror(number));
        } else if (!IsUnresolvedName(code)) {
            return FailedWith(code, gai_strerror(code));
        }
    }
    // No host name: the interfaces below still name the machine's addresses.

    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) {
        const int number = errno;
        return FailedWith(number, std::strerror(number));
    }
    const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owner(interfaces, freeifaddrs);
    for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            (entry->ifa_flags & IFF_UP) == 0) {
            continue;
        }
        const auto address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
        const auto end = result.Addresses.end();
        if (std::find(result.Addresses.begin(), end, address) == end) {
            result.Addresses.push_back(address);
        }
    }
    return result;
}

}  // namespace quarnel::platform
