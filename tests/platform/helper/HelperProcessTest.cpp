// The real quarnel-helper in private network namespaces: when it refuses to start and when it
// ends, how the program notices it fail, and which table the program works with: its own when
// it may close, the helper's when only the helper may (and what the helper keeps of its
// privileges then), reading alone when neither may.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/securebits.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/linux/HelperChannel.h"
#include "platform/linux/HelperPrivileges.h"
#include "platform/linux/HelperProcess.h"
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
using namespace std::chrono_literals;
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

// The one-letter state of a process ('Z' for a zombie); 0 when there is no such process.
char ProcessState(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text{std::istreambuf_iterator<char>(stat), {}};
    // The name in parentheses may hold anything; the state follows the last ')'.
    const std::size_t end = text.rfind(')');
    return end == std::string::npos || end + 2 >= text.size() ? 0 : text[end + 2];
}

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

// Puts a fresh socketpair of type on descriptor 3; the other end stays open here.
void PutPair(int type) {
    int ends[2];
    if (::socketpair(AF_UNIX, type, 0, ends) != 0 || ::dup2(ends[1], 3) != 3) {
        ::_exit(125);
    }
}

// Goes on in a child; this process ends with the child's exit status.
void ForkAndPassOnStatus() {
    if (const pid_t child = ::fork(); child != 0) {
        int status = 0;
        (void)::waitpid(child, &status, 0);
        ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 124);
    }
}

TEST(HelperProcess, TheHelperRefusesToStartWithoutAConversationWithItsParent) {
    RunInPrivateNetwork([] {
        const struct {
            const char* name;
            std::function<void()> prepare;  // in the child, before it runs the helper
            const char* refusal;            // what the helper says
        } cases[] = {
            {"nothing on descriptor 3", [] { (void)::close(3); }, "descriptor 3"},
            {"a pipe",
             [] {
                 int ends[2];
                 if (::pipe(ends) != 0 || ::dup2(ends[0], 3) != 3) {
                     ::_exit(125);
                 }
             },
             "descriptor 3"},
            {"a stream socketpair", [] { PutPair(SOCK_STREAM); }, "descriptor 3"},
            {"a datagram socketpair", [] { PutPair(SOCK_DGRAM); }, "descriptor 3"},
            {"a socketpair its parent did not make",
             [] {
                 PutPair(SOCK_SEQPACKET);
                 // Its maker's grandchild runs it: the helper's parent is another process.
                 ForkAndPassOnStatus();
                 ForkAndPassOnStatus();
             },
             "not its parent"},
        };
        for (const auto& c : cases) {
            const UniqueFd log(::memfd_create("helper-log", 0));
            ASSERT_TRUE(log);
            const pid_t child = ::fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                // First, as the log may sit on descriptor 3 itself.
                if (::dup2(log.Get(), STDERR_FILENO) != STDERR_FILENO) {
                    ::_exit(126);
                }
                c.prepare();
                char name[] = "quarnel-helper";
                char* const argv[] = {name, nullptr};
                char* const environment[] = {nullptr};
                ::execve(kBuiltHelper.c_str(), argv, environment);
                ::_exit(126);
            }
            int status = 0;
            // Bounded: a helper that starts after all would serve its socketpair forever.
            EXPECT_TRUE(WaitUntil([&] { return ::waitpid(child, &status, WNOHANG) == child; }))
                << c.name << ": it started";
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1)
                << c.name << ": wait status " << status;
            std::string said(4096, '\0');
            said.resize(static_cast<std::size_t>(
                std::max<ssize_t>(0, ::pread(log.Get(), said.data(), said.size(), 0))));
            EXPECT_TRUE(Contains(said, c.refusal)) << c.name << ": " << said;
        }
    });
}

