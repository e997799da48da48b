// The conversation between the program and quarnel-helper, both sides over a real socketpair in
// one process with a made-up table behind the helper's side: what each takes of a peer that sends
// what it should not, what the helper sends unasked, and its audit of the closes it performs.
// (Whatever bytes arrive as a request: tests/fuzz/HelperRequestFuzz.cpp.)

#include "platform/linux/helper/CloseAudit.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <span>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/linux/UniqueFd.h"
#include "platform/linux/client/HelperChannel.h"
#include "platform/linux/helper/HelperServer.h"
#include "tests/support/Rows.h"

namespace quarnel::platform {
namespace {

// A made-up table behind the helper's side, the sockets it looks up and its filter.
// The owner of ManyRows' rows with pid (from 1 on): names of every length, 0 to 15.
ConnectionOwner ManyRowsOwner(std::uint32_t pid) {
    ConnectionOwner owner{pid, (pid - 1) % 3, {}};
    std::string("program-name-15").copy(owner.Command.data(), (pid - 1) % 16);
    return owner;
}

struct FakeTable final : SourceDefaults<>, SocketLookup, RulesFilter {
    ConnectionOwner Owner(const TcpRow& row) const override {
        return row.OwnerPid != 0 ? ManyRowsOwner(row.OwnerPid) : ConnectionOwner{};
    }
    bool CloseConnection(const TcpRow& row) override {
        closeRequests.push_back(row);
        return true;
    }
    // Only the rows named in changed go to out, as from a table kept from the kernel's reports;
    // when none are named, the whole table, or for a table that tells of its changes only when
    // wholeChange says so.
    ReadResult Read(std::vector<TcpRow>& out, TableChanges* changes) override {
        Heard();
        if (changes == nullptr || changed.empty()) {
            if (changes != nullptr && !std::exchange(wholeChange, !tellsChanges)) {
                return ReadResult::Unchanged;
            }
            out = rows;
            return Whole(true, changes);
        }
        out.resize(rows.size());
        for (const std::size_t i : changed) {
            out[i] = rows[i];
        }
        changes->Whole = false;
        changes->Rows = std::exchange(changed, {});
        return ReadResult::Changed;
    }
    CloseAbility CanCloseConnections() override { return CloseAbility::NotSupported; }
    void SetRules(const BlockingRules& rules) override { rulesGiven.push_back(rules); }
    bool SetRules(const BlockingRules& rules, FilterCause& why) override {
        filterGiven.push_back(rules);
        why = refuse;
        return refuse.Why == FilterCause::Kind::None;
    }
    Found LookUp(const TcpRow&, TcpState& state) override {
        state = socketState;
        return found;
    }
    Found Find(TcpRow& row) override {
        row.State = socketState;
        return found;
    }
    // Readable from Announce until the next read, as a table kept from the kernel's reports
    // tells of changes; unless tellsChanges, a table that cannot tell.
    int WaitDescriptor() const override { return tellsChanges ? news.Get() : -1; }
    void Announce() const {
        const std::uint64_t one = 1;
        (void)!::write(news.Get(), &one, sizeof one);  // fails only once counted past 2^64
    }
    void Heard() const {
        std::uint64_t count = 0;
        (void)!::read(news.Get(), &count, sizeof count);  // nothing to read: nothing announced
    }

