// quarneld as systemd runs it, for real, in private network namespaces: it closes what its
// rules file blocks and logs each close with its rule, follows every change of that file, keeps
// the last good rules when a change is bad, reloads on SIGHUP and ends on SIGTERM.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <QProcess>
#include <QTemporaryDir>

#include <cerrno>
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
using namespace std::string_literals;

// A folder with the rules file and what quarneld writes to stdout and stderr.
struct Folder {
    std::string Path(const std::string& name) const {
        return dir.path().toStdString() + "/" + name;
    }
    std::string Read(const std::string& name) const {
        std::ifstream file(Path(name));
        return {std::istreambuf_iterator<char>(file), {}};
    }
    // Writes the rules file in place, as a shell's > does.
    void WriteRules(const std::string& content) const {
        std::ofstream(Path(Rules), std::ios::binary | std::ios::trunc) << content;
    }
    // Replaces the rules file by a rename, as editors save.
    void ReplaceRules(const std::string& content) const {
        std::ofstream(Path("Quarnel.ini.new"), std::ios::binary) << content;
        std::filesystem::rename(Path("Quarnel.ini.new"), Path(Rules));
    }
    static constexpr const char* Rules = "Quarnel.ini";
    QTemporaryDir dir;
};

// One run of quarneld --config on the folder's rules file, with no home and no display.
struct Daemon : QProcess {
    explicit Daemon(const Folder& folder) : Log(folder.Path("log")) {
        QProcessEnvironment environment;
        environment.insert("PATH", "/usr/bin:/bin");
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
    std::string Read() const {
        std::ifstream file(Log);
        return {std::istreambuf_iterator<char>(file), {}};
    }
    // Whether it logged line (a whole line) within a generous while; the log is in the message.
    bool Logged(const std::string& line) const {
        return WaitUntil(
            [&] { return ("\n" + Read()).find("\n" + line + "\n") != std::string::npos; }, 60s);
    }
    void Signal(int number) { ASSERT_EQ(::kill(static_cast<pid_t>(processId()), number), 0); }
    // The exit status once it ended; -1 when it did not end in time or died of a signal.
    int Wait() { return waitForFinished(60000) && exitStatus() == NormalExit ? exitCode() : -1; }

    std::string Log;
};

bool Closed(const UniqueFd& end) {
    return WaitUntil([&] { return Aborted(end); }, 60s);
}

std::string Ports(int a, int b) {
    return std::to_string(a) + "," + std::to_string(b);
}

TEST(Service, ClosesWhatItsRulesBlockLogsEachWithItsRuleAndKeepsOnlyItsRight) {
    RunInPrivateNetwork([] {
        const Listener v4 = ListenIPv4();
        const Listener dual = ListenIPv6Any();
        const Folder folder;
        const std::string rules = "[General]\nAllowedIPString=\nBlockedRemotePortsString=\"" +
                                  Ports(v4.port, dual.port) + "\"\n";
        folder.WriteRules(rules);
        const Connection ipv4 = Connect(v4);
        const Connection mapped = Connect(dual, "::ffff:127.0.0.1");
        const Connection ipv6 = Connect(dual, "::1");
        Daemon daemon(folder);
        const std::string port = std::to_string(v4.port), dualPort = std::to_string(dual.port);
        EXPECT_TRUE(Closed(ipv4.client));
        EXPECT_TRUE(Closed(mapped.client));
        EXPECT_TRUE(Closed(ipv6.client));
        EXPECT_TRUE(daemon.Logged("closed IPv4 127.0.0.1:" + std::to_string(ipv4.clientPort) +
                                  " -> 127.0.0.1:" + port + " (remote port " + port + " blocked)"))
            << daemon.Read();
        EXPECT_TRUE(daemon.Logged(
            "closed IPv6 [::ffff:127.0.0.1]:" + std::to_string(mapped.clientPort) +
            " -> [::ffff:127.0.0.1]:" + dualPort + " (remote port " + dualPort + " blocked)"))
            << daemon.Read();
        EXPECT_TRUE(daemon.Logged("closed IPv6 [::1]:" + std::to_string(ipv6.clientPort) +
                                  " -> [::1]:" + dualPort + " (remote port " + dualPort +
                                  " blocked)"))
            << daemon.Read();
        EXPECT_TRUE(
            daemon.Logged("rules in force: blocked local ports none; blocked remote "
                          "ports " +
                          Ports(v4.port, dual.port) + "; allowed addresses none"));
        EXPECT_TRUE(daemon.Logged("It keeps CAP_NET_ADMIN alone, with no_new_privs."));
        // Attached to the cgroup the test sees as the root, made for it.
        EXPECT_TRUE(daemon.Logged("The kernel holds back the data of blocked connections."))
            << daemon.Read();
        // What the log says, the kernel confirms: CAP_NET_ADMIN alone, and no_new_privs.
        std::ifstream status("/proc/" + std::to_string(daemon.processId()) + "/status");
        const std::string text{std::istreambuf_iterator<char>(status), {}};
        for (const char* line :
             {"CapInh:\t0000000000000000", "CapPrm:\t0000000000001000", "CapEff:\t0000000000001000",
              "CapAmb:\t0000000000000000", "NoNewPrivs:\t1"}) {
            EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
        }
        daemon.Signal(SIGTERM);
        EXPECT_EQ(daemon.Wait(), 0);
        EXPECT_TRUE(daemon.Logged("stopping on SIGTERM, after 3 closed"));
        EXPECT_EQ(folder.Read(Folder::Rules), rules);  // never written
        EXPECT_EQ(folder.Read("log.err"), "");
    });
}

TEST(Service, FollowsItsRulesFileAndKeepsTheLastGoodRulesWhenAChangeIsBad) {
    RunInPrivateNetwork([] {
        const Listener a = ListenIPv4(), b = ListenIPv4(), c = ListenIPv4();
        const std::string portA = std::to_string(a.port), both = Ports(a.port, b.port);
        const Folder folder;
        const std::string path = folder.Path(Folder::Rules);
        Daemon daemon(folder);
        EXPECT_TRUE(daemon.Logged("there is no rules file " + path +
                                  ": no port is blocked until it appears"));

        // A rule written in place closes what is open on its port.
        const Connection first = Connect(a);
        folder.WriteRules("[General]\nAllowedIPString=\nBlockedLocalPortsString=" + portA + "\n");
        EXPECT_TRUE(Closed(first.server)) << daemon.Read();
        // So does one saved by a rename, as editors do.
        const Connection second = Connect(b);
        folder.ReplaceRules("[General]\nAllowedIPString=\nBlockedLocalPortsString=\"" + both +
                            "\"\n");
        EXPECT_TRUE(Closed(second.server)) << daemon.Read();
        const std::string inForce = "the rules in force stay: blocked local ports " + both +
                                    "; blocked remote ports none; allowed addresses none";
        EXPECT_TRUE(daemon.Logged("rules in force: blocked local ports " + both +
                                  "; blocked remote ports none; allowed addresses none"));

        // Bad changes are refused whole, said, and the rules before them still close.
        const std::pair<std::string, std::string> bad[] = {
            {"\x7f"
             "ELF\x02\x01\x01\0\0\0"s,
             "it is not a settings file (a line is neither [section], key=value nor a ; "
             "comment, or it holds control characters)"},
            {"[General]\nBlockedLocalPortsString=44x\n",
             "BlockedLocalPortsString holds \"44x\", which is no port number or range (1 to "
             "65535)"},
            {"",
             "it holds none of the keys BlockedLocalPortsString, BlockedRemotePortsString "
             "and AllowedIPString in its section [General] (empty, or not yet fully "
             "written?)"},
        };
        for (const auto& [content, problem] : bad) {
            folder.WriteRules(content);
            EXPECT_TRUE(daemon.Logged("the rules file " + path + " is not used: " + problem + "; " +
                                      inForce))
                << daemon.Read();
            const Connection still = Connect(a);
            EXPECT_TRUE(Closed(still.server)) << problem;
        }
        std::filesystem::remove(path);
        EXPECT_TRUE(daemon.Logged("the rules file " + path + " is gone; " + inForce));
        const Connection gone = Connect(b);
        EXPECT_TRUE(Closed(gone.server));

        // A file behind a link in another folder: its edits reach the service on SIGHUP.
        std::filesystem::create_directory(folder.Path("elsewhere"));
        const std::string target = folder.Path("elsewhere/rules.ini");
        std::ofstream(target) << "[General]\nAllowedIPString=\nBlockedLocalPortsString=" << portA
                              << "\n";
        std::filesystem::create_symlink(target, path);
        EXPECT_TRUE(daemon.Logged("rules in force: blocked local ports " + portA +
                                  "; blocked remote ports none; allowed addresses none"));
        std::ofstream(target) << "[General]\nAllowedIPString=\nBlockedLocalPortsString=" << both
                              << "\n";
        const Connection onB = Connect(b);
        daemon.Signal(SIGHUP);
        EXPECT_TRUE(Closed(onB.server)) << daemon.Read();
        EXPECT_TRUE(daemon.Logged("reloading on SIGHUP\nrules in force: blocked local ports " +
                                  both + "; blocked remote ports none; allowed addresses none"));

        // Rules that block less let go: once the connection to c is closed, the one to a,
        // opened before it, has been judged under the same rules, and stays.
        folder.ReplaceRules("[General]\nAllowedIPString=\nBlockedLocalPortsString=" +
                            std::to_string(c.port) + "\n");
        EXPECT_TRUE(daemon.Logged("rules in force: blocked local ports " + std::to_string(c.port) +
                                  "; blocked remote ports none; allowed addresses none"));
        const Connection kept = Connect(a), sentinel = Connect(c);
        EXPECT_TRUE(Closed(sentinel.server));
        EXPECT_FALSE(Aborted(kept.server));
        EXPECT_FALSE(Aborted(kept.client));

        daemon.Signal(SIGTERM);
        EXPECT_EQ(daemon.Wait(), 0);
        EXPECT_TRUE(std::filesystem::exists(path));
        EXPECT_EQ(folder.Read("log.err"), "");
    });
}

}  // namespace
}  // namespace quarnel
