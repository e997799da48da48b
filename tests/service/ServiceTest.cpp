// quarneld as systemd runs it, for real, in private network namespaces: it closes what its
// rules file blocks and logs each close with its rule, follows every change of that file, keeps
// the last good rules when a change is bad (across a restart too), reloads on SIGHUP and ends on
// SIGTERM; and as root it guards the other network namespaces it sees too.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QProcess>
#include <QTemporaryDir>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/service/Daemon.h"
#include "tests/support/OtherNamespace.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Sockets.h"
#include "tests/support/WaitUntil.h"

namespace quarnel {
namespace {

using namespace testsupport;
using namespace std::chrono_literals;

bool Closed(const UniqueFd& end) {
    return WaitUntil([&] { return Aborted(end); });
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
            ASSERT_TRUE(daemon.Logged(
                "there is no rules file " + path + "; it never accepted a rules file; " + defaults,
                kStartTimeout))
                << daemon.Read();

            // A rule written in place closes what is open on its port; one saved by a rename is
            // followed too, and kept as the rules last accepted.
            const Connection first = Connect(a);
            folder.WriteRules(LocalRules(portA));
            ASSERT_TRUE(Closed(first.server)) << daemon.Read();
            ASSERT_TRUE(daemon.Logged("closed IPv4 127.0.0.1:" + portA +
                                      " -> 127.0.0.1:" + std::to_string(first.clientPort) +
                                      " (local port " + portA + " blocked) by "));
            // Attached to the cgroup the test sees as the root, made for it.
#ifdef QUARNEL_KERNEL_EVENTS
            ASSERT_TRUE(
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
            ASSERT_TRUE(daemon.Logged("rules in force: " + InForce(both)));
            EXPECT_EQ(folder.Read("state/accepted.ini"), LocalRules('"' + both + '"'));

            // A bad change is refused whole and said; so is the file's removal; the rules
            // before them still close.
            folder.WriteRules(bad);
            ASSERT_TRUE(daemon.Logged("the rules file " + path + why + inForce)) << daemon.Read();
            std::filesystem::remove(path);
            ASSERT_TRUE(daemon.Logged("the rules file " + path + " is gone; " + inForce));
            const Connection still = Connect(a);
            ASSERT_TRUE(Closed(still.server));

            // A file behind a link in another folder: SIGHUP reads it at any time too.
            std::filesystem::create_directory(folder.Path("elsewhere"));
            const std::string target = folder.Path("elsewhere/rules.ini");
            std::ofstream(target) << LocalRules(portB);
            std::filesystem::create_symlink(target, path);
            ASSERT_TRUE(daemon.Logged("rules in force: " + InForce(portB)));
            std::ofstream(target) << LocalRules(std::to_string(c.port));
            daemon.Signal(SIGHUP);
            ASSERT_TRUE(daemon.Logged("rules in force: " + InForce(std::to_string(c.port))));

            // Rules that block less let go: once the connection to c is closed, the one to a,
            // opened before it, has been judged under the same rules, and stays.
            const Connection kept = Connect(a), sentinel = Connect(c);
            ASSERT_TRUE(Closed(sentinel.server));
            EXPECT_FALSE(Aborted(kept.server));
            EXPECT_FALSE(Aborted(kept.client));

            std::filesystem::remove_all(etc);
            ASSERT_TRUE(daemon.Logged("the folder " + etc +
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
                ASSERT_TRUE(Closed(blocked.server)) << daemon.Read();
            }
            ASSERT_TRUE(
                daemon.Logged("the folder " + etc + " is back: the rules file is followed again"));
            // Refused, a change leaves the kept copy as it was.
            folder.WriteRules(bad);
            ASSERT_TRUE(daemon.Logged("the rules file " + path + why +
                                      "the rules in force stay: " + InForce(portA)));
            ASSERT_TRUE(daemon.Stop()) << daemon.Read();
        }
        {
            const Connection blocked = Connect(a);
            Daemon daemon(folder);
            ASSERT_TRUE(daemon.Logged("the rules file " + path + why +
                                          "the rules it last accepted, kept in " + copy +
                                          ", are in force: " + InForce(portA),
                                      kStartTimeout))
                << daemon.Read();
            ASSERT_TRUE(Closed(blocked.server));
            ASSERT_TRUE(daemon.Stop()) << daemon.Read();
        }
        {
            // For the journal, each line of the output carries its priority; the fallback goes
            // to the journal itself, with a MESSAGE_ID, not to the output.
            const Connection blocked = Connect(a);
            Daemon daemon(folder, true);
            ASSERT_TRUE(Closed(blocked.server)) << daemon.Read();
            ASSERT_TRUE(daemon.Stop()) << daemon.Read();
            EXPECT_NE(daemon.Read().find("<6>quarneld "), std::string::npos) << daemon.Read();
            EXPECT_EQ(daemon.Read().find("the rules file " + path), std::string::npos)
                << daemon.Read();
        }
        // A damaged copy is refused like the file, and said; then only the defaults are left.
        std::ofstream(copy, std::ios::trunc)
            << "[General]\nBlockedLocalPortsString=" << portA << "\nhalf";
        Daemon daemon(folder);
        ASSERT_TRUE(daemon.Logged("the rules file " + path + why +
                                      "its copy of the rules it last accepted, " + copy +
                                      ", is refused too: it is not a settings file",
                                  kStartTimeout))
            << daemon.Read();
        ASSERT_TRUE(daemon.Logged(defaults)) << daemon.Read();
        ASSERT_TRUE(daemon.Stop()) << daemon.Read();
        EXPECT_EQ(folder.Read(Folder::Rules), bad);  // never written
        EXPECT_EQ(folder.Read("log.err"), "");
    });
}

// How many times text is in the log.
std::size_t Count(const std::string& log, const std::string& text) {
    std::size_t count = 0;
    for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
        ++count;
    }
    return count;
}

