// An owner is named only while its pid is still the process that was learnt: another that takes
// the pid later (same program name, another user) is told apart by its start time, and a user
// under hidepid is asked afresh whether it may see the process that took a pid it saw before; a
// connection handed on before the table opened is its holder's from the first look.
// The table's reports are made up, and /proc is a folder of the test's own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/owners/OwnedTcpTable.h"
#include "platform/linux/owners/ProcessSockets.h"
#include "platform/linux/sockdiag/SocketInodeReader.h"

namespace quarnel::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A table whose rows, their sockets' inodes and owner reports the test sets.
class ReportingTable final : public SourceDefaults<LinuxTableSource>, public SocketInodeReader {
public:
    std::vector<TcpRow> Rows;
    std::vector<std::uint64_t> Inodes;  // of Rows, in order
    std::vector<SocketOwner> Owners;

    bool ReadSocketInodes(const EachSocket& each) override {
        for (std::size_t i = 0; i < Rows.size() && i < Inodes.size(); ++i) {
            each(Rows[i], Inodes[i]);
        }
        return true;
    }

    ReadResult Read(std::vector<TcpRow>& rows, TableChanges* changes) override {
        rows = Rows;
        return Whole(true, changes);
    }
    bool CloseConnection(const TcpRow& /*row*/) override { return false; }
    CloseAbility CanCloseConnections() override { return CloseAbility::Allowed; }
    void TakeOwners(std::vector<SocketOwner>& owners) override {
        owners = std::move(Owners);
        Owners.clear();
    }
    bool TakeOtherNamespaces(std::vector<TcpRow>& rows) override {
        rows.clear();
        return true;
    }
    void LookForHolders(const std::vector<SocketOwner>& /*sockets*/) override {}
};

ConnectionOwner Owner(std::uint32_t pid, std::uint32_t uid, const std::string& command) {
    ConnectionOwner owner{.Pid = pid, .Uid = uid};
    command.copy(owner.Command.data(), owner.Command.size() - 1);
    return owner;
}

TcpRow Connection(std::uint64_t cookie) {
    TcpRow row;
    row.State = TcpState::Established;
    row.LocalPort = 40000 + static_cast<std::int32_t>(cookie);
    row.RemotePort = 80;
    row.Cookie = cookie;
    return row;
}

// Who holds which socket, as a look would find it.
struct Holding final : SocketHolders {
    bool Read(SocketHolding& holding) override {
        for (const auto& [inode, owner] : Held) {
            holding.Add(inode, owner);
        }
        holding.Sort();
        return true;
    }
    std::vector<std::pair<std::uint64_t, ConnectionOwner>> Held;
};

class OwnerReuse : public ::testing::Test {
protected:
    // The process at pid as the made-up /proc shows it; visible when its comm may be read.
    void Process(const std::string& command, std::uint64_t started, bool visible = true) {
        const fs::path folder = proc_ / std::to_string(pid_);
        fs::remove_all(folder);
        if (!visible) {
            return;  // hidepid: the folder is not there for this user
        }
        fs::create_directories(folder);
        std::ofstream(folder / "comm") << command << "\n";
        std::ofstream(folder / "stat")
            << pid_ << " (" << command << ") S 1 1 1 0 -1 4194560 300 0 0 0 2 1 0 0 20 0 1 0 "
            << started << " 2658304 379 18446744073709551615\n";
    }

    // With listsInodes, the look joins the table's sockets to the holders' inodes.
    std::unique_ptr<OwnedTcpTable> Table(bool onlyVisible,
                                         std::unique_ptr<SocketHolders> holders = nullptr,
                                         bool listsInodes = false) {
        auto reports = std::make_unique<ReportingTable>();
        reports_ = reports.get();
        return std::make_unique<OwnedTcpTable>(
            std::move(reports), listsInodes ? reports_ : nullptr, std::move(holders),
            OwnedTcpTable::Options{.OnlyVisible = onlyVisible,
                                   .Proc = proc_.string(),
                                   .Time = [this] { return now_; }});
    }

    std::uint32_t OwnerPid(OwnedTcpTable& table, std::uint64_t cookie) {
        std::vector<TcpRow> rows;
        EXPECT_EQ(table.Read(rows, nullptr), ReadResult::Changed);
        for (const TcpRow& row : rows) {
            if (row.Cookie == cookie) {
                return row.OwnerPid;
            }
        }
        ADD_FAILURE() << "no row " << cookie;
        return 0;
    }

    void TearDown() override {
        std::error_code error;  // left behind in /tmp at worst
        fs::remove_all(proc_, error);
    }

    fs::path proc_ = [] {
        std::string folder = (fs::temp_directory_path() / "quarnel-proc.XXXXXX").string();
        return fs::path(::mkdtemp(folder.data()) != nullptr ? folder : std::string());
    }();
    // A pid that runs, so that the kernel does not say it is free.
    std::uint32_t pid_ = static_cast<std::uint32_t>(::getpid());
    OwnedTcpTable::Clock::time_point now_{1h};
    ReportingTable* reports_ = nullptr;
};

