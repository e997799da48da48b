// The conversation between the program and quarnel-helper: every record survives a round trip
// and nothing but a sound request is taken, whatever bytes arrive; and both sides over a real
// socketpair in one process, with a made-up table behind the helper's side, each facing a peer
// that sends what it should not.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <numeric>
#include <random>
#include <thread>
#include <tuple>
#include <utility>

#include "tests/platform/helper/Conversation.h"
#include "tests/support/TableRows.h"

namespace quarnel::platform {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// A connection of family, ports and interface at the edges of their ranges; an IPv6 socket's
// addresses IPv4-mapped when mapped.
TcpRow Named(SocketFamily family, std::uint64_t cookie, bool mapped = false) {
    const bool ipv4 = family == SocketFamily::IPv4 || mapped;
    return {TcpState::Unknown,
            testsupport::Address(ipv4 ? "127.0.0.1" : "2001:db8::ff"),
            65535,
            testsupport::Address(ipv4 ? "13.12.11.10" : "fe80::1:2"),
            0,
            family,
            0xfedcba98,
            cookie};
}

Bytes Encoded(const Request& request) {
    RequestBytes bytes;
    EXPECT_TRUE(EncodeRequest(request, bytes));
    return Bytes(bytes.begin(), bytes.end());
}

// Decodes bytes as the helper reads a message: into a buffer of the largest request.
Refusal Decode(const Bytes& bytes, Request& request) {
    return DecodeRequest(std::span(bytes.data(), std::min(bytes.size(), kMaxRequestSize)),
                         bytes.size(), request);
}

// Every request survives a round trip; and, seeded and bounded in count so that every run is
// the same run, under the sanitizers: whatever the decoder takes from a request with a few bytes
// or its length changed must be exactly what the encoder writes for it.
TEST(HelperProtocol, RequestsAreTakenOnlyWhenTheyEncodeBackExactly) {
    std::vector<Bytes> sound;
    for (const Request& sent :
         {Request{RequestKind::ReadTable, 1, {}},
          {RequestKind::CanCloseConnections, 0xffffffff, {}},
          {RequestKind::WatchTable, 2, {}},
          {RequestKind::ReadTableChanges, 4, {}},
          {RequestKind::CloseConnection, 7, Named(SocketFamily::IPv4, 1)},
          {RequestKind::CloseConnection, 8, Named(SocketFamily::IPv6, ~0ull - 1)},
          {RequestKind::CloseConnection, 9, Named(SocketFamily::IPv6, 2, true)}}) {
        sound.push_back(Encoded(sent));
        Request got;
        EXPECT_EQ(Decode(sound.back(), got), Refusal::None);
        EXPECT_EQ(std::tie(got.Kind, got.Sequence, got.Connection),
                  std::tie(sent.Kind, sent.Sequence, sent.Connection));
    }
    std::mt19937_64 random(0x51a7e);
    std::map<Refusal, int> outcomes;
    for (int round = 0; round < 200000; ++round) {
        // Small values and all-ones hit the edges of the fields' ranges.
        Bytes bytes = sound[random() % sound.size()];
        for (int changes = 1 + static_cast<int>(random() % 3); changes > 0; --changes) {
            if (random() % 8 == 0) {
                bytes.resize(random() % (bytes.size() + 2));
            } else if (!bytes.empty()) {
                const std::uint8_t values[] = {
                    0, 1, 2, 3, 0x7f, 0x80, 0xff, static_cast<std::uint8_t>(random())};
                bytes[random() % bytes.size()] = values[random() % std::size(values)];
            }
        }
        Request request;
        const Refusal refusal = Decode(bytes, request);
        ++outcomes[refusal];
        if (refusal == Refusal::None) {
            ASSERT_EQ(Encoded(request), bytes) << "round " << round;
        } else {
            ASSERT_EQ(request.Connection, TcpRow{}) << "round " << round;
        }
    }
    EXPECT_EQ(outcomes.size(), 6u) << "a sound request or a refusal was never reached";
}

AddressPrefix Prefix(std::uint8_t last, std::uint8_t first = 0, std::uint8_t length = 128) {
    AddressPrefix prefix{};
    prefix.Network[0] = first;
    prefix.Network[15] = last;
    prefix.Length = length;
    return prefix;
}

// count different single addresses, in ascending order.
std::vector<AddressPrefix> ManyPrefixes(std::size_t count) {
    std::vector<AddressPrefix> prefixes(count);
    for (std::size_t i = 0; i < count; ++i) {
        prefixes[i].Network[1] = static_cast<std::uint8_t>(i >> 16);
        prefixes[i].Network[2] = static_cast<std::uint8_t>(i >> 8);
        prefixes[i].Network[3] = static_cast<std::uint8_t>(i);
    }
    return prefixes;
}

// Every part decoded and gathered as the helper does; the first refusal, if any.
Refusal DecodeParts(const std::vector<Bytes>& parts, Request& got) {
    RulesParts gathered;
    for (const Bytes& part : parts) {
        if (const Refusal refusal = Decode(part, got); refusal != Refusal::None) {
            return refusal;
        }
        if (const Refusal refusal = gathered.Take(got); refusal != Refusal::None) {
            return refusal;
        }
    }
    return Refusal::None;
}

// Rules travel whole, in parts, in one order whatever order they come in, and a part is taken
// only when it is exactly the next part of one set of rules.
TEST(HelperProtocol, RulesTravelWholeInPartsAndOnlyExactly) {
    const BlockingRules sent{{Prefix(9), Prefix(0, 0x20, 8), Prefix(1, 0xfe), Prefix(1), Prefix(9)},
                             {{65535, 65535}, {6000, 6063}, {80, 80}, {6064, 6070}},
                             {{443, 443}, {1, 1}}};
    std::vector<Bytes> parts;
    ASSERT_TRUE(EncodeRulesRequest(5, sent, parts));
    ASSERT_EQ(parts.size(), 1u);
    Request got;
    ASSERT_EQ(DecodeParts(parts, got), Refusal::None);
    EXPECT_EQ(std::tuple(got.Kind, got.Sequence), std::tuple(RequestKind::SetRules, 5u));
    const BlockingRules ordered{{Prefix(1), Prefix(9), Prefix(0, 0x20, 8), Prefix(1, 0xfe)},
                                {{80, 80}, {6000, 6070}, {65535, 65535}},
                                {{1, 1}, {443, 443}}};
    EXPECT_EQ(got.Rules, ordered);

    // As many prefixes as the kernel filter holds, in full parts, and no more.
    BlockingRules most{ManyPrefixes(kMaxRuleAddresses + 1), {}, {{443, 443}}};
    // One more: the ports go alone, marked so.
    EXPECT_FALSE(EncodeRulesRequest(6, most, parts));
    ASSERT_EQ(parts.size(), 1u);
    ASSERT_EQ(DecodeParts(parts, got), Refusal::None);
    EXPECT_EQ(got.Rules, (BlockingRules{{}, {}, {{443, 443}}}));
    EXPECT_TRUE(got.AddressesLeftOut);
    const Bytes leftOut = parts[0];
    most.AllowedAddresses.pop_back();
    ASSERT_TRUE(EncodeRulesRequest(6, most, parts));
    ASSERT_EQ(parts.size(), kMaxRuleParts);
    EXPECT_EQ(parts[0].size(), kMaxRequestSize);
    ASSERT_EQ(DecodeParts(parts, got), Refusal::None);
    EXPECT_EQ(got.Rules, most);
    EXPECT_FALSE(got.AddressesLeftOut);
    // Parts out of order, or one left out, are no rules.
    EXPECT_EQ(DecodeParts({parts[0], parts[2]}, got), Refusal::Malformed);
    EXPECT_EQ(DecodeParts({parts[1]}, got), Refusal::Malformed);
    EXPECT_EQ(DecodeParts({parts[0], parts[0], parts[1]}, got), Refusal::None);  // begun anew

    ASSERT_TRUE(EncodeRulesRequest(7, sent, parts));
    const Bytes record = parts[0];
    const std::size_t first = kRequestSize + 2 * kPortBitmapSize;
    const auto changed = [&record](auto change) {
        Bytes bytes = record;
        change(bytes);
        return bytes;
    };
    const struct {
        Bytes request;
        Refusal reason;
    } cases[] = {
        {changed([](Bytes& b) { b.pop_back(); }), Refusal::Truncated},
        {changed([](Bytes& b) { b.push_back(0); }), Refusal::Oversized},
        {changed([](Bytes& b) { b[8] = 5; }), Refusal::Truncated},   // counts one prefix more
        {changed([](Bytes& b) { b[12] = 1; }), Refusal::Malformed},  // left out, yet there
        {changed([](Bytes& b) { b[12] = 2; }), Refusal::Malformed},  // more to come, not full
        {changed([](Bytes& b) { b[13] = 1; }), Refusal::Malformed},
        {changed([](Bytes& b) { b[14] = kMaxRuleParts; }), Refusal::Malformed},
        {changed([](Bytes& b) { b[39] = 1; }), Refusal::Malformed},
        {changed([](Bytes& b) { b[9] = 0x10, b[8] = 1; }), Refusal::Malformed},  // 4097
        {changed([&](Bytes& b) { b[first + 16] = 129; }), Refusal::Malformed},
        {changed([&](Bytes& b) { b[first + 16] = 8; }), Refusal::Malformed},  // bits past it
        // Out of order, or one prefix twice: no record is taken two ways.
        {changed([&](Bytes& b) { b[first] = 0xff; }), Refusal::Malformed},
        {changed([&](Bytes& b) {
             std::copy_n(b.begin() + static_cast<std::ptrdiff_t>(first), kRulePrefixSize,
                         b.begin() + static_cast<std::ptrdiff_t>(first + kRulePrefixSize));
         }),
         Refusal::Malformed},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Decode(c.request, got), c.reason);
        EXPECT_EQ(got.Rules, BlockingRules{});
    }
    Bytes notLeftOut = leftOut;
    notLeftOut[12] = 3;
    EXPECT_EQ(Decode(notLeftOut, got), Refusal::Malformed);
}