// Each new version of the file is answered, a refusal like the last too; a long list is told by
// its length; a file that keeps changing is read every second or so, not once it stops.
TEST(Service, AnswersEveryVersionOfItsRulesFile) {
    RunInPrivateNetwork([] {
        const Listener a = ListenIPv4(), b = ListenIPv4();
        const std::string portA = std::to_string(a.port), portB = std::to_string(b.port);
        const Folder folder;
        const std::string path = folder.Path(Folder::Rules);
        folder.WriteRules(LocalRules(portA));
        Daemon daemon(folder);
        ASSERT_TRUE(daemon.Logged("rules in force: " + InForce(portA), kStartTimeout))
            << daemon.Read();

        const std::string bad = "[General]\nBlockedLocalPortsString=44x\n";
        const std::string refused =
            "the rules file " + path + " is not used: BlockedLocalPortsString holds \"44x\"";
        for (std::size_t time = 1; time <= 2; ++time) {
            folder.WriteRules(bad);
            ASSERT_TRUE(WaitUntil([&] { return Count(daemon.Read(), refused) >= time; }))
                << "refusal " << time << "\n"
                << daemon.Read();
        }

        std::string many;
        for (int i = 0; i < 1000; ++i) {
            many += (many.empty() ? "10.0." : ",10.0.") + std::to_string(i / 250) + "." +
                    std::to_string(i % 250 + 1);
        }
        folder.ReplaceRules("[General]\nAllowedIPString=" + many +
                            "\nBlockedLocalPortsString=" + portA + "\n");
        ASSERT_TRUE(daemon.Logged("rules in force: blocked local ports " + portA +
                                  "; blocked remote ports none; allowed addresses 1,000 entries, "
                                  "listed by quarneld --check"))
            << daemon.Read();
        EXPECT_EQ(daemon.Read().find("10.0.3.250"), std::string::npos);

        // Rewritten every 20 ms for 4 s: read while the writes go on.
        std::atomic<bool> writing = true;
        std::thread writer([&] {
            for (auto end = std::chrono::steady_clock::now() + 4s;
                 std::chrono::steady_clock::now() < end;) {
                folder.WriteRules(LocalRules(portB));
                std::this_thread::sleep_for(20ms);
            }
            writing = false;
        });
        const bool read = daemon.Logged("rules in force: " + InForce(portB), 3s);
        const bool early = writing;
        writer.join();
        EXPECT_TRUE(read && early) << daemon.Read();

        ASSERT_TRUE(daemon.Stop()) << daemon.Read();
        EXPECT_EQ(folder.Read("log.err"), "");
    });
}

