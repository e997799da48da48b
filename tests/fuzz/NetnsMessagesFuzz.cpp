// What the service and quarnel-netns read from each other: any bytes, cut or whole, must be read
// as one request or one reply or refused, never read past, and what is read is what the other
// side would have written for it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "platform/linux/netns/NamespaceProtocol.h"

using namespace quarnel::platform;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The socket hands over at most a buffer's bytes and tells the whole length.
    const std::span<const std::uint8_t> request(data, std::min(size, kNamespaceRequestSize));
    NamespaceRequest decoded;
    if (DecodeNamespaceRequest(request, size, decoded) == Refusal::None) {
        NamespaceRequestBytes again;
        EncodeNamespaceRequest(decoded, again);
        if (!std::ranges::equal(again, request)) {
            std::abort();
        }
    }
    const std::span<const std::uint8_t> reply(data, std::min(size, kMaxNamespaceReplySize));
    NamespaceReply answer;
    std::vector<NetworkNamespace> entries;
    if (DecodeNamespaceReply(reply, size, answer, entries)) {
        std::vector<std::uint8_t> again(kMaxNamespaceReplySize);
        const std::size_t length = EncodeNamespaceReply(
            answer, entries, std::span<std::uint8_t, kMaxNamespaceReplySize>(again));
        if (!std::ranges::equal(std::span(again).first(length), reply)) {
            std::abort();
        }
    }
    return 0;
}
