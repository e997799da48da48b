// quarneld as systemd runs it, for real, in private network namespaces: it closes what its
// rules file blocks and logs each close with its rule, follows every change of that file, keeps
// the last good rules when a change is bad (across a restart too), reloads on SIGHUP and ends on
// SIGTERM.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QProcess>
#include <QTemporaryDir>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"
#include "tests/support/WaitUntil.h"

namespace quarnel {
namespace {

using namespace testsupport;
using namespace std::chrono_literals;

std::string Contents(const std::string& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), {}};
}

// A folder with the rules file (in its own folder etc/) and what quarneld writes to stdout and
// stderr.
struct Folder {
    Folder() { std::filesystem::create_directory(Path("etc")); }
    std::string Path(const std::string& name) const {
        return dir.path().toStdString() + "/" + name;
    }
    std::string Read(const std::string& name) const { return Contents(Path(name)); }
    // Writes the rules file in place, as a shell's > does.
    void WriteRules(const std::string& content) const {
        std::ofstream(Path(Rules), std::ios::binary | std::ios::trunc) << content;
    }
    // Replaces the rules file by a rename, as editors save.
    void ReplaceRules(const std::string& content) const {
        std::ofstream(Path(Rules) + ".new", std::ios::binary) << content;
        std::filesystem::rename(Path(Rules) + ".new", Path(Rules));
    }
    static constexpr const char* Rules = "etc/Quarnel.ini";
    QTemporaryDir dir;
};

// One run of quarneld --config on the folder's rules file, with no home and no display, keeping
// its accepted rules in the folder's state/; its stdout and stderr go to files in the folder.
// With journal, its output is taken for the journal, as under systemd.
struct Daemon : QProcess {
    explicit Daemon(const Folder& folder, bool journal = false) : Log(folder.Path("log")) {
        QProcessEnvironment environment;
        environment.insert("PATH", "/usr/bin:/bin");
        std::filesystem::create_directories(folder.Path("state"));
        environment.insert("STATE_DIRECTORY", QString::fromStdString(folder.Path("state")));
        if (journal) {
            std::ofstream(Log, std::ios::trunc).flush();  // the same file, truncated, is its stdout
            struct stat file {};
            EXPECT_EQ(::stat(Log.c_str(), &file), 0);
            environment.insert("JOURNAL_STREAM",
                               QString::fromStdString(std::to_string(file.st_dev) + ":" +
                                                      std::to_string(file.st_ino)));
        }
        for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"}) {
            if (qEnvironmentVariableIsSet(name)) {
                environment.insert(name, qEnvironmentVariable(name));
            }
        }
        setProcessEnvironment(environment);
        setStandardOutputFile(QString::fromStdString(Log));
        setStandardErrorFile(QString::fromStdString(Log + ".err"));
        start(QUARNEL_DAEMON, {"--config", QString::fromStdString(folder.Path(Folder::Rules))});
        (void)waitForStarted();
    }
    std::string Read() const { return Contents(Log); }
    // Whether it logged text within a generous while.
    bool Logged(const std::string& text) const {
        return WaitUntil([&] { return Read().find(text) != std::string::npos; }, 60s);
    }
    void Signal(int number) { ASSERT_EQ(::kill(static_cast<pid_t>(processId()), number), 0); }
    // Ends it by SIGTERM, which it must end on cleanly.
    void Stop() {
        Signal(SIGTERM);
        EXPECT_TRUE(waitForFinished(60000) && exitStatus() == NormalExit && exitCode() == 0);
    }

    std::string Log;
};

bool Closed(const UniqueFd& end) {
    return WaitUntil([&] { return Aborted(end); }, 60s);
}

// A rules file that blocks the local ports ports and allows no address, and the rules in force
// it makes.
std::string LocalRules(const std::string& ports) {
    return "[General]\nAllowedIPString=\nBlockedLocalPortsString=" + ports + "\n";
}
std::string InForce(const std::string& ports) {
    return "blocked local ports " + ports + "; blocked remote ports none; allowed addresses none";
}

