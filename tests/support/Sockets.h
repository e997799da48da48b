#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/RuleEntry.h"
#include "platform/linux/UniqueFd.h"

namespace quarnel::testsupport {

// Small loopback helpers for tests that need real TCP sockets. They belong inside
// RunInPrivateNetwork. Each records a gtest failure (with the reason) when the system refuses,
// and then returns an empty result that the caller can ASSERT on.

using platform::UniqueFd;

// A listening TCP socket and the port it got.
struct Listener {
    UniqueFd fd;
    int port = 0;
};

// Listens on an IPv4 address ("127.0.0.1", "0.0.0.0" for all) at port, 0 for an ephemeral one.
Listener ListenIPv4(const char* address = "127.0.0.1", int port = 0);
// Listens on [::] at port (0: an ephemeral one): all IPv6 addresses and, unless v6Only, all IPv4
// ones.
Listener ListenIPv6Any(bool v6Only = false, int port = 0);

// A listener's port as a port rule.
inline platform::PortRange PortOf(const Listener& listener) {
    const auto port = static_cast<std::uint16_t>(listener.port);
    return {port, port};
}

// Both ends of one established loopback connection.
struct Connection {
    UniqueFd client;
    UniqueFd server;  // as accepted from the listener
    int clientPort = 0;
};

// Connects to listener's port at address (IPv4 or IPv6 text) and accepts the connection. A
// clientPort other than 0 binds the client to it first (with SO_REUSEADDR), to connect again
// from the port of a connection that is gone; from binds it to that address.
Connection Connect(const Listener& listener, const char* address = "127.0.0.1", int clientPort = 0,
                   const char* from = nullptr);
// Connects as Connect does, but leaves the connection to be accepted: the client's end.
UniqueFd ConnectClient(const Listener& listener, const char* address = "127.0.0.1",
                       int clientPort = 0, const char* from = nullptr);
// count connections as above; stops at the first that fails.
std::vector<Connection> ConnectMany(const Listener& listener, int count,
                                    const char* address = "127.0.0.1");

// Whether the kernel aborted this end of a connection (a close from outside, as the pass makes):
// it reports that to one receive only.
bool Aborted(const UniqueFd& end);
// Whether a byte still goes from client to server (and, when asked, back): it does not once
// either end was closed.
bool Carries(const Connection& connection, bool back = false);
// The bytes (up to 256) that arrive on fd within wait: by default longer than loopback ever takes,
// and past the first retransmission (at 200 ms), so that what does not arrive was held back.
std::string Arrived(int fd, std::chrono::milliseconds wait = std::chrono::milliseconds(300));
// The errno of a receive that must fail at once; 0 when it did not fail.
int ReceiveError(int fd);

// The local port of a socket, 0 when it cannot be read.
int LocalPort(int fd);
// The kernel's cookie of a socket, 0 when it cannot be read.
std::uint64_t SocketCookie(int fd);

}  // namespace quarnel::testsupport