// In each namespace, a connection over 127.0.0.1 and one over ::1 to the blocked port, one to a
// port nobody blocks, and one to the blocked port from an allowed address.
struct Guarded {
    explicit Guarded(const OtherNamespace& space) {
        space.Inside([this] {
            v4 = ListenIPv4("127.0.0.1", kBlocked);
            v6 = ListenIPv6Any(true, kBlocked);
            free = ListenIPv4("127.0.0.1", kBlocked + 1);
            blocked4 = Connect(v4);
            blocked6 = Connect(v6, "::1");
            kept = Connect(free);
            allowed = Connect(v4, "127.0.0.1", 0, "127.0.0.2");
        });
    }
    static constexpr int kBlocked = 4100;
    Listener v4, v6, free;
    Connection blocked4, blocked6, kept, allowed;  // allowed: from the allowed 127.0.0.2
};

// A socket in the folder that takes what the service tells systemd, as systemd's would.
struct Notifications {
    explicit Notifications(const Folder& folder) : Path(folder.Path("notify")) {
        socket.Reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, Path.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
            << std::strerror(errno);
    }
    // Whether a message holding text came in time: kStartTimeout for what it tells as it starts.
    bool Told(const std::string& text, std::chrono::milliseconds timeout = kEventTimeout) {
        return WaitUntil(
            [&] {
                char message[4096];
                for (ssize_t got; (got = ::recv(socket.Get(), message, sizeof message, 0)) > 0;) {
                    All.append(message, static_cast<std::size_t>(got)).push_back('\n');
                }
                return All.find(text) != std::string::npos;
            },
            timeout);
    }
    std::string Path;
    UniqueFd socket;
    std::string All;
};

// Gives space the ip netns name name, in a /run of a mount namespace of the test's own (so that
// the machine's /run/netns stays untouched), which the service started from here sees.
void NameNamespace(OtherNamespace& space, const std::string& name) {
    ASSERT_EQ(::unshare(CLONE_NEWNS), 0) << std::strerror(errno);
    ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    ASSERT_EQ(::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755"), 0) << std::strerror(errno);
    const std::string path = "/run/netns/" + name;
    std::filesystem::create_directory("/run/netns");
    std::ofstream(path).flush();
    ASSERT_EQ(::mount(("/proc/" + std::to_string(space.pid) + "/ns/net").c_str(), path.c_str(),
                      nullptr, MS_BIND, nullptr),
              0)
        << std::strerror(errno);
    space.Name = name;
}

// The tests that start quarnel-netns, which needs real root.
class ServiceAsRoot : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "starting quarnel-netns needs real root";
        }
    }
};

