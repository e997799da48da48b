// The program's side and the helper's side of the conversation talking over a real socketpair
// in one process, with a made-up table behind the helper's side; and the program's side facing
// a helper that answers wrongly.

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "platform/linux/HelperChannel.h"
#include "platform/linux/HelperServer.h"
#include "platform/linux/UniqueFd.h"
#include "tests/platform/TableRows.h"
#include "tests/support/WaitUntil.h"

namespace quarnel::platform {
namespace {

using namespace std::chrono_literals;

struct FakeTable final : TcpTableSource {
    std::vector<TcpRow> rows;
    bool readFails = false;
    bool closes = true;
    CloseAbility ability = CloseAbility::Allowed;
    std::vector<TcpRow> closeRequests;

    bool ReadTable(std::vector<TcpRow>& out) override {
        if (readFails) {
            return false;
        }
        out = rows;
        return true;
    }
    bool CloseConnection(const TcpRow& row) override {
        closeRequests.push_back(row);
        return closes;
    }
    CloseAbility CanCloseConnections() override { return ability; }

    // An eventfd that counts changes, as the table kept from the kernel's reports turns its
    // descriptor readable; -1 for a table that cannot tell, as a polled one.
    int changes = -1;
    int WaitDescriptor() const override { return changes; }
    ReadResult ReadTableIfChanged(std::vector<TcpRow>& out) override {
        std::uint64_t count = 0;
        if (changes >= 0 && ::read(changes, &count, sizeof count) != sizeof count) {
            return ReadResult::Unchanged;
        }
        return TcpTableSource::ReadTableIfChanged(out);
    }
};

std::vector<TcpRow> ManyRows(std::size_t count) {
    std::vector<TcpRow> rows(count);
    for (std::size_t i = 0; i < count; ++i) {
        rows[i].State = static_cast<std::int32_t>(i % 12);
        rows[i].LocalAddress = static_cast<std::uint32_t>(i * 2654435761u);
        rows[i].LocalPort = static_cast<std::int32_t>(i % 65536);
        rows[i].RemoteAddress = static_cast<std::uint32_t>(i);
        rows[i].RemotePort = static_cast<std::int32_t>(65535 - i % 65536);
        rows[i].Family = i % 3 ? SocketFamily::IPv4 : SocketFamily::MappedIPv6;
        rows[i].Interface = static_cast<std::uint32_t>(i % 5);
        rows[i].Cookie = (std::uint64_t{1} << 40) + i;
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
class Served {
public:
    explicit Served(TcpTableSource& table)
        : log_(std::tmpfile()), server_([this, &table] {
              HelperServer server(pair_.helper.Get(), table, log_ ? log_ : stderr);
              servedToTheEnd_ = server.Run();
          }) {}
    ~Served() {
        pair_.program.Reset();  // the end of the conversation
        server_.join();
        EXPECT_TRUE(servedToTheEnd_) << "the server saw a failing socket, not the end";
        if (log_ != nullptr) {
            std::fclose(log_);
        }
    }

private:
    SocketPair pair_;  // first: everything below uses it
    std::FILE* log_;
    bool servedToTheEnd_ = false;
    std::thread server_;

public:
    HelperChannel channel{pair_.program.Get(), 5s};
};

TEST(HelperConversation, TablesOfEverySizeArriveWhole) {
    for (const std::size_t count :
         {std::size_t{0}, std::size_t{1}, kRowsPerChunk - 1, kRowsPerChunk, kRowsPerChunk + 1,
          std::size_t{300}, kMaxTableRows}) {
        FakeTable table;
        table.rows = ManyRows(count);
        Served served(table);
        std::vector<TcpRow> rows = ManyRows(3);
        bool read = false;
        ASSERT_TRUE(served.channel.ReadTable(rows, read)) << served.channel.Problem();
        EXPECT_TRUE(read);
        EXPECT_TRUE(rows == table.rows) << count << " rows";
        // The same conversation goes on with the next read.
        ASSERT_TRUE(served.channel.ReadTable(rows, read)) << served.channel.Problem();
        EXPECT_TRUE(rows == table.rows) << count << " rows, read again";
    }
}

TEST(HelperConversation, AFailedOrOversizedReadKeepsThePreviousRowsAndServingGoesOn) {
    FakeTable table;
    Served served(table);
    const std::vector<TcpRow> previous = ManyRows(2);
    for (const auto& fail :
         std::initializer_list<std::function<void()>>{[&] { table.readFails = true; },
                                                      [&] {
                                                          table.readFails = false;
                                                          table.rows = ManyRows(kMaxTableRows + 1);
                                                      }}) {
        fail();
        std::vector<TcpRow> rows = previous;
        bool read = true;
        ASSERT_TRUE(served.channel.ReadTable(rows, read)) << served.channel.Problem();
        EXPECT_FALSE(read);
        EXPECT_EQ(rows, previous);
    }
    table.rows = ManyRows(5);
    std::vector<TcpRow> rows;
    bool read = false;
    ASSERT_TRUE(served.channel.ReadTable(rows, read));
    EXPECT_TRUE(read);
    EXPECT_EQ(rows, table.rows);
}

TEST(HelperConversation, CloseNamesExactlyTheRowAndTellsTheOutcome) {
    FakeTable table;
    Served served(table);
    TcpRow row = ManyRows(8).back();
    row.State = 5;
    TcpRow named = row;
    named.State = 0;  // the state plays no part in a close

    for (const bool closes : {true, false}) {
        table.closes = closes;
        bool closed = !closes;
        ASSERT_TRUE(served.channel.Close(row, closed)) << served.channel.Problem();
        EXPECT_EQ(closed, closes);
    }
    TcpRow noSocket = row;
    noSocket.Cookie = 0;
    bool closed = true;
    EXPECT_TRUE(served.channel.Close(noSocket, closed)) << "a row no socket has is no fault";
    EXPECT_FALSE(closed);
    CloseAbility ability;
    ASSERT_TRUE(served.channel.Ask(ability));  // the last close has been carried out by now
    EXPECT_EQ(table.closeRequests, (std::vector{named, named})) << "the cookie-less row was sent";
}

TEST(HelperConversation, ThePermissionAnswerArrivesAsGiven) {
    FakeTable table;
    Served served(table);
    for (const auto ability : {CloseAbility::Allowed, CloseAbility::NoPermission,
                               CloseAbility::NotSupported, CloseAbility::Unknown}) {
        table.ability = ability;
        CloseAbility answer = CloseAbility::Unknown;
        ASSERT_TRUE(served.channel.Ask(answer));
        EXPECT_EQ(answer, ability);
    }
}

TEST(HelperConversation, AWatchingProgramIsToldOfChangesAndOnlyThenReads) {
    for (const bool canTell : {true, false}) {
        FakeTable table;
        table.rows = ManyRows(3);
        const UniqueFd changes(canTell ? ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1);
        table.changes = changes.Get();
        Served served(table);
        HelperChannel& channel = served.channel;
        PollingCause polling{PollingCause::Kind::NoRights};
        ASSERT_TRUE(channel.Watch(polling)) << channel.Problem();
        EXPECT_EQ(polling.Why, PollingCause::Kind::None);
        const auto told = [&channel] {
            bool changed = false;
            EXPECT_TRUE(channel.TakeChange(changed)) << channel.Problem();
            return changed;
        };
        std::vector<TcpRow> rows;
        ReadResult result = ReadResult::Failed;
        if (canTell) {
            ASSERT_TRUE(channel.ReadTableIfChanged(rows, result));
            EXPECT_EQ(result, ReadResult::Unchanged);
            EXPECT_FALSE(told());
            const std::uint64_t one = 1;
            ASSERT_EQ(::write(changes.Get(), &one, sizeof one), 8);
        }
        ASSERT_TRUE(testsupport::WaitUntil(told)) << "canTell " << canTell;
        ASSERT_TRUE(channel.ReadTableIfChanged(rows, result)) << channel.Problem();
        EXPECT_EQ(result, ReadResult::Changed);
        EXPECT_EQ(rows, table.rows);
        // A table that cannot tell may differ at every read: the helper says so after each.
        EXPECT_EQ(testsupport::WaitUntil(told, 100ms), !canTell) << "canTell " << canTell;
    }
}

// Replies a wrong helper has already queued when the program asks its first question.
std::vector<std::uint8_t> ReplyBytes(const Reply& reply, std::size_t rows = 0) {
    std::array<std::uint8_t, kMaxReplySize> bytes;
    const std::size_t size = EncodeReply(reply, ManyRows(rows), bytes);
    EXPECT_GT(size, 0u);
    return {bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size)};
}

TEST(HelperConversation, AWrongHelperIsNoticedWithItsFault) {
    using Messages = std::vector<std::vector<std::uint8_t>>;
    const Reply firstChunk{.Kind = ReplyKind::TableChunk, .Sequence = 1};
    const struct {
        const char* name;
        Messages replies;
        bool hangUp;
        const char* problem;
    } cases[] = {
        {"silent", {}, false, "did not answer within 20 ms"},
        {"gone", {}, true, "ended"},
        {"gone halfway through the table", {ReplyBytes(firstChunk, kRowsPerChunk)}, true, "ended"},
        {"answering another request",
         {ReplyBytes({.Kind = ReplyKind::TableFailed, .Sequence = 7})},
         false,
         "answered request 7 instead of 1"},
        {"answering another question",
         {ReplyBytes({.Kind = ReplyKind::Ability, .Sequence = 1})},
         false,
         "gave an answer of another kind"},
        {"refusing",
         {ReplyBytes({.Kind = ReplyKind::Refused, .Sequence = 1, .Reason = Refusal::WrongVersion})},
         false,
         "refused the request (wrong version)"},
        {"skipping a part",
         {ReplyBytes(
             {.Kind = ReplyKind::TableChunk, .Sequence = 1, .ChunkIndex = 1, .LastChunk = true})},
         false,
         "sent part 1 of the table for part 0"},
        {"sending garbage", {{1, 0, 0x81, 0}}, false, "sent a message that is no answer (4 bytes)"},
        {"sending too much",
         {std::vector<std::uint8_t>(kMaxReplySize + 1, 0)},
         false,
         "sent a message that is no answer (4113 bytes)"},
    };
    for (const auto& c : cases) {
        SocketPair pair;
        for (const auto& reply : c.replies) {
            ASSERT_EQ(::send(pair.helper.Get(), reply.data(), reply.size(), 0),
                      static_cast<ssize_t>(reply.size()));
        }
        if (c.hangUp) {
            // Whatever was sent before still arrives; then the conversation ends.
            ASSERT_EQ(::shutdown(pair.helper.Get(), SHUT_WR), 0);
        }
        HelperChannel channel(pair.program.Get(), 20ms);
        std::vector<TcpRow> rows = ManyRows(1);
        bool read = true;
        EXPECT_FALSE(channel.ReadTable(rows, read)) << c.name;
        EXPECT_EQ(channel.Problem(), c.problem) << c.name;
        EXPECT_FALSE(read) << c.name;
        EXPECT_EQ(rows, ManyRows(1)) << c.name;
    }
}

}  // namespace
}  // namespace quarnel::platform
