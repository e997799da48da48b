#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "platform/linux/UniqueFd.h"
#include "platform/linux/netns/NamespaceProtocol.h"

namespace quarnel::platform {

// quarnel-netns's side of the conversation: answers the service's requests on socket (one end
// of a SOCK_SEQPACKET socketpair), one at a time. It lists network namespaces and opens
// sock_diag sockets inside them for the service; it never reads a table, judges or closes.
// Whatever is not a sound request is refused with its reason and never acted on, and serving
// goes on. ownNamespace is this process's own network namespace, opened at start, to which it
// returns after every socket it opened elsewhere.
class NamespaceServer {
public:
    NamespaceServer(int socket, UniqueFd ownNamespace);

    enum class Step {
        Answered,  // a request was carried out and answered
        Refused,   // a request was refused, and the refusal answered
        Ended,     // the service has gone
        Failed,    // the socket failed, or this process could not return to its namespace
    };

    // Reads one request and answers it.
    Step ServeOne();
    // Serves until the service goes (true) or serving fails (false).
    [[nodiscard]] bool Run();

private:
    // The length of the message read into request_ (larger than the buffer when it was cut);
    // -1 at the end of the conversation or on failure, with ended_ telling which.
    [[nodiscard]] long Receive(bool& ancillary);
    // Sends reply, with fd as its one descriptor when fd >= 0.
    [[nodiscard]] bool Send(const NamespaceReply& reply, std::span<const NetworkNamespace> entries,
                            int fd = -1);
    Step Refuse(std::uint32_t sequence, NamespaceRefusal reason, int error = 0);
    Step AnswerList(std::uint32_t sequence);
    Step AnswerOpen(const NamespaceRequest& request);
    Step Sent(bool sent, Step step) const;

    int socket_;
    UniqueFd ownNamespace_;
    std::uint64_t ownDevice_ = 0;
    std::uint64_t ownInode_ = 0;
    bool ended_ = false;
    std::array<std::uint8_t, kNamespaceRequestSize> request_{};
    std::array<std::uint8_t, kMaxNamespaceReplySize> reply_{};
    std::vector<NetworkNamespace> namespaces_;
};

}  // namespace quarnel::platform