// Tables arrive whole or not at all, and the rows that changed at their places in as many parts as
// they need; serving goes on.
TEST(HelperConversation, TablesArriveWholeOrNotAtAllAndChangedRowsAtTheirPlaces) {
    FakeTable table;
    Served served(table);
    for (const std::size_t count :
         {std::size_t{0}, kRowsPerChunk, kRowsPerChunk + 1, kMaxTableRows, kMaxTableRows + 1}) {
        table.rows = ManyRows(count);
        const bool whole = count <= kMaxTableRows;
        std::vector<TcpRow> rows = ManyRows(3);
        bool read = !whole;
        ASSERT_TRUE(served.channel.ReadTable(rows, read)) << served.channel.Problem();
        EXPECT_EQ(read, whole) << count << " rows";
        EXPECT_TRUE(rows == (whole ? table.rows : ManyRows(3))) << count << " rows";
    }
    table.rows = ManyRows(5000);
    std::vector<TcpRow> rows;
    TableChanges changes;
    ReadResult result = ReadResult::Failed;
    ASSERT_TRUE(served.channel.ReadTableChanges(rows, changes, result));
    EXPECT_TRUE(result == ReadResult::Changed && changes.Whole && rows == table.rows);
    // More than a part holds; exactly a part (an empty part ends it); the table shrinking.
    const std::vector<TcpRow> others = ManyRows(9000);
    for (const std::size_t step : {std::size_t{2}, std::size_t{0}}) {
        std::vector<std::size_t> changed;
        for (std::size_t i = 0; step == 0 ? changed.size() < kRowsPerChunk : i < 4990; ++i) {
            if (step == 0 || i % step == 0) {
                changed.push_back(i);
                table.rows[i] = others[others.size() - 1 - i];
            }
        }
        table.rows.resize(4990);
        table.changed = changed;
        ASSERT_TRUE(served.channel.ReadTableChanges(rows, changes, result))
            << served.channel.Problem();
        EXPECT_EQ(result, ReadResult::Changed);
        EXPECT_FALSE(changes.Whole);
        EXPECT_EQ(changes.Rows, changed);
        EXPECT_TRUE(rows == table.rows) << step;
    }
}

