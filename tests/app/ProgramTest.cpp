// The program as a user runs it: the real quarnel on Qt's offscreen platform, where its messages
// go to the file it prints to, in a private network namespace with a home of its own.

#include <gtest/gtest.h>
#include <linux/securebits.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <QProcess>
#include <QTemporaryDir>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "engine/Settings.h"
#include "platform/linux/privileges/Privileges.h"
#include "tests/support/FullPipe.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"
#include "tests/support/WaitUntil.h"

namespace quarnel {
namespace {

using namespace testsupport;

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
    // Whether the program said text in time: kStartTimeout for what it says as it starts.
    bool Says(const std::string& text, std::chrono::milliseconds timeout = kEventTimeout) const {
        return WaitUntil([&] { return Read().find(text) != std::string::npos; }, timeout);
    }
    static constexpr const char* Ini = "config/Quarnel/Quarnel.ini";
    QTemporaryDir dir;
};

// One run of the program at path in home; killed if the test leaves it running. A powerless run
// holds no capability, though root: only file capabilities of what it starts can give any. Its
// output goes to the home's file, or to the descriptor output when one is given.
struct Program : QProcess {
    explicit Program(const Home& home, const std::string& path = QUARNEL_PROGRAM,
                     bool powerless = false, int output = -1) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"HOME", "XDG_RUNTIME_DIR"}) {
            environment.insert(name, QString::fromStdString(home.Path("")));
        }
        environment.insert("XDG_CONFIG_HOME", QString::fromStdString(home.Path("config")));
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        setProcessEnvironment(environment);
        setProcessChannelMode(QProcess::MergedChannels);
        setStandardOutputFile(QString::fromStdString(home.Path("output")), QIODevice::Append);
        setChildProcessModifier([powerless, output] {
            if ((output >= 0 &&
                 (::dup2(output, STDOUT_FILENO) < 0 || ::dup2(output, STDERR_FILENO) < 0)) ||
                (powerless && (::prctl(PR_SET_SECUREBITS, SECBIT_NOROOT) != 0 ||
                               ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0))) {
                ::_exit(127);
            }
        });
        start(QString::fromStdString(path), {});
        (void)waitForStarted();  // no event loop here moves the state on
    }
    bool Running() { return state() == QProcess::Running && !waitForFinished(0); }
    // The exit status once it ended by itself; -1 when it did not end in time or was killed.
    int Wait(std::chrono::milliseconds timeout = kStartTimeout) {
        return waitForFinished(static_cast<int>(timeout.count())) && exitStatus() == NormalExit
                   ? exitCode()
                   : -1;
    }
    int Terminate() { return Running() ? (terminate(), Wait(kEventTimeout)) : -1; }
};

// A server whose port is blocked by a home's rules, and the rules as the program saves them.
struct BlockedServer {
    const Listener server = ListenIPv4();
    const std::string port = std::to_string(server.port);
    // Loopback is not allowed here; a piece of the port list is no port.
    const Home home{"BlockedLocalPortsString=" + port + ", abc,9\n"};
    // Qt quotes a saved value with commas, which then cannot read back as a list of pieces.
    const std::string saved = "[General]\nAllowedIPString=\nBlockedLocalPortsString=\"" + port +
                              ",9\"\nBlockedRemotePortsString=\n";

    // Whether the program, running, closes a new connection to the server in time:
    // kStartTimeout for the first close of a program just started.
    bool Closes(const Program&, std::chrono::milliseconds timeout = kEventTimeout) const {
        const Connection connection = Connect(server);
        return WaitUntil([&] { return Aborted(connection.server); }, timeout);
    }
};

// Also while nobody reads its standard error: what it writes there (Qt's warnings, its notices,
// the closes) is lost rather than waited for. A second start leaves the first alone. A save that
// fails is told.
TEST(Program, ClosesABlockedConnectionStaysAloneAndSavesItsRulesWhenTerminated) {
    RunInPrivateNetwork([] {
        const BlockedServer blocked;
        const Home& home = blocked.home;
        {
            const FullPipe unread;
            const Program killed(home, QUARNEL_PROGRAM, false, unread.writeEnd.Get());
            for (int i = 0; i < 3; ++i) {
                ASSERT_TRUE(blocked.Closes(killed, i == 0 ? kStartTimeout : kEventTimeout))
                    << "stalled on its full standard error";
            }
        }  // killed, leaving its lock behind
        Program program(home);
        ASSERT_TRUE(blocked.Closes(program, kStartTimeout)) << home.Read();
        // Each close is logged on stderr, with the rule that closed it and the listener's owner.
        ASSERT_TRUE(home.Says(" (local port " + blocked.port + " blocked) by "));
        // The piece that is no port is told, and the file kept as it was before the save drops it.
        EXPECT_TRUE(
            home.Says("\"abc\" (blocked local ports). The stored lists as they were are "
                      "kept in " +
                      home.Path(Home::Ini) + ".not-understood"));
        ASSERT_EQ(Program(home).Wait(), 0);
        EXPECT_TRUE(program.Running());
        ASSERT_EQ(program.Terminate(), 0);
        EXPECT_EQ(home.Read(Home::Ini), blocked.saved);

        // A plain file where its settings folder was: the save at the end fails, and is told.
        Program unsaved(home);
        ASSERT_TRUE(blocked.Closes(unsaved, kStartTimeout)) << home.Read();  // rules read
        const std::string folder = home.Path("config/Quarnel");
        ASSERT_TRUE(std::filesystem::remove_all(folder) && std::ofstream(folder));
        ASSERT_EQ(unsaved.Terminate(), 0);
        ASSERT_TRUE(home.Says(SaveFailedText(home.Path(Home::Ini))));
    });
}

