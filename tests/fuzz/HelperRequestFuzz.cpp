// What an unprivileged peer sends the privileged helper: any bytes, cut or whole, must be read
// as one request or refused, never read past, and what is read is what the program writes.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "platform/linux/protocol/HelperProtocol.h"

using namespace quarnel::platform;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The socket hands over at most kMaxRequestSize bytes and tells the whole length.
    const std::span<const std::uint8_t> received(data, std::min(size, kMaxRequestSize));
    Request request;
    if (DecodeRequest(received, size, request) != Refusal::None) {
        if (request.Connection != TcpRow{}) {
            std::abort();  // a refused close names no connection
        }
        return 0;
    }
    if (request.Kind == RequestKind::SetRules && request.RulesPart == 0 && !request.MoreRules) {
        // Rules of one part: what the helper accepts is what the program would send for them.
        std::vector<std::vector<std::uint8_t>> again;
        const bool whole = EncodeRulesRequest(request.Sequence, request.Rules, again);
        if (whole == request.AddressesLeftOut || again.size() != 1 ||
            !std::ranges::equal(again.front(), received)) {
            std::abort();
        }
    } else if (request.Kind != RequestKind::SetRules) {
        // Taken only as the program writes it: no request has a second record.
        RequestBytes again;
        if (!EncodeRequest(request, again) || !std::ranges::equal(again, received)) {
            std::abort();  // EncodeRequest refuses a close the kernel would misread
        }
    }
    return 0;
}
