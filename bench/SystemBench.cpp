// The running program measured from outside, each instance in a private network namespace of
// its own with a private configuration: its CPU share while idle, how soon it closes a blocked
// connection, and its peak memory. The instances run side by side and take turns (the others
// stopped with SIGSTOP), so that load on the machine hits them alike. See README.md.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/Sites.h"

namespace {

using namespace quarnel::bench;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

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
    if (const int site = RunSiteIfAsked(argc, argv); site >= 0) {
        return site;
    }
    // [PROGRAM] [straight-port=PROGRAM] [idle] [teardown] [memory]: all three parts when none
    // is named.
    Programs programs{QUARNEL_PROGRAM, {}, {}};
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