// It closes what its rules block in every network namespace it sees, one made after it started
// too, names the namespace in each line (by its ip netns name where it has one), holds back the
// payload of blocked connections there, forgets a namespace that went, and leaves the rest
// alone; told to keep to its own namespace, it leaves the others alone.
TEST_F(ServiceAsRoot, GuardsEveryNetworkNamespaceItSees) {
    RunInPrivateNetwork([] {
        const Folder folder;
        const std::string port = std::to_string(Guarded::kBlocked);
        folder.WriteRules("[General]\nAllowedIPString=127.0.0.2\nBlockedLocalPortsString=" + port +
                          "\n");
        OtherNamespace first;
        const OtherNamespace second;
        NameNamespace(first, "blue");
        const Guarded a(first), b(second);
        {
            Notifications notifications(folder);
            Daemon daemon(folder, false, {}, notifications.Path);
            ASSERT_TRUE(notifications.Told("READY=1", kStartTimeout)) << daemon.Read();
            for (const auto& [space, guarded] :
                 {std::pair{&std::as_const(first), &a}, std::pair{&second, &b}}) {
                ASSERT_TRUE(Closed(guarded->blocked4.server)) << daemon.Read();
                ASSERT_TRUE(Closed(guarded->blocked6.server)) << daemon.Read();
#ifdef QUARNEL_KERNEL_EVENTS
                // Older than the service: named by the process that holds it, as the host sees it,
                // from the kernel's list of holders.
                const std::string owner =
                    "quarnel_service [" + std::to_string(::getpid()) + "] user root";
#else
                // /proc hides this process's sockets from a service that keeps no right to look
                // into processes with more rights than its own.
                const std::string owner = "unknown";
#endif
                const std::string rule = " (local port " + port + " blocked) by " + owner + " in ";
                ASSERT_TRUE(daemon.Logged("closed IPv4 127.0.0.1:" + port + " -> 127.0.0.1:" +
                                          std::to_string(guarded->blocked4.clientPort) + rule +
                                          space->Name + "\n"));
                ASSERT_TRUE(daemon.Logged("closed IPv6 [::1]:" + port + " -> [::1]:" +
                                          std::to_string(guarded->blocked6.clientPort) + rule +
                                          space->Name + "\n"));
                EXPECT_FALSE(Aborted(guarded->kept.server));
                EXPECT_FALSE(Aborted(guarded->allowed.server));
            }
            // One made after the start is guarded from its first listing, and (where the kernel
            // reports who listens) the program that listens there is named, as the host sees it.
            auto later = std::make_unique<OtherNamespace>();
            auto c = std::make_unique<Guarded>(*later);
            ASSERT_TRUE(Closed(c->blocked4.server)) << daemon.Read();
            ASSERT_TRUE(daemon.Logged("guards the network namespace " + later->Name));
#ifdef QUARNEL_KERNEL_EVENTS
            ASSERT_TRUE(daemon.Logged(" (local port " + port + " blocked) by quarnel_service [" +
                                      std::to_string(::getpid()) + "] user root in " + later->Name +
                                      "\n"))
                << daemon.Read();
#endif
            // Its own, the two before it and the later one.
            ASSERT_TRUE(notifications.Told(" in 4 network namespaces, ")) << notifications.All;
            // One that goes is forgotten.
            const std::string gone = later->Name;
            c.reset();
            later.reset();
            ASSERT_TRUE(daemon.Logged("the network namespace " + gone + " is gone"));
            ASSERT_TRUE(notifications.Told(" in 3 network namespaces, ")) << notifications.All;
            // Connections made there after the start are closed too, and what their clients send
            // never reaches the server, not even while the service is stopped before it could
            // close them: the kernel holds it back there as here.
            ASSERT_EQ(::kill(static_cast<pid_t>(daemon.processId()), SIGSTOP), 0);
            Connection late;
            first.Inside([&] { late = Connect(a.v4); });
            EXPECT_EQ(::send(late.client.Get(), "x", 1, MSG_NOSIGNAL), 1);
#ifdef QUARNEL_KERNEL_EVENTS
            // The kernel filter's (the packet filter's table, its stand-in, is the own
            // namespace's alone).
            std::this_thread::sleep_for(100ms);  // long past a loopback delivery
            EXPECT_EQ(ReceiveError(late.server.Get()), EAGAIN) << "the payload reached the server";
#endif
            ASSERT_EQ(::kill(static_cast<pid_t>(daemon.processId()), SIGCONT), 0);
            ASSERT_TRUE(Closed(late.server)) << daemon.Read();
            ASSERT_TRUE(daemon.Stop()) << daemon.Read();
        }
        Daemon daemon(folder, false, {"--own-namespace"});
        ASSERT_TRUE(
            daemon.Logged("It guards its own network namespace alone, as told.", kStartTimeout))
            << daemon.Read();
        Connection outside;
        first.Inside([&] { outside = Connect(a.v4); });
        // Once its own namespace's connection is closed, the other's was passed over.
        const Listener own = ListenIPv4("127.0.0.1", Guarded::kBlocked);
        const Connection sentinel = Connect(own);
        ASSERT_TRUE(Closed(sentinel.server)) << daemon.Read();
        std::this_thread::sleep_for(300ms);  // past a read of the others, were they read
        EXPECT_FALSE(Aborted(outside.server));
        ASSERT_TRUE(daemon.Stop()) << daemon.Read();
    });
}

