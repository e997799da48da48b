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

// A private home for the program: config and runtime folders, and a file for what it prints.
struct Home {
    Home() {
        EXPECT_TRUE(QDir(dir.path()).mkpath("config/Quarnel") && QDir(dir.path()).mkpath("run"));
        EXPECT_TRUE(QFile::setPermissions(dir.path() + "/run",
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }
    QString Path(const char* name) const { return dir.path() + "/" + name; }
    QString Ini() const { return Path("config/Quarnel/Quarnel.ini"); }
    static std::string Read(const QString& file) {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : "";
    }
    void WriteIni(const std::string& text) const {
        QFile f(Ini());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text.c_str());
    }

    QTemporaryDir dir;
};

// One run of quarnel in the home, on Qt's offscreen platform. Killed if the test leaves it.
class Program {
public:
    explicit Program(const Home& home) {
        const std::string root = home.dir.path().toStdString();
        pid = ::fork();
        if (pid == 0) {
            ::setenv("HOME", root.c_str(), 1);
            ::setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
            ::setenv("XDG_RUNTIME_DIR", (root + "/run").c_str(), 1);
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            const int out = ::open((root + "/output").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            if (out < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0) {
                ::_exit(126);
            }
            ::execl(QUARNEL_PROGRAM, QUARNEL_PROGRAM, static_cast<char*>(nullptr));
            ::_exit(127);
        }
        EXPECT_GT(pid, 0);
    }
    ~Program() {
        if (pid > 0 && Running()) {
            (void)::kill(pid, SIGKILL);  // a test that failed early; the process is ours
            (void)::waitpid(pid, nullptr, 0);
        }
    }
    bool Running() {
        if (ended) {
            return false;
        }
        ended = ::waitpid(pid, &status, WNOHANG) == pid;
        return !ended;
    }
    // The exit status once it ended by itself; -1 when it did not end in time or was killed.
    int ExitStatus() {
        if (!WaitUntil([this] { return !Running(); }, 60s)) {
            return -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    pid_t pid = -1;

private:
    bool ended = false;
    int status = 0;
};

// Whether the kernel has told the client of this connection that it is gone.
bool Aborted(const Connection& connection) {
    char byte = 0;
    const ssize_t got = ::recv(connection.client.Get(), &byte, 1, MSG_DONTWAIT);
    return got == 0 || (got < 0 && errno != EAGAIN);
}

TEST(Program, BlocksStaysAloneAndSavesWhenTerminated) {
    RunInPrivateNetwork([] {
        const Listener server = ListenIPv4();
        ASSERT_TRUE(server.fd);
        const Home home;
        const std::string port = std::to_string(server.port);
        // Loopback is not allowed here, and the second piece of the port list is no port.
        home.WriteIni("[General]\nAllowedIPString=\nBlockedLocalPortsString=" + port + ", abc\n");
        const Connection connection = Connect(server);
        ASSERT_TRUE(connection.client);

        Program first(home);
        EXPECT_TRUE(WaitUntil([&] { return Aborted(connection); }, 60s));

        Program second(home);
        EXPECT_EQ(second.ExitStatus(), 0);
        EXPECT_TRUE(first.Running());

        ASSERT_EQ(::kill(first.pid, SIGTERM), 0);
        EXPECT_EQ(first.ExitStatus(), 0);
        EXPECT_EQ(Home::Read(home.Ini()), "[General]\nAllowedIPString=\nBlockedLocalPortsString=" +
                                              port + "\nBlockedRemotePortsString=\n");
    });
}

// A folder made read-only for everyone, root included, in a mount namespace of this process.
struct ReadOnlyFolder {
    explicit ReadOnlyFolder(const QString& folder) : path(folder.toStdString()) {
        mounted = ::unshare(CLONE_NEWNS) == 0 &&
                  ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                  ::mount(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) == 0;
        readOnly = mounted && ::mount(nullptr, path.c_str(), nullptr,
                                      MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
        error = errno;
    }
    ~ReadOnlyFolder() {
        if (mounted) {
            (void)::umount2(path.c_str(), MNT_DETACH);  // only this namespace sees it anyway
        }
    }
    std::string path;
    bool mounted = false, readOnly = false;
    int error = 0;
};

TEST(Program, AReadOnlyIniIsReportedAndKeepsItsRules) {
    RunInPrivateNetwork([] {
        const Listener server = ListenIPv4();
        ASSERT_TRUE(server.fd);
        const Home home;
        const std::string rules = "[General]\nAllowedIPString=127.0.0.2\nBlockedLocalPortsString=" +
                                  std::to_string(server.port) + "\nBlockedRemotePortsString=\n";
        home.WriteIni(rules);
        const ReadOnlyFolder folder(home.Path("config/Quarnel"));
        if (!folder.readOnly) {
            GTEST_SKIP() << "cannot make a read-only folder here: " << std::strerror(folder.error);
        }
        const Connection connection = Connect(server);
        ASSERT_TRUE(connection.client);

        Program program(home);
        EXPECT_TRUE(WaitUntil([&] { return Aborted(connection); }, 60s));  // the rules work
        ASSERT_EQ(::kill(program.pid, SIGTERM), 0);
        EXPECT_EQ(program.ExitStatus(), 0);
        EXPECT_EQ(Home::Read(home.Ini()), rules);
        EXPECT_NE(Home::Read(home.Path("output")).find(SaveFailedText(home.Ini().toStdString())),
                  std::string::npos);
    });
}

}  // namespace
}  // namespace quarnel
