#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

#include "platform/TcpTableSource.h"

// Rows and addresses as the tests write them, and rows shown readably when a test fails.
// Header-only, so that the tests without real sockets need no more than the row type.

namespace quarnel::platform {

// Shows a row readably in failure messages.
inline void PrintTo(const TcpRow& row, std::ostream* out) {
    const auto text = [](std::uint32_t address) {
        char buffer[INET_ADDRSTRLEN] = "?";
        (void)::inet_ntop(AF_INET, &address, buffer, sizeof buffer);  // fits: an IPv4 address
        return std::string(buffer);
    };
    *out << "{state " << row.State << ", " << text(row.LocalAddress) << ":" << row.LocalPort
         << " -> " << text(row.RemoteAddress) << ":" << row.RemotePort << ", "
         << (row.Family == SocketFamily::IPv4 ? "IPv4" : "mapped IPv6") << ", if " << row.Interface
         << ", cookie " << row.Cookie << "}";
}

}  // namespace quarnel::platform

namespace quarnel::testsupport {

// An IPv4 address text in raw form: network byte order, first octet in the lowest byte. Records
// a failure for a text that is no IPv4 address.
inline std::uint32_t Ip(const char* text) {
    in_addr address{};
    EXPECT_EQ(::inet_pton(AF_INET, text, &address), 1) << "not an IPv4 address: " << text;
    return address.s_addr;
}

// The row a test expects, bound to no device.
inline platform::TcpRow Row(std::int32_t state, const char* local, std::int32_t localPort,
                            const char* remote, std::int32_t remotePort, std::uint64_t cookie = 0,
                            platform::SocketFamily family = platform::SocketFamily::IPv4) {
    return {.State = state,
            .LocalAddress = Ip(local),
            .LocalPort = localPort,
            .RemoteAddress = Ip(remote),
            .RemotePort = remotePort,
            .Family = family,
            .Cookie = cookie};
}

}  // namespace quarnel::testsupport
