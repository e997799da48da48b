// Usage: quarnel_scale_bench [PROGRAM [WINDOWLESS [SIZES [MODES]]]], SIZES as
// "1000,20000,100000", MODES as "events, hidden;helper, events, hidden" (default: all six).
// The running program at scale, measured from outside as quarnel_system_bench measures it: its
// CPU share while idle and while connections come and go beside up to 100,000 others (window
// hidden, and the connection view shown), how soon it closes a blocked connection among them,
// storms and bursts of blocked connections, blocked and open ones mixed, and its peak memory. See
// README.md.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/Sites.h"

namespace {

using namespace quarnel::bench;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::vector<const Guard*> kModes = {&kEventsHidden,       &kEvents,
                                          &kHelperEventsHidden, &kHelperEvents,
                                          &kNetfilterHidden,    &kNetfilterPolledHidden};

// The CPU share of the site's guard (and helper), in % of one core, while it runs command.
double CpuWhile(Site& site, const std::string& command) {
    site.Resume();
    std::this_thread::sleep_for(300ms);  // what piled up while stopped is done
    const double cpu = site.CpuSeconds();
    const Clock::time_point start = Clock::now();
    site.Ask(command);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double share = 100 * (site.CpuSeconds() - cpu) / seconds;
    site.Pause();
    return share;
}

void Idle(std::vector<std::unique_ptr<Site>>& sites, int connections) {
    std::vector<std::vector<double>> samples(sites.size());
    for (int round = 0; round < 3; ++round) {
        for (std::size_t s = 0; s < sites.size(); ++s) {
            samples[s].push_back(CpuWhile(*sites[s], "idle 0 3000"));
        }
    }
    for (std::size_t s = 0; s < sites.size(); ++s) {
        std::printf("%12d %8s  %-26s %8.2f\n", connections, "idle", Label(*sites[s]).c_str(),
                    Median(samples[s]));
    }
}

void Churn(std::vector<std::unique_ptr<Site>>& sites, int connections,
           std::map<std::string, double>& base) {
    for (const int rate : {100, 500}) {
        std::vector<std::vector<double>> samples(sites.size());
        for (int round = 0; round < 3; ++round) {
            for (std::size_t s = 0; s < sites.size(); ++s) {
                samples[s].push_back(
                    CpuWhile(*sites[s], "churn " + std::to_string(rate) + " 3000"));
            }
        }
        for (std::size_t s = 0; s < sites.size(); ++s) {
            const double median = Median(samples[s]);
            const std::string key = Label(*sites[s]) + std::to_string(rate);
            if (connections == 1000) {
                base[key] = median;
            }
            std::printf("%12d %6d/s  %-26s %8.2f %9.2fx\n", connections, rate,
                        Label(*sites[s]).c_str(), median, base[key] > 0 ? median / base[key] : 0);
        }
    }
}

void Teardown(std::vector<std::unique_ptr<Site>>& sites, int connections) {
    std::vector<std::vector<double>> samples(sites.size());
    for (int round = 0; round < 4; ++round) {
        for (std::size_t s = 0; s < sites.size(); ++s) {
            sites[s]->Resume();
            std::this_thread::sleep_for(300ms);
            for (const double ms : sites[s]->Teardowns(50)) {
                samples[s].push_back(ms);
            }
            sites[s]->Pause();
        }
    }
    for (std::size_t s = 0; s < sites.size(); ++s) {
        const Closes closes = Summary(samples[s]);
        std::printf("%12d  %-26s %8.3f %8.3f %8d\n", connections, Label(*sites[s]).c_str(),
                    closes.median, closes.p99, static_cast<int>(samples[s].size()) - closes.closed);
    }
}

// count blocked connections spread over ms (with as many open ones when mixed).
void Storm(std::vector<std::unique_ptr<Site>>& sites, int connections, const char* kind, int count,
           int ms) {
    for (auto& site : sites) {
        site->Resume();
        std::this_thread::sleep_for(300ms);
        const double cpu = site->CpuSeconds();
        const Clock::time_point start = Clock::now();
        std::vector<double> answer =
            site->Ask(std::string(kind) + " " + std::to_string(count) + " " + std::to_string(ms));
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const double share = 100 * (site->CpuSeconds() - cpu) / seconds;
        site->Pause();
        const int innocents = answer.empty() ? -1 : static_cast<int>(answer.front());
        const Closes closes = Summary(std::vector<double>(answer.begin() + 1, answer.end()));
        std::printf("%12d  %-6s %5d in %4d ms  %-26s %6d %6d %8.3f %8.3f %9.1f %6.1f %6d\n",
                    connections, kind, count, ms, Label(*site).c_str(), closes.closed,
                    closes.aliveAfter100ms, closes.median, closes.p99, closes.slowest, share,
                    innocents);
    }
}

void StormHeading() {
    std::printf("%12s  %-25s  %-26s %6s %6s %8s %8s %9s %6s %6s\n", "background", "what", "mode",
                "closed", ">100ms", "median", "p99", "slowest", "CPU%", "inno.");
}

}  // namespace