struct FakeFilter final : RulesFilter {
    bool SetRules(const BlockingRules& rules, FilterCause& why) override {
        given.push_back(rules);
        why = refuse;
        return refuse.Why == FilterCause::Kind::None;
    }
    std::vector<BlockingRules> given;
    FilterCause refuse;
};

// The rules reach the helper's filter and its table, and the program learns whether the filter
// holds them; of rules the filter could never hold only the ports are sent: the table watches
// them, and the filter is told to block nothing instead.
TEST(HelperConversation, RulesReachTheFilterAndTheProgramLearnsWhetherItHoldsThem) {
    FakeTable table;
    FakeFilter filter;
    const BlockingRules rules{{Prefix(1)}, {{22, 22}}, {}};
    const BlockingRules many{ManyPrefixes(kPrefixesPerPart + 1), {{6000, 6063}}, {}};
    const BlockingRules tooMany{ManyPrefixes(kMaxRuleAddresses + 1), {}, {{443, 443}}};
    {
        Served served(table, stderr, &filter);
        HelperChannel channel(served.pair.program.Get(), 5s);
        FilterCause filtered{FilterCause::Kind::NoRights};
        ASSERT_TRUE(channel.SetRules(rules, filtered)) << channel.Problem();
        EXPECT_EQ(filtered, FilterCause{});
        filter.refuse = {FilterCause::Kind::Rejected, ENOMEM};
        ASSERT_TRUE(channel.SetRules(rules, filtered)) << channel.Problem();
        EXPECT_EQ(filtered, filter.refuse);
        filter.refuse = {};
        ASSERT_TRUE(channel.SetRules(many, filtered)) << channel.Problem();  // in two parts
        EXPECT_EQ(filtered, FilterCause{});
        ASSERT_TRUE(channel.SetRules(tooMany, filtered)) << channel.Problem();
        EXPECT_EQ(filtered.Why, FilterCause::Kind::TooManyAddresses);
    }
    EXPECT_EQ(filter.given, (std::vector<BlockingRules>{rules, rules, many, {}}));
    EXPECT_EQ(table.rulesGiven, (std::vector<BlockingRules>{rules, rules, many,
                                                            BlockingRules{{}, {}, {{443, 443}}}}));

    // Without a filter, why there is none.
    Served served(table, stderr, nullptr, {FilterCause::Kind::NoCgroup2});
    HelperChannel channel(served.pair.program.Get(), 5s);
    FilterCause filtered;
    ASSERT_TRUE(channel.SetRules(rules, filtered)) << channel.Problem();
    EXPECT_EQ(filtered.Why, FilterCause::Kind::NoCgroup2);
}

