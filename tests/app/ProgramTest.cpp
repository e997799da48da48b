// The program as a user runs it: the real quarnel on Qt's offscreen platform, where its messages
// go to the file it prints to, in a private network namespace with a home of its own.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/securebits.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "engine/Settings.h"
#include "platform/linux/HelperPrivileges.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"
#include "tests/support/WaitUntil.h"

namespace quarnel {
namespace {

using namespace testsupport;
using namespace std::chrono_literals;
using platform::CapabilityBit;

// A private home for the program, with its rules, its runtime folder (the home itself, private
// as such a folder must be) and the file it prints to.
struct Home {
    explicit Home(const std::string& rules) {
        std::filesystem::create_directories(Path("config/Quarnel"));
        std::ofstream(Path(Ini)) << "[General]\nAllowedIPString=\n" << rules;
    }
    std::string Path(const std::string& name) const {
        return dir.path().toStdString() + "/" + name;
    }
    std::string Read(const std::string& name = "output") const {
        std::ifstream file(Path(name));
        return {std::istreambuf_iterator<char>(file), {}};
    }
    // Whether the program said text within a generous while.
    bool Says(const std::string& text) const {
        return WaitUntil([&] { return Read().find(text) != std::string::npos; }, 60s);
    }
    static constexpr const char* Ini = "config/Quarnel/Quarnel.ini";
    QTemporaryDir dir;
};

// One run of the program at path in home; killed if the test leaves it running. A powerless run
// holds no capability, though root: only file capabilities of what it starts can give any.
struct Program {
    explicit Program(const Home& home, const std::string& path = QUARNEL_PROGRAM,
                     bool powerless = false)
        : pid(::fork()) {
        if (pid == 0) {
            ::setenv("HOME", home.Path("").c_str(), 1);
            ::setenv("XDG_CONFIG_HOME", home.Path("config").c_str(), 1);
            ::setenv("XDG_RUNTIME_DIR", home.Path("").c_str(), 1);
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            const int out =
                ::open(home.Path("output").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            const bool dropped =
                !powerless || (::prctl(PR_SET_SECUREBITS, SECBIT_NOROOT) == 0 &&
                               ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) == 0);
            if (dropped && out >= 0 && ::dup2(out, 1) >= 0 && ::dup2(out, 2) >= 0) {
                ::execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
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
    int Wait() {
        const bool done = WaitUntil([this] { return !Running(); }, 60s);
        return done && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    int Terminate() { return pid > 0 && ::kill(pid, SIGTERM) == 0 ? Wait() : -1; }
    // The process id of the helper it runs; 0 when none.
    pid_t Helper() const {
        const std::string self = std::to_string(pid);
        std::ifstream children("/proc/" + self + "/task/" + self + "/children");
        pid_t child = 0;
        return children >> child ? child : 0;
    }
    // Kills the helper as a crash would, or stops it as a hang would; never anything else.
    void SignalHelper(int signal) {
        const pid_t helper = Helper();
        ASSERT_GT(helper, 0) << "no helper runs";
        ASSERT_EQ(::kill(helper, signal), 0);
    }
    pid_t pid;
    bool ended = false;
    int status = 0;
};

// Whether the program closed the server end of connection: the kernel reports that only once.
bool Aborted(const Connection& connection) {
    char byte = 0;
    return ::recv(connection.server.Get(), &byte, 1, MSG_DONTWAIT) < 0 && errno == ECONNABORTED;
}

// Whether connection still carries a byte after the program had many passes over it.
bool Survives(const Connection& connection) {
    std::this_thread::sleep_for(300ms);
    char byte = 'q';
    return ::send(connection.client.Get(), &byte, 1, MSG_NOSIGNAL) == 1 &&
           ::recv(connection.server.Get(), &byte, 1, 0) == 1;
}

// Gives the file at path the capabilities in mask, permitted and effective, as setcap does.
bool Grant(const std::string& path, std::uint64_t mask) {
    vfs_cap_data data{};
    data.magic_etc = VFS_CAP_REVISION_2 | VFS_CAP_FLAGS_EFFECTIVE;
    data.data[0].permitted = static_cast<std::uint32_t>(mask);
    data.data[1].permitted = static_cast<std::uint32_t>(mask >> 32);
    return ::setxattr(path.c_str(), "security.capability", &data, XATTR_CAPS_SZ_2, 0) == 0;
}

TEST(Program, BlocksStaysAloneTakesOverAKilledRunsLockAndSavesWhenTerminated) {
    RunInPrivateNetwork([] {
        const Listener server = ListenIPv4();
        const std::string port = std::to_string(server.port);
        // Loopback is not allowed here; the second piece of the port list is no port.
        const Home home("BlockedLocalPortsString=" + port + ", abc\n");
        const std::string saved = "[General]\nAllowedIPString=\nBlockedLocalPortsString=" + port +
                                  "\nBlockedRemotePortsString=\n";
        const Connection first = Connect(server);
        {
            Program killed(home);  // leaves its lock behind
            EXPECT_TRUE(WaitUntil([&] { return Aborted(first); }, 60s)) << home.Read();
        }
        const Connection second = Connect(server);
        Program program(home);
        EXPECT_TRUE(WaitUntil([&] { return Aborted(second); }, 60s)) << home.Read();
        EXPECT_EQ(Program(home).Wait(), 0);
        EXPECT_TRUE(program.Running());
        EXPECT_EQ(program.Terminate(), 0);
        EXPECT_EQ(home.Read(Home::Ini), saved);

        // Read-only for root too: a read-only bind mount in a mount namespace of this test.
        const std::string folder = home.Path("config/Quarnel");
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            ::mount(nullptr, folder.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) !=
                0) {
            GTEST_SKIP() << "no read-only folder can be made here: " << std::strerror(errno);
        }
        const Connection third = Connect(server);
        Program unsaved(home);
        EXPECT_TRUE(WaitUntil([&] { return Aborted(third); }, 60s)) << home.Read();
        EXPECT_EQ(unsaved.Terminate(), 0);
        EXPECT_TRUE(home.Says(SaveFailedText(home.Path(Home::Ini))));
        EXPECT_EQ(home.Read(Home::Ini), saved);
        (void)::umount2(folder.c_str(), MNT_DETACH);  // so that the home can go
    });
}

// Installed as the install lays it out, first without its helper, then with one that holds the
// right to close; the program itself holds no capability. A dead helper is restarted once, a
// hung one then given up.
TEST(Program, WithoutAnyRightClosesOnlyThroughItsHelperRestartedOnce) {
    RunInPrivateNetwork([] {
        const Listener server = ListenIPv4();
        const Home home("BlockedLocalPortsString=" + std::to_string(server.port) + "\n");
        const std::string program = home.Path("bin/quarnel");
        const std::string helper = home.Path("libexec/quarnel-helper");
        std::filesystem::create_directories(home.Path("libexec"));
        std::filesystem::create_directories(home.Path("bin"));
        std::filesystem::copy_file(QUARNEL_PROGRAM, program);
        {
            // It has no right: it says so, which also shows it to the runs below.
            const Connection connection = Connect(server);
            Program viewer(home, program, true);
            EXPECT_TRUE(
                home.Says("only shows connections: it lacks the right to close them "
                          "(CAP_NET_ADMIN), and its helper quarnel-helper is not"));
            EXPECT_TRUE(Survives(connection));
            EXPECT_EQ(viewer.Terminate(), 0);
        }
        // What the install grants, and the right to close alone (the helper then polls).
        const std::uint64_t close = CapabilityBit(CAP_NET_ADMIN);
        for (const std::uint64_t grant :
             {close | CapabilityBit(CAP_BPF) | CapabilityBit(CAP_PERFMON), close}) {
            SCOPED_TRACE(grant == close ? "CAP_NET_ADMIN alone" : "as installed");
            std::filesystem::remove(home.Path("output"));  // a fresh story
            std::filesystem::copy_file(QUARNEL_HELPER, helper,
                                       std::filesystem::copy_options::overwrite_existing);
            if (!Grant(helper, grant)) {
                GTEST_SKIP() << "file capabilities are refused here: " << std::strerror(errno);
            }
            const Connection first = Connect(server);
            Program guard(home, program, true);
            EXPECT_TRUE(WaitUntil([&] { return Aborted(first); }, 60s)) << home.Read();

            guard.SignalHelper(SIGKILL);
            EXPECT_TRUE(home.Says("Closing connections stopped working: the helper " + helper +
                                  " ended (it was killed by signal 9"))
                << home.Read();
            EXPECT_TRUE(home.Says("The helper " + helper +
                                  " was restarted; closing connections works again."));
            const Connection second = Connect(server);
            EXPECT_TRUE(WaitUntil([&] { return Aborted(second); }, 60s)) << home.Read();

            // A helper that hangs tells nothing, not even while the program idles on its
            // reports: the program must ask.
            guard.SignalHelper(SIGSTOP);
            EXPECT_TRUE(
                home.Says("did not answer within 250 ms. It is not restarted a second "
                          "time"))
                << home.Read();
            EXPECT_TRUE(Survives(Connect(server)));
            EXPECT_EQ(guard.Helper(), 0);
            EXPECT_EQ(guard.Terminate(), 0);
        }
    });
}

}  // namespace
}  // namespace quarnel