int main(int argc, char** argv) {
    if (const int site = RunSiteIfAsked(argc, argv); site >= 0) {
        return site;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const Programs programs{
        argc > 1 ? argv[1] : QUARNEL_PROGRAM, {}, argc > 2 ? argv[2] : QUARNEL_WINDOWLESS};
    std::printf("Program: %s\nWindowless loop: %s\n", programs.quarnel.c_str(),
                programs.windowless.c_str());
    // One site at a time: the kernel walks the sockets of every namespace for each read of the
    // table, so another site's 100,000 connections would weigh on this one's reads.
    // A third argument picks some of the table sizes, e.g. "1000" for a quick look at the churn.
    std::vector<int> sizes = {1000, 20000, 100000};
    if (argc > 3) {
        sizes.clear();
        std::istringstream list(argv[3]);
        for (std::string size; std::getline(list, size, ',');) {
            sizes.push_back(std::stoi(size));
        }
    }
    // A fourth picks some of the modes, by name, e.g. for a profile of one of them.
    std::vector<const Guard*> modes = kModes;
    if (argc > 4) {
        modes.clear();
        std::istringstream list(argv[4]);
        for (std::string name; std::getline(list, name, ';');) {
            for (const Guard* mode : kModes) {
                if (name == mode->name) {
                    modes.push_back(mode);
                }
            }
        }
    }
    std::map<std::string, double> base;
    for (const int connections : sizes) {
        std::printf("\n==== %d background connections (%d rows)\n", connections,
                    2 * connections + 1);
        for (const Guard* mode : modes) {
            auto sites = StartSites({mode}, connections, programs);
            if (sites.empty()) {
                continue;
            }
            std::printf("%12s %8s  %-26s %8s %10s  (CPU %% of one core, median of 3 x 3 s)\n",
                        "background", "rate", "mode", "median", "vs 1,000");
            Idle(sites, connections);
            Churn(sites, connections, base);
            StormHeading();
            if (connections == 1000) {
                Storm(sites, connections, "storm", 4000, 0);  // a burst: as fast as they open
            }
            Storm(sites, connections, "storm", 2000, 1000);
            Storm(sites, connections, "mixed", 1000, 5000);
            std::printf("%12s  %-26s %8s %8s %8s  (teardown, ms, 4 x 50)\n", "background", "mode",
                        "median", "p99", "missed");
            Teardown(sites, connections);
            if (connections == 100000) {
                Storm(sites, connections, "storm", 4000, 0);
                std::printf(
                    "%12s  %-26s %8.1f  (peak resident memory, program and helper, "
                    "MiB)\n",
                    "", Label(*sites.front()).c_str(), sites.front()->PeakMiB());
            }
        }
    }
    return 0;
}
