#include "bench/Sites.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <thread>

#include "bench/BenchSupport.h"
#include "bench/ProcessTree.h"
#include "bench/SiteTraffic.h"

namespace quarnel::bench {

namespace {

using namespace std::chrono_literals;

constexpr uid_t kNobody = 65534;

const Guard* GuardNamed(const std::string& name) {
    for (const Guard* guard :
         {&kEvents, &kPolling, &kHelperEvents, &kHelperPolling, &kSsLoop, &kStraightPort, &kViewer,
          &kEventsHidden, &kHelperEventsHidden, &kNetfilterHidden, &kNetfilterPolledHidden}) {
        if (name == guard->name) {
            return guard;
        }
    }
    return nullptr;
}

// ---- Inside a namespace: the site that holds the connections and runs the guard ----

// Writes the rules: the blocked port only, and an allowed list without loopback (whose
// connections it would otherwise protect).
void WriteRules(const std::filesystem::path& config, int blockedPort) {
    std::filesystem::create_directories(config / "Quarnel");
    std::ofstream ini(config / "Quarnel" / "Quarnel.ini");
    ini << "[General]\nAllowedIPString=192.0.2.1\nBlockedLocalPortsString=\n"
        << "BlockedRemotePortsString=" << blockedPort << "\n";
    if (!ini.flush()) {
        Fail("write the rules");
    }
}

// Copies the program and its helper into home (where the program finds the helper beside
// itself), gives the helper copy the guard's capabilities and the home to the user nobody, who
// is to run the program; the program's copy.
std::string InstallForNobody(const Guard& guard, const std::string& program,
                             const std::filesystem::path& home) {
    namespace fs = std::filesystem;
    const fs::path bin = home / "bin";
    fs::create_directories(bin);
    const fs::path copy = bin / "quarnel";
    const fs::path helper = bin / "quarnel-helper";
    fs::copy_file(program, copy);
    fs::copy_file(fs::path(program).parent_path() / "quarnel-helper", helper);
    for (const auto& entry : fs::recursive_directory_iterator(home)) {
        if (lchown(entry.path().c_str(), kNobody, kNobody) != 0) {
            Fail("chown " + entry.path().string());
        }
    }
    if (chown(home.c_str(), kNobody, kNobody) != 0) {
        Fail("chown " + home.string());
    }
    if (guard.helperCapabilities == 0) {
        return copy;
    }
    // Last: a change of owner drops a file's capabilities.
    vfs_cap_data capabilities{};
    capabilities.magic_etc = VFS_CAP_REVISION_2 | VFS_CAP_FLAGS_EFFECTIVE;
    capabilities.data[0].permitted = static_cast<std::uint32_t>(guard.helperCapabilities);
    capabilities.data[1].permitted = static_cast<std::uint32_t>(guard.helperCapabilities >> 32);
    if (setxattr(helper.c_str(), "security.capability", &capabilities, XATTR_CAPS_SZ_2, 0) != 0) {
        Fail("give the helper its capabilities");
    }
    return copy;
}

// Starts the guard in a process group of its own; its process id.
pid_t StartGuard(const Guard& guard, const std::string& program, const std::filesystem::path& home,
                 int blockedPort) {
    const pid_t pid = fork();
    if (pid < 0) {
        Fail("fork");
    }
    if (pid > 0) {
        return pid;
    }
    (void)setpgid(0, 0);  // without it only the guard's first process stops and starts
    // Its talk (Qt's notes on the offscreen platform) goes to a log, shown should it fail.
    const UniqueFd log(open((home / "guard.log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    if (!log || dup2(log.Get(), STDOUT_FILENO) < 0 || dup2(log.Get(), STDERR_FILENO) < 0) {
        Fail("guard log");
    }
    if (guard.isQuarnel) {
        const std::filesystem::path runtime = home / "run";
        std::filesystem::create_directories(runtime);
        std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
        WriteRules(home / "config", blockedPort);
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        std::string run = program;
        if (guard.helperCapabilities != 0 || guard.viewer) {
            run = InstallForNobody(guard, program, home);
            if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) {
                Fail("become nobody");
            }
        }
        if (guard.windowless) {
            const std::string port = std::to_string(blockedPort);
            execl(run.c_str(), run.c_str(), port.c_str(), guard.polled ? "--polled" : nullptr,
                  nullptr);
        } else {
            execl(run.c_str(), run.c_str(), nullptr);
        }
        Fail(run);
    }
    const std::string loop =
        "while :; do ss -K -t state established '( dport = :" + std::to_string(blockedPort) +
        " )' >/dev/null; done";
    execl("/bin/sh", "sh", "-c", loop.c_str(), nullptr);
    Fail("sh");
}

int RunSite(const Guard& guard, int connections, const std::string& program) {
    BringLoopbackUp();
    std::unique_ptr<ConnectionFarm> background;
    if (connections > 0) {
        background = std::make_unique<ConnectionFarm>(connections);
    }
    RaiseOpenFileLimit();  // a storm holds thousands of connections here
    const Listener blocked = ListenDualStack(4096);
    std::vector<Listener> open;
    for (int i = 0; i < 8; ++i) {  // a listener takes some 28,000 connections from one address
        open.push_back(Listen(4096));
    }
    char folder[] = "/tmp/quarnel-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        Fail("mkdtemp");
    }
    const std::filesystem::path home = folder;
    const pid_t pid = StartGuard(guard, program, home, blocked.port);

    // Ready once the guard has closed a connection on the blocked port; a viewer, which closes
    // none, once it had time to start.
    bool guarding = false;
    if (guard.viewer) {
        std::this_thread::sleep_for(3s);
        guarding = waitpid(pid, nullptr, WNOHANG) == 0;
    }
    for (int attempt = 0; attempt < 60 && !guarding; ++attempt) {
        guarding = TimeTeardown(blocked, 1s).has_value();
    }
    if (!guarding) {
        std::fprintf(stderr, "%s never closed a blocked connection; its output:\n", guard.name);
        std::cerr << std::ifstream(home / "guard.log").rdbuf();
    }
    std::printf("ready %d\n", guarding ? pid : -1);
    std::fflush(stdout);

    // One command a line, each answered by one line of numbers.
    for (std::string line; std::getline(std::cin, line);) {
        std::istringstream words(line);
        std::string command;
        int count = 0, ms = 0;
        words >> command >> count >> ms;
        if (command == "teardown") {
            // count connections over IP version ms (4 or 6), one after the other: the ms each
            // took to be closed.
            const Family family = ms == 6 ? Family::IPv6 : Family::IPv4;
            for (int i = 0; i < count; ++i) {
                std::printf("%.4f ", TimeTeardown(blocked, 5s, family).value_or(-1));
            }
        } else if (command == "idle") {
            // nothing for ms.
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            std::printf("0");
        } else if (command == "churn") {
            // count connections a second to the open ports for ms, then 0.
            Churn(open, count, std::chrono::milliseconds(ms));
            std::printf("0");
        } else if (command == "storm" || command == "mixed") {
            // count blocked connections spread over ms (in a mixed storm with as many open
            // ones): how many open ones were closed, then the ms each blocked one took.
            const std::vector<Listener> none;
            const StormResult storm = Storm(blocked, command == "mixed" ? open : none, count,
                                            std::chrono::milliseconds(ms), 2s);
            std::printf("%d", storm.innocentsClosed);
            for (const double each : storm.ms) {
                std::printf(" %.4f", each);
            }
        } else {
            break;
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    (void)kill(-pid, SIGCONT);
    (void)kill(-pid, SIGTERM);
    std::this_thread::sleep_for(500ms);
    (void)kill(-pid, SIGKILL);       // whatever did not end by itself
    (void)waitpid(pid, nullptr, 0);  // reaped; how it ended tells nothing here
    std::error_code ignored;         // a folder left in /tmp harms nothing
    std::filesystem::remove_all(home, ignored);
    return 0;
}

}  // namespace

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

double Percentile99(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[(values.size() * 99 - 1) / 100];
}

Closes Summary(const std::vector<double>& ms) {
    Closes closes;
    std::vector<double> done;
    for (const double each : ms) {
        if (each >= 0) {
            done.push_back(each);
        }
        closes.aliveAfter100ms += each < 0 || each > 100;
    }
    closes.closed = static_cast<int>(done.size());
    closes.median = Median(done);
    closes.p99 = Percentile99(done);
    closes.slowest = done.empty() ? 0 : *std::max_element(done.begin(), done.end());
    return closes;
}

int RunSiteIfAsked(int argc, char** argv) {
    if (argc != 5 || std::string(argv[1]) != "--site") {
        return -1;
    }
    const Guard* guard = GuardNamed(argv[2]);
    return guard == nullptr ? 2 : RunSite(*guard, std::atoi(argv[3]), argv[4]);
}

Site::Site(const Guard& guard, int connections, const std::string& program) : guard_(guard) {
    int toSite[2], fromSite[2];
    if (pipe2(toSite, O_CLOEXEC) != 0 || pipe2(fromSite, O_CLOEXEC) != 0) {
        Fail("pipe");
    }
    pid_ = fork();
    if (pid_ < 0) {
        Fail("fork");
    }
    if (pid_ == 0) {
        dup2(toSite[0], STDIN_FILENO);
        dup2(fromSite[1], STDOUT_FILENO);
        const std::string self = std::filesystem::read_symlink("/proc/self/exe");
        const std::string count = std::to_string(connections);
        // Without root, every site is in a user namespace: the events mode then polls.
        const bool user = guard.userNamespace || geteuid() != 0;
        execlp("unshare", "unshare", user ? "-rn" : "--net", self.c_str(), "--site", guard.name,
               count.c_str(), program.c_str(), nullptr);
        Fail("unshare");
    }
    close(toSite[0]);
    close(fromSite[1]);
    in_ = fdopen(toSite[1], "w");
    out_ = fdopen(fromSite[0], "r");
    if (in_ == nullptr || out_ == nullptr ||
        std::fscanf(out_, " ready %d%*[^\n]", &guardPid_) != 1 || std::fgetc(out_) != '\n') {
        Fail(std::string("start of the ") + guard.name + " site");
    }
    if (guardPid_ > 0) {
        Pause();
    }
}
Site::~Site() {
    std::fprintf(in_, "end\n");
    std::fclose(in_);
    std::fclose(out_);
    (void)waitpid(pid_, nullptr, 0);  // the site ends its guard itself
}

void Site::Pause() {
    (void)kill(guard_.isQuarnel ? guardPid_ : -guardPid_, SIGSTOP);
}

void Site::Resume() {
    (void)kill(guard_.isQuarnel ? guardPid_ : -guardPid_, SIGCONT);
}

double Site::CpuSeconds() const {
    return CpuSecondsOf(guardPid_);
}

double Site::PeakMiB() const {
    return PeakMiBOf(guardPid_);
}

bool Site::HoldsKernelProgram() const {
    return HoldsKernelProgramOf(guardPid_);
}

std::vector<double> Site::Ask(const std::string& command) {
    std::fprintf(in_, "%s\n", command.c_str());
    std::fflush(in_);
    char* line = nullptr;
    std::size_t size = 0;
    if (getline(&line, &size, out_) < 0) {
        std::free(line);
        Fail("the answer to " + command);
    }
    std::istringstream words(line);
    std::free(line);
    std::vector<double> numbers;
    for (double number = 0; words >> number;) {
        numbers.push_back(number);
    }
    return numbers;
}

std::string Label(const Site& site) {
    const Guard& kind = site.Kind();
    std::string label = kind.name;
    const bool meantForEvents = !kind.userNamespace && !kind.viewer &&
                                (kind.helperCapabilities == 0 ||
                                 (kind.helperCapabilities & kBpfAndPerfmon) == kBpfAndPerfmon);
    const bool onEvents = site.HoldsKernelProgram();
    if (kind.isQuarnel && meantForEvents != onEvents) {
        label += onEvents ? " (but on kernel events)" : " (but polling)";
    }
    return label;
}

// Starts one site per guard with count background connections; the ones that guard. The
// straight port is left out when there is none to run.
std::vector<std::unique_ptr<Site>> StartSites(const std::vector<const Guard*>& guards,
                                              int connections, const Programs& programs) {
    std::vector<std::unique_ptr<Site>> sites;
    for (const Guard* guard : guards) {
        const std::string& program = guard == &kStraightPort ? programs.straightPort
                                     : guard->windowless     ? programs.windowless
                                                             : programs.quarnel;
        if (program.empty()) {
            continue;
        }
        auto site = std::make_unique<Site>(*guard, connections, program);
        if (!site->Guarding()) {
            std::printf("  %s: left out, it never closed a blocked connection\n", guard->name);
            continue;
        }
        sites.push_back(std::move(site));
    }
    return sites;
}

}  // namespace quarnel::bench
