#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <ostream>

#include "platform/RuleEntry.h"
#include "platform/TcpTableSource.h"

// Rows and addresses as the tests write them, and rows shown readably when a test fails.
// Header-only, so that the tests without real sockets need no more than the row type.

namespace quarnel::platform {

// Shows a row readably in failure messages.
inline void PrintTo(const TcpRow& row, std::ostream* out) {
    *out << "{state " << static_cast<int>(row.State) << ", " << IPv6Text(row.LocalAddress) << ":"
         << row.LocalPort << " -> " << IPv6Text(row.RemoteAddress) << ":" << row.RemotePort << ", "
         << (row.Family == SocketFamily::IPv4 ? "IPv4" : "IPv6") << ", if " << row.Interface
         << ", cookie " << row.Cookie << "}";
}

}  // namespace quarnel::platform

namespace quarnel::testsupport {

// An IPv4 address text in raw form: network byte order, first octet in the lowest byte. Records
// a failure for a text that is no IPv4 address.
inline std::uint32_t Ip(const char* text) {
    const std::optional<platform::IpAddress> address = platform::ParseAddress(text);
    const bool ipv4 = address && std::strchr(text, ':') == nullptr;
    EXPECT_TRUE(ipv4) << "not an IPv4 address: " << text;
    return ipv4 ? platform::IPv4Of(*address) : 0;
}

// An address text in a row's form: dotted IPv4 IPv4-mapped, anything else as IPv6. Records a
// failure for a text that is neither.
inline platform::IpAddress Address(const char* text) {
    const std::optional<platform::IpAddress> address = platform::ParseAddress(text);
    EXPECT_TRUE(address) << "not an address: " << text;
    return address.value_or(platform::IpAddress{});
}

// The row a test expects, bound to no device. Without a family, a row of an IPv6 socket when
// the local address is written as IPv6, else of an IPv4 one.
inline platform::TcpRow Row(platform::TcpState state, const char* local, std::int32_t localPort,
                            const char* remote, std::int32_t remotePort, std::uint64_t cookie = 0,
                            std::optional<platform::SocketFamily> family = std::nullopt) {
    const bool ipv6 = std::strchr(local, ':') != nullptr;
    return {.State = state,
            .Family =
                family.value_or(ipv6 ? platform::SocketFamily::IPv6 : platform::SocketFamily::IPv4),
            .LocalAddress = Address(local),
            .LocalPort = localPort,
            .RemoteAddress = Address(remote),
            .RemotePort = remotePort,
            .Cookie = cookie};
}

}  // namespace quarnel::testsupport
