// quarnelctl: asks the running quarneld what it is doing, over the system bus.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/RegularFile.h"
#include "quarnelctl/GuardState.h"
#include "quarnelctl/Report.h"

namespace {

constexpr const char* kUsage =
    "usage: quarnelctl [--json] status|rules|namespaces|closes\n"
    "       quarnelctl metrics [--output FILE]\n"
    "Asks the running quarneld: its state and counters, the rules in force, the network\n"
    "namespaces it guards, its latest closes, or its counters in Prometheus' text format\n"
    "(with --output, written whole to FILE, for node_exporter's textfile collector).\n";

// Exit statuses beside 0: the command line, the service not reachable, the caller refused.
constexpr int kUsageError = 2, kNotReached = 3, kRefused = 4;

// Writes text to path whole (a reader never sees half of it); false, said, when it could not.
bool WriteWhole(const std::string& path, const std::string& text) {
    std::string why;
    if (quarnel::platform::WriteRegularFile(path, text, 0644, why)) {
        return true;
    }
    std::fprintf(stderr, "quarnelctl: %s\n", why.c_str());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    bool json = false;
    std::string output;  // metrics only
    std::string_view what;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--json") {
            json = true;
        } else if (arg == "--output" && i + 1 < argc) {
            output = argv[++i];
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
    if (!output.empty() && what != "metrics") {
        std::fprintf(stderr, "quarnelctl: --output goes with metrics only\n%s", kUsage);
        return kUsageError;
    }
    quarnel::ctl::GuardState state;
    std::string problem;
    const quarnel::ctl::AskFailure failure = quarnel::ctl::AskGuard(state, problem);
    if (failure != quarnel::ctl::AskFailure::None) {
        std::fprintf(stderr, "quarnelctl: %s\n", problem.c_str());
        // The collector is told that the guard did not answer, rather than shown old counters.
        if (!output.empty()) {
            (void)WriteWhole(output, quarnel::ctl::DownMetricsText());
        }
        return failure == quarnel::ctl::AskFailure::Refused ? kRefused : kNotReached;
    }
    const auto now =
        static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                       std::chrono::system_clock::now().time_since_epoch())
                                       .count());
    const std::string out = what == "metrics" ? quarnel::ctl::MetricsText(state)
                            : json            ? quarnel::ctl::ReportJson(what, state)
                                              : quarnel::ctl::ReportText(what, state, now);
    if (!output.empty()) {
        return WriteWhole(output, out) ? 0 : 1;
    }
    if (std::fputs(out.c_str(), stdout) == EOF || std::fflush(stdout) != 0) {
        std::perror("quarnelctl: cannot write");
        return 1;
    }
    return 0;
}