// systemd's watchdog hears from the guard while its loop turns, and not while it is stopped; it
// tells at start how long a stall may last.
TEST(Service, KeepsTheWatchdogAliveOnlyWhileItsLoopTurns) {
    RunInPrivateNetwork([] {
        const Folder folder;
        Notifications notifications(folder);
        Daemon daemon(folder, false, {}, notifications.Path, {"WATCHDOG_USEC=400000"});
        ASSERT_TRUE(notifications.Told("READY=1", kStartTimeout)) << daemon.Read();
        ASSERT_TRUE(notifications.Told("WATCHDOG=1")) << notifications.All;
        ASSERT_TRUE(
            daemon.Logged("It tells systemd's watchdog after each pass that read the "
                          "table: stalled or reading nothing for 0.4 s, it is ended and "
                          "started again."))
            << daemon.Read();
        daemon.Signal(SIGSTOP);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        (void)notifications.Told("(drained)", std::chrono::milliseconds(0));
        notifications.All.clear();
        EXPECT_FALSE(notifications.Told("WATCHDOG=1", std::chrono::seconds(1)))
            << notifications.All;
        daemon.Signal(SIGCONT);
        ASSERT_TRUE(notifications.Told("WATCHDOG=1")) << notifications.All;
    });
}

// Anyone may make network namespaces, and each costs it descriptors while its table is open: with
// a low open-files limit and many more namespaces than it may keep open at once, each of them is
// still guarded, and its rules file and its own namespace are never starved: a change of the
// rules is read, and a connection the new rules block in its own namespace is closed.
TEST_F(ServiceAsRoot, ManyNamespacesLeaveItsRulesAndItsOwnNamespaceWorking) {
#ifndef QUARNEL_KERNEL_EVENTS
    // Without the kernel's reports a namespace whose table is not open is not followed: those
    // past the tables open at once are read whole in turn, far apart, so seconds do not tell.
    GTEST_SKIP() << "this build has no kernel reports to follow namespaces whose table is shut";
#endif
    RunInPrivateNetwork([] {
        const Folder folder;
        const std::string port = std::to_string(Guarded::kBlocked);
        folder.WriteRules(LocalRules(port));
        // Twice as many namespaces as its open-files limit would allow open had each two
        // descriptors.
        constexpr rlim_t kLimit = 256;
        // Each child holds the ends of those made before it: the last made goes first.
        struct Spaces : std::vector<std::unique_ptr<OtherNamespace>> {
            ~Spaces() {
                while (!empty()) {
                    pop_back();
                }
            }
        } spaces;
        for (rlim_t i = 0; i < kLimit; ++i) {
            spaces.push_back(std::make_unique<OtherNamespace>());
        }
        Daemon daemon(folder, false, {}, {}, {}, kLimit);
        ASSERT_TRUE(daemon.Logged("rules in force: " + InForce(port), kStartTimeout))
            << daemon.Read();
        // The own namespace's connection is left alone until the rules change.
        const Listener own = ListenIPv4("127.0.0.1", Guarded::kBlocked + 1);
        const Connection later = Connect(own);
        for (std::size_t i = 0; i < spaces.size(); i += 51) {
            const Guarded guarded(*spaces[i]);
            ASSERT_TRUE(Closed(guarded.blocked4.server)) << i << "\n" << daemon.Read();
            EXPECT_FALSE(Aborted(guarded.kept.server));
        }
        EXPECT_FALSE(Aborted(later.server));
        folder.ReplaceRules(LocalRules(port + "," + std::to_string(Guarded::kBlocked + 1)));
        ASSERT_TRUE(Closed(later.server)) << daemon.Read();
        const std::string log = daemon.Read();
        EXPECT_EQ(log.find("Too many open files"), std::string::npos) << log;
        EXPECT_EQ(log.find("cannot guard"), std::string::npos) << log;
        EXPECT_EQ(log.find("cannot read the network namespace"), std::string::npos) << log;
        ASSERT_TRUE(daemon.Stop()) << daemon.Read();
    });
}

