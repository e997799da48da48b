// The program's side and the helper's side of the conversation over a real socketpair in one
// process, with a made-up table behind the helper's side; and each side facing a peer that
// sends what it should not.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/linux/HelperChannel.h"
#include "platform/linux/HelperServer.h"
#include "platform/linux/UniqueFd.h"
#include "tests/platform/TableRows.h"

namespace quarnel::platform {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

struct FakeTable final : TcpTableSource, SocketLookup {
    bool ReadTable(std::vector<TcpRow>& out) override {
        if (!readFails) {
            out = rows;
        }
        return !readFails;
    }
    bool CloseConnection(const TcpRow& row) override {
        closeRequests.push_back(row);
        return closes;
    }
    CloseAbility CanCloseConnections() override { return ability; }
    Found LookUp(const TcpRow& row, std::int32_t& state) override {
        lookups.push_back(row);
        state = socketState;
        return found;
    }

    std::vector<TcpRow> rows;
    Found found = Found::Socket;
    std::int32_t socketState = 5;  // established
    std::vector<TcpRow> lookups;
    bool readFails = false;
    bool closes = true;
    CloseAbility ability = CloseAbility::Allowed;
    std::vector<TcpRow> closeRequests;
};

std::vector<TcpRow> ManyRows(std::size_t count) {
    std::vector<TcpRow> rows;
    for (std::uint32_t n = 0; n < count; ++n) {
        const auto i = static_cast<std::int32_t>(n);
        const SocketFamily family = n % 3 ? SocketFamily::IPv4 : SocketFamily::MappedIPv6;
        rows.push_back({i % 12, n, i % 65536, ~n, 80, family, n % 5, (1ull << 40) + n});
    }
    return rows;
}

struct SocketPair {
    UniqueFd program;
    UniqueFd helper;

    SocketPair() {
        int ends[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
        program.Reset(ends[0]);
        helper.Reset(ends[1]);
    }
};

// The helper's side serving table on its own thread until the program's end closes.
struct Served {
    explicit Served(FakeTable& table, std::FILE* log = stderr)
        : server([this, &table, log] {
              servedToTheEnd = HelperServer(pair.helper.Get(), table, table, log).Run();
          }) {}
    ~Served() {
        pair.program.Reset();  // the end of the conversation
        server.join();
        EXPECT_TRUE(servedToTheEnd) << "the server saw a failing socket, not the end";
    }

