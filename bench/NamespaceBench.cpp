// Usage: quarnel_namespace_bench
//            [QUARNELD [NAMESPACES [CONNECTIONS [CHURNED [STORM [CHILD_EHASH [OLDER]]]]]]]
// (defaults: the quarneld built here, 100, 1000, 1000, 2000, 0: the kernel's choice, 100).
// quarneld as root, guarding network namespaces that the benchmark makes, measured from
// outside: its idle CPU share beside NAMESPACES namespaces of CONNECTIONS established loopback
// connections each, how soon it closes a blocked connection in one of them and in its own,
// what it keeps while CHURNED namespaces come and go at 10 a second, and a storm of STORM
// blocked connections spread over 10 of them; first, how soon a quarneld of its own closes
// OLDER blocked connections in each of NAMESPACES namespaces made before it started, and
// whether it names who holds them. See README.md.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/NamespaceHolder.h"
#include "bench/ProcessTree.h"
#include "bench/RunningService.h"
#include "bench/SiteTraffic.h"
#include "bench/Sites.h"

namespace {

using namespace quarnel::bench;
using namespace std::chrono_literals;

constexpr int kBlockedPort = 4100;  // below the ephemeral range: no background port meets it

struct Sizes {
    int namespaces = 100;
    int connections = 1000;
    int churned = 1000;
    int storm = 2000;
    // Entries of the established-connection hash table of each namespace made here; 0: they
    // share the machine's, which each namespace's sock_diag dump walks whole.
    int childEhash = 0;
    int older = 100;  // blocked connections in each namespace made before the service
};

// net.ipv4.tcp_child_ehash_entries of the benchmark's own namespace: the namespaces made from
// it get tables of their own of that size.
void SetChildEhash(int entries) {
    std::ofstream sysctl("/proc/sys/net/ipv4/tcp_child_ehash_entries");
    sysctl << entries << std::flush;
    if (!sysctl) {
        Fail("net.ipv4.tcp_child_ehash_entries");
    }
}

// A namespace's listeners: the blocked port, and open ones for a storm's innocent connections.
struct Traffic {
    Listener blocked;
    std::vector<Listener> open;
};
Traffic MakeTraffic() {
    Traffic traffic{ListenDualStack(4096, kBlockedPort), {}};
    for (int i = 0; i < 2; ++i) {
        traffic.open.push_back(Listen(4096));
    }
    return traffic;
}

// The benchmark's cgroup is the root of the hierarchy it sees: quarneld, which guards the
// namespace of every process in that hierarchy, meets none of the machine's.
bool InOwnCgroup() {
    const char* own = std::getenv("QUARNEL_BENCH_CGROUP");
    std::ifstream cgroup("/proc/self/cgroup");
    std::string line;
    while (std::getline(cgroup, line) && !line.starts_with("0::")) {
    }
    return own != nullptr && *own != '\0' && line == "0::/";
}

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// What quarneld holds and spends, quarnel-netns included.
struct Sample {
    int serviceFds = 0, netnsFds = 0;
    double residentMiB = 0, cpuShare = 0;
};
Sample Take(const RunningService& service, double cpuShare) {
    const pid_t netns = service.Netns();
    return {OpenFdsOf(service.Pid()), netns > 0 ? OpenFdsOf(netns) : 0,
            ResidentMiBOf(service.Pid()), cpuShare};
}
// The CPU share over an idle while, in % of one core.
double IdleShare(const RunningService& service, Clock::duration time) {
    const double cpu = CpuSecondsOf(service.Pid());
    const Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(time);
    return 100 * (CpuSecondsOf(service.Pid()) - cpu) / Seconds(start);
}

// Every namespace guarded: a blocked connection in each is closed. How many were.
int Guarded(const std::vector<std::unique_ptr<NamespaceHolder>>& holders,
            const std::vector<Traffic>& traffic) {
    std::vector<int> closed(holders.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < holders.size(); ++i) {
        threads.push_back(holders[i]->Enter(
            [&, i] { closed[i] = TimeTeardown(traffic[i].blocked, 20s).has_value(); }));
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    return static_cast<int>(std::count(closed.begin(), closed.end(), 1));
}

void IdleCpu(const RunningService& service) {
    std::this_thread::sleep_for(3s);  // the first readings of the namespaces are done
    std::vector<double> total, netns;
    for (int i = 0; i < 10; ++i) {
        const pid_t helper = service.Netns();
        const double helperCpu = helper > 0 ? CpuSecondsOf(helper) : 0;
        const double cpu = CpuSecondsOf(service.Pid());
        const Clock::time_point start = Clock::now();
        std::this_thread::sleep_for(1s);
        const double seconds = Seconds(start);
        total.push_back(100 * (CpuSecondsOf(service.Pid()) - cpu) / seconds);
        netns.push_back(helper > 0 ? 100 * (CpuSecondsOf(helper) - helperCpu) / seconds : 0);
    }
    std::printf(
        "idle CPU, %% of one core (median of 10 x 1 s): %.2f (quarnel-netns %.2f; "
        "min %.2f, max %.2f)\n",
        Median(total), Median(netns), *std::min_element(total.begin(), total.end()),
        *std::max_element(total.begin(), total.end()));
    const Sample now = Take(service, 0);
    std::printf("open fds quarneld %d, quarnel-netns %d; resident %.1f MiB (peak %.1f MiB)\n",
                now.serviceFds, now.netnsFds, now.residentMiB, PeakMiBOf(service.Pid()));
}

// Up to count namespaces spread evenly over them all.
std::vector<std::size_t> Spread(std::size_t all, std::size_t count) {
    std::vector<std::size_t> picked;
    for (std::size_t i = 0; i < std::min(all, count); ++i) {
        picked.push_back(i * all / std::min(all, count));
    }
    return picked;
}

// Turns of 10 connections in the own namespace and 10 in one of 10 others, alike in number.
void Teardowns(const std::vector<std::unique_ptr<NamespaceHolder>>& holders,
               const std::vector<Traffic>& traffic, const Traffic& own, int count) {
    std::vector<double> ownMs, otherMs;
    int ownMissed = 0, otherMissed = 0;
    const auto time = [](const Traffic& at, std::vector<double>& ms, int& missed) {
        for (int i = 0; i < 10; ++i) {
            const std::optional<double> closed = TimeTeardown(at.blocked, 5s);
            closed ? ms.push_back(*closed) : void(++missed);
        }
    };
    const std::vector<std::size_t> others = Spread(holders.size(), 10);
    for (int round = 0; round < count / 10; ++round) {
        time(own, ownMs, ownMissed);
        const std::size_t other = others[static_cast<std::size_t>(round) % others.size()];
        holders[other]->Inside([&] { time(traffic[other], otherMs, otherMissed); });
    }
    std::printf(
        "teardown, ms from connect's return to recv failing with ECONNABORTED "
        "(%d per namespace kind, in turns of 10):\n",
        count / 10 * 10);
    std::printf("  %-32s %8s %8s %8s\n", "where", "median", "p99", "missed");
    std::printf("  %-32s %8.3f %8.3f %8d\n", "own namespace (kernel events)", Median(ownMs),
                Percentile99(ownMs), ownMissed);
    std::printf("  %-32s %8.3f %8.3f %8d\n", "other namespaces", Median(otherMs),
                Percentile99(otherMs), otherMissed);
    const double ownMedian = Median(ownMs), ownP99 = Percentile99(ownMs);
    std::printf("  %-32s %7.1fx %7.1fx\n", "other / own",
                ownMedian > 0 ? Median(otherMs) / ownMedian : 0,
                ownP99 > 0 ? Percentile99(otherMs) / ownP99 : 0);
}

void PrintStorm(const char* where, int count, const std::vector<double>& ms, int innocents,
                double share) {
    const Closes closes = Summary(ms);
    std::printf("  %-30s %6d %6d %6d %8.3f %8.3f %9.1f %6.1f %6d\n", where, count, closes.closed,
                closes.aliveAfter100ms, closes.median, closes.p99, closes.slowest, share,
                innocents);
}

// count blocked connections over one second, each followed by an open one, spread over up to
// 10 namespaces at once; then the same in the own namespace.
void Storms(const RunningService& service,
            const std::vector<std::unique_ptr<NamespaceHolder>>& holders,
            const std::vector<Traffic>& traffic, const Traffic& own, int count) {
    std::printf(
        "storm of blocked connections over 1 s, an open one after each (ms, CPU %% of "
        "one core over the storm and 2 s after):\n");
    std::printf("  %-30s %6s %6s %6s %8s %8s %9s %6s %6s\n", "where", "count", "closed", ">100ms",
                "median", "p99", "slowest", "CPU%", "inno.");
    const std::size_t spaces = std::min<std::size_t>(10, holders.size());
    std::vector<StormResult> results(spaces);
    double cpu = CpuSecondsOf(service.Pid());
    Clock::time_point start = Clock::now();
    std::vector<std::thread> threads;
    const int each = count / static_cast<int>(spaces);
    for (std::size_t i = 0; i < spaces; ++i) {
        threads.push_back(holders[i]->Enter(
            [&, i] { results[i] = Storm(traffic[i].blocked, traffic[i].open, each, 1000ms, 2s); }));
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::vector<double> ms;
    int innocents = 0;
    for (const StormResult& result : results) {
        ms.insert(ms.end(), result.ms.begin(), result.ms.end());
        innocents += result.innocentsClosed;
    }
    const std::string where = std::to_string(spaces) + " other namespaces";
    PrintStorm(where.c_str(), each * static_cast<int>(spaces), ms, innocents,
               100 * (CpuSecondsOf(service.Pid()) - cpu) / Seconds(start));

    std::this_thread::sleep_for(2s);
    cpu = CpuSecondsOf(service.Pid());
    start = Clock::now();
    const StormResult result = Storm(own.blocked, own.open, count, 1000ms, 2s);
    PrintStorm("own namespace", count, result.ms, result.innocentsClosed,
               100 * (CpuSecondsOf(service.Pid()) - cpu) / Seconds(start));
}

void PrintSample(const char* phase, int alive, const Sample& sample) {
    std::printf("  %-34s %6d %10d %10d %10.1f %8.2f\n", phase, alive, sample.serviceFds,
                sample.netnsFds, sample.residentMiB, sample.cpuShare);
}

// count namespaces of 3 connections each, made at 10 a second, each removed 3 s after it was
// made (some 30 at a time, each listed about three times).
void Churn(const RunningService& service, int count) {
    std::printf(
        "\nchurn: %d namespaces of 3 connections, 10 made a second, each removed 3 s "
        "later\n",
        count);
    std::printf("  %-34s %6s %10s %10s %10s %8s\n", "when", "alive", "fds svc", "fds netns",
                "RSS MiB", "CPU%");
    const int guardedBefore = service.LinesWith("guards the network namespace");
    const int goneBefore = service.LinesWith(" is gone");
    PrintSample("before (idle 3 s)", 0, Take(service, IdleShare(service, 3s)));
    struct Made {
        Clock::time_point at;
        std::unique_ptr<NamespaceHolder> holder;
    };
    std::deque<Made> alive;
    int failed = 0;
    double cpu = CpuSecondsOf(service.Pid());
    const Clock::time_point start = Clock::now();
    Clock::time_point half = start;
    for (int i = 0; i < count; ++i) {
        std::this_thread::sleep_until(start + 100ms * i);
        alive.push_back({Clock::now(), std::make_unique<NamespaceHolder>(3)});
        failed += !alive.back().holder->WaitReady();
        while (Clock::now() - alive.front().at >= 3s) {
            alive.pop_front();
        }
        if (i == count / 2 - 1) {
            const double share = 100 * (CpuSecondsOf(service.Pid()) - cpu) / Seconds(start);
            const std::string phase = "middle (" + std::to_string(i + 1) + " made)";
            PrintSample(phase.c_str(), static_cast<int>(alive.size()), Take(service, share));
            cpu = CpuSecondsOf(service.Pid());
            half = Clock::now();
        }
    }
    const double share = 100 * (CpuSecondsOf(service.Pid()) - cpu) / Seconds(half);
    const std::string phase = "end (" + std::to_string(count) + " made)";
    PrintSample(phase.c_str(), static_cast<int>(alive.size()), Take(service, share));
    alive.clear();
    std::this_thread::sleep_for(3s);  // listed again: the last are gone
    PrintSample("after, all removed (idle 3 s)", 0, Take(service, IdleShare(service, 3s)));
    std::printf(
        "  CPU%% of the middle and end rows: over each half of the churn; "
        "peak RSS %.1f MiB\n",
        PeakMiBOf(service.Pid()));
    std::printf("  the service's log: %d namespaces guarded, %d gone (of %d made, %d failed)\n",
                service.LinesWith("guards the network namespace") - guardedBefore,
                service.LinesWith(" is gone") - goneBefore, count, failed);
}

// The closes the service's output tells: a line each, and past its limit of lines a sum a
// second ("and N more closed in the last second (K by OWNER, ...)"). How many, and how many it
// says were by unknown.
// The number written at from in text, its thousands grouped ("10,000").
int Grouped(const std::string& text, std::size_t from) {
    int number = 0;
    for (std::size_t at = from;
         at < text.size() &&
         (std::isdigit(static_cast<unsigned char>(text[at])) != 0 || text[at] == ',');
         ++at) {
        number = text[at] == ',' ? number : number * 10 + (text[at] - '0');
    }
    return number;
}

struct Told {
    int closed = 0, unknown = 0;
};
Told ClosesTold(const std::string& output) {
    Told told;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("blocked) by ") != std::string::npos) {
            ++told.closed;
            told.unknown += line.find("blocked) by unknown") != std::string::npos;
        } else if (line.starts_with("and ") && line.find(" more closed") != std::string::npos) {
            told.closed += Grouped(line, 4);
            const std::size_t by = line.find(" by unknown");
            if (by != std::string::npos) {
                told.unknown += Grouped(line, line.find_last_not_of("0123456789,", by - 1) + 1);
            }
        }
    }
    return told;
}

// namespaces of connections blocked connections each, all there before a quarneld started for
// them: how soon its output tells every one closed (timed from its start), and how many it says
// were by unknown. Its own instance, so that its peak memory is this phase's alone.
void Older(const std::string& program, int namespaces, int connections) {
    std::printf("\n==== %d namespaces of %d blocked connections made before quarneld started\n",
                namespaces, connections);
    std::vector<std::unique_ptr<NamespaceHolder>> holders;
    for (int i = 0; i < namespaces; ++i) {
        holders.push_back(std::make_unique<NamespaceHolder>(connections, kBlockedPort));
    }
    for (auto& holder : holders) {
        if (!holder->WaitReady()) {
            Fail("a namespace holder failed");
        }
    }
    const int count = namespaces * connections;
    const Clock::time_point start = Clock::now();
    const RunningService service(program, kBlockedPort);
    // Each is closed at its client's end; the server's goes with it.
    Told told;
    while ((told = ClosesTold(service.Output())).closed < count && Seconds(start) < 60 &&
           service.Running()) {
        std::this_thread::sleep_for(10ms);
    }
    std::printf("%d of %d told closed within %.2f s of its start, %d of them by unknown\n",
                told.closed, count, Seconds(start), told.unknown);
    std::printf("peak RSS of quarneld and quarnel-netns: %.1f MiB\n", PeakMiBOf(service.Pid()));
}

int Usage(const char* self) {
    std::fprintf(stderr,
                 "usage: %s [QUARNELD [NAMESPACES [CONNECTIONS [CHURNED [STORM [CHILD_EHASH "
                 "[OLDER]]]]]]] "
                 "(as root)\n",
                 self);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (geteuid() != 0) {
        std::fprintf(stderr, "quarneld guards other namespaces only as root: run this as root\n");
        return Usage(argv[0]);
    }
    // A private network namespace, and a cgroup of its own seen as the root; never the
    // machine's, whose namespaces quarneld would otherwise guard.
    EnterPrivateNetwork(argv);
    if (!InOwnCgroup()) {
        std::fprintf(stderr,
                     "no cgroup of its own (cgroup v2 needed): quarneld would guard the "
                     "machine's namespaces, so it does not run\n");
        return 1;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    RaiseOpenFileLimit();
    const std::string program = argc > 1 ? argv[1] : QUARNEL_DAEMON;
    Sizes sizes;
    for (auto [index, size] : {std::pair{2, &sizes.namespaces}, std::pair{3, &sizes.connections},
                               std::pair{4, &sizes.churned}, std::pair{5, &sizes.storm},
                               std::pair{6, &sizes.childEhash}, std::pair{7, &sizes.older}}) {
        if (argc > index && (*size = std::atoi(argv[index])) <= 0 && index < 6) {
            return Usage(argv[0]);
        }
    }
    std::printf("quarneld: %s\n%d namespaces of %d connections, %d churned, storm of %d\n",
                program.c_str(), sizes.namespaces, sizes.connections, sizes.churned, sizes.storm);
    if (sizes.childEhash > 0) {
        SetChildEhash(sizes.childEhash);
        std::printf("each namespace made with an established-connection table of %d entries\n",
                    sizes.childEhash);
    }

    if (sizes.older > 0) {
        Older(program, sizes.namespaces, sizes.older);
    }

    const Traffic own = MakeTraffic();
    const RunningService service(program, kBlockedPort);
    bool guarding = false;
    for (int attempt = 0; attempt < 60 && !guarding && service.Running(); ++attempt) {
        guarding = TimeTeardown(own.blocked, 1s).has_value();
    }
    if (!guarding) {
        std::fprintf(stderr, "quarneld never closed a blocked connection; its output:\n%s",
                     service.Output().c_str());
        return 1;
    }
    std::printf("quarneld %d, quarnel-netns %d; kernel events: %s\n", service.Pid(),
                service.Netns(), HoldsKernelProgramOf(service.Pid()) ? "yes" : "no");
    {
        std::printf("\n==== %d namespaces of %d established loopback connections\n",
                    sizes.namespaces, sizes.connections);
        const Clock::time_point start = Clock::now();
        std::vector<std::unique_ptr<NamespaceHolder>> holders;
        for (int i = 0; i < sizes.namespaces; ++i) {
            holders.push_back(std::make_unique<NamespaceHolder>(sizes.connections));
        }
        for (auto& holder : holders) {
            if (!holder->WaitReady()) {
                Fail("a namespace holder failed");
            }
        }
        std::vector<Traffic> traffic(holders.size());
        for (std::size_t i = 0; i < holders.size(); ++i) {
            holders[i]->Inside([&, i] { traffic[i] = MakeTraffic(); });
        }
        std::printf("made in %.1f s\n", Seconds(start));
        const Clock::time_point made = Clock::now();
        const int guarded = Guarded(holders, traffic);
        std::printf("a blocked connection closed in %d of %d namespaces, all within %.1f s\n",
                    guarded, sizes.namespaces, Seconds(made));
        IdleCpu(service);
        Teardowns(holders, traffic, own, 100);
        Storms(service, holders, traffic, own, sizes.storm);
        std::printf("peak RSS of quarneld and quarnel-netns: %.1f MiB\n", PeakMiBOf(service.Pid()));
    }
    std::this_thread::sleep_for(3s);  // the namespaces gone, and listed so
    Churn(service, sizes.churned);
    if (!service.Running()) {
        std::fprintf(stderr, "quarneld ended; its output:\n%s", service.Output().c_str());
        return 1;
    }
    return 0;
}