    std::vector<TcpRow> rows, closeRequests;
    std::vector<BlockingRules> rulesGiven, filterGiven;
    FilterCause refuse;
    std::vector<std::size_t> changed;
    Found found = Found::Socket;
    TcpState socketState = TcpState::Established;
    bool tellsChanges = false;
    bool wholeChange = true;
    UniqueFd news{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
};

std::vector<TcpRow> ManyRows(std::size_t count) {
    std::vector<TcpRow> rows(count);
    for (std::uint32_t n = 0; n < count; ++n) {
        const auto i = static_cast<std::int32_t>(n);
        rows[n] = {static_cast<TcpState>(i % 13),
                   SocketFamily::IPv4,
                   MappedIPv4(n),
                   0,  // not translated
                   i % 65536,
                   MappedIPv4(~n),
                   80,
                   n % 5,
                   n % 4 != 0 ? n + 1 : 0,  // some owners not known
                   0,
                   (1ull << 40) + n};
        if (n % 3 == 0) {
            // An IPv6 socket: its addresses as the kernel has them, some of them IPv4-mapped.
            rows[n].Family = SocketFamily::IPv6;
            rows[n].LocalAddress[0] = static_cast<std::uint8_t>(n % 2 ? 0x20 : 0);
            rows[n].RemoteAddress[15] = static_cast<std::uint8_t>(n);
        }
    }
    return rows;
}

struct SocketPair {
    int ends[2] = {-1, -1};
    const bool made = ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) == 0;
    UniqueFd program{ends[0]}, helper{ends[1]};
};

// The helper's side serving table on its own thread until the program's end closes.
struct Served {
    explicit Served(FakeTable& table, std::FILE* log = stderr, RulesFilter* filter = nullptr,
                    FilterCause filtered = {FilterCause::Kind::NotBuilt},
                    HelperServer::CloseAudit audit = {}, PollingCause polling = {})
        : server([this, &table, log, filter, filtered, audit, polling] {
              HelperServer served(pair.helper.Get(), table, table, log, polling, filter, filtered);
              served.AuditClosesTo(audit);
              servedToTheEnd = served.Run();
          }) {}
    ~Served() {
        pair.program.Reset();  // the end of the conversation
        server.join();
        EXPECT_TRUE(servedToTheEnd) << "the server saw a failing socket, not the end";
    }

    SocketPair pair;
    bool servedToTheEnd = false;
    std::thread server;
    HelperChannel channel{pair.program.Get(),
                          std::chrono::seconds(30)};  // the largest table, under the sanitizers
};

using namespace std::chrono_literals;
using testsupport::Row;
using Bytes = std::vector<std::uint8_t>;

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

// Tables arrive whole or not at all, and the rows that changed at their places; serving goes on.
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
        EXPECT_TRUE(read == whole && rows == (whole ? table.rows : ManyRows(3))) << count;
    }
    // After a table too large the program holds none: the next answer is whole. Then exactly a
    // part of changed rows (an empty part ends them), the table shrinking.
    table.rows = ManyRows(5000);
    std::vector<TcpRow> rows;
    TableChanges changes;
    ReadResult result = ReadResult::Failed;
    ASSERT_TRUE(served.channel.ReadTableChanges(rows, changes, result));
    EXPECT_TRUE(result == ReadResult::Changed && changes.Whole && rows == table.rows);
    // Each row's owner came with it.
    for (const std::uint32_t pid : {2u, 3u, 16u, 1023u}) {
        EXPECT_EQ(served.channel.Owner(pid), ManyRowsOwner(pid)) << pid;
    }
    const std::vector<TcpRow> others = ManyRows(9000);
    for (std::size_t i = 0; i < kRowsPerChunk; ++i) {
        table.changed.push_back(2 * i);
        table.rows[2 * i] = others[others.size() - 1 - i];
    }
    const std::vector<std::size_t> changed = table.changed;
    table.rows.resize(4990);
    ASSERT_TRUE(served.channel.ReadTableChanges(rows, changes, result)) << served.channel.Problem();
    EXPECT_TRUE(result == ReadResult::Changed && !changes.Whole && changes.Rows == changed);
    EXPECT_TRUE(rows == table.rows);
}