// As the unit's ExecStopPost=, it tells of a run the watchdog ended, and of no other.
TEST(Service, SaysWhenTheWatchdogEndedARun) {
    for (const std::string result :
         {"watchdog", "", "success", "signal", "exit-code", "core-dump", "timeout"}) {
        QProcess stopped;
        QProcessEnvironment environment;
        environment.insert("SERVICE_RESULT", QString::fromStdString(result));
        stopped.setProcessEnvironment(environment);
        stopped.start(QUARNEL_DAEMON, {"--stopped"});
        ASSERT_TRUE(stopped.waitForFinished());
        EXPECT_EQ(stopped.exitCode(), 0);
        const QString out = QString::fromUtf8(stopped.readAllStandardOutput());
        EXPECT_EQ(out.startsWith("the guard stalled: "), result == "watchdog")
            << result << ": " << out.toStdString();
    }
}

// The child of parent with that name; 0 when there is none.
pid_t ChildNamed(pid_t parent, const std::string& name) {
    const std::string tasks = "/proc/" + std::to_string(parent) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
        std::istringstream children(Contents(task.path().string() + "/children"));
        for (pid_t child = 0; children >> child;) {
            if (Contents("/proc/" + std::to_string(child) + "/comm") == name + "\n") {
                return child;
            }
        }
    }
    return 0;
}

// quarnel-netns killed: the service cannot start another (it gave up that right), so it ends
// with status 1, saying why, and systemd's restart (Restart=on-failure) starts both again; a
// namespace made meanwhile is guarded by the new one.
TEST_F(ServiceAsRoot, EndsForARestartWhenQuarnelNetnsIsKilled) {
    RunInPrivateNetwork([] {
        const Folder folder;
        folder.WriteRules(LocalRules(std::to_string(Guarded::kBlocked)));
        auto daemon = std::make_unique<Daemon>(folder);
        ASSERT_TRUE(daemon->Logged("rules in force: ", kStartTimeout)) << daemon->Read();
        const pid_t netns = ChildNamed(static_cast<pid_t>(daemon->processId()), "quarnel-netns");
        ASSERT_GT(netns, 0);
        ASSERT_EQ(::kill(netns, SIGKILL), 0);
        const OtherNamespace later;
        const Guarded guarded(later);
        ASSERT_TRUE(daemon->waitForFinished(
            static_cast<int>(std::chrono::milliseconds(kEventTimeout).count())))
            << daemon->Read();
        EXPECT_EQ(daemon->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(daemon->exitCode(), 1);
        EXPECT_TRUE(
            daemon->Logged("quarnel-netns was killed by SIGKILL: it ends too, so that it "
                           "is started again with a new one"))
            << daemon->Read();
        // As systemd starts it again.
        daemon = std::make_unique<Daemon>(folder);
        ASSERT_TRUE(Closed(guarded.blocked4.server)) << daemon->Read();
        EXPECT_FALSE(Aborted(guarded.kept.server));
        ASSERT_TRUE(daemon->Stop()) << daemon->Read();
    });
}

}  // namespace
}  // namespace quarnel
