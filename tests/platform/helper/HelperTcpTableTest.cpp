// The TCP table through the real helper in a private network namespace: it reads and closes as
// the in-process table does, and a helper that dies or hangs is reported, restarted once, and
// then given up for reading here.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>

#include "platform/linux/HelperTcpTable.h"
#include "tests/platform/TableRows.h"
#include "tests/platform/helper/HelperTestSupport.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"

namespace quarnel::platform {
namespace {

using namespace quarnel::testsupport;

std::unique_ptr<HelperTcpTable> StartTable(const std::string& path = kBuiltHelper) {
    CloseAbility ability = CloseAbility::Unknown;
    std::string problem;
    auto table = HelperTcpTable::Start(path, ability, problem);
    EXPECT_TRUE(table) << problem;
    EXPECT_EQ(ability, CloseAbility::Allowed);
    return table;
}

std::vector<SourceNotice> Notices(TcpTableSource& table) {
    std::vector<SourceNotice> notices;
    while (auto notice = table.TakeNotice()) {
        notices.push_back(*notice);
    }
    return notices;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A process that is gone and reaped: not even a zombie is left.
bool Reaped(pid_t pid) {
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

TEST(HelperTcpTable, ReadsAndClosesAsThisProcessWould) {
    RunInPrivateNetwork([] {
        Listener listener = ListenIPv4();
        ASSERT_TRUE(listener.fd);
        Connection doomed = Connect(listener);
        Connection bystander = Connect(listener);
        ASSERT_TRUE(doomed.server && bystander.server);
        auto local = OpenTable();
        auto table = StartTable();
        ASSERT_TRUE(local && table);

        const std::vector<TcpRow> rows = ReadRows(*table);
        EXPECT_EQ(SortedByCookie(rows), SortedByCookie(ReadRows(*local)));
        const std::optional<TcpRow> row = RowWithPorts(rows, doomed.clientPort, listener.port);
        ASSERT_TRUE(row);

        EXPECT_EQ(table->CanCloseConnections(), CloseAbility::Allowed);
        EXPECT_TRUE(table->CloseConnection(*row));
        EXPECT_EQ(ReceiveError(doomed.client.Get()), ECONNABORTED);
        EXPECT_TRUE(StillCarries(bystander));
        EXPECT_FALSE(table->CloseConnection(*row)) << "it is gone";
        EXPECT_TRUE(Notices(*table).empty());
    });
}

TEST(HelperTcpTable, AKilledHelperIsReportedAndRestartedOnceThenGivenUp) {
    RunInPrivateNetwork([] {
        const Loopback loop = OpenLoopback();
        ASSERT_TRUE(loop.c.server);
        const Connection& c = loop.c;
        auto table = StartTable();
        ASSERT_TRUE(table);

        const pid_t first = table->HelperPid();
        ASSERT_EQ(::kill(first, SIGKILL), 0);
        std::vector<TcpRow> rows = ReadRows(*table);
        EXPECT_TRUE(loop.RowIn(rows)) << "no pass without rows";
        std::vector<SourceNotice> notices = Notices(*table);
        ASSERT_EQ(notices.size(), 2u);
        EXPECT_EQ(notices[0].Ability, CloseAbility::Unknown);
        EXPECT_TRUE(Contains(notices[0].Text, "Closing connections stopped working"));
        EXPECT_TRUE(Contains(notices[0].Text, "killed by signal 9")) << notices[0].Text;
        EXPECT_EQ(notices[1].Ability, CloseAbility::Allowed);
        EXPECT_TRUE(Contains(notices[1].Text, "restarted; closing connections works again"));
        const pid_t second = table->HelperPid();
        EXPECT_NE(second, first);
        EXPECT_NE(second, 0);
        EXPECT_TRUE(Reaped(first));

        // The second death is the last: reading goes on here, closing stops.
        ASSERT_EQ(::kill(second, SIGKILL), 0);
        rows = ReadRows(*table);
        const std::optional<TcpRow> row = loop.RowIn(rows);
        EXPECT_TRUE(row);
        notices = Notices(*table);
        ASSERT_EQ(notices.size(), 1u);
        EXPECT_EQ(notices[0].Ability, CloseAbility::NoPermission);
        EXPECT_TRUE(Contains(notices[0].Text, "stopped working again")) << notices[0].Text;
        EXPECT_TRUE(Contains(notices[0].Text, "not restarted a second time"));
        EXPECT_EQ(table->HelperPid(), 0);
        EXPECT_TRUE(Reaped(second));

        EXPECT_FALSE(table->CloseConnection(*row));
        EXPECT_TRUE(StillCarries(c));
        EXPECT_EQ(table->CanCloseConnections(), CloseAbility::NoPermission);
        for (int pass = 0; pass < 3; ++pass) {
            EXPECT_TRUE(loop.RowIn(ReadRows(*table)));
        }
        EXPECT_TRUE(Notices(*table).empty()) << "each change is told once";
    });
}

TEST(HelperTcpTable, AHelperThatStopsAnsweringIsNoticedWithinTheCallAndReplaced) {
    RunInPrivateNetwork([] {
        const Loopback loop = OpenLoopback();
        ASSERT_TRUE(loop.c.server);
        const Connection& c = loop.c;
        auto table = StartTable();
        ASSERT_TRUE(table);
        const std::optional<TcpRow> row = loop.RowIn(ReadRows(*table));
        ASSERT_TRUE(row);

        const pid_t hung = table->HelperPid();
        ASSERT_EQ(::kill(hung, SIGSTOP), 0);
        EXPECT_FALSE(table->CloseConnection(*row)) << "not retried within the same call";
        const std::vector<SourceNotice> notices = Notices(*table);
        ASSERT_EQ(notices.size(), 2u);
        EXPECT_TRUE(Contains(notices[0].Text, "did not answer within 250 ms")) << notices[0].Text;
        EXPECT_EQ(notices[1].Ability, CloseAbility::Allowed);
        EXPECT_TRUE(Reaped(hung)) << "the hung helper was left behind";

        EXPECT_TRUE(table->CloseConnection(*row)) << "the next pass closes it";
        EXPECT_EQ(ReceiveError(c.client.Get()), ECONNABORTED);
    });
}

TEST(HelperTcpTable, AHelperThatCannotBeRestartedIsGivenUpAtOnce) {
    RunInPrivateNetwork([] {
        const Loopback loop = OpenLoopback();
        ASSERT_TRUE(loop.c.server);
        const std::string copy = "/tmp/quarnel-helper-test-" + std::to_string(::getpid());
        std::filesystem::copy_file(kBuiltHelper, copy,
                                   std::filesystem::copy_options::overwrite_existing);
        auto table = StartTable(copy);
        ASSERT_TRUE(table);
        std::filesystem::remove(copy);

        ASSERT_EQ(::kill(table->HelperPid(), SIGKILL), 0);
        EXPECT_TRUE(loop.RowIn(ReadRows(*table)));
        const std::vector<SourceNotice> notices = Notices(*table);
        ASSERT_EQ(notices.size(), 2u);
        EXPECT_EQ(notices[1].Ability, CloseAbility::NoPermission);
        EXPECT_TRUE(Contains(notices[1].Text, "could not be restarted: cannot run " + copy +
                                                  ": No such file or directory"))
            << notices[1].Text;
        EXPECT_EQ(table->HelperPid(), 0);
    });
}

TEST(HelperTcpTable, LeavesNoHelperBehind) {
    RunInPrivateNetwork([] {
        auto table = StartTable();
        ASSERT_TRUE(table);
        const pid_t pid = table->HelperPid();
        table.reset();
        EXPECT_TRUE(Reaped(pid));
        int status;
        EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1) << "a child is left";
    });
}

TEST(HelperTcpTable, AHelperOnKernelEventsWakesTheProgramForANewConnectionOnly) {
    RunInPrivateNetwork([] {
        auto table = StartTable();
        ASSERT_TRUE(table);
        if (table->Polling().Why != PollingCause::Kind::None) {
            GTEST_SKIP() << "the helper polls here: " << table->Polling().Text();
        }
        std::vector<TcpRow> rows;
        ASSERT_EQ(table->ReadTableIfChanged(rows), ReadResult::Changed);
        pollfd wait{table->WaitDescriptor(), POLLIN, 0};
        EXPECT_EQ(::poll(&wait, 1, 100), 0) << "woken with nothing changed";
        EXPECT_EQ(table->ReadTableIfChanged(rows), ReadResult::Unchanged);

        const Loopback loop = OpenLoopback();
        ASSERT_TRUE(loop.c.server);
        EXPECT_EQ(::poll(&wait, 1, 5000), 1) << "not woken by a new connection";
        ASSERT_EQ(table->ReadTableIfChanged(rows), ReadResult::Changed);
        const std::optional<TcpRow> row = loop.RowIn(rows);
        ASSERT_TRUE(row);
        EXPECT_EQ(row->State, 5);
    });
}

}  // namespace
}  // namespace quarnel::platform
