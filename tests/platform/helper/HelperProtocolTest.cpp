// The records the program and quarnel-helper exchange: every message survives a round trip,
// and nothing but a sound record is taken, whatever bytes arrive.

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <random>
#include <tuple>
#include <vector>

#include "platform/linux/HelperProtocol.h"
#include "tests/platform/TableRows.h"

namespace quarnel::platform {
namespace {

using Bytes = std::vector<std::uint8_t>;

TcpRow Named(SocketFamily family, std::uint64_t cookie) {
    // 127.0.0.1 to 13.12.11.10, ports and interface at the edges of their ranges.
    return {0, 0x0100007f, 65535, 0x0a0b0c0d, 0, family, 0xfedcba98, cookie};
}

Bytes Encoded(const Request& request) {
    RequestBytes bytes;
    EXPECT_TRUE(EncodeRequest(request, bytes));
    return Bytes(bytes.begin(), bytes.end());
}

// Decodes bytes as the helper reads a message of length: into a buffer of one request.
Refusal Decode(const Bytes& bytes, std::size_t length, Request& request) {
    return DecodeRequest(std::span(bytes.data(), std::min(bytes.size(), kRequestSize)), length,
                         request);
}

TEST(HelperProtocol, EveryRequestSurvivesARoundTrip) {
    const Request requests[] = {
        {RequestKind::ReadTable, 1, {}},
        {RequestKind::CanCloseConnections, 0xffffffff, {}},
        {RequestKind::WatchTable, 2, {}},
        {RequestKind::ReadTableIfChanged, 3, {}},
        {RequestKind::CloseConnection, 7, Named(SocketFamily::IPv4, 1)},
        {RequestKind::CloseConnection, 8, Named(SocketFamily::MappedIPv6, ~0ull - 1)},
    };
    for (const Request& sent : requests) {
        const Bytes bytes = Encoded(sent);
        Request got;
        EXPECT_EQ(Decode(bytes, bytes.size(), got), Refusal::None);
        EXPECT_EQ(std::tie(got.Kind, got.Sequence, got.Connection),
                  std::tie(sent.Kind, sent.Sequence, sent.Connection));
    }
}

auto Fields(const Reply& r) {
    return std::tuple(r.Kind, r.Sequence, r.ChunkIndex, r.LastChunk, r.Failure, r.Closed, r.Ability,
                      r.Reason, r.Polling.Why, r.Polling.Error);
}

Bytes EncodedReply(const Reply& reply, const std::vector<TcpRow>& rows = {}) {
    std::array<std::uint8_t, kMaxReplySize> bytes{};
    const std::size_t size = EncodeReply(reply, rows, bytes);
    EXPECT_GT(size, 0u);
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
}

TEST(HelperProtocol, EveryReplySurvivesARoundTrip) {
    using K = ReplyKind;
    const Reply replies[] = {
        {.Kind = K::TableChunk, .Sequence = 3, .ChunkIndex = 2, .LastChunk = true},
        {.Kind = K::TableFailed, .Sequence = 4, .Failure = TableFailure::TooManyRows},
        {.Kind = K::Closed, .Sequence = 5, .Closed = true},
        {.Kind = K::Ability, .Sequence = 6, .Ability = CloseAbility::NotSupported},
        {.Kind = K::Refused, .Sequence = 0, .Reason = Refusal::Malformed},
        {.Kind = K::Watching, .Sequence = 7, .Polling = {PollingCause::Kind::Refused, EINVAL}},
        {.Kind = K::Unchanged, .Sequence = 8},
        {.Kind = K::TableChanged, .Sequence = 0},
    };
    const std::vector<TcpRow> rows = {Named(SocketFamily::IPv4, 1),
                                      Named(SocketFamily::MappedIPv6, 2)};
    for (const Reply& sent : replies) {
        const std::vector<TcpRow> sentRows =
            sent.Kind == K::TableChunk ? rows : std::vector<TcpRow>{};
        const Bytes bytes = EncodedReply(sent, sentRows);
        Reply got;
        std::vector<TcpRow> gotRows;
        EXPECT_TRUE(DecodeReply(bytes, bytes.size(), got, gotRows));
        EXPECT_EQ(Fields(got), Fields(sent));
        EXPECT_EQ(gotRows, sentRows);
    }
}

TEST(HelperProtocol, AnythingButOneSoundReplyIsRejectedAndItsRowsNotKept) {
    std::vector<TcpRow> rows(kRowsPerChunk, Named(SocketFamily::IPv4, 5));
    const Bytes chunk = EncodedReply({.Kind = ReplyKind::TableChunk, .Sequence = 1}, rows);
    const auto with = [](Bytes bytes, std::size_t at, std::uint8_t value) {
        bytes[at] = value;
        return bytes;
    };
    const struct {
        const char* name;
        Bytes bytes;
    } cases[] = {
        {"header cut", Bytes(chunk.begin(), chunk.begin() + 15)},
        {"one row short", Bytes(chunk.begin(), chunk.end() - kRowSize)},
        // Consistent in itself: one row fewer, and counted so.
        {"chunk not full but not last",
         with(with(Bytes(chunk.begin(), chunk.end() - kRowSize), 10, (kRowsPerChunk - 1) & 0xff),
              11, (kRowsPerChunk - 1) >> 8)},
        {"row family unknown", with(chunk, kReplyHeaderSize + kRowSize + 24, 3)},
    };
    for (const auto& c : cases) {
        Reply reply;
        std::vector<TcpRow> kept = {Named(SocketFamily::IPv4, 9)};
        EXPECT_FALSE(DecodeReply(c.bytes, c.bytes.size(), reply, kept)) << c.name;
        EXPECT_EQ(kept, (std::vector{Named(SocketFamily::IPv4, 9)})) << c.name;
    }
    Reply reply;
    EXPECT_FALSE(DecodeReply(std::span(chunk.data(), 40), chunk.size(), reply, rows))
        << "a message the buffer cut is rejected";
}

// A sound request with a few bytes, or its length, changed.
Bytes Mutate(std::mt19937_64& random, const std::vector<Bytes>& sound) {
    Bytes bytes = sound[random() % sound.size()];
    for (int changes = 1 + static_cast<int>(random() % 3); changes > 0; --changes) {
        if (random() % 8 == 0) {
            bytes.resize(random() % (bytes.size() + 2));
        } else if (!bytes.empty()) {
            // Small values and all-ones hit the edges of the fields' ranges.
            const std::uint8_t values[] = {0,    1,    2,    3,
                                           0x7f, 0x80, 0xff, static_cast<std::uint8_t>(random())};
            bytes[random() % bytes.size()] = values[random() % std::size(values)];
        }
    }
    return bytes;
}

// Seeded and bounded in count, so every run is the same run, under the sanitizers: whatever
// the decoder takes must be exactly what the encoder writes for it.
TEST(HelperProtocol, FuzzedRequestsAreTakenOnlyWhenTheyEncodeBackExactly) {
    const std::vector<Bytes> sound = {
        Encoded({RequestKind::ReadTable, 1, {}}),
        Encoded({RequestKind::CanCloseConnections, 2, {}}),
        Encoded({RequestKind::CloseConnection, 3, Named(SocketFamily::IPv4, 12345)}),
    };
    std::mt19937_64 random(0x51a7e);
    std::map<Refusal, int> outcomes;
    for (int round = 0; round < 200000; ++round) {
        const Bytes bytes = Mutate(random, sound);
        Request request;
        const Refusal refusal = Decode(bytes, bytes.size(), request);
        ++outcomes[refusal];
        if (refusal == Refusal::None) {
            ASSERT_EQ(Encoded(request), bytes) << "round " << round;
        } else {
            ASSERT_EQ(request.Connection, TcpRow{}) << "round " << round;
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
