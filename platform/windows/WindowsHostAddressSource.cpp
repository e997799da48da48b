#include "platform/windows/WindowsHostAddressSource.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
// clang-format on

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/windows/WideText.h"

namespace quarnel::platform {

namespace {

HostAddresses FailedWith(unsigned long number, std::string description) {
    HostAddresses result;
    result.Failure = HostAddressFailure{std::int32_t(number), std::move(description)};
    return result;
}

template <typename T>
void AddOnce(std::vector<T>& addresses, const T& address) {
    if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
        addresses.push_back(address);
    }
}

// Adds an address of either family: IPv4 ones as the resolver lists them when resolved, else
// once each.
void Add(HostAddresses& result, const sockaddr* address, bool resolved) {
    if (address == nullptr) {
        return;
    }
    if (address->sa_family == AF_INET) {
        const auto ipv4 = reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr;
        if (resolved) {
            result.Addresses.push_back(ipv4);
        } else {
            AddOnce(result.Addresses, std::uint32_t(ipv4));
        }
    } else if (address->sa_family == AF_INET6) {
        IpAddress ipv6;
        std::memcpy(ipv6.data(), &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr,
                    ipv6.size());
        AddOnce(result.IPv6Addresses, ipv6);
    }
}

// A name that does not resolve is not a failure worth telling: the machine simply has no address
// under its name, and its adapters still tell them.
bool IsUnresolvedName(int code) {
    return code == WSAHOST_NOT_FOUND || code == WSATRY_AGAIN || code == WSANO_RECOVERY ||
           code == WSANO_DATA;
}

}  // namespace

HostAddresses WindowsHostAddressSource::GetHostAddresses() {
    // Version 2.2; started once per gathering and never stopped, as the program always did.
    WSADATA sockets{};
    if (const int started = WSAStartup(MAKEWORD(2, 2), &sockets); started != 0) {
        return FailedWith(unsigned(started), SystemErrorText(unsigned(started)));
    }
    HostAddresses result;
    char hostName[256] = {};
    if (gethostname(hostName, sizeof hostName - 1) == 0) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
        addrinfo* found = nullptr;
        const int code = getaddrinfo(hostName, nullptr, &hints, &found);
        if (code != 0 && !IsUnresolvedName(code)) {
            return FailedWith(unsigned(code), SystemErrorText(unsigned(code)));
        }
        const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(found, freeaddrinfo);
        for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
            Add(result, entry->ai_addr, true);
        }
    }

    constexpr ULONG kFlags =
        GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    std::vector<std::uint8_t> buffer(16 * 1024);  // enough for most machines at the first call
    ULONG size = ULONG(buffer.size());
    ULONG asked = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && asked == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size);
        asked = GetAdaptersAddresses(AF_UNSPEC, kFlags, nullptr,
                                     reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (asked == ERROR_NO_DATA) {
        return result;  // no adapter at all
    }
    if (asked != NO_ERROR) {
        return FailedWith(asked, SystemErrorText(asked));
    }
    for (auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data());
         adapter != nullptr; adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp) {
            continue;
        }
        for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter->FirstUnicastAddress;
             unicast != nullptr; unicast = unicast->Next) {
            Add(result, unicast->Address.lpSockaddr, false);
        }
    }
    return result;
}

}  // namespace quarnel::platform