    SocketPair pair;
    bool servedToTheEnd = false;
    std::thread server;
    HelperChannel channel{pair.program.Get(), 5s};
};

TEST(HelperConversation, TablesArriveWholeOrNotAtAllAndServingGoesOn) {
    FakeTable table;
    Served served(table);
    const std::vector<TcpRow> previous = ManyRows(3);
    const struct {
        std::size_t rows;
        bool readFails;
    } cases[] = {{0, false},  {kRowsPerChunk, false}, {kRowsPerChunk + 1, false},
                 {300, true}, {kMaxTableRows, false}, {kMaxTableRows + 1, false}};
    for (const auto& c : cases) {
        table.rows = ManyRows(c.rows);
        table.readFails = c.readFails;
        const bool whole = !c.readFails && c.rows <= kMaxTableRows;
        std::vector<TcpRow> rows = previous;
        bool read = !whole;
        ASSERT_TRUE(served.channel.ReadTable(rows, read)) << served.channel.Problem();
        EXPECT_EQ(read, whole) << c.rows << " rows";
        EXPECT_TRUE(rows == (whole ? table.rows : previous)) << c.rows << " rows";
    }
}

// The helper's log as one text, written while it lives.
struct Log {
    Log() : file(::open_memstream(&text, &size)) { EXPECT_NE(file, nullptr); }
    ~Log() { std::free(text); }
    std::string Close() {
        std::fclose(file);
        return {text, size};
    }

    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* file;
};

TEST(HelperConversation, ACloseNamesExactlyTheRowOfAConnectionAndTellsTheOutcome) {
    using Found = SocketLookup::Found;
    const TcpRow row = ManyRows(8).back();
    TcpRow named = row;
    named.State = 0;  // the state plays no part in a close
    const struct {
        Found found;
        std::int32_t state;
        bool closes;         // whether the table closes what it is asked to
        bool asked;          // whether the table is asked to close
        bool answered;       // a Closed answer; else a refusal
        std::string logged;  // what the helper logs
    } cases[] = {
        {Found::Socket, 5, true, true, true, ""},
        {Found::Socket, 5, false, true, true, ""},
        {Found::Socket, 8, true, true, true, ""},  // closing on the far side: still a connection
        {Found::Socket, kListenState, true, false, false,
         "quarnel-helper: refused request 1 (40 bytes): names a listener, not a connection\n"},
        {Found::NoSocket, 0, true, false, true, ""},
        {Found::Failed, 0, true, false, true,
         "quarnel-helper: cannot look up the socket of request 1\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "state " << c.state << ", found " << int(c.found));
        FakeTable table;
        table.found = c.found;
        table.socketState = c.state;
        table.closes = c.closes;
        Log log;
        {
            Served served(table, log.file);
            bool closed = !c.closes;
            EXPECT_EQ(served.channel.Close(row, closed), c.answered) << served.channel.Problem();
            EXPECT_EQ(closed, c.answered && c.asked && c.closes);
            if (!c.answered) {
                EXPECT_EQ(served.channel.Problem(), "refused the request (malformed)");
            }
            CloseAbility ability = CloseAbility::Unknown;
            EXPECT_TRUE(served.channel.Ask(ability)) << "serving goes on";
        }
        EXPECT_EQ(table.lookups, std::vector{named});
        EXPECT_EQ(table.closeRequests, c.asked ? std::vector{named} : std::vector<TcpRow>{});
        EXPECT_EQ(log.Close(), c.logged);
    }
    // A row no socket can have is not even sent.
    FakeTable table;
    Served served(table);
    TcpRow noSocket = row;
    noSocket.Cookie = 0;
    bool closed = true;
    EXPECT_TRUE(served.channel.Close(noSocket, closed));
    EXPECT_FALSE(closed);
    table.ability = CloseAbility::NotSupported;
    CloseAbility ability = CloseAbility::Allowed;
    ASSERT_TRUE(served.channel.Ask(ability));
    EXPECT_EQ(ability, CloseAbility::NotSupported);
    EXPECT_TRUE(table.lookups.empty() && table.closeRequests.empty());
}

Bytes ReplyBytes(const Reply& reply, std::size_t rows = 0) {
    std::array<std::uint8_t, kMaxReplySize> bytes{};
    const std::size_t size = EncodeReply(reply, ManyRows(rows), bytes);
    EXPECT_GT(size, 0u);
    return {bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size)};
}

TEST(HelperConversation, AWrongHelperIsNoticedWithItsFault) {
    const struct {
        std::vector<Bytes> replies;  // queued before the program asks its first question
        std::string problem;         // "ended": the helper hangs up after them
    } cases[] = {
        {{}, "did not answer within 20 ms"},
        {{ReplyBytes({.Kind = ReplyKind::TableChunk, .Sequence = 1}, kRowsPerChunk)}, "ended"},
        {{ReplyBytes({.Kind = ReplyKind::TableFailed, .Sequence = 7})},
         "answered request 7 instead of 1"},
        {{ReplyBytes(
             {.Kind = ReplyKind::TableChunk, .Sequence = 1, .ChunkIndex = 1, .LastChunk = true})},
         "sent part 1 of the table for part 0"},
        {{{1, 0, 0x81, 0}}, "sent a message that is no answer (4 bytes)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.problem);
        SocketPair pair;
        for (const Bytes& reply : c.replies) {
            ASSERT_EQ(::send(pair.helper.Get(), reply.data(), reply.size(), 0),
                      static_cast<ssize_t>(reply.size()));
        }
        // Whatever was sent before still arrives; then the conversation ends.
        ASSERT_TRUE(c.problem != "ended" || ::shutdown(pair.helper.Get(), SHUT_WR) == 0);
        HelperChannel channel(pair.program.Get(), 20ms);
        std::vector<TcpRow> rows = ManyRows(1);
        bool read = true;
        EXPECT_FALSE(channel.ReadTable(rows, read));
        EXPECT_EQ(channel.Problem(), c.problem);
        EXPECT_FALSE(read);
        EXPECT_EQ(rows, ManyRows(1));
    }
}

TEST(HelperConversation, BadRequestsAreRefusedAndLoggedNeverActedOnAndServingGoesOn) {
    RequestBytes sound;
    ASSERT_TRUE(EncodeRequest({RequestKind::CloseConnection, 9, ManyRows(2)[1]}, sound));
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
    } cases[] = {
        {with(0, 1, 0, 0), Refusal::Truncated},
        {with(0, 1, 0, kRequestSize - 1), Refusal::Truncated},
        {with(0, 1, 0, 4096), Refusal::Oversized},
        {with(0, 2), Refusal::WrongVersion},
        {with(2, 6), Refusal::UnknownKind},
        {with(32, 3), Refusal::Malformed},   // no such family
        {with(33, 17), Refusal::Malformed},  // a protocol byte: a close is of TCP only
        // With this cookie the kernel would close whatever the addresses and ports find.
        {with(8, 0xff, 8), Refusal::Malformed},
        {with(2, 1), Refusal::Malformed},  // a read that names a connection
        {with(0, 1, 0), Refusal::None},
    };
    FakeTable table;
    Log log;
    {
        Served served(table, log.file);
        for (const auto& c : cases) {
            const int program = served.pair.program.Get();
            ASSERT_EQ(::send(program, c.request.data(), c.request.size(), 0),
                      static_cast<ssize_t>(c.request.size()));
            std::array<std::uint8_t, kMaxReplySize> bytes{};
            const auto length = static_cast<std::size_t>(
                std::max<ssize_t>(0, ::recv(program, bytes.data(), bytes.size(), 0)));
            Reply reply;
            std::vector<TcpRow> rows;
            ASSERT_TRUE(DecodeReply(std::span(bytes.data(), length), length, reply, rows));
            const bool refused = c.reason != Refusal::None;
            EXPECT_EQ(reply.Kind, refused ? ReplyKind::Refused : ReplyKind::Closed);
            EXPECT_EQ(reply.Reason, c.reason);
            EXPECT_EQ(reply.Sequence, c.request.size() >= 8 ? 9u : 0u);
            EXPECT_EQ(table.closeRequests.size(), refused ? 0u : 1u) << "a refusal acted on";
        }
    }
    const std::string text = log.Close();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), std::ssize(cases) - 1) << text;
    EXPECT_NE(text.find("quarnel-helper: refused request 9 (4096 bytes): oversized\n"), text.npos)
        << text;
}

}  // namespace
}  // namespace quarnel::platform
