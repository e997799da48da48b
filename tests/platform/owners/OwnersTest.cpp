// Who each row belongs to, against the real kernel in a private network namespace: real
// clients (python3, nc) named with their own pid and program, a connection nobody accepted
// named by its listener, one older than the table by the look for its holder, one accepted
// and handed by its server to a child (before the table opened and after) by the child, and
// one handed on at fork by the process that holds it once the one that made it has gone, also
// when a program of the same name took the pid of the one that made it. A user under hidepid
// is told nothing of another user's process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/events/EventTcpTable.h"
#include "platform/linux/owners/OwnedTcpTable.h"
#include "platform/linux/sockdiag/LinuxTcpTable.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"
#include "tests/support/WaitUntil.h"

namespace quarnel::platform {
namespace {

using testsupport::Listener;
using testsupport::RunInPrivateNetwork;
using testsupport::WaitUntil;

// A program run with its standard input and output on pipes; killed when dropped.
class Child {
public:
    explicit Child(std::vector<std::string> command, uid_t uid = 0) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe";
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            (void)::dup2(in[0], STDIN_FILENO);
            (void)::dup2(out[1], STDOUT_FILENO);
            if (uid != 0 && (::setgid(uid) != 0 || ::setuid(uid) != 0)) {
                ::_exit(126);
            }
            std::vector<char*> argv;
            for (std::string& word : command) {
                argv.push_back(word.data());
            }
            argv.push_back(nullptr);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        (void)::close(in[0]);
        (void)::close(out[1]);
        input_.Reset(in[1]);
        output_.Reset(out[0]);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (pid_ > 0) {
            (void)::kill(pid_, SIGKILL);
            (void)::waitpid(pid_, nullptr, 0);
        }
    }
    pid_t Pid() const { return pid_; }
    // The first line it writes, without its newline; empty when it wrote none.
    std::string Line() {
        std::string line;
        char c = 0;
        while (::read(output_.Get(), &c, 1) == 1 && c != '\n') {
            line += c;
        }
        return line;
    }

private:
    pid_t pid_ = -1;
    UniqueFd input_, output_;  // nc stays while its input is open
};

// A python3 client of port that says its local port, then holds the connection; with fork, the
// process that connected hands it to a child, says the child's pid and ends.
std::unique_ptr<Child> Python(int port, bool fork = false, uid_t uid = 0) {
    const std::string code =
        "import os, socket, sys, time\n"
        "s = socket.create_connection(('127.0.0.1', " +
        std::to_string(port) + "))\n" +
        (fork ? "child = os.fork()\n"
                "if child:\n"
                "    print(child, flush=True)\n"
                "    os._exit(0)\n"
              : "print(os.getpid(), flush=True)\n") +
        "time.sleep(60)\n";
    return std::make_unique<Child>(std::vector<std::string>{"python3", "-c", code}, uid);
}

// A python3 server that says its port, accepts one connection and hands it to a child, which
// alone holds it; says the child's pid and goes on listening.
std::unique_ptr<Child> HandingServer() {
    const std::string code =
        "import os, socket, time\n"
        "l = socket.socket()\n"
        "l.bind(('127.0.0.1', 0))\n"
        "l.listen()\n"
        "print(l.getsockname()[1], flush=True)\n"
        "c, _ = l.accept()\n"
        "child = os.fork()\n"
        "if child == 0:\n"
        "    l.close()\n"
        "    time.sleep(60)\n"
        "    os._exit(0)\n"
        "c.close()\n"
        "print(child, flush=True)\n"
        "time.sleep(60)\n";
    return std::make_unique<Child>(std::vector<std::string>{"python3", "-c", code});
}

std::string CommandOf(pid_t pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

std::unique_ptr<TcpTableSource> OwnedTable(OwnedTcpTable::Options options = {}) {
    auto table = LinuxTcpTable::Open();
    if (!table) {
        ADD_FAILURE() << "no sock_diag";
        return nullptr;
    }
    SocketInodeReader* inodes = table.get();
    PollingCause polling;
    return WithOwners(WithKernelEvents(std::move(table), polling), inodes, std::move(options));
}

// Reads until some row to port (the client's end) is named by pid, as the given program; the
// reads go on incrementally, as a program keeps its rows, so an owner found late must come as
// a change.
bool Named(TcpTableSource& table, std::vector<TcpRow>& rows, int remotePort, pid_t pid,
           int localPort = 0) {
    return WaitUntil(
        [&] {
            const std::string command = CommandOf(pid);  // a child may not have run its program yet
            TableChanges changes;
            (void)table.Read(rows, &changes);
            for (const TcpRow& row : rows) {
                if (row.RemotePort == remotePort &&
                    (localPort == 0 || row.LocalPort == localPort) &&
                    row.OwnerPid == static_cast<std::uint32_t>(pid)) {
                    return table.Owner(row).CommandText() == command;
                }
            }
            return false;
        },
        std::chrono::seconds(5));
}

// Reads until an established row on localPort (the server's end) is owned by pid, as its
// program.
bool HeldBy(TcpTableSource& table, std::vector<TcpRow>& rows, int localPort, pid_t pid) {
    return WaitUntil(
        [&] {
            const std::string command = CommandOf(pid);
            TableChanges changes;
            (void)table.Read(rows, &changes);
            return std::ranges::any_of(rows, [&](const TcpRow& row) {
                return row.LocalPort == localPort && row.State == TcpState::Established &&
                       row.OwnerPid == static_cast<std::uint32_t>(pid) &&
                       table.Owner(row).CommandText() == command;
            });
        },
        std::chrono::seconds(5));
}

TEST(Owners, EachConnectionIsNamedByTheProcessThatHoldsIt) {
    RunInPrivateNetwork([] {
        const Listener listener = testsupport::ListenIPv4("127.0.0.1");
        ASSERT_GT(listener.port, 0);
        auto early = Python(listener.port);
        const pid_t earlyPid = std::stoi(early->Line());
        // A connection accepted and handed on before the table opened is its holder's, not its
        // listener's.
        auto server = HandingServer();
        const int serverPort = std::stoi(server->Line());
        auto client = Python(serverPort);
        (void)client->Line();
        const pid_t served = std::stoi(server->Line());
        const auto table = OwnedTable();
        ASSERT_TRUE(table);
        std::vector<TcpRow> rows;
        ASSERT_TRUE(Named(*table, rows, listener.port, earlyPid)) << "older than the table";
        ASSERT_TRUE(HeldBy(*table, rows, serverPort, served)) << "accepted, then handed on";
        (void)::kill(served, SIGKILL);  // the child of a child: not the Child's to end

        auto python = Python(listener.port);
        ASSERT_TRUE(Named(*table, rows, listener.port, std::stoi(python->Line())));
        Child nc({"nc", "127.0.0.1", std::to_string(listener.port)});
        ASSERT_TRUE(Named(*table, rows, listener.port, nc.Pid()));
        // Nobody accepted them: the listener's program has them.
        ASSERT_TRUE(HeldBy(*table, rows, listener.port, ::getpid()));

        // A server that hands each connection it accepts to a child, which alone holds it
        // (as sshd does with a session): the child, not the listener that accepted it.
        auto handing = HandingServer();
        const int handingPort = std::stoi(handing->Line());
        auto session = Python(handingPort);
        (void)session->Line();
        const pid_t child = std::stoi(handing->Line());
        ASSERT_TRUE(HeldBy(*table, rows, handingPort, child)) << "accepted, then handed to a child";
        (void)::kill(child, SIGKILL);  // the child of a child: not the Child's to end

        auto forked = Python(listener.port, true);
        const pid_t holder = std::stoi(forked->Line());
        ASSERT_TRUE(Named(*table, rows, listener.port, holder)) << "the one that made it ended";
        (void)::kill(holder, SIGKILL);  // the child of a child: not the Child's to end
    });
}

// A process with the given pid (free now), named command, as user uid, that waits to be killed;
// -1 when the kernel would not give that pid (the right to choose one is missing, or another
// process took it).
pid_t StartWithPid(pid_t pid, const char* command, uid_t uid) {
    clone_args args{};
    args.exit_signal = SIGCHLD;
    args.set_tid = reinterpret_cast<std::uint64_t>(&pid);
    args.set_tid_size = 1;
    const long child = ::syscall(SYS_clone3, &args, sizeof args);
    if (child == 0) {
        (void)::prctl(PR_SET_NAME, command);
        if (::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0) {
            ::_exit(126);
        }
        for (;;) {
            (void)::pause();
        }
    }
    return static_cast<pid_t>(child);
}

// A socket handed on whose first holder ended, and whose pid a program of the same name, another
// user's, took: the connection is named by the process that holds it now, never by the one that
// took the pid.
TEST(Owners, APidTakenByAnotherProcessOfTheSameNameDoesNotNameItsConnection) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "choosing a pid needs root";
    }
    RunInPrivateNetwork([] {
        const Listener listener = testsupport::ListenIPv4("127.0.0.1");
        const auto table = OwnedTable();
        ASSERT_TRUE(table);
        int toFirst[2], fromFirst[2];
        ASSERT_EQ(::pipe2(toFirst, O_CLOEXEC), 0);
        ASSERT_EQ(::pipe2(fromFirst, O_CLOEXEC), 0);
        const pid_t first = ::fork();
        if (first == 0) {
            // Connects as "samecomm", waits until told, hands the socket to a child and ends.
            (void)::prctl(PR_SET_NAME, "samecomm");
            const testsupport::Connection connection = testsupport::Connect(listener);
            const int port = testsupport::LocalPort(connection.client.Get());
            char go = 0;
            if (::write(fromFirst[1], &port, sizeof port) != sizeof port ||
                ::read(toFirst[0], &go, 1) != 1) {
                ::_exit(1);
            }
            const pid_t holder = ::fork();
            if (holder == 0) {
                (void)::prctl(PR_SET_NAME, "holder");
                for (;;) {
                    (void)::pause();
                }
            }
            ::_exit(::write(fromFirst[1], &holder, sizeof holder) == sizeof holder ? 0 : 1);
        }
        int port = 0;
        ASSERT_EQ(::read(fromFirst[0], &port, sizeof port), static_cast<ssize_t>(sizeof port));
        std::vector<TcpRow> rows;
        ASSERT_TRUE(Named(*table, rows, listener.port, first, port))
            << "the process that connected";
        ASSERT_EQ(::write(toFirst[1], "g", 1), 1);
        pid_t holder = 0;
        ASSERT_EQ(::read(fromFirst[0], &holder, sizeof holder),
                  static_cast<ssize_t>(sizeof holder));
        int status = 0;
        ASSERT_EQ(::waitpid(first, &status, 0), first);
        // A process's start time counts in clock ticks (10 ms): one started in the same tick as
        // the first cannot be told from it, and no pid comes round that fast but here.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        const pid_t taken = StartWithPid(first, "samecomm", 65534);
        if (taken < 0) {
            (void)::kill(holder, SIGKILL);
            GTEST_SKIP() << "cannot start a process with pid " << first << ": "
                         << std::strerror(errno);
        }
        const bool named = Named(*table, rows, listener.port, holder, port);
        for (const TcpRow& row : rows) {
            if (row.RemotePort == listener.port && row.LocalPort == port) {
                EXPECT_NE(row.OwnerPid, static_cast<std::uint32_t>(first))
                    << "named after the process that took the pid";
            }
        }
        EXPECT_TRUE(named) << "not named after the process that holds it";
        (void)::kill(holder, SIGKILL);  // the child of a child: not ours to reap
        (void)::kill(taken, SIGKILL);
        (void)::waitpid(taken, nullptr, 0);
    });
}

