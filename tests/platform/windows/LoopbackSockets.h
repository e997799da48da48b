#pragma once

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "platform/windows/WindowsTcpTable.h"

// Loopback connections made with Winsock, for tests of what Windows' table shows of them, and
// SetTcpEntry's stand-in, which records what it is handed and answers Answer.
namespace quarnel::testing {

struct RecordedEntries : platform::TcpEntryWriter {
    unsigned long SetTcpEntry(const MIB_TCPROW& row) override {
        Handed.push_back(row);
        return Answer;
    }
    bool CarriedOut() const override { return true; }

    std::vector<MIB_TCPROW> Handed;
    unsigned long Answer = NO_ERROR;
};

// Winsock, started for as long as it lives.
struct Winsock {
    Winsock() {
        WSADATA data{};
        EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    ~Winsock() { (void)WSACleanup(); }
};

// A socket, closed with it.
class Socket {
public:
    Socket() = default;
    explicit Socket(SOCKET s) : s_(s) {}
    Socket(Socket&& other) noexcept : s_(std::exchange(other.s_, INVALID_SOCKET)) {}
    Socket& operator=(Socket&& other) noexcept {
        Close();
        s_ = std::exchange(other.s_, INVALID_SOCKET);
        return *this;
    }
    ~Socket() { Close(); }
    void Close() {
        if (s_ != INVALID_SOCKET) {
            (void)closesocket(s_);
            s_ = INVALID_SOCKET;
        }
    }
    SOCKET get() const { return s_; }

    // The port it is bound to.
    std::int32_t Port() const {
        sockaddr_storage address{};
        int length = sizeof address;
        EXPECT_EQ(getsockname(s_, reinterpret_cast<sockaddr*>(&address), &length), 0);
        return address.ss_family == AF_INET
                   ? ntohs(reinterpret_cast<sockaddr_in&>(address).sin_port)
                   : ntohs(reinterpret_cast<sockaddr_in6&>(address).sin6_port);
    }

private:
    SOCKET s_ = INVALID_SOCKET;
};

// The loopback address of family (AF_INET: 127.0.0.1, AF_INET6: ::1) with port.
inline sockaddr_storage Loopback(int family, std::int32_t port, int& length) {
    sockaddr_storage address{};
    if (family == AF_INET) {
        auto& ipv4 = reinterpret_cast<sockaddr_in&>(address);
        ipv4.sin_family = AF_INET;
        ipv4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ipv4.sin_port = htons(u_short(port));
        length = sizeof ipv4;
    } else {
        auto& ipv6 = reinterpret_cast<sockaddr_in6&>(address);
        ipv6.sin6_family = AF_INET6;
        ipv6.sin6_addr = in6addr_loopback;
        ipv6.sin6_port = htons(u_short(port));
        length = sizeof ipv6;
    }
    return address;
}

// A listener on a free loopback port of family.
inline Socket Listen(int family) {
    Socket listener(socket(family, SOCK_STREAM, IPPROTO_TCP));
    int length = 0;
    const sockaddr_storage address = Loopback(family, 0, length);
    EXPECT_EQ(bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), length), 0);
    EXPECT_EQ(listen(listener.get(), 8), 0);
    return listener;
}

// A client connected to the listener's port, from the IPv4 loopback address from when one is
// given, and the listener's end of it.
struct Connection {
    Socket Client, Server;
};
inline Connection Connect(int family, const Socket& listener, const char* from = nullptr) {
    Connection connection{Socket(socket(family, SOCK_STREAM, IPPROTO_TCP)), {}};
    if (from != nullptr) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        EXPECT_EQ(inet_pton(AF_INET, from, &source.sin_addr), 1);
        EXPECT_EQ(
            bind(connection.Client.get(), reinterpret_cast<sockaddr*>(&source), sizeof source), 0);
    }
    int length = 0;
    const sockaddr_storage address = Loopback(family, listener.Port(), length);
    EXPECT_EQ(connect(connection.Client.get(), reinterpret_cast<const sockaddr*>(&address), length),
              0);
    connection.Server = Socket(accept(listener.get(), nullptr, nullptr));
    return connection;
}

}  // namespace quarnel::testing