// Rules reach the helper's filter and its table whole, in as many parts as they need and in one
// order whatever order they come in, and the program learns whether the filter holds them; of rules
// the filter could never hold only the ports are sent: the table watches them, and the filter is
// told to block nothing instead.
TEST(HelperConversation, RulesReachTheFilterWholeAndTheProgramLearnsWhetherItHoldsThem) {
    FakeTable table;  // and the filter
    const BlockingRules rules{
        {Prefix(9), Prefix(0, 0x20, 8), Prefix(1, 0xfe), Prefix(1), Prefix(9)},
        {{65535, 65535}, {6000, 6063}, {80, 80}, {6064, 6070}},
        {{443, 443}, {1, 1}}};
    const BlockingRules ordered{{Prefix(1), Prefix(9), Prefix(0, 0x20, 8), Prefix(1, 0xfe)},
                                {{80, 80}, {6000, 6070}, {65535, 65535}},
                                {{1, 1}, {443, 443}}};
    // As many prefixes as the kernel filter holds, in every part there is; then one more.
    const BlockingRules most{ManyPrefixes(kMaxRuleAddresses), {{6000, 6063}}, {}};
    const BlockingRules tooMany{ManyPrefixes(kMaxRuleAddresses + 1), {}, {{443, 443}}};
    {
        Served served(table, stderr, &table);
        HelperChannel& channel = served.channel;
        FilterCause filtered{FilterCause::Kind::NoRights};
        ASSERT_TRUE(channel.SetRules(rules, filtered)) << channel.Problem();
        EXPECT_EQ(filtered, FilterCause{});
        table.refuse = {FilterCause::Kind::Rejected, ENOMEM};
        ASSERT_TRUE(channel.SetRules(rules, filtered)) << channel.Problem();
        EXPECT_EQ(filtered, table.refuse);
        table.refuse = {};
        ASSERT_TRUE(channel.SetRules(most, filtered)) << channel.Problem();
        EXPECT_EQ(filtered, FilterCause{});
        ASSERT_TRUE(channel.SetRules(tooMany, filtered)) << channel.Problem();
        EXPECT_EQ(filtered.Why, FilterCause::Kind::TooManyAddresses);
    }
    EXPECT_EQ(table.filterGiven, (std::vector<BlockingRules>{ordered, ordered, most, {}}));
    EXPECT_EQ(table.rulesGiven, (std::vector<BlockingRules>{ordered, ordered, most,
                                                            BlockingRules{{}, {}, {{443, 443}}}}));

    // Without a filter, why there is none; where the kernel's reports are missing, why, and
    // whether the packet filter's table tells of blocked connections instead.
    Served served(table, stderr, nullptr, {FilterCause::Kind::NoCgroup2}, {},
                  {PollingCause::Kind::NoRights, 0, true});
    FilterCause filtered;
    ASSERT_TRUE(served.channel.SetRules(rules, filtered)) << served.channel.Problem();
    EXPECT_EQ(filtered.Why, FilterCause::Kind::NoCgroup2);
    PollingCause polling;
    ASSERT_TRUE(served.channel.Watch(polling)) << served.channel.Problem();
    EXPECT_TRUE(polling.Why == PollingCause::Kind::NoRights && polling.Logged);
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
    Bytes ownerless = Chunk(0, 2), unended = Chunk(0, 2);
    ownerless[kReplyHeaderSize + 60] = 7;                // an owner not known, yet with a uid
    unended[kReplyHeaderSize + 2 * kRowSize - 1] = 'x';  // a program's name without its end
    // Changed rows at indices from first on in part index of the answer to request sequence (0:
    // sent unasked), of a table of 5000 rows.
    const auto changed = [](std::uint32_t sequence, std::size_t count, std::uint32_t first = 4,
                            std::uint16_t index = 0) {
        return ReplyBytes({.Kind = ReplyKind::TableChanges,
                           .Sequence = sequence,
                           .ChunkIndex = index,
                           .TableRows = 5000},
                          count, first);
    };
    // A table of 20 parts.
    std::vector<Bytes> table;
    for (std::uint16_t index = 0; index < 20; ++index) {
        table.push_back(Chunk(index, index == 19 ? 1 : kRowsPerChunk));
    }
    const auto wrong = ChannelFailure::WrongAnswer;
    const struct {
        std::vector<Bytes> replies;
        ChannelFailure failure;  // Ended: the helper hangs up after the replies
        std::string problem;
        std::chrono::milliseconds gap{0};  // before each reply
    } cases[] = {
        {{}, ChannelFailure::NoAnswer, "did not answer within 250 ms"},
        {{full}, ChannelFailure::Ended, "ended"},
        {{Chunk(0, 1, 7)}, wrong, "answered request 7 instead of 1"},
        {{Chunk(1, 1)}, wrong, "sent part 1 of the table for part 0"},
        {{notLast}, wrong, "sent a message that is no answer (81856 bytes)"},
        {{ownerless}, wrong, "sent a message that is no answer (176 bytes)"},
        {{unended}, wrong, "sent a message that is no answer (176 bytes)"},
        {{changed(1, 1)}, wrong, "sent changed rows that answer no question asked"},
        // Sent unasked: a row past the end of the table, rows in a part out of turn or going back,
        // an answer between the parts of a sending.
        {{changed(0, 2, 4999)}, wrong, "sent a message that is no answer (176 bytes)"},
        {{changed(0, 1, 4, 1)}, wrong, "sent changed rows unasked out of order"},
        {{changed(0, kRowsPerChunk), changed(0, 1, 4, 1)},
         wrong,
         "sent changed rows unasked out of order"},
        {{changed(0, kRowsPerChunk), Chunk(0, 1)}, wrong, "broke off changed rows it sent unasked"},
        // The time limit is the whole answer's: parts sent well within it, one after the other, are
        // late all the same once they fall behind the small allowance per part.
        {table, ChannelFailure::NoAnswer, "did not answer within 250 ms",
         3 * HelperChannel::kPartAllowance},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.problem);
        SocketPair pair;
        ASSERT_TRUE(pair.made);
        std::thread helper([&pair, &c] {
            for (const Bytes& reply : c.replies) {
                std::this_thread::sleep_for(c.gap);
                if (::send(pair.helper.Get(), reply.data(), reply.size(), MSG_NOSIGNAL) < 0) {
                    return;  // the program gave up and hung up
                }
            }
            // Whatever was sent before still arrives; then the conversation ends.
            if (c.failure == ChannelFailure::Ended) {
                EXPECT_EQ(::shutdown(pair.helper.Get(), SHUT_WR), 0);
            }
        });
        // Ample for what was sent, also on a busy machine.
        HelperChannel channel(pair.program.Get(), 250ms);
        std::vector<TcpRow> rows = ManyRows(1);
        bool read = true;
        EXPECT_FALSE(channel.ReadTable(rows, read));
        EXPECT_EQ(channel.Failure(), c.failure);
        EXPECT_EQ(channel.Problem(), c.problem);
        EXPECT_TRUE(!read && rows == ManyRows(1));
        pair.program.Reset();
        helper.join();
    }
}