TEST(Owners, AUserUnderHidepidLearnsNothingOfAnotherUsersProcess) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to be two users and mount /proc";
    }
    RunInPrivateNetwork([] {
        constexpr uid_t kOther = 65534, kViewer = 65533;
        char folder[] = "/tmp/quarnel-proc.XXXXXX";
        ASSERT_NE(::mkdtemp(folder), nullptr);
        ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
        ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
        ASSERT_EQ(::mount("proc", folder, "proc", 0, "hidepid=2"), 0) << std::strerror(errno);
        const Listener listener = testsupport::ListenIPv4("127.0.0.1");
        // Opened as root (the kernel programs load), then read as a user of its own.
        const auto table = OwnedTable({.OnlyVisible = true, .Proc = folder});
        ASSERT_TRUE(table);
        auto other = Python(listener.port, false, kOther);
        const pid_t otherPid = std::stoi(other->Line());
        // Root is kept as the saved user only, to end the other user's process afterwards.
        ASSERT_EQ(::setresgid(kViewer, kViewer, 0), 0);
        ASSERT_EQ(::setresuid(kViewer, kViewer, 0), 0);
        const testsupport::Connection own = testsupport::Connect(listener);
        std::vector<TcpRow> rows;
        ASSERT_TRUE(Named(*table, rows, listener.port, ::getpid(),
                          testsupport::LocalPort(own.client.Get())));
        for (const TcpRow& row : rows) {
            EXPECT_NE(row.OwnerPid, static_cast<std::uint32_t>(otherPid)) << "hidden, yet named";
        }
        EXPECT_TRUE(std::ranges::any_of(rows, [&](const TcpRow& row) {
            return row.RemotePort == listener.port && row.OwnerPid == 0;
        }));
        EXPECT_EQ(::setresuid(-1, 0, -1), 0);
    });
}

}  // namespace
}  // namespace quarnel::platform