// It closes what its rules file blocks and logs each close with its rule, and keeps
// CAP_NET_ADMIN alone. Also as deployment tools and mounted volumes do: the file's folder is
// removed and made again, and the service follows the file in the new folder, and says when it
// lost and found it. A start that finds the file refused puts the rules it last accepted in
// force, not none.
TEST(Service, FollowsItsRulesFileAndKeepsTheLastGoodRulesWhenAChangeIsBad) {
    RunInPrivateNetwork([] {
        const Listener a = ListenIPv4(), b = ListenIPv4(), c = ListenIPv4();
        const std::string portA = std::to_string(a.port), portB = std::to_string(b.port),
                          both = portA + "," + portB;
        const Folder folder;
        const std::string path = folder.Path(Folder::Rules), etc = folder.Path("etc"),
                          copy = folder.Path("state/accepted.ini");
        const std::string defaults =
            "the defaults are in force until a good file appears: blocked "
            "local ports none; blocked remote ports none; allowed "
            "addresses 127.0.0.1,::1";
        const std::string bad = "[General]\nBlockedLocalPortsString=44x\n";
        const std::string why =
            " is not used: BlockedLocalPortsString holds \"44x\", which is no "
            "port number or range (1 to 65535); ";
        {
            Daemon daemon(folder);
            EXPECT_TRUE(daemon.Logged("there is no rules file " + path +
                                      "; it never accepted a rules file; " + defaults));

            // A rule written in place closes what is open on its port; one saved by a rename is
            // followed too, and kept as the rules last accepted.
            const Connection first = Connect(a);
            folder.WriteRules(LocalRules(portA));
            EXPECT_TRUE(Closed(first.server)) << daemon.Read();
            EXPECT_TRUE(daemon.Logged("closed IPv4 127.0.0.1:" + portA +
                                      " -> 127.0.0.1:" + std::to_string(first.clientPort) +
                                      " (local port " + portA + " blocked) by "));
            // Attached to the cgroup the test sees as the root, made for it.
#ifdef QUARNEL_KERNEL_EVENTS
            EXPECT_TRUE(
                daemon.Logged("Quarnel holds back the data of blocked connections in the "
                              "kernel (cgroup filter)."));
#endif
            // It keeps CAP_NET_ADMIN alone, with no_new_privs.
            std::ifstream status("/proc/" + std::to_string(daemon.processId()) + "/status");
            const std::string text{std::istreambuf_iterator<char>(status), {}};
            for (const char* line :
                 {"CapInh:\t0000000000000000", "CapPrm:\t0000000000001000",
                  "CapEff:\t0000000000001000", "CapAmb:\t0000000000000000", "NoNewPrivs:\t1"}) {
                EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
            }
            folder.ReplaceRules(LocalRules('"' + both + '"'));
            const std::string inForce = "the rules in force stay: " + InForce(both);
            EXPECT_TRUE(daemon.Logged("rules in force: " + InForce(both)));
            EXPECT_EQ(folder.Read("state/accepted.ini"), LocalRules('"' + both + '"'));

            // A bad change is refused whole and said; so is the file's removal; the rules
            // before them still close.
            folder.WriteRules(bad);
            EXPECT_TRUE(daemon.Logged("the rules file " + path + why + inForce)) << daemon.Read();
            std::filesystem::remove(path);
            EXPECT_TRUE(daemon.Logged("the rules file " + path + " is gone; " + inForce));
            const Connection still = Connect(a);
            EXPECT_TRUE(Closed(still.server));

            // A file behind a link in another folder: its edits reach the service on SIGHUP.
            std::filesystem::create_directory(folder.Path("elsewhere"));
            const std::string target = folder.Path("elsewhere/rules.ini");
            std::ofstream(target) << LocalRules(portB);
            std::filesystem::create_symlink(target, path);
            EXPECT_TRUE(daemon.Logged("rules in force: " + InForce(portB)));
            std::ofstream(target) << LocalRules(std::to_string(c.port));
            daemon.Signal(SIGHUP);
            EXPECT_TRUE(daemon.Logged("rules in force: " + InForce(std::to_string(c.port))));

            // Rules that block less let go: once the connection to c is closed, the one to a,
            // opened before it, has been judged under the same rules, and stays.
            const Connection kept = Connect(a), sentinel = Connect(c);
            EXPECT_TRUE(Closed(sentinel.server));
            EXPECT_FALSE(Aborted(kept.server));
            EXPECT_FALSE(Aborted(kept.client));

            std::filesystem::remove_all(etc);
            EXPECT_TRUE(daemon.Logged("the folder " + etc +
                                      " of the rules file is gone: it is looked for every second, "
                                      "and the rules in force stay until it is back"))
                << daemon.Read();
            // Made again twice: each new folder is followed as the first was. The last is saved
            // with a byte order mark, as some editors save it.
            const std::pair<std::string, const Listener&> again[] = {
                {LocalRules(portB), b}, {"\xEF\xBB\xBF" + LocalRules(portA), a}};
            for (const auto& [content, listener] : again) {
                std::filesystem::remove_all(etc);
                std::filesystem::create_directory(etc);
                folder.ReplaceRules(content);
                const Connection blocked = Connect(listener);
                EXPECT_TRUE(Closed(blocked.server)) << daemon.Read();
            }
            EXPECT_TRUE(
                daemon.Logged("the folder " + etc + " is back: the rules file is followed again"));
            // Refused, a change leaves the kept copy as it was.
            folder.WriteRules(bad);
            EXPECT_TRUE(daemon.Logged("the rules file " + path + why +
                                      "the rules in force stay: " + InForce(portA)));
            daemon.Stop();
        }
        {
            const Connection blocked = Connect(a);
            Daemon daemon(folder, true);
            EXPECT_TRUE(daemon.Logged("the rules file " + path + why +
                                      "the rules it last accepted, kept in " + copy +
                                      ", are in force: " + InForce(portA)))
                << daemon.Read();
            EXPECT_TRUE(Closed(blocked.server));
            // For the journal, each line carries its priority.
            EXPECT_NE(daemon.Read().find("<4>the rules file " + path + why), std::string::npos);
            EXPECT_NE(daemon.Read().find("\n<6>"), std::string::npos);
            daemon.Stop();
        }
        // A damaged copy is refused like the file, and said; then only the defaults are left.
        std::ofstream(copy, std::ios::trunc)
            << "[General]\nBlockedLocalPortsString=" << portA << "\nhalf";
        Daemon daemon(folder, true);
        EXPECT_TRUE(daemon.Logged("the rules file " + path + why +
                                  "its copy of the rules it last accepted, " + copy +
                                  ", is refused too: it is not a settings file"));
        EXPECT_TRUE(daemon.Logged(defaults)) << daemon.Read();
        daemon.Stop();
        EXPECT_EQ(folder.Read(Folder::Rules), bad);  // never written
        EXPECT_EQ(folder.Read("log.err"), "");
    });
}

}  // namespace
}  // namespace quarnel