TEST(HelperProcess, TheHelperEndsWithItsProgram) {
    RunInPrivateNetwork([] {
        int ends[2];
        ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        const UniqueFd read(ends[0]);
        UniqueFd write(ends[1]);
        const pid_t program = ::fork();
        ASSERT_GE(program, 0);
        if (program == 0) {
            std::string problem;
            const auto helper = HelperProcess::Start(kBuiltHelper, problem);
            HelperChannel channel(helper ? helper->Socket() : -1, 10s);
            CloseAbility ability = CloseAbility::Unknown;
            const pid_t pid = helper && channel.Ask(ability) ? helper->Pid() : 0;
            (void)!::write(write.Get(), &pid, sizeof pid);
            ::_exit(0);  // ends without stopping its helper
        }
        write.Reset();
        pid_t helper = 0;
        EXPECT_EQ(::read(read.Get(), &helper, sizeof helper), static_cast<ssize_t>(sizeof helper));
        ASSERT_EQ(::waitpid(program, nullptr, 0), program);
        ASSERT_GT(helper, 0) << "the helper did not start";
        EXPECT_TRUE(WaitUntil([&] {
            const char state = ProcessState(helper);
            return state == 0 || state == 'Z';
        })) << "the helper outlived its program";
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

TEST(HelperTcpTable, AHelperThatCannotBeRestartedIsGivenUpAtOnce) {
    RunInPrivateNetwork([] {
        const Loopback loop{};
        const std::string copy =
            fs::temp_directory_path() / ("quarnel-helper-gone-" + std::to_string(::getpid()));
        fs::copy_file(kBuiltHelper, copy, fs::copy_options::overwrite_existing);
        auto table = StartTable(copy);
        fs::remove(copy);
        ASSERT_TRUE(loop.c.server && table);
        const pid_t pid = table->HelperPid();
        ASSERT_GT(pid, 0);

        ASSERT_EQ(::kill(pid, SIGKILL), 0);
        const std::optional<TcpRow> row = loop.RowIn(ReadRows(*table));
        EXPECT_TRUE(row) << "no pass without rows";
        const std::vector<SourceNotice> notices = Notices(*table);
        ASSERT_EQ(notices.size(), 2u);
        EXPECT_EQ(notices[1].Ability, CloseAbility::NoPermission);
        EXPECT_TRUE(Contains(notices[1].Text, "could not be restarted: cannot run " + copy +
                                                  ": No such file or directory"))
            << notices[1].Text;
        EXPECT_EQ(table->HelperPid(), 0);
        EXPECT_TRUE(row && !table->CloseConnection(*row));
        EXPECT_TRUE(StillCarries(loop.c));
    });
}

// A helper on the kernel's reports tells nothing while nothing changes, and neither does one
// that stopped: the reads must still find it out.
TEST(HelperTcpTable, AHelperOnKernelEventsThatStopsAnsweringIsNoticedWithoutAChange) {
    RunInPrivateNetwork([] {
        auto table = StartTable();
        ASSERT_TRUE(table);
        if (table->Polling().Why != PollingCause::Kind::None) {
            GTEST_SKIP() << "the helper polls here, and tells of a change after every read: "
                         << table->Polling().Text();
        }
        std::vector<TcpRow> rows;
        ASSERT_EQ(table->ReadTableIfChanged(rows), ReadResult::Changed);
        const pid_t stopped = table->HelperPid();
        ASSERT_GT(stopped, 0);
        ASSERT_EQ(::kill(stopped, SIGSTOP), 0);

        // As the program's loop reads: whenever woken, and at least every 250 ms.
        std::vector<SourceNotice> notices;
        EXPECT_TRUE(WaitUntil([&] {
            pollfd wait{table->WaitDescriptor(), POLLIN, 0};
            (void)::poll(&wait, 1, 250);
            EXPECT_NE(table->ReadTableIfChanged(rows), ReadResult::Failed);
            for (const SourceNotice& notice : Notices(*table)) {
                notices.push_back(notice);
            }
            return notices.size() >= 2;
        })) << "the stopped helper went unnoticed";
        ASSERT_EQ(notices.size(), 2u);
        EXPECT_TRUE(Contains(notices[0].Text, "did not answer within 250 ms")) << notices[0].Text;
        EXPECT_EQ(notices[1].Ability, CloseAbility::Allowed) << notices[1].Text;
        EXPECT_TRUE(Reaped(stopped)) << "the stopped helper was left behind";
        EXPECT_GT(table->HelperPid(), 0);
        EXPECT_NE(table->HelperPid(), stopped);
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
                EXPECT_TRUE(Contains(told, "start the installed /")) << told;
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
