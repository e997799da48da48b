// What the helper sends unasked once the program watches the table: the rows that changed, as
// they change, while the program holds the table, and word to read it otherwise; and how the
// program puts the rows it was sent together with its reads.

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <tuple>
#include <vector>

#include "tests/platform/helper/Conversation.h"

namespace quarnel::platform {
namespace {

// Watching a table that tells of its changes, and waiting for what the helper sends.
struct Watched {
    Watched() {
        table.tellsChanges = true;
        table.rows = ManyRows(10);
        served = std::make_unique<Served>(table);
        PollingCause polling{PollingCause::Kind::NotBuilt};
        EXPECT_TRUE(served->channel.Watch(polling)) << served->channel.Problem();
        EXPECT_EQ(polling.Why, PollingCause::Kind::None);
        // Before the program holds the table: word to read it, answered whole.
        table.Announce();
        EXPECT_TRUE(News()) << "rows sent to a program that holds none";
        ReadResult result = ReadResult::Failed;
        EXPECT_TRUE(served->channel.ReadTableChanges(rows, changes, result));
        EXPECT_TRUE(result == ReadResult::Changed && changes.Whole && rows == table.rows);
    }

    // Changes the rows at these indices (to rows of another table) and the row count, and lets
    // the helper know as the kernel's reports would; none given: the whole table changed. The
    // indices of the rows changed, the new ones among them.
    std::vector<std::size_t> Change(std::vector<std::size_t> indices, std::size_t count) {
        const std::vector<TcpRow> others = ManyRows(5000);
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
    }

    // Waits for the helper to send something, and takes it; whether it told to read.
    bool News() {
        pollfd sent{served->pair.program.Get(), POLLIN, 0};
        EXPECT_EQ(::poll(&sent, 1, 5000), 1) << "the helper sent nothing";
        bool told = false;
        EXPECT_TRUE(served->channel.TakeNews(told)) << served->channel.Problem();
        return told;
    }

    FakeTable table;
    std::unique_ptr<Served> served;
    std::vector<TcpRow> rows;
    TableChanges changes;
    std::size_t generation = 0;
};

// Row by row, the changes come without a question and land where a read would put them: several
// sendings in a row (the later one cutting the table short), one of many parts, and sendings that
// came before the answer to a question. Where only the whole table tells what changed, the helper
// tells the program to read, sends nothing more until it does and answers that read whole; rows
// it sent before a whole answer are older than it and dropped.
TEST(HelperNews, ChangedRowsComeUnaskedAndLandWhereAReadPutsThem) {
    Watched watched;
    HelperChannel& channel = watched.served->channel;
    std::vector<TcpRow>& rows = watched.rows;
    TableChanges& changes = watched.changes;
    watched.Change({9, 4}, 12);
    EXPECT_FALSE(watched.News());
    watched.Change({3}, 8);  // row 9, changed before, is gone
    EXPECT_FALSE(watched.News());
    ASSERT_TRUE(channel.ApplyPushed(rows, changes));
    EXPECT_FALSE(changes.Whole);
    EXPECT_EQ(changes.Rows, (std::vector<std::size_t>{3, 4}));
    EXPECT_TRUE(rows == watched.table.rows);
    EXPECT_FALSE(channel.ApplyPushed(rows, changes)) << "applied twice";

    std::vector<std::size_t> many;
    for (std::size_t i = 0; i <= kRowsPerChunk; ++i) {
        many.push_back(2 * i);
    }
    many = watched.Change(many, 2 * kRowsPerChunk + 5);
    // Its parts may come apart: applied once all are there.
    while (!channel.ApplyPushed(rows, changes)) {
        EXPECT_FALSE(watched.News());
    }
    EXPECT_EQ(changes.Rows, many);
    EXPECT_TRUE(rows == watched.table.rows);

    // Sent before the question: the answer comes after them and both land; sent before a
    // question answered unchanged, they are what changed.
    for (const auto& [sent, asked, changed] :
         {std::tuple<std::size_t, std::vector<std::size_t>, std::vector<std::size_t>>{
              1, {0, 5}, {0, 1, 5}},
          {6, {}, {6}}}) {
        watched.Change({sent}, 2 * kRowsPerChunk + 4);
        EXPECT_FALSE(watched.News());
        if (!asked.empty()) {
            watched.Change(asked, 2 * kRowsPerChunk + 4);
        }
        ReadResult result = ReadResult::Failed;
        ASSERT_TRUE(channel.ReadTableChanges(rows, changes, result)) << channel.Problem();
        EXPECT_EQ(result, ReadResult::Changed);
        EXPECT_EQ(changes.Rows, changed);
        EXPECT_TRUE(rows == watched.table.rows);
        ASSERT_TRUE(channel.ReadTableChanges(rows, changes, result));
        EXPECT_EQ(result, ReadResult::Unchanged);
    }

    watched.Change({}, 6);
    EXPECT_TRUE(watched.News());
    watched.Change({1}, 6);
    pollfd sent{watched.served->pair.program.Get(), POLLIN, 0};
    EXPECT_EQ(::poll(&sent, 1, 100), 0) << "sent rows to a program that does not hold them";
    ReadResult result = ReadResult::Failed;
    ASSERT_TRUE(channel.ReadTableChanges(rows, changes, result));
    EXPECT_TRUE(result == ReadResult::Changed && changes.Whole && rows == watched.table.rows);
    watched.Change({2}, 6);
    EXPECT_FALSE(watched.News());
    watched.table.rows = ManyRows(4);
    bool read = false;
    ASSERT_TRUE(channel.ReadTable(rows, read) && read);
    EXPECT_TRUE(rows == watched.table.rows);
    EXPECT_FALSE(channel.ApplyPushed(rows, changes)) << "older rows applied";
}

}  // namespace
}  // namespace quarnel::platform
