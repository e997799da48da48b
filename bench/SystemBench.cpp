// The running program measured from outside, each instance in a private network namespace of
// its own with a private configuration: its CPU share while idle, how soon it closes a blocked
// connection, and its peak memory. The instances run side by side and take turns (the others
// stopped with SIGSTOP), so that load on the machine hits them alike. See README.md.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"

namespace {

using namespace quarnel;
using bench::Fail;
using bench::UniqueFd;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Capabilities as a file holds them (struct vfs_cap_data, revision 2): what the install gives
// the helper, or less.
constexpr uid_t kNobody = 65534;
constexpr std::uint64_t kNetAdmin = std::uint64_t{1} << 12;
constexpr std::uint64_t kBpfAndPerfmon = (std::uint64_t{1} << 39) | (std::uint64_t{1} << 38);

// What guards a namespace against the blocked port.
struct Guard {
    const char* name;
    bool userNamespace;  // where the kernel refuses programs to the process: it polls
    bool isQuarnel;      // else an `ss -K` loop filtered to the blocked port
    // For quarnel run by an unprivileged user through a copy of its helper with these file
    // capabilities; 0 for quarnel run as root of its namespace.
    std::uint64_t helperCapabilities = 0;
    // quarnel run by nobody through its helper as built, without any capability, as
    // scripts/run starts it: it only shows connections and closes none.
    bool viewer = false;
};
constexpr Guard kEvents{"events", false, true};
constexpr Guard kPolling{"polling", true, true};
constexpr Guard kHelperEvents{"helper, events", false, true, kNetAdmin | kBpfAndPerfmon};
constexpr Guard kHelperPolling{"helper, polling", false, true, kNetAdmin};
constexpr Guard kSsLoop{"ss -K loop", false, false};
constexpr Guard kViewer{"viewer (closes nothing)", false, true, 0, true};
// The program as it was before it waited for the table's changes, given on the command line.
constexpr Guard kStraightPort{"straight port", true, true};
const Guard* GuardNamed(const std::string& name) {
    for (const Guard* guard : {&kEvents, &kPolling, &kHelperEvents, &kHelperPolling, &kSsLoop,
                               &kStraightPort, &kViewer}) {
        if (name == guard->name) {
            return guard;
        }
    }
    return nullptr;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

double Percentile99(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[(values.size() * 99 - 1) / 100];
}

// ---- Inside a namespace: the site that holds the connections and runs the guard ----

// The IP versions a teardown is timed over: a client on 127.0.0.1 or on ::1.
enum class Family { IPv4 = 4, IPv6 = 6 };

// The blocked listener: on [::] without IPV6_V6ONLY, so that it takes both versions.
bench::Listener ListenDualStack(int backlog) {
    bench::Listener listener{UniqueFd(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0))};
    const int off = 0;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    socklen_t length = sizeof address;
    if (!listener.fd ||
        setsockopt(listener.fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0 ||
        bind(listener.fd.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener.fd.Get(), backlog) != 0 ||
        getsockname(listener.fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        Fail("dual-stack listener");
    }
    listener.port = ntohs(address.sin6_port);
    return listener;
}

// Connects to the blocked port and waits for the guard to close the connection: the time from
// connect's return to recv's failure, or nothing when recv did not fail with ECONNABORTED.
std::optional<double> TimeTeardown(const bench::Listener& blocked, Clock::duration patience,
                                   Family family = Family::IPv4) {
    const bool ipv6 = family == Family::IPv6;
    UniqueFd client(socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const timeval limit{std::chrono::duration_cast<std::chrono::seconds>(patience).count(), 0};
    (void)setsockopt(client.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);  // best effort
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    v4.sin_port = htons(static_cast<std::uint16_t>(blocked.port));
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_loopback;
    v6.sin6_port = v4.sin_port;
    const auto* address =
        ipv6 ? reinterpret_cast<const sockaddr*>(&v6) : reinterpret_cast<const sockaddr*>(&v4);
    const socklen_t length = ipv6 ? sizeof v6 : sizeof v4;
    if (!client || connect(client.Get(), address, length) != 0) {
        Fail("connect to the blocked port");
    }
    const Clock::time_point connected = Clock::now();
    char byte = 0;
    const ssize_t received = recv(client.Get(), &byte, 1, 0);
    const Clock::time_point failed = Clock::now();
    const bool aborted = received < 0 && errno == ECONNABORTED;
    // The server's end, reset by the close: gone once accepted and closed.
    (void)UniqueFd(accept4(blocked.fd.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!aborted) {
        return std::nullopt;
    }
    return std::chrono::duration<double, std::milli>(failed - connected).count();
}

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
        execl(run.c_str(), run.c_str(), nullptr);
        Fail(run);
    }
    const std::string loop =
        "while :; do ss -K -t state established '( dport = :" + std::to_string(blockedPort) +
        " )' >/dev/null; done";
    execl("/bin/sh", "sh", "-c", loop.c_str(), nullptr);
    Fail("sh");
}

int RunSite(const Guard& guard, int connections, const std::string& program) {
    bench::BringLoopbackUp();
    std::unique_ptr<bench::ConnectionFarm> background;
    if (connections > 0) {
        background = std::make_unique<bench::ConnectionFarm>(connections);
    }
    const bench::Listener blocked = ListenDualStack(1024);
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

    std::string command;
    int count = 0, version = 0;
    while (std::cin >> command && command == "teardown" && std::cin >> count >> version) {
        for (int i = 0; i < count; ++i) {
            const std::optional<double> ms = TimeTeardown(blocked, 5s, Family{version});
            std::printf("%.4f ", ms.value_or(-1));
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

// ---- Outside: the sites, taking turns ----

// The program measured, and the straight port to compare with (empty: none).
struct Programs {
    std::string quarnel;
    std::string straightPort;
};

class Site {
public:
    Site(const Guard& guard, int connections, const std::string& program) : guard_(guard) {
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
        if (in_ == nullptr || out_ == nullptr || std::fscanf(out_, " ready %d", &guardPid_) != 1) {
            Fail(std::string("start of the ") + guard.name + " site");
        }
        if (guardPid_ > 0) {
            Pause();
        }
    }
    ~Site() {
        std::fprintf(in_, "end\n");
        std::fclose(in_);
        std::fclose(out_);
        (void)waitpid(pid_, nullptr, 0);  // the site ends its guard itself
    }
    Site(const Site&) = delete;
    Site& operator=(const Site&) = delete;

    const Guard& Kind() const { return guard_; }
    bool Guarding() const { return guardPid_ > 0; }
    // quarnel alone: its helper, stopped in the middle of an answer, would let the deadline of
    // that answer pass and be taken for broken. The ss loop as a whole.
    void Pause() { (void)kill(guard_.isQuarnel ? guardPid_ : -guardPid_, SIGSTOP); }
    void Resume() { (void)kill(guard_.isQuarnel ? guardPid_ : -guardPid_, SIGCONT); }

    // CPU time of every thread of the guard and of its child processes (the helper) so far,
    // in seconds.
    double CpuSeconds() const { return CpuSecondsOf(guardPid_); }
    // The guard's peak resident memory in MiB, and its helper's, which also holds the table.
    double PeakMiB() const { return PeakMiBOf(guardPid_); }
    // Whether the guard or its helper holds a kernel program: the proof that it runs on
    // kernel events.
    bool HoldsKernelProgram() const { return HoldsKernelProgram(guardPid_); }
    std::vector<double> Teardowns(int count, Family family) {
        std::fprintf(in_, "teardown %d %d\n", count, static_cast<int>(family));
        std::fflush(in_);
        std::vector<double> ms(static_cast<std::size_t>(count));
        for (double& m : ms) {
            if (std::fscanf(out_, "%lf", &m) != 1) {
                Fail("teardown results");
            }
        }
        return ms;
    }

private:
    static std::vector<pid_t> Children(pid_t pid) {
        std::vector<pid_t> children;
        const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
        for (const auto& task : std::filesystem::directory_iterator(tasks)) {
            std::ifstream list(task.path() / "children");
            for (pid_t child = 0; list >> child;) {
                children.push_back(child);
            }
        }
        return children;
    }
    static double CpuSecondsOf(pid_t pid) {
        double total = 0;
        const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
        for (const auto& task : std::filesystem::directory_iterator(tasks)) {
            std::ifstream stat(task.path() / "schedstat");
            double nanoseconds = 0;
            stat >> nanoseconds;
            total += nanoseconds / 1e9;
        }
        for (const pid_t child : Children(pid)) {
            total += CpuSecondsOf(child);
        }
        return total;
    }
    static double PeakMiBOf(pid_t pid) {
        double total = 0;
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmHWM:", 0) == 0) {
                total = std::stod(line.substr(6)) / 1024;
            }
        }
        for (const pid_t child : Children(pid)) {
            total += PeakMiBOf(child);
        }
        return total;
    }
    static bool HoldsKernelProgram(pid_t pid) {
        const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
        for (const auto& fd : std::filesystem::directory_iterator(fds)) {
            std::error_code unreadable;
            if (std::filesystem::read_symlink(fd.path(), unreadable) == "anon_inode:bpf-prog") {
                return true;
            }
        }
        const std::vector<pid_t> children = Children(pid);
        return std::any_of(children.begin(), children.end(),
                           [](pid_t child) { return HoldsKernelProgram(child); });
    }

    const Guard& guard_;
    pid_t pid_ = -1;
    pid_t guardPid_ = -1;
    FILE* in_ = nullptr;
    FILE* out_ = nullptr;
};

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
std::vector<std::unique_ptr<Site>> StartSites(std::vector<const Guard*> guards, int connections,
                                              const Programs& programs) {
    std::vector<std::unique_ptr<Site>> sites;
    for (const Guard* guard : guards) {
        const bool straight = guard == &kStraightPort;
        if (straight && programs.straightPort.empty()) {
            continue;
        }
        auto site = std::make_unique<Site>(*guard, connections,
                                           straight ? programs.straightPort : programs.quarnel);
        if (!site->Guarding()) {
            std::printf("  %s: left out, it never closed a blocked connection\n", guard->name);
            continue;
        }
        sites.push_back(std::move(site));
    }
    return sites;
}

void IdleCpu(const Programs& program) {
    std::printf("\nIdle CPU share of quarnel, %% of one core: median of 10 one-second samples\n");
    std::printf("%12s  %-24s %8s %8s\n", "connections", "mode", "median", "vs events");
    for (const int connections : {200, 3000}) {
        auto sites = StartSites(
            {&kEvents, &kPolling, &kHelperEvents, &kHelperPolling, &kStraightPort, &kViewer},
            connections, program);
        std::vector<std::vector<double>> samples(sites.size());
        for (int round = 0; round < 10; ++round) {
            for (std::size_t s = 0; s < sites.size(); ++s) {
                Site& site = *sites[s];
                site.Resume();
                std::this_thread::sleep_for(200ms);  // what piled up while stopped is done
                const double cpu = site.CpuSeconds();
                const Clock::time_point start = Clock::now();
                std::this_thread::sleep_for(1s);
                const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
                samples[s].push_back(100 * (site.CpuSeconds() - cpu) / seconds);
                site.Pause();
            }
        }
        const double events = samples.empty() ? 0 : Median(samples[0]);
        for (std::size_t s = 0; s < sites.size(); ++s) {
            const double median = Median(samples[s]);
            std::printf("%12d  %-24s %8.2f %8.1fx\n", connections, Label(*sites[s]).c_str(), median,
                        events > 0 ? median / events : 0);
        }
    }
}

void Teardown(const Programs& program) {
    std::printf(
        "\nTeardown latency, ms from connect's return to recv failing with ECONNABORTED: 4 rounds "
        "of 50 connections per mode and IP version (the straight port knows IPv4 only)\n");
    std::printf("%12s  %-24s %8s %8s %8s %8s %10s %8s\n", "background", "mode", "v4 med", "v4 p99",
                "v6 med", "v6 p99", "v4 vs ev.", "missed");
    constexpr Family kFamilies[] = {Family::IPv4, Family::IPv6};
    for (const int connections : {100, 3000}) {
        auto sites = StartSites(
            {&kEvents, &kPolling, &kHelperEvents, &kHelperPolling, &kStraightPort, &kSsLoop},
            connections, program);
        // By site, then by family.
        std::vector<std::array<std::vector<double>, 2>> samples(sites.size());
        std::vector<int> missed(sites.size());
        for (int round = 0; round < 4; ++round) {
            for (std::size_t s = 0; s < sites.size(); ++s) {
                sites[s]->Resume();
                std::this_thread::sleep_for(100ms);
                for (std::size_t f = 0; f < 2; ++f) {
                    if (kFamilies[f] == Family::IPv6 && &sites[s]->Kind() == &kStraightPort) {
                        continue;  // it would miss every one, five seconds each
                    }
                    for (const double ms : sites[s]->Teardowns(50, kFamilies[f])) {
                        if (ms < 0) {
                            ++missed[s];
                        } else {
                            samples[s][f].push_back(ms);
                        }
                    }
                }
                sites[s]->Pause();
            }
        }
        const double events = samples.empty() ? 0 : Median(samples[0][0]);
        for (std::size_t s = 0; s < sites.size(); ++s) {
            const double median = Median(samples[s][0]);
            std::printf("%12d  %-24s %8.3f %8.3f %8.3f %8.3f %9.1fx %8d\n", connections,
                        Label(*sites[s]).c_str(), median, Percentile99(samples[s][0]),
                        Median(samples[s][1]), Percentile99(samples[s][1]),
                        events > 0 ? median / events : 0, missed[s]);
        }
    }
}

void PeakMemory(const Programs& program) {
    std::printf(
        "\nPeak resident memory of quarnel (and of its helper, added) at 10,000 connections "
        "(20,000 rows), MiB\n");
    auto sites = StartSites({&kEvents, &kPolling, &kHelperEvents, &kHelperPolling, &kStraightPort},
                            10000, program);
    for (auto& site : sites) {
        site->Resume();
    }
    std::this_thread::sleep_for(3s);  // the window's list refreshes every 500 ms
    for (auto& site : sites) {
        std::printf("%12s  %-24s %8.1f\n", "", Label(*site).c_str(), site->PeakMiB());
        site->Pause();
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--site") {
        const Guard* guard = GuardNamed(argv[2]);
        return guard == nullptr ? 2 : RunSite(*guard, std::atoi(argv[3]), argv[4]);
    }
    // [PROGRAM] [straight-port=PROGRAM] [idle] [teardown] [memory]: all three parts when none
    // is named.
    Programs programs{QUARNEL_PROGRAM, {}};
    std::vector<std::string> parts;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "idle" || arg == "teardown" || arg == "memory") {
            parts.push_back(arg);
        } else if (arg.starts_with("straight-port=")) {
            programs.straightPort = arg.substr(arg.find('=') + 1);
        } else {
            programs.quarnel = arg;
        }
    }
    if (programs.quarnel.empty()) {
        std::fprintf(stderr,
                     "usage: %s PATH-TO-QUARNEL [straight-port=PATH] [idle] [teardown] [memory]\n",
                     argv[0]);
        return 2;
    }
    const auto wanted = [&parts](const char* part) {
        return parts.empty() || std::find(parts.begin(), parts.end(), part) != parts.end();
    };
    if (geteuid() != 0) {
        std::printf("Not root: the events mode runs in a user namespace and polls.\n");
    }
    std::printf("Program: %s\n", programs.quarnel.c_str());
    if (!programs.straightPort.empty()) {
        std::printf("Straight port: %s\n", programs.straightPort.c_str());
    }
    if (wanted("idle")) {
        IdleCpu(programs);
    }
    if (wanted("teardown")) {
        Teardown(programs);
    }
    if (wanted("memory")) {
        PeakMemory(programs);
    }
    return 0;
}
