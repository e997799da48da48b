#include "bench/BenchSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/linux/filter/CgroupRoot.h"

namespace quarnel::bench {

void Fail(const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

namespace {

// As root, a cgroup of the benchmark's own that its namespace will see as the cgroup root: a
// filter that a program under measure attaches to "the root" filters only the benchmark. The
// empty ones of earlier runs go.
bool JoinOwnCgroup() {
    const std::string root = platform::FindCgroup2Root();
    if (root.empty()) {
        return false;
    }
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(root, error)) {
        if (entry.path().filename().string().starts_with("quarnel-bench-")) {
            (void)rmdir(entry.path().c_str());  // one in use stays
        }
    }
    const std::string own = root + "/quarnel-bench-" + std::to_string(getpid());
    if (mkdir(own.c_str(), 0755) != 0) {
        Fail("mkdir " + own);
    }
    std::ofstream procs(own + "/cgroup.procs");
    procs << getpid() << std::flush;
    if (!procs) {
        Fail("joining " + own);
    }
    return true;
}

// In the benchmark's mount namespace: its own cgroup mounted at root, where the machine's
// hierarchy was (its cgroup namespace no longer shows that one as a root).
void MountOwnCgroup(const std::string& root) {
    if ((mount("tmpfs", root.c_str(), "tmpfs", 0, nullptr) != 0 ||
         mount("cgroup2", root.c_str(), "cgroup2", 0, nullptr) != 0)) {
        Fail("mounting the benchmark's own cgroup at " + root);
    }
}

}  // namespace

std::string OwnCgroupRoot() {
    return platform::FindCgroup2Root();
}

void EnterPrivateNetwork(char** argv) {
    if (std::getenv("QUARNEL_BENCH_ISOLATED") == nullptr) {
        setenv("QUARNEL_BENCH_ISOLATED", "1", 1);
        const bool root = geteuid() == 0;
        const bool confined = root && JoinOwnCgroup();
        setenv("QUARNEL_BENCH_CGROUP", confined ? platform::FindCgroup2Root().c_str() : "", 1);
        std::vector<char*> args = {const_cast<char*>("unshare"),
                                   const_cast<char*>(root ? "--net" : "-rn")};
        if (confined) {
            for (const char* more : {"--mount", "--cgroup", "--propagation=private"}) {
                args.push_back(const_cast<char*>(more));
            }
        }
        for (char** arg = argv; *arg != nullptr; ++arg) {
            args.push_back(*arg);
        }
        args.push_back(nullptr);
        execvp("unshare", args.data());
        Fail("unshare");
    }
    if (const char* cgroup = std::getenv("QUARNEL_BENCH_CGROUP"); cgroup && *cgroup) {
        MountOwnCgroup(cgroup);
    }
    BringLoopbackUp();
}

void BringLoopbackUp() {
    const UniqueFd control(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (!control || ioctl(control.Get(), SIOCGIFFLAGS, &request) != 0) {
        Fail("SIOCGIFFLAGS lo");
    }
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    if (ioctl(control.Get(), SIOCSIFFLAGS, &request) != 0) {
        Fail("SIOCSIFFLAGS lo");
    }
}

std::unique_ptr<platform::LinuxTcpTable> OpenTable() {
    int error = 0;
    auto table = platform::LinuxTcpTable::Open(&error);
    if (!table) {
        errno = error;
        Fail("sock_diag");
    }
    return table;
}

void RaiseOpenFileLimit() {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    (void)setrlimit(RLIMIT_NOFILE, &limit);  // checked by the sockets that need it
}

Listener Listen(int backlog, int port) {
    Listener listener{UniqueFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))};
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    socklen_t length = sizeof address;
    if (!listener.fd ||
        bind(listener.fd.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener.fd.Get(), backlog) != 0 ||
        getsockname(listener.fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        Fail("listener");
    }
    listener.port = ntohs(address.sin_port);
    return listener;
}

std::vector<UniqueFd> OpenConnections(int count, int port) {
    RaiseOpenFileLimit();
    std::vector<UniqueFd> sockets;
    Listener listener = Listen(count, port);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(listener.port));
    for (int i = 0; i < count; ++i) {
        UniqueFd client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!client ||
            connect(client.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            Fail("connect");
        }
        UniqueFd server(accept4(listener.fd.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!server) {
            Fail("accept");
        }
        sockets.push_back(std::move(client));
        sockets.push_back(std::move(server));
    }
    sockets.push_back(std::move(listener.fd));
    return sockets;
}

ConnectionFarm::ConnectionFarm(int count) {
    constexpr int kPerHolder = 4000;  // 8,001 descriptors each
    for (int left = count; left > 0; left -= kPerHolder) {
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0) {
            Fail("pipe");
        }
        const pid_t holder = fork();
        if (holder < 0) {
            Fail("fork");
        }
        if (holder == 0) {
            (void)prctl(PR_SET_PDEATHSIG, SIGKILL);  // at worst the holder lingers: harmless
            const std::vector<UniqueFd> held = OpenConnections(std::min(left, kPerHolder));
            if (write(ready[1], "r", 1) != 1) {
                _exit(1);
            }
            for (;;) {
                pause();
            }
        }
        close(ready[1]);
        char answer = 0;
        const bool opened = read(ready[0], &answer, 1) == 1;
        close(ready[0]);
        holders_.push_back(holder);
        if (!opened) {
            Fail("a connection holder failed");
        }
    }
}

ConnectionFarm::~ConnectionFarm() {
    for (const pid_t holder : holders_) {
        (void)kill(holder, SIGKILL);        // it only waits to be killed
        (void)waitpid(holder, nullptr, 0);  // reaps it; nothing to learn from its end
    }
}

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
        if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
            // In seconds: benchmarks of one file may report in different units.
            medians_[run.run_name.function_name] =
                run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        }
    }
}

void RatioReporter::Finalize() {
    ConsoleReporter::Finalize();
    for (const auto& [numerator, denominator] : pairs_) {
        const auto n = medians_.find(numerator);
        const auto d = medians_.find(denominator);
        if (n != medians_.end() && d != medians_.end() && d->second > 0) {
            std::printf("ratio of medians %s / %s = %.3g\n", numerator.c_str(), denominator.c_str(),
                        n->second / d->second);
        }
    }
}

}  // namespace quarnel::bench