// A request is acted on only when it is sound: a close only of a connection, not of a listener (the
// kernel closes those too), rules only whole and each part in turn. Anything else is refused with
// its reason, logged and never acted on, and serving goes on. Only a close performed is audited:
// not one of a socket gone already, nor one refused.
TEST(HelperConversation, OnlySoundRequestsAreActedOnAndServingGoesOn) {
    using Found = SocketLookup::Found;
    TcpRow named = ManyRows(2)[1];
    RequestBytes sound;
    ASSERT_TRUE(EncodeRequest({RequestKind::CloseConnection, 9, named}, sound));
    named.State = TcpState::Unknown;  // neither state nor owner plays a part in a close
    named.OwnerPid = 0;
    // The helper reads its own network namespace alone: a row of another is never sent.
    TcpRow other = named;
    other.State = TcpState::Established;
    other.Namespace = 4026532890;
    RequestBytes otherBytes{};
    EXPECT_FALSE(EncodeRequest({RequestKind::CloseConnection, 9, other}, otherBytes));
    std::array<std::uint8_t, kMaxReplySize> chunk{};
    EXPECT_EQ(EncodeReply({.Kind = ReplyKind::TableChunk}, std::span(&other, 1), chunk), 0u);
    // Rules of two prefixes in one part; of two parts; of too many prefixes.
    std::vector<Bytes> rules, parts, leftOut;
    ASSERT_TRUE(EncodeRulesRequest(9, {{Prefix(1), Prefix(9)}, {{80, 80}}, {{1, 1}}}, rules));
    ASSERT_TRUE(EncodeRulesRequest(9, {ManyPrefixes(kPrefixesPerPart + 1), {}, {}}, parts));
    ASSERT_FALSE(EncodeRulesRequest(9, {ManyPrefixes(kMaxRuleAddresses + 1), {}, {}}, leftOut));
    const Bytes close(sound.begin(), sound.end()), &record = rules[0];
    // bytes with count bytes from at set to value, then cut or grown to size.
    const auto with = [](Bytes bytes, std::size_t at, std::uint8_t value, std::size_t count = 1,
                         std::size_t size = SIZE_MAX) {
        std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), count, value);
        bytes.resize(size == SIZE_MAX ? bytes.size() : size);
        return bytes;
    };
    const std::size_t first = kRequestSize + 2 * kPortBitmapSize;  // the first prefix
    const struct {
        Bytes request;
        Refusal reason;
        Found found = Found::Socket;
        TcpState state = TcpState::Established;
    } cases[] = {
        {with(close, 0, 1, 0, 0), Refusal::Truncated},
        {with(close, 0, 1, 0, 4096), Refusal::Oversized},
        {with(close, 0, 1, 1, 40), Refusal::WrongVersion},  // the IPv4-only layout of version 1
        {with(close, 2, 5), Refusal::UnknownKind},          // the retired read "unless unchanged"
        {with(close, 8 + 18, 0), Refusal::Malformed},       // an IPv4 socket's address not mapped
        // With this cookie the kernel would close whatever the addresses and ports find.
        {with(close, 8, 0xff, 8), Refusal::Malformed},
        {with(close, 2, 1), Refusal::Malformed},  // a read that names a connection
        {close, Refusal::Malformed, Found::Socket, TcpState::Listening},
        {close, Refusal::None},
        {close, Refusal::None, Found::Socket, TcpState::CloseWait},  // closing on the far side
        {close, Refusal::None, Found::NoSocket},                     // gone already
        {close, Refusal::None, Found::Failed},                       // not closed unchecked
        {with(record, 0, 1, 0, record.size() - 1), Refusal::Truncated},
        {with(record, 0, 1, 0, record.size() + 1), Refusal::Oversized},
        {with(record, 8, 3), Refusal::Truncated},   // counts one prefix more
        {with(record, 12, 1), Refusal::Malformed},  // left out, yet there
        {with(record, 12, 2), Refusal::Malformed},  // more to come, not full
        {with(leftOut[0], 12, 3), Refusal::Malformed},
        {with(record, 14, kMaxRuleParts), Refusal::Malformed},
        {with(record, 9, 0x10), Refusal::Malformed},  // 4098 prefixes
        {with(record, first + 16, 129), Refusal::Malformed},
        {with(record, first + 16, 8), Refusal::Malformed},  // bits past the length
        // Out of order, or one prefix twice: no record is taken two ways.
        {with(record, first, 0xff), Refusal::Malformed},
        {with(record, first + kRulePrefixSize + 15, 1), Refusal::Malformed},
        {parts[1], Refusal::Malformed},  // a part not following the one before
    };
    FakeTable table;
    char* logged = nullptr;
    std::size_t loggedSize = 0;
    std::FILE* log = ::open_memstream(&logged, &loggedSize);
    long told = 0;
    std::vector<TcpRow> audited;
    {
        Served served(table, log, nullptr, {FilterCause::Kind::NotBuilt},
                      [&audited](const TcpRow& row) { audited.push_back(row); });
        const int program = served.pair.program.Get();
        for (const auto& c : cases) {
            table.found = c.found;
            table.socketState = c.state;
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
            told += refused || c.found == Found::Failed;
            EXPECT_EQ(std::tuple(reply.Kind, reply.Reason, reply.Closed, reply.Sequence),
                      std::tuple(refused ? ReplyKind::Refused : ReplyKind::Closed, c.reason, acted,
                                 c.request.size() >= 8 ? 9u : 0u));
        }
    }
    EXPECT_EQ(table.closeRequests, std::vector(2, named)) << "a refusal acted on";
    EXPECT_EQ(audited, std::vector(2, named)) << "a close audited that was not performed";
    EXPECT_EQ(table.rulesGiven, std::vector<BlockingRules>{}) << "refused rules taken";
    std::fclose(log);
    const std::string text(logged, loggedSize);
    std::free(logged);
    // Each refusal and the failed look-up, once.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), told) << text;
    EXPECT_PRED_FORMAT2(testing::IsSubstring, "(64 bytes): names a listener", text);
}

