// What the helper sends unasked once the program watches the table: the rows that changed, as
// they change, while the program holds the table, and word to read it otherwise; and how the
// program puts the rows it was sent together with its reads.

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <cstddef>
#include <tuple>
#include <vector>

#include "tests/platform/helper/Conversation.h"

namespace quarnel::platform {
namespace {

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
    PollingCause polling{PollingCause::Kind::NotBuilt};
    ASSERT_TRUE(channel.Watch(polling) && polling.Why == PollingCause::Kind::None)
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
