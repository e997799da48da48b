#pragma once

#include <linux/netlink.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace quarnel::platform {

// One netlink conversation with the kernel's socket-diagnostics service: requests go out,
// answers come back in datagrams. The TCP table talks through two of them, one for reading
// and one for closing. Tests put a channel of their own in between to inject failures.
class NetlinkChannel {
public:
    virtual ~NetlinkChannel() = default;

    // Sends one request. False with errno set when it was not sent whole.
    [[nodiscard]] virtual bool Send(const nlmsghdr& request) = 0;
    // Waits for one datagram and copies it into buffer: its length, or -1 with errno set.
    virtual ssize_t Receive(void* buffer, std::size_t size) = 0;
    // The address the kernel answers to (0 while no socket is open).
    virtual std::uint32_t PortId() const = 0;
    // Drops whatever an exchange cut short left queued, by starting over on a fresh socket.
    // False when no fresh socket could be opened; the next Send tries again.
    [[nodiscard]] virtual bool Reset() = 0;
};

}  // namespace quarnel::platform
