#include "bench/SiteTraffic.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <thread>

namespace quarnel::bench {

namespace {

// A connection to port. A guard may close one to a blocked port before connect returns: then
// connect fails with ECONNABORTED, and the socket tells so to whoever asks.
UniqueFd ConnectTo(int port, bool* aborted = nullptr, Family family = Family::IPv4) {
    const bool ipv6 = family == Family::IPv6;
    UniqueFd client(socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in v4 = Loopback(port);
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_loopback;
    v6.sin6_port = v4.sin_port;
    const auto* address =
        ipv6 ? reinterpret_cast<const sockaddr*>(&v6) : reinterpret_cast<const sockaddr*>(&v4);
    const socklen_t length = ipv6 ? sizeof v6 : sizeof v4;
    const bool connected = client && connect(client.Get(), address, length) == 0;
    const bool closed = !connected && client && errno == ECONNABORTED;
    if (!connected && !(closed && aborted != nullptr)) {
        Fail("connect to port " + std::to_string(port));
    }
    if (aborted != nullptr) {
        *aborted = closed;
    }
    return client;
}

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

Listener ListenDualStack(int backlog, int port) {
    Listener listener{UniqueFd(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0))};
    const int off = 0;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<std::uint16_t>(port));
    socklen_t length = sizeof address;
    if (!listener.fd ||
        setsockopt(listener.fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0 ||
        bind(listener.fd.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener.fd.Get(), backlog) != 0 ||
        getsockname(listener.fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        Fail("dual-stack listener");
    }
    listener.port = ntohs(address.sin6_port);
    return listener;
}

std::optional<double> TimeTeardown(const Listener& blocked, Clock::duration patience,
                                   Family family) {
    bool closedAtOnce = false;
    const UniqueFd client = ConnectTo(blocked.port, &closedAtOnce, family);
    if (closedAtOnce) {
        (void)UniqueFd(accept4(blocked.fd.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        return 0.0;  // closed before connect returned
    }
    const timeval limit{std::chrono::duration_cast<std::chrono::seconds>(patience).count(), 0};
    (void)setsockopt(client.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);  // best effort
    const Clock::time_point connected = Clock::now();
    char byte = 0;
    const ssize_t received = recv(client.Get(), &byte, 1, 0);
    const double ms = MsSince(connected);
    const bool aborted = received < 0 && errno == ECONNABORTED;
    // The server's end, reset by the close: gone once accepted and closed.
    (void)UniqueFd(accept4(blocked.fd.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!aborted) {
        return std::nullopt;
    }
    return ms;
}

void Churn(const std::vector<Listener>& open, int perSecond, std::chrono::milliseconds time) {
    const Clock::time_point start = Clock::now();
    const auto count = static_cast<int>(time.count() * perSecond / 1000);
    for (int i = 0; i < count; ++i) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(1000000LL * i / perSecond));
        const Listener& listener = open[static_cast<std::size_t>(i) % open.size()];
        UniqueFd client = ConnectTo(listener.port);
        UniqueFd server(accept4(listener.fd.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        client.Reset();  // the client closes first: its end waits in TIME_WAIT
    }
}

StormResult Storm(const Listener& blocked, const std::vector<Listener>& open, int count,
                  std::chrono::milliseconds spread, std::chrono::milliseconds patience) {
    struct Tracked {
        UniqueFd client;
        Clock::time_point connected;
        bool blocked = false;
        double ms = -1;  // until closed
    };
    std::vector<Tracked> tracked;
    std::vector<UniqueFd> servers;  // kept open: closing them would end the clients another way
    tracked.reserve(static_cast<std::size_t>(count) * (open.empty() ? 1 : 2));
    const UniqueFd watch(epoll_create1(EPOLL_CLOEXEC));
    std::vector<epoll_event> ready(256);
    // Notes the closes reported until the deadline.
    const auto collect = [&](Clock::time_point until) {
        do {
            const auto left = std::max(Clock::duration::zero(), until - Clock::now());
            const timespec wait{0, static_cast<long>(std::min<std::int64_t>(
                                       std::chrono::nanoseconds(left).count(), 999999999))};
            const int n = epoll_pwait2(watch.Get(), ready.data(), static_cast<int>(ready.size()),
                                       &wait, nullptr);
            for (int i = 0; i < n; ++i) {
                Tracked& one = tracked[ready[static_cast<std::size_t>(i)].data.u32];
                int error = 0;
                socklen_t length = sizeof error;
                (void)getsockopt(one.client.Get(), SOL_SOCKET, SO_ERROR, &error, &length);
                if (one.ms < 0 && error == ECONNABORTED) {
                    one.ms = MsSince(one.connected);
                }
                (void)epoll_ctl(watch.Get(), EPOLL_CTL_DEL, one.client.Get(), nullptr);
            }
        } while (Clock::now() < until);
    };
    const auto add = [&](const Listener& to, bool isBlocked) {
        bool aborted = false;
        Tracked one{ConnectTo(to.port, &aborted), Clock::now(), isBlocked};
        if (aborted) {
            one.ms = 0;  // closed before connect returned
        }
        epoll_event error{};
        error.events = EPOLLERR | EPOLLHUP;
        error.data.u32 = static_cast<std::uint32_t>(tracked.size());
        if (epoll_ctl(watch.Get(), EPOLL_CTL_ADD, one.client.Get(), &error) != 0) {
            Fail("epoll_ctl");
        }
        tracked.push_back(std::move(one));
        for (UniqueFd server; (server = UniqueFd(accept4(to.fd.Get(), nullptr, nullptr,
                                                         SOCK_CLOEXEC | SOCK_NONBLOCK)));) {
            servers.push_back(std::move(server));
        }
    };
    for (const Listener* listener : {&blocked}) {
        (void)fcntl(listener->fd.Get(), F_SETFL, O_NONBLOCK);  // accepts only what waits
    }
    for (const Listener& listener : open) {
        (void)fcntl(listener.fd.Get(), F_SETFL, O_NONBLOCK);
    }
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < count; ++i) {
        collect(start + spread * i / count);
        add(blocked, true);
        if (!open.empty()) {
            add(open[static_cast<std::size_t>(i) % open.size()], false);
        }
    }
    collect(Clock::now() + patience);
    for (const Listener* listener : {&blocked}) {
        (void)fcntl(listener->fd.Get(), F_SETFL, 0);
    }
    for (const Listener& listener : open) {
        (void)fcntl(listener.fd.Get(), F_SETFL, 0);
    }
    StormResult result;
    for (const Tracked& one : tracked) {
        if (one.blocked) {
            result.ms.push_back(one.ms);
        } else if (one.ms >= 0) {
            ++result.innocentsClosed;
        }
    }
    return result;
}

}  // namespace quarnel::bench