// The bytes of reply with count rows; a TableChanges reply's at the indices from first on.
Bytes ReplyBytes(const Reply& reply, std::size_t count, std::uint32_t first = 0) {
    std::array<std::uint8_t, kMaxReplySize> bytes{};
    std::vector<std::uint32_t> indices(reply.Kind == ReplyKind::TableChanges ? count : 0);
    std::iota(indices.begin(), indices.end(), first);
    const std::size_t size = EncodeReply(reply, ManyRows(count), bytes, indices);
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
}

// A chunk of count rows, the last unless full, answering request sequence.
Bytes Chunk(std::uint16_t index, std::size_t count, std::uint32_t sequence = 1) {
    return ReplyBytes({.Kind = ReplyKind::TableChunk,
                       .Sequence = sequence,
                       .ChunkIndex = index,
                       .LastChunk = count < kRowsPerChunk},
                      count);
}

TEST(HelperConversation, AWrongHelperIsNoticedWithItsFault) {
    const Bytes full = Chunk(0, kRowsPerChunk);
    Bytes notLast = Chunk(0, kRowsPerChunk - 1);
    notLast[12] = 0;  // consistent in itself, one row fewer and counted so, but not the last
    // Changed rows at indices from first on in part index of the answer to request sequence
    // (0: sent unasked), of a table of 5000 rows.
    const auto changed = [](std::uint32_t sequence, std::size_t count, std::uint32_t first = 4,
                            std::uint16_t index = 0) {
        return ReplyBytes({.Kind = ReplyKind::TableChanges,
                           .Sequence = sequence,
                           .ChunkIndex = index,
                           .TableRows = 5000},
                          count, first);
    };
    const auto wrong = ChannelFailure::WrongAnswer;
    const struct {
        std::vector<Bytes> replies;  // queued before the program asks its first question
        ChannelFailure failure;      // Ended: the helper hangs up after the replies
        std::string problem;
    } cases[] = {
        {{}, ChannelFailure::NoAnswer, "did not answer within 250 ms"},
        {{full}, ChannelFailure::Ended, "ended"},
        {{Chunk(0, 1, 7)}, wrong, "answered request 7 instead of 1"},
        {{Chunk(1, 1)}, wrong, "sent part 1 of the table for part 0"},
        {{{1, 0, 0x81, 0}}, wrong, "sent a message that is no answer (4 bytes)"},
        {{Bytes(full.begin(), full.end() - kRowSize)},
         wrong,
         "sent a message that is no answer (57304 bytes)"},
        {{notLast}, wrong, "sent a message that is no answer (57304 bytes)"},
        {{changed(1, 1)}, wrong, "sent changed rows that answer no question asked"},
        // Sent unasked: a row past the end of the table, rows in a part out of turn or going
        // back, an answer between the parts of a sending.
        {{changed(0, 2, 4999)}, wrong, "sent a message that is no answer (128 bytes)"},
        {{changed(0, 1, 4, 1)}, wrong, "sent changed rows unasked out of order"},
        {{changed(0, kRowsPerChunk), changed(0, 1, 4, 1)},
         wrong,
         "sent changed rows unasked out of order"},
        {{changed(0, kRowsPerChunk), Chunk(0, 1)}, wrong, "broke off changed rows it sent unasked"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.problem);
        SocketPair pair;
        ASSERT_TRUE(pair.made);
        for (const Bytes& reply : c.replies) {
            ASSERT_EQ(::send(pair.helper.Get(), reply.data(), reply.size(), 0), std::ssize(reply));
        }
        // Whatever was sent before still arrives; then the conversation ends.
        ASSERT_TRUE(c.failure != ChannelFailure::Ended ||
                    ::shutdown(pair.helper.Get(), SHUT_WR) == 0);
        // Ample for what was sent, also on a busy machine.
        HelperChannel channel(pair.program.Get(), 250ms);
        std::vector<TcpRow> rows = ManyRows(1);
        bool read = true;
        EXPECT_FALSE(channel.ReadTable(rows, read));
        EXPECT_EQ(channel.Failure(), c.failure);
        EXPECT_EQ(channel.Problem(), c.problem);
        EXPECT_FALSE(read);
        EXPECT_EQ(rows, ManyRows(1));
    }
}

