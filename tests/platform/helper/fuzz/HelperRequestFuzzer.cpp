// libFuzzer entry for the helper's request decoder: every input is one message as the socket
// delivered it. Whatever the decoder takes must encode back to exactly those bytes.

#include <cstdlib>
#include <cstring>

#include "platform/linux/HelperProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quarnel::platform;
    Request request;
    const std::span<const std::uint8_t> kept(data, std::min(size, kRequestSize));
    if (DecodeRequest(kept, size, request) != Refusal::None) {
        return 0;
    }
    RequestBytes again;
    if (!EncodeRequest(request, again) || size != again.size() ||
        std::memcmp(data, again.data(), size) != 0) {
        std::abort();
    }
    return 0;
}
