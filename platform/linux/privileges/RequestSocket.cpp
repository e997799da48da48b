#include "platform/linux/privileges/RequestSocket.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace quarnel::platform {

RequestSocket::RequestSocket(int fd, std::size_t largest) : fd_(fd), buffer_(largest) {}

std::optional<RequestSocket::Message> RequestSocket::Receive() {
    iovec part{buffer_.data(), buffer_.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    ssize_t length;
    do {
        // MSG_TRUNC: the whole length of a message too long for the buffer, to refuse it.
        // Descriptors sent along are closed by the kernel, since there is no room for them.
        length = ::recvmsg(fd_, &message, MSG_TRUNC | MSG_CMSG_CLOEXEC);
    } while (length < 0 && errno == EINTR);
    if (length < 0) {
        ended_ = errno == ECONNRESET;
        error_ = errno;
        return std::nullopt;
    }
    if (length == 0) {
        // The end of the conversation, or an empty message: only a hung-up socket tells them
        // apart.
        pollfd state{fd_, POLLIN | POLLRDHUP, 0};
        if (::poll(&state, 1, 0) < 0 || (state.revents & (POLLHUP | POLLRDHUP)) != 0) {
            ended_ = true;
            return std::nullopt;
        }
    }
    const auto whole = static_cast<std::size_t>(length);
    return Message{std::span<const std::uint8_t>(buffer_).first(std::min(whole, buffer_.size())),
                   whole, (message.msg_flags & MSG_CTRUNC) != 0};
}

bool RequestSocket::Send(std::span<const std::uint8_t> record, int fd) {
    iovec part{const_cast<std::uint8_t*>(record.data()), record.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int))> control{};
    if (fd >= 0) {
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    }
    ssize_t sent;
    do {
        sent = ::sendmsg(fd_, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent == static_cast<ssize_t>(record.size())) {
        return true;
    }
    ended_ = sent < 0 && (errno == EPIPE || errno == ECONNRESET);
    error_ = sent < 0 ? errno : 0;
    return false;
}

}  // namespace quarnel::platform
