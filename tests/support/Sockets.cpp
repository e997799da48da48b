#include "tests/support/Sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace quarnel::testsupport {

namespace {

// An IPv4 or IPv6 socket address from its text form.
struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family = AF_UNSPEC;
};

Address MakeAddress(const char* text, int port) {
    Address address;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address.storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
    if (::inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<std::uint16_t>(port));
        address.length = sizeof *v4;
        address.family = AF_INET;
    } else if (::inet_pton(AF_INET6, text, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<std::uint16_t>(port));
        address.length = sizeof *v6;
        address.family = AF_INET6;
    } else {
        ADD_FAILURE() << "not an IP address: " << text;
    }
    return address;
}

const sockaddr* Raw(const Address& address) {
    return reinterpret_cast<const sockaddr*>(&address.storage);
}

bool Fail(const char* what) {
    ADD_FAILURE() << what << ": " << std::strerror(errno);
    return false;
}

bool SetFlag(int fd, int level, int option, int value) {
    return ::setsockopt(fd, level, option, &value, sizeof value) == 0 || Fail("setsockopt");
}

Listener Listen(const Address& address, int backlog, bool v6Only) {
    if (address.family == AF_UNSPEC) {
        return {};
    }
    UniqueFd fd(::socket(address.family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        Fail("socket");
        return {};
    }
    if (address.family == AF_INET6 && !SetFlag(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, v6Only)) {
        return {};
    }
    if (::bind(fd.Get(), Raw(address), address.length) != 0 || ::listen(fd.Get(), backlog) != 0) {
        Fail("bind/listen");
        return {};
    }
    const int port = LocalPort(fd.Get());
    return {std::move(fd), port};
}

}  // namespace

Listener ListenIPv4(const char* address, int backlog) {
    return Listen(MakeAddress(address, 0), backlog, false);
}

Listener ListenIPv6Any(bool v6Only, int backlog) {
    return Listen(MakeAddress("::", 0), backlog, v6Only);
}

Connection Connect(const Listener& listener, const char* address, int clientPort) {
    const Address target = MakeAddress(address, listener.port);
    if (target.family == AF_UNSPEC) {
        return {};
    }
    UniqueFd client(::socket(target.family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!client) {
        Fail("socket");
        return {};
    }
    if (clientPort != 0) {
        const Address local = MakeAddress(target.family == AF_INET ? "0.0.0.0" : "::", clientPort);
        if (!SetFlag(client.Get(), SOL_SOCKET, SO_REUSEADDR, 1)) {
            return {};
        }
        if (::bind(client.Get(), Raw(local), local.length) != 0) {
            Fail("bind client");
            return {};
        }
    }
    int result;
    do {
        result = ::connect(client.Get(), Raw(target), target.length);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        Fail("connect");
        return {};
    }
    UniqueFd server(::accept4(listener.fd.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!server) {
        Fail("accept");
        return {};
    }
    const int port = LocalPort(client.Get());
    return {std::move(client), std::move(server), port};
}

std::vector<Connection> ConnectMany(const Listener& listener, int count, const char* address) {
    std::vector<Connection> connections;
    connections.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        Connection connection = Connect(listener, address);
        if (!connection.server) {
            break;
        }
        connections.push_back(std::move(connection));
    }
    return connections;
}

UniqueFd StartConnect(int port, const char* address) {
    const Address target = MakeAddress(address, port);
    if (target.family == AF_UNSPEC) {
        return {};
    }
    UniqueFd fd(::socket(target.family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
        Fail("socket");
        return {};
    }
    if (::connect(fd.Get(), Raw(target), target.length) != 0 && errno != EINPROGRESS) {
        Fail("connect");
        return {};
    }
    return fd;
}

int LocalPort(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        Fail("getsockname");
        return 0;
    }
    // The port sits at the same place in sockaddr_in and sockaddr_in6.
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

std::uint64_t SocketCookie(int fd) {
    std::uint64_t cookie = 0;
    socklen_t length = sizeof cookie;
    if (::getsockopt(fd, SOL_SOCKET, SO_COOKIE, &cookie, &length) != 0) {
        Fail("SO_COOKIE");
        return 0;
    }
    return cookie;
}

std::uint32_t RawIPv4(const char* text) {
    in_addr address{};
    if (::inet_pton(AF_INET, text, &address) != 1) {
        ADD_FAILURE() << "not an IPv4 address: " << text;
    }
    return address.s_addr;
}

rlim_t RaiseOpenFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        Fail("getrlimit");
        return 0;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            Fail("setrlimit");
            return 0;
        }
    }
    return limit.rlim_cur;
}

}  // namespace quarnel::testsupport
