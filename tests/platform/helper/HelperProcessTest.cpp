// The real quarnel-helper in private network namespaces: what it keeps of what it is given, when
// it refuses to start and when it ends, how the program notices it fail, and whether a program
// without any capability closes through it or only reads.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/securebits.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/linux/client/HelperTcpTable.h"
#include "platform/linux/client/TcpTableSelection.h"
#include "platform/linux/privileges/Privileges.h"
#include "tests/support/FullPipe.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/ProgramCopy.h"
#include "tests/support/Sockets.h"
#include "tests/support/TableRows.h"
#include "tests/support/WaitUntil.h"

namespace quarnel::platform {
namespace {

using namespace quarnel::testsupport;
using namespace std::chrono_literals;
using testing::IsSubstring;
namespace fs = std::filesystem;

// A read that may answer Unchanged, as the pass reads.
ReadResult ReadChanges(TcpTableSource& table, std::vector<TcpRow>& rows) {
    TableChanges changes;
    return table.Read(rows, &changes);
}

const std::string kBuiltHelper = QUARNEL_HELPER_PATH;

// One field of /proc/PID/status ("CapEff", "State", ...); empty when absent, as for a process
// that is gone and reaped.
std::string Status(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(field + ":\t")) {
            return line.substr(field.size() + 2);
        }
    }
    return {};
}

std::unique_ptr<HelperTcpTable> StartTable(const std::string& path = kBuiltHelper) {
    CloseAbility ability = CloseAbility::Unknown;
    std::string problem;
    auto table = HelperTcpTable::Start(path, ability, problem);
    EXPECT_TRUE(table && ability == CloseAbility::Allowed) << problem;
    return table;
}

// This process's stderr on fd while it lives, so that a helper started meanwhile has it too.
struct StderrTo {
    explicit StderrTo(int fd) { EXPECT_EQ(::dup2(fd, STDERR_FILENO), STDERR_FILENO); }
    ~StderrTo() { (void)::dup2(own.Get(), STDERR_FILENO); }  // for the messages of the end
    const UniqueFd own{::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0)};
};

// It refuses to start without a conversation with its parent. Its stderr, the program's, is a full
// pipe nobody reads: what it logs is lost, never waited for.
TEST(HelperProcess, AHelperServesOnlyItsParentKeepsOnlyTheRightToCloseAndClosesOnlyConnections) {
    RunInPrivateNetwork([] {
        // Made here, so that the helper's parent (timeout) did not make it.
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
        for (const auto& [descriptor3, refusal] :
             {std::pair<std::string, std::string>{"<&-", "descriptor 3"},
              {"</dev/null", "descriptor 3 is no AF_UNIX SOCK_SEQPACKET socket"},
              {"<&" + std::to_string(pair[1]), "the program that started it (process "}}) {
            // Bounded: a helper that starts after all would serve its socketpair forever.
            const std::string command = "timeout 10 " + kBuiltHelper + " 3" + descriptor3 + " 2>&1";
            std::FILE* helper = ::popen(command.c_str(), "r");
            ASSERT_NE(helper, nullptr);
            std::string said(4096, '\0');
            said.resize(std::fread(said.data(), 1, said.size(), helper));
            const int status = ::pclose(helper);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << command << ": " << status;
            EXPECT_PRED_FORMAT2(IsSubstring, refusal, said);
        }
        const FullPipe unread;
        const StderrTo full(unread.writeEnd.Get());
        // More than it needs: every capability of this (namespace) root inheritable, some
        // ambient, which survive exec, and a descriptor left open across exec (F_DUPFD clears
        // close-on-exec) above the helper's socket at 3.
        CapabilitySets sets;
        ASSERT_TRUE(ReadCapabilities(sets));
        sets.Inheritable = sets.Permitted;
        ASSERT_TRUE(WriteCapabilities(sets));
        ASSERT_EQ(::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, CAP_SYS_ADMIN, 0, 0), 0);
        const UniqueFd leaked(::fcntl(UniqueFd(::open("/dev/null", O_RDONLY)).Get(), F_DUPFD, 10));
        std::string problem;
        const auto helper = HelperProcess::Start(kBuiltHelper, problem);
        ASSERT_TRUE(leaked && helper) << problem;
        HelperChannel channel(helper->Socket(), 10s);
        CloseAbility ability = CloseAbility::Unknown;
        ASSERT_TRUE(channel.Ask(ability) && ability == CloseAbility::Allowed) << channel.Problem();

        // Whether the kernel program was attached or refused, CAP_BPF and CAP_PERFMON are gone.
        const pid_t pid = helper->Pid();
        for (const auto& [field, kept] :
             {std::pair<const char*, std::uint64_t>{"CapPrm", kServingCapabilities},
              {"CapEff", kServingCapabilities},
              {"CapInh", 0},
              {"CapAmb", 0},
              {"NoNewPrivs", 1},
              {"CapBnd", kStartCapabilities}}) {
            EXPECT_EQ(std::stoull(Status(pid, field), nullptr, 16), kept) << field;
        }
        // Its standard streams, its socket, and what it opened itself: the table's netlink
        // sockets, and the kernel program with its maps, ring buffer and timer.
        for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd/")) {
            const std::string target = fs::read_symlink(fd);
            EXPECT_TRUE(std::stoi(fd.path().filename()) <= STDERR_FILENO ||
                        target.starts_with("socket:") || target.starts_with("anon_inode:"))
                << fd.path() << " -> " << target;
        }

        const auto table = OpenTable();
        const Loopback loop{};
        const Listener wildcard = ListenIPv4("0.0.0.0"), ipv6 = ListenIPv6Any();
        ASSERT_TRUE(table && loop.c.server && wildcard.fd && ipv6.fd);
        const std::vector<TcpRow> rows = ReadRows(*table);
        // The kernel finds a listener also by a name with a remote end of its own, as long as
        // the cookie is the listener's.
        for (const auto& [listener, remote] : {std::pair{&loop.listener, false},
                                               {&loop.listener, true},
                                               {&wildcard, false},
                                               {&ipv6, false}}) {
            std::optional<TcpRow> row = RowWithPorts(rows, listener->port, 0);
            ASSERT_TRUE(row && row->State == TcpState::Listening) << "no listener row";
            row->RemoteAddress = remote ? testsupport::Address("127.0.0.9") : row->RemoteAddress;
            row->RemotePort = remote ? 4242 : row->RemotePort;
            bool closed = true;
            EXPECT_FALSE(channel.Close(*row, closed));
            EXPECT_EQ(channel.Failure(), ChannelFailure::Refused);
            EXPECT_TRUE(Connect(*listener).server) << "the listener no longer accepts";
        }
    });
}

