#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/linux/privileges/Refusal.h"

namespace quarnel::platform {

// How serving one request went, as a privileged program's server tells it.
enum class ServeStep {
    Answered,  // the request was carried out and answered
    Refused,   // the request was refused, and the refusal answered
    Ended,     // the program on the other end has gone
    Failed,    // the socket failed, or serving cannot go on
};

// A privileged program's end of the SOCK_SEQPACKET pair the program that started it made (not
// owned): one request read at a time into a buffer of fixed size, and every reply sent as one
// record, whole or not at all.
class RequestSocket {
public:
    // A request longer than largest is cut to it, and its whole length told so that it can be
    // refused.
    RequestSocket(int fd, std::size_t largest);

    // One request as it arrived.
    struct Message {
        std::span<const std::uint8_t> Bytes;  // what arrived, at most the largest request
        std::size_t Length = 0;               // the whole message's length, larger when cut
        bool Ancillary = false;  // descriptors or credentials came along (already closed)

        // decoded, a protocol's verdict on Bytes and Length; a request that came with ancillary
        // data is Malformed however sound it is, since no starter ever sends any.
        [[nodiscard]] Refusal Checked(Refusal decoded) const {
            return decoded == Refusal::None && Ancillary ? Refusal::Malformed : decoded;
        }
    };

    // The next request; nothing at the end of the conversation or when the socket failed
    // (Ended and Error tell which). An empty message is a request (one too short).
    [[nodiscard]] std::optional<Message> Receive();

    // Sends record whole, with fd as the one descriptor along when fd >= 0; false when it did not
    // go whole (Ended and Error tell why).
    [[nodiscard]] bool Send(std::span<const std::uint8_t> record, int fd = -1);

    // step when the reply was sent, else Ended or Failed as the socket tells.
    [[nodiscard]] ServeStep After(bool sent, ServeStep step) const {
        return sent ? step : (ended_ ? ServeStep::Ended : ServeStep::Failed);
    }

    int Descriptor() const { return fd_; }
    // The other end has gone: hung up, or reset.
    bool Ended() const { return ended_; }
    // Why the last call failed when the other end had not gone: its errno, or 0 for a reply
    // sent in part.
    int Error() const { return error_; }

private:
    int fd_;
    std::vector<std::uint8_t> buffer_;
    bool ended_ = false;
    int error_ = 0;
};

}  // namespace quarnel::platform
