#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "platform/linux/UniqueFd.h"
#include "platform/linux/netns/NamespaceProtocol.h"
#include "platform/linux/privileges/RequestSocket.h"

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

    // Reads one request and answers it; Failed too when this process could not return to its
    // namespace.
    ServeStep ServeOne();
    // Serves until the service goes (true) or serving fails (false).
    [[nodiscard]] bool Run();

private:
    // Sends reply, with fd as its one descriptor when fd >= 0.
    [[nodiscard]] bool Send(const NamespaceReply& reply, std::span<const NetworkNamespace> entries,
                            int fd = -1);
    ServeStep Refuse(std::uint32_t sequence, Refusal reason, int error = 0);
    ServeStep AnswerList(std::uint32_t sequence);
    ServeStep AnswerOpen(const NamespaceRequest& request);

    RequestSocket socket_;
    UniqueFd ownNamespace_;
    std::uint64_t ownDevice_ = 0;
    std::uint64_t ownInode_ = 0;
    std::array<std::uint8_t, kMaxNamespaceReplySize> reply_{};
    std::vector<NetworkNamespace> namespaces_;
};

}  // namespace quarnel::platform
