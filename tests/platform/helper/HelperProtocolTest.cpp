// The records the program and quarnel-helper exchange: every message survives a round trip, and
// nothing but a sound record is taken.

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "platform/linux/HelperProtocol.h"
#include "tests/platform/TableRows.h"

namespace quarnel::platform {
namespace {

TcpRow Named(SocketFamily family, std::uint64_t cookie) {
    TcpRow row;
    row.LocalAddress = 0x0100007f;   // 127.0.0.1
    row.RemoteAddress = 0x0a0b0c0d;  // 13.12.11.10
    row.LocalPort = 65535;
    row.RemotePort = 0;
    row.Family = family;
    row.Interface = 0xfedcba98;
    row.Cookie = cookie;
    return row;
}

Request Make(RequestKind kind, std::uint32_t sequence, TcpRow connection = {}) {
    return {kind, sequence, connection};
}

Refusal Decode(const std::vector<std::uint8_t>& bytes, std::size_t length, Request& request) {
    return DecodeRequest(std::span(bytes.data(), std::min(bytes.size(), kRequestSize)), length,
                         request);
}

TEST(HelperProtocolRequests, EveryKindSurvivesARoundTrip) {
    const Request requests[] = {
        Make(RequestKind::ReadTable, 1),
        Make(RequestKind::CanCloseConnections, 0xffffffff),
        Make(RequestKind::WatchTable, 2),
        Make(RequestKind::ReadTableIfChanged, 3),
        Make(RequestKind::CloseConnection, 7, Named(SocketFamily::IPv4, 1)),
        Make(RequestKind::CloseConnection, 8, Named(SocketFamily::MappedIPv6, ~0ull - 1)),
    };
    for (const Request& sent : requests) {
        RequestBytes bytes;
        ASSERT_TRUE(EncodeRequest(sent, bytes));
        Request got;
        EXPECT_EQ(DecodeRequest(bytes, bytes.size(), got), Refusal::None);
        EXPECT_EQ(got.Kind, sent.Kind);
        EXPECT_EQ(got.Sequence, sent.Sequence);
        EXPECT_EQ(got.Connection, sent.Connection);
    }
}

TEST(HelperProtocolRequests, CloseLaysOutItsFieldsAsDocumented) {
    TcpRow row = Named(SocketFamily::MappedIPv6, 0x1122334455667788);
    row.State = 5;  // a close does not carry the state
    RequestBytes bytes;
    ASSERT_TRUE(EncodeRequest(Make(RequestKind::CloseConnection, 0x01020304, row), bytes));
    const RequestBytes expected = {
        1,    0,    2,    0,    4,    3,    2,    1,     // version, kind, sequence
        0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11,  // cookie
        127,  0,    0,    1,                             // local address, first octet first
        13,   12,   11,   10,                            // remote address
        0x98, 0xba, 0xdc, 0xfe,                          // interface
        0xff, 0xff, 0,    0,                             // local port, remote port
        2,                                               // family: IPv4-mapped IPv6
        0,    0,    0,    0,    0,    0,    0};
    EXPECT_EQ(bytes, expected);
}

TEST(HelperProtocolRequests, ConnectionsThatNameNoExactSocketAreNotWritten) {
    const std::function<void(TcpRow&)> faults[] = {
        [](TcpRow& r) { r.LocalPort = -1; }, [](TcpRow& r) { r.RemotePort = 65536; },
        [](TcpRow& r) { r.Cookie = 0; },      // no socket has it
        [](TcpRow& r) { r.Cookie = ~0ull; },  // the kernel would not check it
    };
    for (const auto& fault : faults) {
        TcpRow row = Named(SocketFamily::IPv4, 42);
        fault(row);
        RequestBytes bytes;
        EXPECT_FALSE(EncodeRequest(Make(RequestKind::CloseConnection, 1, row), bytes))
            << ::testing::PrintToString(row);
    }
}

// A sound close request of sequence 9, changed by a case.
struct BadRequest {
    const char* name;
    std::function<void(std::vector<std::uint8_t>& bytes, std::size_t& length)> change;
    Refusal expected;
};

void PrintTo(const BadRequest& c, std::ostream* out) {
    *out << c.name;
}

class HelperProtocolRefusal : public ::testing::TestWithParam<BadRequest> {};

TEST_P(HelperProtocolRefusal, IsRefusedWithItsReasonAndItsSequence) {
    RequestBytes sound;
    ASSERT_TRUE(
        EncodeRequest(Make(RequestKind::CloseConnection, 9, Named(SocketFamily::IPv4, 77)), sound));
    std::vector<std::uint8_t> bytes(sound.begin(), sound.end());
    std::size_t length = bytes.size();
    GetParam().change(bytes, length);

    Request request;
    EXPECT_EQ(Decode(bytes, length, request), GetParam().expected);
    if (std::min(length, bytes.size()) >= 8) {
        EXPECT_EQ(request.Sequence, 9u) << "the refusal names the request it refuses";
    }
    EXPECT_EQ(request.Connection, TcpRow{}) << "nothing of a refused request is kept";
}

auto Cut(std::size_t to) {
    return [to](std::vector<std::uint8_t>& b, std::size_t& length) {
        b.resize(to);
        length = to;
    };
}

auto Set(std::size_t at, std::uint8_t value) {
    return [at, value](std::vector<std::uint8_t>& b, std::size_t&) { b[at] = value; };
}

auto Kind(std::uint16_t kind) {
    return [kind](std::vector<std::uint8_t>& b, std::size_t&) {
        b[2] = static_cast<std::uint8_t>(kind);
        b[3] = static_cast<std::uint8_t>(kind >> 8);
    };
}

INSTANTIATE_TEST_SUITE_P(
    Requests, HelperProtocolRefusal,
    ::testing::Values(
        BadRequest{"Empty", Cut(0), Refusal::Truncated},
        BadRequest{"HeaderOnly", Cut(8), Refusal::Truncated},
        BadRequest{"OneByteShort", Cut(kRequestSize - 1), Refusal::Truncated},
        BadRequest{"OneByteLong",
                   [](auto& b, std::size_t& length) {
                       b.push_back(0);
                       length = b.size();
                   },
                   Refusal::Oversized},
        BadRequest{"CutByTheSocket",  // a 4 KiB message of which the buffer kept 40 bytes
                   [](auto&, std::size_t& length) { length = 4096; }, Refusal::Oversized},
        BadRequest{"VersionTwo", Set(0, 2), Refusal::WrongVersion},
        BadRequest{"VersionHighByte", Set(1, 1), Refusal::WrongVersion},
        BadRequest{"ShortOfAnotherVersion",
                   [](auto& b, std::size_t& length) {
                       b.resize(12);
                       b[0] = 2;
                       length = 12;
                   },
                   Refusal::WrongVersion},
        BadRequest{"KindSix", Kind(6), Refusal::UnknownKind},
        BadRequest{"KindOfAReply", Kind(0x81), Refusal::UnknownKind},
        BadRequest{"FamilyThree", Set(32, 3), Refusal::Malformed},
        BadRequest{"ProtocolByteAfterFamily", Set(33, 17), Refusal::Malformed},
        BadRequest{"LastSpareByte", Set(39, 1), Refusal::Malformed},
        BadRequest{"CookieZero",
                   [](auto& b, std::size_t&) { std::fill(b.begin() + 8, b.begin() + 16, 0); },
                   Refusal::Malformed},
        BadRequest{"CookieThatSkipsTheKernelsCheck",
                   [](auto& b, std::size_t&) { std::fill(b.begin() + 8, b.begin() + 16, 0xff); },
                   Refusal::Malformed},
        BadRequest{"ReadTableCarryingAConnection", Kind(1), Refusal::Malformed},
        BadRequest{"QuestionCarryingAPort",
                   [](auto& b, std::size_t&) {
                       std::fill(b.begin() + 8, b.end(), 0);
                       b[2] = 3;
                       b[28] = 80;
                   },
                   Refusal::Malformed}),
    [](const ::testing::TestParamInfo<BadRequest>& info) { return info.param.name; });

// Encodes reply (with rows) and decodes it again.
bool RoundTrip(const Reply& reply, const std::vector<TcpRow>& rows, Reply& got,
               std::vector<TcpRow>& gotRows) {
    std::array<std::uint8_t, kMaxReplySize> bytes;
    const std::size_t size = EncodeReply(reply, rows, bytes);
    return size > 0 && DecodeReply(std::span(bytes.data(), size), size, got, gotRows);
}

Reply Chunk(std::uint16_t index, bool last) {
    Reply reply;
    reply.Kind = ReplyKind::TableChunk;
    reply.Sequence = 3;
    reply.ChunkIndex = index;
    reply.LastChunk = last;
    return reply;
}

std::vector<TcpRow> SomeRows(std::size_t count) {
    std::vector<TcpRow> rows;
    for (std::size_t i = 0; i < count; ++i) {
        TcpRow row = Named(i % 2 ? SocketFamily::MappedIPv6 : SocketFamily::IPv4, i + 1);
        row.State = static_cast<std::int32_t>(i % 256);
        row.LocalPort = static_cast<std::int32_t>(i);
        rows.push_back(row);
    }
    return rows;
}

TEST(HelperProtocolReplies, EveryKindSurvivesARoundTrip) {
    std::vector<Reply> replies;
    for (const auto failure : {TableFailure::ReadFailed, TableFailure::TooManyRows}) {
        replies.push_back({.Kind = ReplyKind::TableFailed, .Sequence = 4, .Failure = failure});
    }
    for (const bool closed : {false, true}) {
        replies.push_back({.Kind = ReplyKind::Closed, .Sequence = 5, .Closed = closed});
    }
    for (const auto ability : {CloseAbility::Allowed, CloseAbility::NoPermission,
                               CloseAbility::NotSupported, CloseAbility::Unknown}) {
        replies.push_back({.Kind = ReplyKind::Ability, .Sequence = 6, .Ability = ability});
    }
    for (const auto reason : {Refusal::Truncated, Refusal::Oversized, Refusal::WrongVersion,
                              Refusal::UnknownKind, Refusal::Malformed}) {
        replies.push_back({.Kind = ReplyKind::Refused, .Sequence = 0, .Reason = reason});
    }
    for (const PollingCause polling : {PollingCause{}, PollingCause{PollingCause::Kind::NoRights},
                                       PollingCause{PollingCause::Kind::Refused, EINVAL}}) {
        replies.push_back({.Kind = ReplyKind::Watching, .Sequence = 7, .Polling = polling});
    }
    replies.push_back({.Kind = ReplyKind::Unchanged, .Sequence = 8});
    replies.push_back({.Kind = ReplyKind::TableChanged, .Sequence = 0});
    for (const Reply& sent : replies) {
        Reply got;
        std::vector<TcpRow> rows;
        ASSERT_TRUE(RoundTrip(sent, {}, got, rows));
        EXPECT_EQ(got.Polling.Why, sent.Polling.Why);
        EXPECT_EQ(got.Polling.Error, sent.Polling.Error);
        EXPECT_EQ(got.Kind, sent.Kind);
        EXPECT_EQ(got.Sequence, sent.Sequence);
        EXPECT_EQ(got.Failure, sent.Failure);
        EXPECT_EQ(got.Closed, sent.Closed);
        EXPECT_EQ(got.Ability, sent.Ability);
        EXPECT_EQ(got.Reason, sent.Reason);
        EXPECT_TRUE(rows.empty());
    }
}

TEST(HelperProtocolReplies, RowsTheRecordCannotCarryAreNotWritten) {
    std::array<std::uint8_t, kMaxReplySize> bytes;
    for (const std::int32_t state : {-1, 256}) {
        std::vector<TcpRow> rows = SomeRows(1);
        rows[0].State = state;
        EXPECT_EQ(EncodeReply(Chunk(0, true), rows, bytes), 0u) << "state " << state;
    }
    EXPECT_EQ(EncodeReply(Chunk(0, true), SomeRows(kRowsPerChunk + 1), bytes), 0u);
    EXPECT_EQ(EncodeReply({.Kind = ReplyKind::Closed}, SomeRows(1), bytes), 0u)
        << "only a chunk carries rows";
}

TEST(HelperProtocolReplies, AnythingButOneSoundReplyIsRejected) {
    std::array<std::uint8_t, kMaxReplySize> chunk{};
    const std::size_t chunkSize = EncodeReply(Chunk(1, false), SomeRows(kRowsPerChunk), chunk);
    ASSERT_GT(chunkSize, 0u);
    std::array<std::uint8_t, kMaxReplySize> small{};
    const std::size_t smallSize =
        EncodeReply({.Kind = ReplyKind::Ability, .Sequence = 1}, {}, small);

    using Bytes = std::vector<std::uint8_t>;
    const Bytes sound(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(chunkSize));
    const Bytes ability(small.begin(), small.begin() + static_cast<std::ptrdiff_t>(smallSize));
    const auto with = [](Bytes b, std::size_t at, std::uint8_t value) {
        b[at] = value;
        return b;
    };
    const struct {
        const char* name;
        Bytes bytes;
    } cases[] = {
        {"header cut", Bytes(ability.begin(), ability.begin() + 15)},
        {"one row short", Bytes(sound.begin(), sound.end() - kRowSize)},
        {"a byte too many",
         [&] {
             Bytes b = ability;
             b.push_back(0);
             return b;
         }()},
        {"other version", with(ability, 0, 2)},
        {"unknown kind", with(ability, 2, 0x88)},
        {"ability out of range", with(ability, 8, 4)},
        {"closed neither 0 nor 1", with(with(ability, 2, 0x83), 8, 2)},
        {"refusal none", with(with(ability, 2, 0xff), 8, 0)},
        {"chunk not full but not last", with(sound, 10, kRowsPerChunk - 1)},
        {"chunk of more rows than fit", with(with(sound, 10, 0x81), 12, 1)},
        {"chunk index past the last", with(with(sound, 8, 0), 9, kMaxChunks >> 8)},
        {"row family unknown", with(sound, kReplyHeaderSize + 24, 3)},
        {"row spare byte", with(sound, kReplyHeaderSize + kRowSize - 1, 1)},
        {"last row without cookie",
         [&] {
             Bytes b = sound;
             std::fill(b.end() - kRowSize, b.end() - kRowSize + 8, 0);
             return b;
         }()},
    };
    for (const auto& c : cases) {
        Reply reply;
        std::vector<TcpRow> rows = SomeRows(3);
        EXPECT_FALSE(DecodeReply(c.bytes, c.bytes.size(), reply, rows)) << c.name;
        EXPECT_EQ(rows, SomeRows(3)) << c.name << ": rows of a rejected chunk are not kept";
    }
    Reply reply;
    std::vector<TcpRow> rows;
    EXPECT_FALSE(DecodeReply(std::span(sound.data(), 40), sound.size(), reply, rows))
        << "a message the buffer cut is rejected";
}

}  // namespace
}  // namespace quarnel::platform