// The helper's kernel filter, on the cgroup the test sees as its root: it holds back the data
// of what the rules the program sends block, and goes with the helper.
TEST(HelperProcess, ItsFilterHoldsBackWhatTheRulesBlockAndGoesWithIt) {
#ifndef QUARNEL_KERNEL_EVENTS
    GTEST_SKIP() << "built without the kernel programs (QUARNEL_KERNEL_EVENTS=OFF)";
#endif
    RunInPrivateNetworkAsRoot("attaching a kernel filter needs real root", [] {
        const std::unique_ptr<HelperTcpTable> table = StartTable();
        ASSERT_TRUE(table);
        ASSERT_EQ(table->Filtering().Why, FilterCause::Kind::None) << table->Filtering().Text();
        const Listener listener = ListenIPv4();
        table->SetRules({{}, {PortOf(listener)}, {}});
        EXPECT_FALSE(table->TakeNotice());
        const Connection held = Connect(listener);
        ASSERT_EQ(::send(held.client.Get(), "held", 4, MSG_NOSIGNAL), 4);
        EXPECT_EQ(Arrived(held.server.Get()), "");

        // One established and closed before the helper read it is sent as missed (after a read
        // between, the pass would have closed it instead): a few tries. Sent on, it would wait
        // for its held back byte until closed.
        std::vector<TcpRow> rows, missed;
        int polls = 0;
        ASSERT_TRUE(WaitUntil([&] {
            if (polls++ % 100 == 0) {
                (void)Connect(listener);  // both ends closed at once
            }
            (void)ReadChanges(*table, rows);
            table->TakeMissed(missed);
            return std::ranges::any_of(missed, [&](const TcpRow& row) {
                return row.RemotePort == listener.port && row.LocalPort != held.clientPort;
            });
        })) << "never sent as missed";

        ASSERT_EQ(::kill(table->HelperPid(), SIGKILL), 0);
        // Sent again by TCP, once nothing holds it back.
        ASSERT_EQ(Arrived(held.server.Get(), 5s), "held");
    });
}

