#pragma once

#include <array>
#include <cstdint>
#include <cstring>

namespace quarnel::platform {

// An IP address of either version as 16 bytes in network order. An IPv4 address a.b.c.d is held
// IPv4-mapped, ::ffff:a.b.c.d, the form in which a dual-stack socket holds it, so that one
// address has one value whichever kind of socket carries it.
using IpAddress = std::array<std::uint8_t, 16>;

// ::ffff:a.b.c.d for an IPv4 address in network byte order.
inline IpAddress MappedIPv4(std::uint32_t networkOrder) {
    IpAddress address{};
    address[10] = 0xff;
    address[11] = 0xff;
    std::memcpy(address.data() + 12, &networkOrder, sizeof networkOrder);
    return address;
}

// Whether the address is an IPv4 address (::ffff:a.b.c.d).
inline bool IsIPv4Mapped(const IpAddress& address) {
    constexpr std::array<std::uint8_t, 12> kPrefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(address.data(), kPrefix.data(), kPrefix.size()) == 0;
}

// The IPv4 address in the last four bytes, in network byte order.
inline std::uint32_t IPv4Of(const IpAddress& address) {
    std::uint32_t networkOrder = 0;
    std::memcpy(&networkOrder, address.data() + 12, sizeof networkOrder);
    return networkOrder;
}

// No address: :: (all addresses, or no remote end) or 0.0.0.0.
inline bool IsUnspecified(const IpAddress& address) {
    return address == IpAddress{} || address == MappedIPv4(0);
}

}  // namespace quarnel::platform