// Installed (bin/quarnel finds libexec/quarnel-helper) without any right, it says it only shows
// connections; with the helper granted its right, it closes through the helper. (A hung helper's
// restart is checked on the helper's table itself.)
TEST(Program, ClosesThroughItsInstalledHelperAndSaysWhenItCannotClose) {
    RunInPrivateNetwork([] {
        const BlockedServer blocked;
        // Installed: bin/quarnel looks for its helper in libexec beside bin.
        const std::string bin = blocked.home.Path("bin/quarnel"),
                          helper = blocked.home.Path("libexec/quarnel-helper");
        std::filesystem::create_directories(blocked.home.Path("libexec"));
        std::filesystem::create_directories(blocked.home.Path("bin"));
        std::filesystem::copy_file(QUARNEL_PROGRAM, bin);
        {
            Program viewer(blocked.home, bin, true);
            ASSERT_TRUE(blocked.home.Says("Quarnel only shows connections: it cannot close them",
                                          kStartTimeout));
            ASSERT_EQ(viewer.Terminate(), 0);
        }
        std::filesystem::copy_file(QUARNEL_HELPER, helper);
        // What the install grants, as setcap does.
        vfs_cap_data caps{VFS_CAP_REVISION_2 | VFS_CAP_FLAGS_EFFECTIVE,
                          {{std::uint32_t(platform::kStartCapabilities), 0}}};
        if (::setxattr(helper.c_str(), "security.capability", &caps, XATTR_CAPS_SZ_2, 0) != 0) {
            GTEST_SKIP() << "file capabilities are refused here: " << std::strerror(errno);
        }
        Program guard(blocked.home, bin, true);
        ASSERT_TRUE(blocked.Closes(guard, kStartTimeout)) << blocked.home.Read();
        ASSERT_EQ(guard.Terminate(), 0);
    });
}

// A settings file it cannot read, one that is no regular file and one it cannot understand:
// each is told at start and never written over; the one not understood is kept aside. A FIFO
// holds nothing up: the program starts, and ends when told to.
TEST(Program, NeverLosesRulesItCannotReadOrUnderstand) {
    RunInPrivateNetwork([] {
        const std::string garbage{'\x7f', 'E', 'L', 'F', '\x02', '\0', '\n', '\x03'};
        const struct {
            const char* name;
            std::function<void(const std::string&)> make;
            std::string said;  // after the file's path
        } cases[] = {
            {"unreadable", [](const std::string& ini) { std::filesystem::permissions(ini, {}); },
             " (Permission denied): no port is blocked."},
            {"fifo",
             [](const std::string& ini) {
                 std::filesystem::remove(ini);
                 ASSERT_EQ(::mkfifo(ini.c_str(), 0600), 0);
             },
             " (not a regular file): no port is blocked."},
            {"not understood", [&](const std::string& ini) { std::ofstream(ini) << garbage; },
             " could not be understood and was kept as "},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            const Home home("BlockedRemotePortsString=9\n");
            const std::string ini = home.Path(Home::Ini), before = home.Read(Home::Ini);
            c.make(ini);
            Program program(home, QUARNEL_PROGRAM, true);  // root's powers would read it anyway
            ASSERT_TRUE(home.Says(ini + c.said, kStartTimeout)) << home.Read();
            ASSERT_EQ(program.Terminate(), 0);
            if (std::string(c.name) == "not understood") {
                EXPECT_EQ(home.Read(std::string(Home::Ini) + ".not-understood"), garbage);
                EXPECT_NE(home.Read(Home::Ini).find("BlockedRemotePortsString=\n"),
                          std::string::npos);
            } else if (std::string(c.name) == "fifo") {
                EXPECT_TRUE(std::filesystem::is_fifo(ini));
            } else {
                std::filesystem::permissions(ini, std::filesystem::perms::owner_read);
                EXPECT_EQ(home.Read(Home::Ini), before);
            }
        }
    });
}

}  // namespace
}  // namespace quarnel
