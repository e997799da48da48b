// What the helper answers the program: any bytes are one well-formed reply or none, and a
// refused one leaves the rows gathered so far as they were.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "platform/linux/protocol/HelperProtocol.h"

using namespace quarnel::platform;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> received(data, std::min(size, kMaxReplySize));
    Reply reply;
    std::vector<TcpRow> rows(1);
    std::vector<std::uint32_t> indices(1);
    if (!DecodeReply(received, size, reply, rows, indices)) {
        if (rows.size() != 1 || indices.size() != 1) {
            std::abort();
        }
        return 0;
    }
    const bool changes = reply.Kind == ReplyKind::TableChanges;
    if (rows.size() - 1 > kRowsPerChunk || (changes && indices.size() != rows.size())) {
        std::abort();
    }
    for (std::size_t i = 1; i < rows.size(); ++i) {
        if (!CanNameConnection(rows[i]) || (changes && indices[i] >= reply.TableRows)) {
            std::abort();
        }
    }
    return 0;
}