TEST_F(OwnerReuse, ReadsTheStartTimeAfterAProgramNameOfAnyShape) {
    Process("a) b (c", 4242);
    EXPECT_EQ(ProcessStart(pid_, proc_.string()), 4242u);
    EXPECT_TRUE(StillRuns(Owner(pid_, 0, "a) b (c"), 4242, proc_.string()));
    EXPECT_FALSE(StillRuns(Owner(pid_, 0, "a) b (c"), 4241, proc_.string())) << "a later process";
    EXPECT_FALSE(StillRuns(Owner(pid_, 0, "a) b"), 4242, proc_.string())) << "another program";
    EXPECT_GT(ProcessStart(pid_), 0u) << "the real /proc";
    EXPECT_TRUE(StillRuns(Owner(pid_, 0, "x"), 0, proc_.string() + "/none")) << "not seen";
}

TEST_F(OwnerReuse, APidTakenByTheSameProgramNamesNobody) {
    Process("samecomm", 1000);
    const auto table = Table(false);
    reports_->Rows = {Connection(1)};
    reports_->Owners = {{.Cookie = 1, .Owner = Owner(pid_, 49, "samecomm")}};
    ASSERT_EQ(OwnerPid(*table, 1), pid_);
    now_ += 1s;
    EXPECT_EQ(OwnerPid(*table, 1), pid_) << "the same process, still running";
    // The holder ended; a program of the same name, another user's, took the pid.
    Process("samecomm", 1500);
    now_ += 1s;
    EXPECT_EQ(OwnerPid(*table, 1), 0u) << "named after the process that took the pid";
}

TEST_F(OwnerReuse, AHiddenProcessThatTookASeenPidIsNotShown) {
    Process("mine", 1000);
    const auto table = Table(true);
    reports_->Rows = {Connection(1)};
    reports_->Owners = {{.Cookie = 1, .Owner = Owner(pid_, 1000, "mine")}};
    ASSERT_EQ(OwnerPid(*table, 1), pid_);
    // Within the second between checks, root's program takes the pid, which this user may
    // not see.
    Process("secretroot2", 2000, false);
    now_ += 300ms;
    reports_->Rows = {Connection(1), Connection(2)};
    reports_->Owners = {{.Cookie = 2, .Owner = Owner(pid_, 0, "secretroot2")}};
    EXPECT_EQ(OwnerPid(*table, 2), 0u) << "hidden, yet shown";
    EXPECT_EQ(OwnerPid(*table, 1), 0u) << "named after the process that took the pid";
}

// Under hidepid, another user's process that took the pid hides it: what was learnt of the pid
// is not the process there now.
TEST_F(OwnerReuse, APidThatNoLongerShowsItsProcessNamesNobody) {
    Process("mine", 1000);
    const auto table = Table(true);
    reports_->Rows = {Connection(1)};
    reports_->Owners = {{.Cookie = 1, .Owner = Owner(pid_, 1000, "mine")}};
    ASSERT_EQ(OwnerPid(*table, 1), pid_);
    Process("secretroot2", 2000, false);
    now_ += 1s;
    EXPECT_EQ(OwnerPid(*table, 1), 0u) << "named after a process it may no longer see";
}

// A connection its server accepted and handed on before the table opened (as sshd hands a
// session to a child of the same program) is named by the process that holds it from the first
// read, before any pass closes it, not by the listener's.
TEST_F(OwnerReuse, AConnectionHandedOnBeforeTheTableIsItsHoldersFromTheFirstRead) {
    const auto server = static_cast<std::uint32_t>(::getppid()), session = pid_;
    pid_ = server;
    Process("sshd", 1000);
    pid_ = session;
    Process("sshd", 2000);
    auto holders = std::make_unique<Holding>();
    holders->Held = {{1, Owner(server, 0, "sshd")}, {2, Owner(session, 0, "sshd")}};
    const auto table = Table(false, std::move(holders), true);
    TcpRow listener = Connection(1), accepted = Connection(2);
    listener.State = TcpState::Listening;
    listener.LocalPort = accepted.LocalPort = 22;
    reports_->Rows = {listener, accepted};  // the listener first, as a walk may list it
    reports_->Inodes = {1, 2};
    EXPECT_EQ(OwnerPid(*table, 2), session);
    EXPECT_EQ(OwnerPid(*table, 1), server);
}

// Another namespace's connection older than the reports is named by the process a look finds
// holding it, and like any owner, no longer once another process takes the pid.
TEST_F(OwnerReuse, AnOlderSocketElsewhereIsNamedByItsHolderUntilItsPidIsTaken) {
    Process("server", 1000);
    auto holders = std::make_unique<Holding>();
    holders->Held = {{77, Owner(pid_, 0, "server")}};
    const auto table = Table(false, std::move(holders));
    TcpRow held = Connection(5), unheld = Connection(6);
    held.Namespace = unheld.Namespace = 4026532000;
    table->LookForHolders({{.Cookie = 5, .Inode = 77, .Owner = {}, .Namespace = held.Namespace},
                           {.Cookie = 6, .Inode = 78, .Owner = {}, .Namespace = held.Namespace}});
    EXPECT_EQ(table->Owner(held), Owner(pid_, 0, "server"));
    EXPECT_FALSE(table->Owner(unheld).Known());
    Process("server", 2000);
    reports_->Rows = {Connection(1)};
    (void)OwnerPid(*table, 1);  // the check for ended processes comes with a read
    EXPECT_FALSE(table->Owner(held).Known()) << "named after the process that took the pid";
}

}  // namespace
}  // namespace quarnel::platform
