// The real quarnel-helper in private network namespaces: how the program notices it fail, and
// which table the program works with: its own when it may close, the helper's when only the
// helper may (and what the helper keeps of its privileges then), reading alone when neither may.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/securebits.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/linux/HelperPrivileges.h"
#include "platform/linux/HelperTcpTable.h"
#include "platform/linux/TcpTableSelection.h"
#include "tests/platform/TableRows.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"
#include "tests/support/WaitUntil.h"

namespace quarnel::platform {
namespace {

using namespace quarnel::testsupport;
namespace fs = std::filesystem;

// The quarnel-helper this build made.
const std::string kBuiltHelper = QUARNEL_HELPER_PATH;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The value of one field of /proc/PID/status ("CapEff", "NoNewPrivs", ...); empty when absent.
std::string ProcessStatus(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(field + ":\t")) {
            return line.substr(field.size() + 2);
        }
    }
    return {};
}

// The capability sets of a process, as masks in the order of fields.
std::vector<std::uint64_t> Capabilities(pid_t pid, std::initializer_list<const char*> fields) {
    std::vector<std::uint64_t> masks;
    for (const char* field : fields) {
        masks.push_back(std::stoull(ProcessStatus(pid, field), nullptr, 16));
    }
    return masks;
}

// A process that is gone and reaped: not even a zombie is left.
bool Reaped(pid_t pid) {
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

std::unique_ptr<HelperTcpTable> StartTable() {
    CloseAbility ability = CloseAbility::Unknown;
    std::string problem;
    auto table = HelperTcpTable::Start(kBuiltHelper, ability, problem);
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

TEST(HelperTcpTable, TheHelperKeepsNoDescriptorItInherits) {
    RunInPrivateNetwork([] {
        // Left open across exec (F_DUPFD clears close-on-exec), above the helper's socket at 3.
        const UniqueFd leaked(::fcntl(UniqueFd(::open("/dev/null", O_RDONLY)).Get(), F_DUPFD, 10));
        const auto table = StartTable();
        ASSERT_TRUE(leaked && table);
        // Its standard streams, its socket, and what it opened itself: the table's netlink
        // sockets, and the kernel program with its maps, ring buffer and timer.
        const std::string fds = "/proc/" + std::to_string(table->HelperPid()) + "/fd/";
        for (const auto& fd : fs::directory_iterator(fds)) {
            const std::string target = fs::read_symlink(fd);
            EXPECT_TRUE(std::stoi(fd.path().filename()) <= STDERR_FILENO ||
                        target.starts_with("socket:") || target.starts_with("anon_inode:"))
                << fd.path() << " -> " << target;
        }
    });
}

TEST(HelperTcpTable, ADeadOrHungHelperIsReportedAndRestartedOnceThenGivenUp) {
    RunInPrivateNetwork([] {
        const Loopback loop{};
        auto table = StartTable();
        ASSERT_TRUE(loop.c.server && table);
        const std::optional<TcpRow> row = loop.RowIn(ReadRows(*table));
        ASSERT_TRUE(row);

        // Never pid 0: that would signal this test's own process group.
        const pid_t first = table->HelperPid();
        ASSERT_GT(first, 0);
        ASSERT_EQ(::kill(first, SIGKILL), 0);
        EXPECT_TRUE(loop.RowIn(ReadRows(*table))) << "no pass without rows";
        std::vector<SourceNotice> notices = Notices(*table);
        ASSERT_EQ(notices.size(), 2u);
        EXPECT_EQ(notices[0].Ability, CloseAbility::Unknown);
        EXPECT_TRUE(Contains(notices[0].Text, "Closing connections stopped working: "));
        EXPECT_TRUE(Contains(notices[0].Text, "killed by signal 9")) << notices[0].Text;
        EXPECT_EQ(notices[1].Ability, CloseAbility::Allowed);
        const pid_t second = table->HelperPid();
        EXPECT_TRUE(Reaped(first));

        // The second failure is the last: one that stops answering, noticed within the call.
        ASSERT_TRUE(second > 0 && second != first);
        ASSERT_EQ(::kill(second, SIGSTOP), 0);
        EXPECT_FALSE(table->CloseConnection(*row));
        notices = Notices(*table);
        ASSERT_EQ(notices.size(), 1u);
        EXPECT_EQ(notices[0].Ability, CloseAbility::NoPermission);
        EXPECT_TRUE(Contains(notices[0].Text, "did not answer within 250 ms")) << notices[0].Text;
        EXPECT_TRUE(Contains(notices[0].Text, "not restarted a second time"));
        EXPECT_EQ(table->HelperPid(), 0);
        EXPECT_TRUE(Reaped(second)) << "the hung helper was left behind";

        // Reading goes on here, closing stops.
        for (int pass = 0; pass < 3; ++pass) {
            EXPECT_TRUE(loop.RowIn(ReadRows(*table)));
        }
        EXPECT_FALSE(table->CloseConnection(*row));
        EXPECT_EQ(table->CanCloseConnections(), CloseAbility::NoPermission);
        EXPECT_TRUE(StillCarries(loop.c));
        EXPECT_TRUE(Notices(*table).empty()) << "each change is told once";
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

        const Loopback loop{};
        ASSERT_TRUE(loop.c.server);
        EXPECT_EQ(::poll(&wait, 1, 5000), 1) << "not woken by a new connection";
        ASSERT_EQ(table->ReadTableIfChanged(rows), ReadResult::Changed);
        const std::optional<TcpRow> row = loop.RowIn(rows);
        ASSERT_TRUE(row);
        EXPECT_EQ(row->State, 5);
    });
}

TEST(TcpTableSelection, ThisProcessClosesWhenItMay) {
    RunInPrivateNetwork([] {
        const TcpTableSelection selection = OpenTcpTableSource(kBuiltHelper);
        EXPECT_EQ(selection.Mode, TableMode::InProcess);
        EXPECT_EQ(selection.Ability, CloseAbility::Allowed);
        EXPECT_TRUE(Contains(DescribeTcpTableSelection(selection), "closes connections itself"));
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "a helper was started";
    });
}

TEST(TcpTableSelection, ReadsAloneWithoutAHelperThatMayClose) {
    RunInPrivateNetwork([] {
        const Loopback loop{};
        ASSERT_TRUE(loop.c.server);
        const std::string missing = "/nonexistent/quarnel-helper";
        const struct {
            std::string helper;
            std::string problem;  // what the user is told about the helper
        } cases[] = {
            {"", "its helper quarnel-helper is not installed"},
            {missing, "cannot run " + missing + ": No such file or directory"},
            {kBuiltHelper,
             "its helper " + kBuiltHelper +
                 " cannot close them either: it lacks the right to close connections"},
        };
        for (const auto& param : cases) {
            RunInChildProcess([&] {
                SCOPED_TRACE(param.problem);
                // Root of a user namespace of its own, which does not own this network.
                if (::unshare(CLONE_NEWUSER) != 0) {
                    GTEST_SKIP() << "no user namespace: " << std::strerror(errno);
                }
                const TcpTableSelection selection = OpenTcpTableSource(param.helper);
                EXPECT_EQ(selection.Mode, TableMode::ReadOnly);
                EXPECT_EQ(selection.Ability, CloseAbility::NoPermission);
                ASSERT_TRUE(selection.Source);
                const std::optional<TcpRow> row = loop.RowIn(ReadRows(*selection.Source));
                ASSERT_TRUE(row) << "connections are still listed";
                EXPECT_FALSE(selection.Source->CloseConnection(*row));
                const std::string told = DescribeTcpTableSelection(selection);
                EXPECT_TRUE(Contains(told, "only shows connections")) << told;
                EXPECT_TRUE(Contains(told, param.problem)) << told;
                EXPECT_TRUE(Contains(told, "sudo usermod -aG quarnel $USER")) << told;
                EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "a helper was left behind";
            });
            EXPECT_TRUE(StillCarries(loop.c)) << param.problem;
        }
    });
}

// Whether this process is root of the machine itself, not of a user namespace: file
// capabilities and securebits need that.
bool IsRealRoot() {
    std::ifstream map("/proc/self/uid_map");
    std::uint64_t inside = 1, outside = 1, count = 0;
    map >> inside >> outside >> count;
    return ::geteuid() == 0 && inside == 0 && outside == 0 && count == 4294967295u;
}

// Leaves this root process without any capability, for good: neither root's user id nor a
// set-user-id program gives any back, only a program's file capabilities can.
void DropEveryCapability() {
    ASSERT_EQ(
        ::prctl(PR_SET_SECUREBITS, SECBIT_NOROOT | SECBIT_NOROOT_LOCKED | SECBIT_NO_SETUID_FIXUP |
                                       SECBIT_NO_SETUID_FIXUP_LOCKED),
        0)
        << std::strerror(errno);
    ASSERT_EQ(::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0), 0);
    ASSERT_TRUE(WriteCapabilities({}));
    ASSERT_EQ(Capabilities(::getpid(), {"CapEff", "CapPrm"}), (std::vector<std::uint64_t>{0, 0}));
}

TEST(TcpTableSelection, TheHelperClosesForAProgramWithoutAnyCapability) {
    if (!IsRealRoot()) {
        GTEST_SKIP() << "file capabilities and securebits need root of the machine itself";
    }
    const fs::path folder =
        fs::temp_directory_path() / ("quarnel-helper-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    const std::string helper = folder / "quarnel-helper";
    fs::copy_file(kBuiltHelper, helper, fs::copy_options::overwrite_existing);
    // CAP_NET_ADMIN alone, effective and permitted, as `setcap cap_net_admin+ep` gives it.
    vfs_cap_data data{VFS_CAP_REVISION_2 | VFS_CAP_FLAGS_EFFECTIVE, {{1u << CAP_NET_ADMIN, 0}}};
    ASSERT_EQ(::setxattr(helper.c_str(), "security.capability", &data, XATTR_CAPS_SZ_2, 0), 0)
        << std::strerror(errno);

    RunInPrivateNetwork([&] {
        const Loopback loop{};
        ASSERT_TRUE(loop.c.server);
        DropEveryCapability();
        auto own = OpenTable();
        ASSERT_TRUE(own);
        EXPECT_EQ(own->CanCloseConnections(), CloseAbility::NoPermission);

        TcpTableSelection selection = OpenTcpTableSource(helper);
        EXPECT_EQ(selection.Mode, TableMode::Helper) << selection.HelperProblem;
        EXPECT_EQ(selection.Ability, CloseAbility::Allowed);
        auto* table = dynamic_cast<HelperTcpTable*>(selection.Source.get());
        ASSERT_NE(table, nullptr);
        EXPECT_TRUE(Contains(DescribeTcpTableSelection(selection), "through its helper " + helper));
        // Given CAP_NET_ADMIN alone, the helper polls and the program learns why.
        EXPECT_TRUE(Contains(DescribePollingMode(selection), "CAP_BPF and CAP_PERFMON"));
        const pid_t pid = table->HelperPid();
        const std::uint64_t netAdmin = CapabilityBit(CAP_NET_ADMIN);
        EXPECT_EQ(Capabilities(pid, {"CapPrm", "CapEff", "CapInh", "CapAmb"}),
                  (std::vector<std::uint64_t>{netAdmin, netAdmin, 0, 0}));
        EXPECT_EQ(ProcessStatus(pid, "NoNewPrivs"), "1");

        // A polling helper tells of a change after every read, so a new connection shows.
        std::vector<TcpRow> rows;
        ASSERT_EQ(table->ReadTableIfChanged(rows), ReadResult::Changed);
        EXPECT_EQ(SortedByCookie(rows), SortedByCookie(ReadRows(*own)));
        const Loopback later{};
        ASSERT_TRUE(later.c.server);
        EXPECT_TRUE(WaitUntil([&] {
            return table->ReadTableIfChanged(rows) == ReadResult::Changed && later.RowIn(rows);
        }));
        const std::optional<TcpRow> row = later.RowIn(rows);
        ASSERT_TRUE(row);
        EXPECT_FALSE(own->CloseConnection(*row)) << "this process itself cannot close it";
        EXPECT_TRUE(StillCarries(later.c));
        EXPECT_TRUE(table->CloseConnection(*row));
        EXPECT_EQ(ReceiveError(later.c.client.Get()), ECONNABORTED);
        EXPECT_TRUE(StillCarries(loop.c));

        selection.Source.reset();
        EXPECT_TRUE(Reaped(pid)) << "the helper outlived its table";
    });
    fs::remove_all(folder);
}

}  // namespace
}  // namespace quarnel::platform
