#pragma once

#include <memory>

#include "platform/linux/sockdiag/NetlinkChannel.h"

struct mnl_socket;

namespace quarnel::platform {

// A NETLINK_SOCK_DIAG socket, opened and bound through libmnl.
class SockDiagSocket final : public NetlinkChannel {
public:
    // Opens a bound socket; nullptr when the system denies one, with *errorNumber (when given)
    // set to the reason.
    [[nodiscard]] static std::unique_ptr<SockDiagSocket> Open(int* errorNumber = nullptr);

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
    explicit SockDiagSocket(Handle socket) : socket_(std::move(socket)) {}  // through Open

private:
    static Handle OpenHandle();

    Handle socket_;  // null after a reset that could not reopen
};

}  // namespace quarnel::platform
