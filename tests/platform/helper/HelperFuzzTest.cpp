// Random and mutated requests thrown at the helper's decoder, under the sanitizers. Seeded and
// bounded in count, so every run is the same run. Whatever the decoder takes must be exactly
// what the encoder writes for it: a decoder that lets a stray byte through fails here.

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "platform/linux/HelperProtocol.h"

namespace quarnel::platform {
namespace {

constexpr int kRounds = 200000;

using Bytes = std::vector<std::uint8_t>;

// Either random bytes of a random length, or a sound record with a few bytes, or its length,
// changed: the second kind reaches past the first checks.
Bytes Mutate(std::mt19937_64& random, const std::vector<Bytes>& sound, std::size_t maxSize) {
    Bytes bytes;
    if (random() % 4 == 0) {
        bytes.resize(random() % (maxSize + 8));
        for (auto& b : bytes) {
            b = static_cast<std::uint8_t>(random());
        }
        return bytes;
    }
    bytes = sound[random() % sound.size()];
    for (int changes = 1 + static_cast<int>(random() % 3); changes > 0; --changes) {
        switch (random() % 8) {
            case 0:
                bytes.resize(random() % (bytes.size() + 2));
                break;
            case 1:
                bytes.push_back(static_cast<std::uint8_t>(random()));
                break;
            default:
                if (!bytes.empty()) {
                    const std::size_t at = random() % bytes.size();
                    // Small values and all-ones hit the edges of the fields' ranges.
                    const std::uint8_t values[] = {
                        0, 1, 2, 3, 0x7f, 0x80, 0xff, static_cast<std::uint8_t>(random())};
                    bytes[at] = values[random() % std::size(values)];
                }
        }
    }
    return bytes;
}

Bytes Encoded(const Request& request) {
    RequestBytes bytes;
    EXPECT_TRUE(EncodeRequest(request, bytes));
    return Bytes(bytes.begin(), bytes.end());
}

TEST(HelperFuzz, RequestDecoderTakesOnlyWhatEncodesBackExactly) {
    TcpRow row;
    row.LocalAddress = 0x0100007f;
    row.LocalPort = 443;
    row.RemotePort = 50000;
    row.Cookie = 12345;
    const std::vector<Bytes> sound = {
        Encoded({RequestKind::ReadTable, 1, {}}),
        Encoded({RequestKind::CanCloseConnections, 2, {}}),
        Encoded({RequestKind::CloseConnection, 3, row}),
    };
    std::mt19937_64 random(0x51a7e);
    std::map<Refusal, int> outcomes;
    for (int i = 0; i < kRounds; ++i) {
        const Bytes bytes = Mutate(random, sound, kRequestSize);
        // As the helper reads it: a buffer of one request, and the length the socket reports.
        const std::size_t kept = std::min(bytes.size(), kRequestSize);
        Request request;
        const Refusal refusal = DecodeRequest(std::span(bytes.data(), kept), bytes.size(), request);
        ++outcomes[refusal];
        if (refusal == Refusal::None) {
            ASSERT_EQ(Encoded(request), bytes) << "round " << i;
        } else {
            ASSERT_EQ(request.Connection, TcpRow{}) << "round " << i;
        }
    }
    for (const Refusal refusal :
         {Refusal::None, Refusal::Truncated, Refusal::Oversized, Refusal::WrongVersion,
          Refusal::UnknownKind, Refusal::Malformed}) {
        EXPECT_GT(outcomes[refusal], 0) << RefusalName(refusal) << " was never reached";
    }
}

}  // namespace
}  // namespace quarnel::platform
