#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

#include "engine/Settings.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"
#include "tests/support/WaitUntil.h"

namespace quarnel {
namespace {

using namespace testsupport;
using namespace std::chrono_literals;

// A private home for the program, with its config and runtime folders and the file it prints to.
struct Home {
    std::string Path(const std::string& name) const {
        return dir.path().toStdString() + "/" + name;
    }
    std::string Read(const std::string& name) const {
        QFile file(QString::fromStdString(Path(name)));
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "";
    }
    bool WriteIni(const std::string& text) const {
        QFile file(QString::fromStdString(Path(Ini)));
        return QDir(dir.path()).mkpath("config/Quarnel") && QDir(dir.path()).mkpath("run") &&
               QFile::setPermissions(QString::fromStdString(Path("run")),
                                     QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner) &&
               file.open(QIODevice::WriteOnly) && file.write(text.c_str()) == qint64(text.size());
    }
    static constexpr const char* Ini = "config/Quarnel/Quarnel.ini";
    QTemporaryDir dir;
};

// One run of quarnel in home on Qt's offscreen platform; killed if the test leaves it running.
struct Program {
    explicit Program(const Home& home) : pid(::fork()) {
        if (pid == 0) {
            ::setenv("HOME", home.Path("").c_str(), 1);
            ::setenv("XDG_CONFIG_HOME", home.Path("config").c_str(), 1);
            ::setenv("XDG_RUNTIME_DIR", home.Path("run").c_str(), 1);
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            const int out =
                ::open(home.Path("output").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            if (out >= 0 && ::dup2(out, 1) >= 0 && ::dup2(out, 2) >= 0) {
                ::execl(QUARNEL_PROGRAM, QUARNEL_PROGRAM, static_cast<char*>(nullptr));
            }
            ::_exit(127);
        }
    }
    ~Program() {
        if (Running() && ::kill(pid, SIGKILL) == 0) {  // our own child, after a failure
            (void)::waitpid(pid, nullptr, 0);
        }
    }
    bool Running() {
        return pid > 0 && !ended && !(ended = ::waitpid(pid, &status, WNOHANG) == pid);
    }
    // The exit status once it ended by itself; -1 when it did not end in time or was killed.
    int ExitStatus() {
        const bool done = WaitUntil([this] { return !Running(); }, 60s);
        return done && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    pid_t pid;
    bool ended = false;
    int status = 0;
};

// The connection to server that the program is to close, once it was closed.
bool Aborted(const Connection& connection) {
    char byte = 0;
    const ssize_t got = ::recv(connection.client.Get(), &byte, 1, MSG_DONTWAIT);
    return got == 0 || (got < 0 && errno != EAGAIN);
}

TEST(Program, BlocksStaysAloneAndSavesWhenTerminated) {
    RunInPrivateNetwork([] {
        const Listener server = ListenIPv4();
        const Home home;
        const std::string port = std::to_string(server.port);
        // Loopback is not allowed here; the second piece of the port list is no port.
        ASSERT_TRUE(home.WriteIni("[General]\nAllowedIPString=\nBlockedLocalPortsString=" + port +
                                  ", abc\n"));
        const Connection connection = Connect(server);
        ASSERT_TRUE(connection.client);

        Program first(home);
        EXPECT_TRUE(WaitUntil([&] { return Aborted(connection); }, 60s)) << home.Read("output");
        Program second(home);
        EXPECT_EQ(second.ExitStatus(), 0);
        EXPECT_TRUE(first.Running());

        ASSERT_EQ(::kill(first.pid, SIGTERM), 0);
        EXPECT_EQ(first.ExitStatus(), 0);
        EXPECT_EQ(home.Read(Home::Ini), "[General]\nAllowedIPString=\nBlockedLocalPortsString=" +
                                            port + "\nBlockedRemotePortsString=\n");
    });
}

TEST(Program, AfterAKilledRunAReadOnlyIniIsReportedAndKept) {
    RunInPrivateNetwork([] {
        const Listener server = ListenIPv4();
        const Home home;
        const std::string rules = "[General]\nAllowedIPString=127.0.0.2\nBlockedLocalPortsString=" +
                                  std::to_string(server.port) + "\nBlockedRemotePortsString=\n";
        ASSERT_TRUE(home.WriteIni(rules));
        // Read-only for root too: a read-only bind mount in a mount namespace of this test.
        const std::string folder = home.Path("config/Quarnel");
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            ::mount(nullptr, folder.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) !=
                0) {
            GTEST_SKIP() << "no read-only folder can be made here: " << std::strerror(errno);
        }
        const Connection first = Connect(server);
        {
            Program killed(home);  // leaves its lock behind
            EXPECT_TRUE(WaitUntil([&] { return Aborted(first); }, 60s)) << home.Read("output");
        }
        const Connection second = Connect(server);
        Program program(home);
        EXPECT_TRUE(WaitUntil([&] { return Aborted(second); }, 60s)) << home.Read("output");
        ASSERT_EQ(::kill(program.pid, SIGTERM), 0);
        EXPECT_EQ(program.ExitStatus(), 0);
        EXPECT_EQ(home.Read(Home::Ini), rules);
        EXPECT_NE(home.Read("output").find(SaveFailedText(home.Path(Home::Ini))),
                  std::string::npos);
        (void)::umount2(folder.c_str(), MNT_DETACH);  // so that the home can go
    });
}

}  // namespace
}  // namespace quarnel
