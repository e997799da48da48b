#include "engine/AddressText.h"

#include <arpa/inet.h>

#include <array>
#include <cstdint>
#include <cstdio>

namespace quarnel {

std::optional<platform::IpAddress> ParseAddress(std::string_view text) {
    // inet_pton reads a terminated string; a text with a NUL inside names no address.
    const std::string terminated(text);
    if (terminated.size() != text.size() || terminated.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    in_addr ipv4{};
    if (::inet_pton(AF_INET, terminated.c_str(), &ipv4) == 1) {
        return platform::MappedIPv4(ipv4.s_addr);
    }
    platform::IpAddress ipv6;
    if (::inet_pton(AF_INET6, terminated.c_str(), ipv6.data()) == 1) {
        return ipv6;
    }
    return std::nullopt;
}

std::string IPv6Text(const platform::IpAddress& address) {
    std::array<unsigned, 8> groups{};
    for (std::size_t i = 0; i < groups.size(); ++i) {
        groups[i] = static_cast<unsigned>(address[2 * i] << 8 | address[2 * i + 1]);
    }
    // The longest run of zero groups; a single zero group is written as "0".
    std::size_t bestStart = groups.size(), bestLength = 1;
    for (std::size_t i = 0; i < groups.size();) {
        std::size_t end = i;
        while (end < groups.size() && groups[end] == 0) {
            ++end;
        }
        if (end - i > bestLength) {
            bestStart = i;
            bestLength = end - i;
        }
        i = end == i ? i + 1 : end;
    }
    std::string text;
    for (std::size_t i = 0; i < groups.size(); ++i) {
        if (i == bestStart) {
            text += "::";
            i += bestLength - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':') {
            text += ':';
        }
        char group[5];
        (void)std::snprintf(group, sizeof group, "%x", groups[i]);  // at most four digits
        text += group;
    }
    return text;
}

std::string CanonicalAddressText(const platform::IpAddress& address) {
    if (!platform::IsIPv4Mapped(address)) {
        return IPv6Text(address);
    }
    in_addr ipv4{};
    ipv4.s_addr = platform::IPv4Of(address);
    char text[INET_ADDRSTRLEN] = {};
    // Cannot fail: the family is known and the buffer fits every IPv4 address.
    (void)::inet_ntop(AF_INET, &ipv4, text, sizeof text);
    return text;
}

}  // namespace quarnel
