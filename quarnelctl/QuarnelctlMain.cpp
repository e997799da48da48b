// quarnelctl: asks the running quarneld what it is doing, over the system bus.

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

#include "quarnelctl/GuardState.h"
#include "quarnelctl/Report.h"

namespace {

constexpr const char* kUsage =
    "usage: quarnelctl [--json] status|rules|namespaces|closes\n"
    "       quarnelctl metrics\n"
    "Asks the running quarneld: its state and counters, the rules in force, the network\n"
    "namespaces it guards, its latest closes, or its counters in Prometheus' text format.\n";

// Exit statuses beside 0: the command line, the service not reachable, the caller refused.
constexpr int kUsageError = 2, kNotReached = 3, kRefused = 4;

}  // namespace

int main(int argc, char** argv) {
    bool json = false;
    std::string_view what;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--json") {
            json = true;
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (what.empty() && (arg == "status" || arg == "rules" || arg == "namespaces" ||
                                    arg == "closes" || arg == "metrics")) {
            what = arg;
        } else {
            std::fprintf(stderr, "quarnelctl: unknown argument %s\n%s", argv[i], kUsage);
            return kUsageError;
        }
    }
    if (what.empty()) {
        what = "status";
    }
    quarnel::ctl::GuardState state;
    std::string problem;
    switch (quarnel::ctl::AskGuard(state, problem)) {
        case quarnel::ctl::AskFailure::None:
            break;
        case quarnel::ctl::AskFailure::Refused:
            std::fprintf(stderr, "quarnelctl: %s\n", problem.c_str());
            return kRefused;
        default:
            std::fprintf(stderr, "quarnelctl: %s\n", problem.c_str());
            return kNotReached;
    }
    const auto now =
        static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                       std::chrono::system_clock::now().time_since_epoch())
                                       .count());
    const std::string out = what == "metrics" ? quarnel::ctl::MetricsText(state)
                            : json            ? quarnel::ctl::ReportJson(what, state)
                                              : quarnel::ctl::ReportText(what, state, now);
    if (std::fputs(out.c_str(), stdout) == EOF || std::fflush(stdout) != 0) {
        std::perror("quarnelctl: cannot write");
        return 1;
    }
    return 0;
}
