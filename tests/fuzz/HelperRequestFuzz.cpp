// What an unprivileged peer sends the privileged helper: any bytes, cut or whole, must be read
// as one request or refused, never read past.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "platform/linux/protocol/HelperProtocol.h"

using namespace quarnel::platform;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The socket hands over at most kMaxRequestSize bytes and tells the whole length.
    const std::span<const std::uint8_t> received(data, std::min(size, kMaxRequestSize));
    Request request;
    if (DecodeRequest(received, size, request) != Refusal::None) {
        return 0;
    }
    if (request.Kind == RequestKind::SetRules) {
        // What the helper accepts is what the program would send for the same rules.
        std::vector<std::uint8_t> again;
        const bool whole = EncodeRulesRequest(request.Sequence, request.Rules, again);
        if (whole == request.AddressesLeftOut || !std::ranges::equal(again, received)) {
            std::abort();
        }
    } else if (request.Kind == RequestKind::CloseConnection &&
               !CanNameConnection(request.Connection)) {
        std::abort();  // a close the kernel would misread
    }
    return 0;
}
