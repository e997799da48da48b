#include "tests/support/Sockets.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace quarnel::testsupport {

namespace {

// Records why the system refused, and gives the empty result a caller can ASSERT on.
template <typename Result = bool>
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
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address.storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
    // The port sits at the same place in both forms.
    v4->sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        address.length = sizeof *v4;
    } else if (::inet_pton(AF_INET6, text, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        address.length = sizeof *v6;
    } else {
        ADD_FAILURE() << "not an IP address: " << text;
    }
    return address;
}

bool SetFlag(int fd, int level, int option, int value) {
    return ::setsockopt(fd, level, option, &value, sizeof value) == 0 || Fail("setsockopt");
}

// A TCP socket connecting to port at address, bound first to clientPort unless that is 0.
UniqueFd Dial(int port, const char* address, int flags, int clientPort) {
    const Address target = MakeAddress(address, port);
    UniqueFd fd(::socket(target.Family(), SOCK_STREAM | SOCK_CLOEXEC | flags, 0));
    if (!fd) {
        return Fail<UniqueFd>("socket");
    }
    if (clientPort != 0) {
        const Address local =
            MakeAddress(target.Family() == AF_INET ? "0.0.0.0" : "::", clientPort);
        if (!SetFlag(fd.Get(), SOL_SOCKET, SO_REUSEADDR, 1) ||
            ::bind(fd.Get(), local.Raw(), local.length) != 0) {
            return Fail<UniqueFd>("bind client");
        }
    }
    if (::connect(fd.Get(), target.Raw(), target.length) != 0 && errno != EINPROGRESS) {
        return Fail<UniqueFd>("connect");
    }
    return fd;
}

Listener Listen(const char* text, int backlog, bool v6Only) {
    const Address address = MakeAddress(text, 0);
    UniqueFd fd(::socket(address.Family(), SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        return Fail<Listener>("socket");
    }
    if (address.Family() == AF_INET6 && !SetFlag(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, v6Only)) {
        return {};
    }
    if (::bind(fd.Get(), address.Raw(), address.length) != 0 || ::listen(fd.Get(), backlog) != 0) {
        return Fail<Listener>("bind/listen");
    }
    const int port = LocalPort(fd.Get());
    return {std::move(fd), port};
}

}  // namespace

Listener ListenIPv4(const char* address, int backlog) {
    return Listen(address, backlog, false);
}

Listener ListenIPv6Any(bool v6Only, int backlog) {
    return Listen("::", backlog, v6Only);
}

Connection Connect(const Listener& listener, const char* address, int clientPort) {
    UniqueFd client = Dial(listener.port, address, 0, clientPort);
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
    return Dial(port, address, SOCK_NONBLOCK, 0);
}

int LocalPort(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return Fail<int>("getsockname");
    }
    // The port sits at the same place in sockaddr_in and sockaddr_in6.
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

std::uint64_t SocketCookie(int fd) {
    std::uint64_t cookie = 0;
    socklen_t length = sizeof cookie;
    if (::getsockopt(fd, SOL_SOCKET, SO_COOKIE, &cookie, &length) != 0) {
        return Fail<std::uint64_t>("SO_COOKIE");
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
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 ||
        (limit.rlim_cur = limit.rlim_max, ::setrlimit(RLIMIT_NOFILE, &limit)) != 0) {
        return Fail<rlim_t>("open-file limit");
    }
    return limit.rlim_cur;
}

}  // namespace quarnel::testsupport
