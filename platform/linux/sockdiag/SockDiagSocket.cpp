#include "platform/linux/sockdiag/SockDiagSocket.h"

#include <libmnl/libmnl.h>
#include <linux/sock_diag.h>

#include <cerrno>

namespace quarnel::platform {

void SockDiagSocket::Closer::operator()(mnl_socket* socket) const {
    // The socket is released whatever close reports; there is nothing left to do about it.
    (void)mnl_socket_close(socket);
}

SockDiagSocket::Handle SockDiagSocket::OpenHandle() {
    Handle socket(mnl_socket_open2(NETLINK_SOCK_DIAG, SOCK_CLOEXEC));
    if (!socket) {
        return nullptr;
    }
    if (mnl_socket_bind(socket.get(), 0, MNL_SOCKET_AUTOPID) < 0) {
        const int error = errno;
        socket.reset();
        errno = error;  // the close above may have changed it
        return nullptr;
    }
    return socket;
}

std::unique_ptr<SockDiagSocket> SockDiagSocket::Open(int* errorNumber) {
    Handle socket = OpenHandle();
    if (!socket) {
        if (errorNumber != nullptr) {
            *errorNumber = errno;
        }
        return nullptr;
    }
    return std::make_unique<SockDiagSocket>(std::move(socket), false);
}

std::unique_ptr<SockDiagSocket> SockDiagSocket::Adopt(UniqueFd fd, int* errorNumber) {
    Handle socket(mnl_socket_fdopen(fd.Get()));
    if (socket) {
        (void)fd.Release();  // closed with the handle from now on
    }
    if (!socket || mnl_socket_bind(socket.get(), 0, MNL_SOCKET_AUTOPID) < 0) {
        const int error = errno;
        socket.reset();
        if (errorNumber != nullptr) {
            *errorNumber = error;
        }
        return nullptr;
    }
    return std::make_unique<SockDiagSocket>(std::move(socket), true);
}

bool SockDiagSocket::Send(const nlmsghdr& request) {
    if (!socket_ && !Reset()) {
        return false;
    }
    ssize_t sent;
    do {
        sent = mnl_socket_sendto(socket_.get(), &request, request.nlmsg_len);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        return false;
    }
    if (static_cast<std::size_t>(sent) != request.nlmsg_len) {
        errno = EMSGSIZE;  // netlink sends whole datagrams; a short one is no request at all
        return false;
    }
    return true;
}

ssize_t SockDiagSocket::Receive(void* buffer, std::size_t size) {
    if (!socket_) {
        errno = ENOTCONN;
        return -1;
    }
    ssize_t received;
    do {
        // libmnl reports a datagram that did not fit as ENOSPC rather than cutting it.
        received = mnl_socket_recvfrom(socket_.get(), buffer, size);
    } while (received < 0 && errno == EINTR);
    return received;
}

std::uint32_t SockDiagSocket::PortId() const {
    return socket_ ? mnl_socket_get_portid(socket_.get()) : 0;
}

bool SockDiagSocket::Reset() {
    socket_.reset();
    if (adopted_) {
        errno = ENOTCONN;  // a fresh socket would be of this namespace, not the adopted one's
        return false;
    }
    socket_ = OpenHandle();
    return socket_ != nullptr;
}

}  // namespace quarnel::platform
