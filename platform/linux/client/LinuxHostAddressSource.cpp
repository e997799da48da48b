#include "platform/linux/client/LinuxHostAddressSource.h"

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
#include <optional>
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

template <typename T>
void AddOnce(std::vector<T>& addresses, const T& address) {
    if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
        addresses.push_back(address);
    }
}

// Adds to result the addresses of sockaddr (AF_INET or AF_INET6); IPv4 ones as the resolver
// lists them when resolved, else once each.
void Add(HostAddresses& result, const sockaddr& address, bool resolved) {
    if (address.sa_family == AF_INET) {
        const auto ipv4 = reinterpret_cast<const sockaddr_in&>(address).sin_addr.s_addr;
        if (resolved) {
            result.Addresses.push_back(ipv4);
        } else {
            AddOnce(result.Addresses, ipv4);
        }
    } else if (address.sa_family == AF_INET6) {
        IpAddress ipv6;
        std::memcpy(ipv6.data(), &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr,
                    ipv6.size());
        AddOnce(result.IPv6Addresses, ipv6);
    }
}

// The resolver's addresses of the host name into result; a failure worth telling otherwise.
std::optional<HostAddressFailure> Resolve(const std::string& name, HostAddresses& result) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
    addrinfo* found = nullptr;
    const int code = name.empty() ? EAI_NONAME : getaddrinfo(name.c_str(), nullptr, &hints, &found);
    if (code == EAI_SYSTEM) {
        const int number = errno;
        return HostAddressFailure{number, std::strerror(number)};
    }
    if (code != 0) {
        if (IsUnresolvedName(code)) {
            return std::nullopt;
        }
        return HostAddressFailure{code, gai_strerror(code)};
    }
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(found, freeaddrinfo);
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_addr != nullptr) {
            Add(result, *entry->ai_addr, true);
        }
    }
    return std::nullopt;
}

}  // namespace

HostAddresses LinuxHostAddressSource::GetHostAddresses() {
    HostAddresses result;

    char hostName[256] = {};
    if (gethostname(hostName, sizeof hostName - 1) == 0) {
        if (auto failure = Resolve(TrimBlanks(hostName), result)) {
            return FailedWith(failure->Number, std::move(failure->Description));
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
        if (entry->ifa_addr != nullptr && (entry->ifa_flags & IFF_UP) != 0) {
            Add(result, *entry->ifa_addr, false);
        }
    }
    return result;
}

}  // namespace quarnel::platform