// A killed helper is restarted at once, killed again soon too, and the user is told how long
// closing stopped; one that dies at every start is restarted after a pause, one that cannot be
// started is tried again until it can, and meanwhile the program goes on reading. One that stops
// answering is noticed within the pass that asks it, also where it tells nothing while nothing
// changes (on the kernel's reports), and is restarted with the rules it had.
TEST(HelperTcpTable, AFailedHelperIsRestartedAtOnceUnlessItFailsAtEveryStart) {
    RunInPrivateNetwork([] {
        // A copy of the helper, which can be gone by the time it is restarted.
        const ProgramCopy copy(kBuiltHelper);
        const Loopback loop{};
        const std::unique_ptr<HelperTcpTable> started = StartTable(copy.Path());
        ASSERT_TRUE(loop.c.server && started);
        HelperTcpTable& table = *started;
        std::vector<TcpRow> rows;
        // Signals the helper, then reads as the program's loop reads (whenever woken, and at
        // least every 250 ms) until told how closing goes on; what it was told.
        const auto fail = [&](int signal) {
            const pid_t pid = table.HelperPid();
            std::vector<SourceNotice> notices;
            // Never pid 0: that would signal this test's own process group.
            EXPECT_TRUE(pid > 0 && ::kill(pid, signal) == 0);
            EXPECT_TRUE(WaitUntil([&] {
                pollfd wait{table.WaitDescriptor(), POLLIN, 0};
                (void)::poll(&wait, 1, 250);
                EXPECT_NE(ReadChanges(table, rows), ReadResult::Failed);
                while (auto notice = table.TakeNotice()) {
                    notices.push_back(*notice);
                }
                return !notices.empty() && notices.back().Ability != CloseAbility::Unknown;
            })) << "the helper's failure went unnoticed";
            EXPECT_EQ(Status(pid, "State"), "") << "the helper was left behind";
            return notices;
        };
        const Listener watched = ListenIPv4();
        table.SetRules({{}, {}, {PortOf(watched)}});
        for (int kill = 0; kill < HelperRestarts::kQuickDeaths; ++kill) {
            const std::vector<SourceNotice> notices = fail(SIGKILL);
            ASSERT_EQ(notices.size(), 2u) << "not restarted at once: "
                                          << (notices.empty() ? "nothing told" : notices[0].Text);
            EXPECT_PRED_FORMAT2(IsSubstring, "closing connections works again after a gap of ",
                                notices[1].Text);
        }
        std::vector<SourceNotice> notices = fail(SIGKILL);
        ASSERT_TRUE(notices.size() == 1 && notices[0].Ability == CloseAbility::NoPermission);
        EXPECT_PRED_FORMAT2(IsSubstring, "It is restarted in 1 s", notices[0].Text);
        // Gone, and then there again: tried until it starts; meanwhile reading goes on.
        fs::remove(copy.Path());
        std::optional<SourceNotice> told;
        const auto toldOf = [&](CloseAbility ability) {
            return WaitUntil(
                [&] {
                    (void)ReadChanges(table, rows);
                    told = table.TakeNotice();
                    return told && told->Ability == ability;
                },
                5s);
        };
        ASSERT_TRUE(toldOf(CloseAbility::NoPermission)) << "the failed restart was not told";
        // While no helper runs: reading goes on, closing stops, and nothing more is told.
        const std::optional<TcpRow> row = loop.RowIn(ReadRows(table));
        ASSERT_TRUE(row) << "no pass without rows";
        EXPECT_FALSE(table.CloseConnection(*row));
        EXPECT_EQ(table.CanCloseConnections(), CloseAbility::NoPermission);
        EXPECT_FALSE(table.TakeNotice()) << "each change is told once";
        EXPECT_TRUE(Carries(loop.c, true));
        fs::copy_file(kBuiltHelper, copy.Path());
        // A try that came before the copy may still tell that it failed.
        ASSERT_TRUE(toldOf(CloseAbility::Allowed)) << "not told that closing works again";
        EXPECT_EQ(table.CanCloseConnections(), CloseAbility::Allowed);

        const bool onEvents = table.Polling().Why == PollingCause::Kind::None;
        notices = fail(SIGSTOP);
        ASSERT_EQ(notices.size(), 2u);
        EXPECT_PRED_FORMAT2(IsSubstring, "did not answer within 1000 ms", notices[0].Text);
        EXPECT_EQ(notices[1].Ability, CloseAbility::Allowed) << notices[1].Text;
        if (onEvents) {
            // The restarted helper, read once and given the rules again, wakes the program for
            // a new connection on a blocked port only; the next read brings the others too.
            pollfd wait{table.WaitDescriptor(), POLLIN, 0};
            EXPECT_EQ(::poll(&wait, 1, 100), 0) << "woken with nothing changed";
            const Connection later = Connect(watched);
            ASSERT_EQ(::poll(&wait, 1, 5000), 1) << "not woken by a blocked connection";
            ASSERT_EQ(ReadChanges(table, rows), ReadResult::Changed);
            EXPECT_TRUE(RowWithPorts(rows, later.clientPort, watched.port));
        }
    });
}