// The time limit is the whole answer's: a helper that sends a part well within it, then the
// next, and so on, is given up all the same once it falls behind the small allowance per part.
TEST(HelperConversation, ATrickledAnswerIsLateAsAWhole) {
    SocketPair pair;
    ASSERT_TRUE(pair.made);
    std::thread trickle([&pair] {
        constexpr std::uint16_t parts = 10;
        for (std::uint16_t index = 0; index < parts; ++index) {
            std::this_thread::sleep_for(3 * HelperChannel::kPartAllowance);
            const Bytes part = Chunk(index, index + 1 == parts ? 1 : kRowsPerChunk);
            if (::send(pair.helper.Get(), part.data(), part.size(), MSG_NOSIGNAL) < 0) {
                return;  // the program gave up and hung up
            }
        }
    });
    HelperChannel channel(pair.program.Get(), 50ms);
    std::vector<TcpRow> rows;
    bool read = true;
    EXPECT_FALSE(channel.ReadTable(rows, read));
    EXPECT_EQ(channel.Problem(), "did not answer within 50 ms");
    pair.program.Reset();
    trickle.join();
}

// A close is carried out only when it is a sound request that names a connection, not a listener
// (the kernel closes those too); anything else is refused, logged and never acted on.
TEST(HelperConversation, OnlyASoundCloseOfAConnectionIsActedOnAndServingGoesOn) {
    using Found = SocketLookup::Found;
    TcpRow named = ManyRows(2)[1];
    RequestBytes sound;
    ASSERT_TRUE(EncodeRequest({RequestKind::CloseConnection, 9, named}, sound));
    named.State = TcpState::Unknown;  // the state plays no part in a close
    // The sound close with count bytes from at set to value, then cut or grown to size.
    const auto with = [&](std::size_t at, std::uint8_t value, std::size_t count = 1,
                          std::size_t size = kRequestSize) {
        Bytes bytes(sound.begin(), sound.end());
        std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), count, value);
        bytes.resize(size);
        return bytes;
    };
    const struct {
        Bytes request;
        Refusal reason;
        Found found = Found::Socket;
        TcpState state = TcpState::Established;
    } cases[] = {
        {with(0, 1, 0, 0), Refusal::Truncated},
        {with(0, 1, 0, 4096), Refusal::Oversized},
        {with(0, 1, 1, 40), Refusal::WrongVersion},  // the IPv4-only layout of version 1
        {with(2, 5), Refusal::UnknownKind},          // the retired read "unless unchanged"
        {with(57, 17), Refusal::Malformed},          // a protocol byte: a close is of TCP only
        {with(56, 2), Refusal::Malformed},           // a family of neither kind
        {with(8 + 18, 0), Refusal::Malformed},       // an IPv4 socket's local address not mapped
        // With this cookie the kernel would close whatever the addresses and ports find.
        {with(8, 0xff, 8), Refusal::Malformed},
        {with(2, 1), Refusal::Malformed},  // a read that names a connection
        {with(0, 1, 0), Refusal::Malformed, Found::Socket, TcpState::Listening},
        {with(0, 1, 0), Refusal::None},
        {with(0, 1, 0), Refusal::None, Found::Socket,
         TcpState::CloseWait},                            // closing on the far side
        {with(0, 1, 0), Refusal::None, Found::NoSocket},  // gone already
        {with(0, 1, 0), Refusal::None, Found::Failed},    // not closed unchecked
    };
    FakeTable table;
    char* logged = nullptr;
    std::size_t loggedSize = 0;
    std::FILE* log = ::open_memstream(&logged, &loggedSize);
    {
        Served served(table, log);
        const int program = served.pair.program.Get();
        for (const auto& c : cases) {
            table.found = c.found;
            table.socketState = c.state;
            const std::size_t closes = table.closeRequests.size();
            ASSERT_EQ(::send(program, c.request.data(), c.request.size(), 0),
                      std::ssize(c.request));
            std::array<std::uint8_t, kMaxReplySize> bytes{};
            const auto length = static_cast<std::size_t>(
                std::max<ssize_t>(0, ::recv(program, bytes.data(), bytes.size(), 0)));
            Reply reply;
            std::vector<TcpRow> rows;
            ASSERT_TRUE(DecodeReply(std::span(bytes.data(), length), length, reply, rows));
            const bool refused = c.reason != Refusal::None;
            const bool acted = !refused && c.found == Found::Socket;
            EXPECT_EQ(reply.Kind, refused ? ReplyKind::Refused : ReplyKind::Closed);
            EXPECT_EQ(std::tuple(reply.Reason, reply.Closed), std::tuple(c.reason, acted));
            EXPECT_EQ(reply.Sequence, c.request.size() >= 8 ? 9u : 0u);
            EXPECT_EQ(table.closeRequests.size(), closes + acted) << "a refusal acted on";
        }
    }
    EXPECT_EQ(table.closeRequests, std::vector(2, named));
    std::fclose(log);
    const std::string text(logged, loggedSize);
    std::free(logged);
    // Each refusal and the failed look-up, once.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 11) << text;
    EXPECT_PRED_FORMAT2(testing::IsSubstring, "(64 bytes): names a listener", text);
}

}  // namespace
}  // namespace quarnel::platform