// The requester is the process at the other end of the socket, with its user's name; the entry
// writes addresses as quarneld does.
TEST(CloseAudit, NamesTheRequestingUserAndTheConnectionAsTheServiceDoes) {
    SocketPair pair;
    ASSERT_TRUE(pair.made);
    Requester requester;
    std::string problem;
    ASSERT_TRUE(RequesterOf(pair.helper.Get(), requester, problem)) << problem;
    EXPECT_EQ(requester.Uid, ::getuid());
    EXPECT_EQ(requester.Pid, ::getpid());
    const passwd* user = ::getpwuid(::getuid());
    EXPECT_EQ(requester.Name, user != nullptr ? user->pw_name : std::to_string(::getuid()));
    Requester unknown;
    EXPECT_FALSE(RequesterOf(-1, unknown, problem));
    EXPECT_FALSE(problem.empty());

    // A dual-stack socket's IPv4 connection as IPv4.
    const Requester alice{1000, 4242, "alice"};
    EXPECT_EQ(CloseAuditFields(Row(TcpState::Established, "::ffff:10.89.0.20", 9090,
                                   "::ffff:10.89.0.5", 40000, 0, SocketFamily::IPv6),
                               alice),
              (std::vector<std::string>{
                  "MESSAGE=closed IPv4 10.89.0.20:9090 -> 10.89.0.5:40000 at the request of alice "
                  "(uid 1000, pid 4242)",
                  "PRIORITY=5", "MESSAGE_ID=791490d90f664ab9a4de19bf7681fc69",
                  "SYSLOG_IDENTIFIER=quarnel-helper", "QUARNEL_FAMILY=IPv4",
                  "QUARNEL_LOCAL=10.89.0.20:9090", "QUARNEL_REMOTE=10.89.0.5:40000",
                  "QUARNEL_REQUESTER_UID=1000", "QUARNEL_REQUESTER_USER=alice",
                  "QUARNEL_REQUESTER_PID=4242"}));
    EXPECT_EQ(CloseAuditFields(
                  Row(TcpState::Established, "fd00:89::10", 37222, "fd00:89::20", 9090), alice)[0],
              "MESSAGE=closed IPv6 [fd00:89::10]:37222 -> [fd00:89::20]:9090 at the request of "
              "alice (uid 1000, pid 4242)");
}