// When a helper is started again, from the times of its starts and failures alone.
TEST(HelperRestarts, AtOnceWhileStartsSucceedElseAfterPausesThatDouble) {
    using Clock = HelperRestarts::Clock;
    HelperRestarts restarts;
    Clock::time_point now{};
    // The pause before the next start when the helper (or starting it) fails after later.
    const auto failed = [&](Clock::duration later, bool starting = false) {
        now += later;
        return (starting ? restarts.StartFailed(now) : restarts.Failed(now)) - now;
    };
    const auto started = [&](Clock::duration later) { return restarts.Started(now += later); };
    // Helpers that died soon only a few times in a row: at once.
    for (int quick = 0; quick < HelperRestarts::kQuickDeaths; ++quick) {
        EXPECT_EQ(failed(10ms), 0s);
        (void)started(0s);
    }
    // Dying at every start: the pauses double; so do failed starts, up to a minute.
    EXPECT_EQ(failed(10ms), 1s);
    EXPECT_EQ(failed(1s, true), 2s);
    (void)started(2s);
    EXPECT_EQ(failed(10ms), 4s);
    for (int start = 0; start < 8; ++start) {
        (void)failed(0s, true);
    }
    EXPECT_EQ(failed(0s, true), 60s);
    EXPECT_EQ(started(1s), 1s) << "the gap since the helper failed";
    EXPECT_EQ(failed(2s), 0s) << "one that ran a while: at once again";
}

// Where the table operations run for a program without any capability: in the helper when that
// may close; else this process reads alone and says why.
TEST(TcpTableSelection, TheHelperClosesForAProgramWithoutAnyCapabilityElseItOnlyReads) {
    const ProgramCopy helper(kBuiltHelper);
    // CAP_NET_ADMIN alone, effective and permitted, as `setcap cap_net_admin+ep` gives it.
    vfs_cap_data data{VFS_CAP_REVISION_2 | VFS_CAP_FLAGS_EFFECTIVE, {{1u << CAP_NET_ADMIN, 0}}};
    if (::setxattr(helper.Path().c_str(), "security.capability", &data, XATTR_CAPS_SZ_2, 0) != 0) {
        GTEST_SKIP() << "file capabilities are refused here: " << std::strerror(errno);
    }

    RunInPrivateNetwork([&] {
        const Loopback loop{};
        ASSERT_TRUE(loop.c.server);
        // Without any capability for good: neither root's user id nor a set-user-id program
        // gives any back, only a program's file capabilities can.
        const unsigned long bits = SECBIT_NOROOT | SECBIT_NOROOT_LOCKED | SECBIT_NO_SETUID_FIXUP |
                                   SECBIT_NO_SETUID_FIXUP_LOCKED;
        ASSERT_EQ(::prctl(PR_SET_SECUREBITS, bits), 0) << std::strerror(errno);
        ASSERT_EQ(::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0), 0);
        ASSERT_TRUE(WriteCapabilities({}));

        // The helper without its right to close cannot close either.
        TcpTableSelection selection = OpenTcpTableSource(kBuiltHelper);
        ASSERT_TRUE(selection.Mode == TableMode::ReadOnly && selection.Source);
        const std::optional<TcpRow> row = loop.RowIn(ReadRows(*selection.Source));
        ASSERT_TRUE(row) << "connections are still listed";
        EXPECT_FALSE(selection.Source->CloseConnection(*row));
        EXPECT_TRUE(Carries(loop.c, true));
        EXPECT_PRED_FORMAT2(IsSubstring, "cannot close them either: it lacks the right",
                            DescribeTcpTableSelection(selection));
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "a helper was left behind";

        selection = OpenTcpTableSource(helper.Path());
        EXPECT_EQ(selection.Mode, TableMode::Helper) << selection.HelperProblem;
        auto* table = dynamic_cast<HelperTcpTable*>(selection.Source.get());
        ASSERT_NE(table, nullptr);
        // Given CAP_NET_ADMIN alone, the helper holds back blocked data in the packet filter
        // instead of the kernel filter.
        EXPECT_TRUE(selection.Filtering.Netfilter) << DescribePayloadFilter(selection);
        const pid_t pid = table->HelperPid();
        selection.Source.reset();
        EXPECT_EQ(Status(pid, "State"), "") << "the helper outlived its table";
    });
}

}  // namespace
}  // namespace quarnel::platform
