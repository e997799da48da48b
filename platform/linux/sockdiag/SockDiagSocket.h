#pragma once

#include <memory>

#include "platform/linux/UniqueFd.h"
#include "platform/linux/sockdiag/NetlinkChannel.h"

struct mnl_socket;

namespace quarnel::platform {

// A NETLINK_SOCK_DIAG socket, opened and bound through libmnl.
class SockDiagSocket final : public NetlinkChannel {
public:
    // Opens a bound socket; nullptr when the system denies one, with *errorNumber (when given)
    // set to the reason.
    [[nodiscard]] static std::unique_ptr<SockDiagSocket> Open(int* errorNumber = nullptr);
    // Takes a NETLINK_SOCK_DIAG socket opened elsewhere (inside another network namespace) and
    // binds it. Such a socket is never replaced by one of this process's own namespace: a
    // reset closes it, and every exchange after that fails. nullptr with *errorNumber as above.
    [[nodiscard]] static std::unique_ptr<SockDiagSocket> Adopt(UniqueFd fd,
                                                               int* errorNumber = nullptr);

    [[nodiscard]] bool Send(const nlmsghdr& request) override;
    ssize_t Receive(void* buffer, std::size_t size) override;
    std::uint32_t PortId() const override;
    [[nodiscard]] bool Reset() override;

private:
    struct Closer {
        void operator()(mnl_socket* socket) const;
    };
    using Handle = std::unique_ptr<mnl_socket, Closer>;

public:
    // Through Open and Adopt.
    SockDiagSocket(Handle socket, bool adopted) : socket_(std::move(socket)), adopted_(adopted) {}

private:
    static Handle OpenHandle();

    Handle socket_;  // null after a reset that could not reopen
    bool adopted_;   // opened elsewhere: never reopened here
};

}  // namespace quarnel::platform