// Row by row, the changes come without a question and land where a read would put them: several
// sendings in a row (the later one cutting the table short), one of many parts, and sendings that
// came before the answer to a question. Where only the whole table tells what changed, the helper
// tells the program to read, sends nothing more until it does and answers that read whole; rows
// it sent before a whole answer are older than it and dropped.
TEST(HelperNews, ChangedRowsComeUnaskedAndLandWhereAReadPutsThem) {
    FakeTable table;  // one that tells of its changes
    table.tellsChanges = true;
    table.rows = ManyRows(10);
    Served served(table);
    HelperChannel& channel = served.channel;
    std::vector<TcpRow> rows;
    TableChanges changes;
    ReadResult result = ReadResult::Failed;
    // Waits for the helper to send something, and takes it; whether it told to read.
    const auto news = [&] {
        pollfd sent{served.pair.program.Get(), POLLIN, 0};
        EXPECT_EQ(::poll(&sent, 1, 5000), 1) << "the helper sent nothing";
        bool told = false;
        EXPECT_TRUE(channel.TakeNews(told)) << channel.Problem();
        return told;
    };
    // Changes the rows at these indices (to rows of another table) and the row count, and lets
    // the helper know as the kernel's reports would; none given: the whole table changed. The
    // indices of the rows changed, the new ones among them.
    const std::vector<TcpRow> others = ManyRows(5000);
    std::size_t generation = 0;
    const auto change = [&](std::vector<std::size_t> indices, std::size_t count) {
        for (std::size_t i = table.rows.size(); i < count && !indices.empty(); ++i) {
            indices.push_back(i);
        }
        std::sort(indices.begin(), indices.end());
        indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
        table.rows.resize(count, others.front());
        for (const std::size_t i : indices) {
            table.rows[i] = others[(i + 7 * ++generation) % others.size()];
        }
        table.wholeChange = indices.empty();
        table.changed = indices;
        table.Announce();
        return indices;
    };
    PollingCause polling{PollingCause::Kind::NotBuilt, 0, true};
    ASSERT_TRUE(channel.Watch(polling) && polling.Why == PollingCause::Kind::None &&
                !polling.Logged)
        << channel.Problem();
    // Before the program holds the table: word to read it, answered whole.
    table.Announce();
    EXPECT_TRUE(news()) << "rows sent to a program that holds none";
    ASSERT_TRUE(channel.ReadTableChanges(rows, changes, result));
    EXPECT_TRUE(result == ReadResult::Changed && changes.Whole && rows == table.rows);

    change({9, 4}, 12);
    EXPECT_FALSE(news());
    change({3}, 8);  // row 9, changed before, is gone
    EXPECT_FALSE(news());
    ASSERT_TRUE(channel.ApplyPushed(rows, changes));
    EXPECT_TRUE(!changes.Whole && changes.Rows == std::vector<std::size_t>({3, 4}));
    EXPECT_TRUE(rows == table.rows);
    EXPECT_FALSE(channel.ApplyPushed(rows, changes)) << "applied twice";

    std::vector<std::size_t> many;
    for (std::size_t i = 0; i <= kRowsPerChunk; ++i) {
        many.push_back(2 * i);
    }
    many = change(many, 2 * kRowsPerChunk + 5);
    // Its parts may come apart: applied once all are there.
    while (!channel.ApplyPushed(rows, changes)) {
        EXPECT_FALSE(news());
    }
    EXPECT_EQ(changes.Rows, many);
    EXPECT_TRUE(rows == table.rows);

    // Sent before the question: the answer comes after them and both land; sent before a
    // question answered unchanged, they are what changed.
    for (const auto& [sent, asked, changed] :
         {std::tuple<std::size_t, std::vector<std::size_t>, std::vector<std::size_t>>{
              1, {0, 5}, {0, 1, 5}},
          {6, {}, {6}}}) {
        change({sent}, 2 * kRowsPerChunk + 4);
        EXPECT_FALSE(news());
        if (!asked.empty()) {
            change(asked, 2 * kRowsPerChunk + 4);
        }
        ASSERT_TRUE(channel.ReadTableChanges(rows, changes, result)) << channel.Problem();
        EXPECT_TRUE(result == ReadResult::Changed && changes.Rows == changed);
        EXPECT_TRUE(rows == table.rows);
        ASSERT_TRUE(channel.ReadTableChanges(rows, changes, result));
        EXPECT_EQ(result, ReadResult::Unchanged);
    }

    change({}, 6);
    EXPECT_TRUE(news());
    change({1}, 6);
    pollfd sent{served.pair.program.Get(), POLLIN, 0};
    EXPECT_EQ(::poll(&sent, 1, 100), 0) << "sent rows to a program that does not hold them";
    ASSERT_TRUE(channel.ReadTableChanges(rows, changes, result));
    EXPECT_TRUE(result == ReadResult::Changed && changes.Whole && rows == table.rows);
    change({2}, 6);
    EXPECT_FALSE(news());
    table.rows = ManyRows(4);
    bool read = false;
    ASSERT_TRUE(channel.ReadTable(rows, read) && read);
    EXPECT_TRUE(rows == table.rows);
    EXPECT_FALSE(channel.ApplyPushed(rows, changes)) << "older rows applied";
}

}  // namespace
}  // namespace quarnel::platform
