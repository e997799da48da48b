#include "tests/support/Sockets.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace quarnel::testsupport {

namespace {

// Records why the system refused, and gives the empty result a caller can ASSERT on.
template <typename Result>
Result Fail(const char* what) {
    ADD_FAILURE() << what << ": " << std::strerror(errno);
    return Result{};
}

// An IPv4 or IPv6 socket address from its text form.
struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;

    int Family() const { return storage.ss_family; }
    const sockaddr* Raw() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

Address MakeAddress(const char* text, int port) {
    Address address;
    auto& v4 = reinterpret_cast<sockaddr_in&>(address.storage);
    auto& v6 = reinterpret_cast<sockaddr_in6&>(address.storage);
    const bool isV4 = ::inet_pton(AF_INET, text, &v4.sin_addr) == 1;
    EXPECT_TRUE(isV4 || ::inet_pton(AF_INET6, text, &v6.sin6_addr) == 1)
        << "not an IP address: " << text;
    address.storage.ss_family = isV4 ? AF_INET : AF_INET6;
    address.length = isV4 ? sizeof v4 : sizeof v6;
    v4.sin_port = htons(static_cast<std::uint16_t>(port));  // at the same place in both forms
    return address;
}

bool SetOption(int fd, int level, int option, int value) {
    return ::setsockopt(fd, level, option, &value, sizeof value) == 0;
}

Listener Listen(const char* text, bool v6Only, int port) {
    const Address address = MakeAddress(text, port);
    UniqueFd fd(::socket(address.Family(), SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd ||
        (address.Family() == AF_INET6 && !SetOption(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, v6Only)) ||
        ::bind(fd.Get(), address.Raw(), address.length) != 0 || ::listen(fd.Get(), 4096) != 0) {
        return Fail<Listener>("listen");
    }
    const int got = LocalPort(fd.Get());
    return {std::move(fd), got};
}

}  // namespace

Listener ListenIPv4(const char* address, int port) {
    return Listen(address, false, port);
}

Listener ListenIPv6Any(bool v6Only, int port) {
    return Listen("::", v6Only, port);
}

UniqueFd ConnectClient(const Listener& listener, const char* address, int clientPort,
                       const char* from) {
    const Address target = MakeAddress(address, listener.port);
    const char* any = target.Family() == AF_INET ? "0.0.0.0" : "::";
    const Address local = MakeAddress(from != nullptr ? from : any, clientPort);
    UniqueFd client(::socket(target.Family(), SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!client ||
        ((clientPort != 0 || from != nullptr) &&
         (!SetOption(client.Get(), SOL_SOCKET, SO_REUSEADDR, 1) ||
          ::bind(client.Get(), local.Raw(), local.length) != 0)) ||
        ::connect(client.Get(), target.Raw(), target.length) != 0) {
        return Fail<UniqueFd>("connect");
    }
    return client;
}

Connection Connect(const Listener& listener, const char* address, int clientPort,
                   const char* from) {
    UniqueFd client = ConnectClient(listener, address, clientPort, from);
    if (!client) {
        return {};
    }
    UniqueFd server(::accept4(listener.fd.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!server) {
        return Fail<Connection>("accept");
    }
    const int port = LocalPort(client.Get());
    return {std::move(client), std::move(server), port};
}

std::vector<Connection> ConnectMany(const Listener& listener, int count, const char* address) {
    std::vector<Connection> connections;
    // Up to the first that fails.
    for (Connection c;
         static_cast<int>(connections.size()) < count && (c = Connect(listener, address)).server;) {
        connections.push_back(std::move(c));
    }
    return connections;
}

int LocalPort(int fd) {
    sockaddr_in6 address{};  // room for either form; the port sits at the same place in both
    socklen_t length = sizeof address;
    EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0)
        << "getsockname: " << std::strerror(errno);
    return ntohs(address.sin6_port);
}

std::uint64_t SocketCookie(int fd) {
    std::uint64_t cookie = 0;
    socklen_t length = sizeof cookie;
    EXPECT_EQ(::getsockopt(fd, SOL_SOCKET, SO_COOKIE, &cookie, &length), 0)
        << "SO_COOKIE: " << std::strerror(errno);
    return cookie;
}

std::string Arrived(int fd, std::chrono::milliseconds wait) {
    pollfd ready{fd, POLLIN, 0};
    char bytes[256];
    const ssize_t got = ::poll(&ready, 1, static_cast<int>(wait.count())) == 1
                            ? ::recv(fd, bytes, sizeof bytes, MSG_DONTWAIT)
                            : 0;
    return got > 0 ? std::string(bytes, static_cast<std::size_t>(got)) : std::string();
}

int ReceiveError(int fd) {
    char byte = 0;
    return ::recv(fd, &byte, 1, MSG_DONTWAIT) < 0 ? errno : 0;
}

bool Aborted(const UniqueFd& end) {
    return ReceiveError(end.Get()) == ECONNABORTED;
}

bool Carries(const Connection& connection, bool back) {
    char byte = 'q';
    const int client = connection.client.Get(), server = connection.server.Get();
    return ::send(client, &byte, 1, MSG_NOSIGNAL) == 1 && ::recv(server, &byte, 1, 0) == 1 &&
           (!back ||
            (::send(server, &byte, 1, MSG_NOSIGNAL) == 1 && ::recv(client, &byte, 1, 0) == 1));
}

}  // namespace quarnel::testsupport
