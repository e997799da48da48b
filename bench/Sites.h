#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/SiteTraffic.h"

// Guards (quarnel, or an `ss -K` loop) each in a private network namespace of its own with its
// own background connections and configuration, measured from outside. The sites take turns
// (the others stopped with SIGSTOP), so that load on the machine hits them alike. See README.md.
namespace quarnel::bench {

// Capabilities as a file holds them (struct vfs_cap_data, revision 2): what the install gives
// the helper, or less.
inline constexpr std::uint64_t kNetAdmin = std::uint64_t{1} << 12;
inline constexpr std::uint64_t kBpfAndPerfmon = (std::uint64_t{1} << 39) | (std::uint64_t{1} << 38);

// What guards a namespace against the blocked port.
struct Guard {
    const char* name;
    bool userNamespace;  // where the kernel rejects the process's programs: it polls
    bool isQuarnel;      // else an `ss -K` loop filtered to the blocked port
    // For quarnel run by an unprivileged user through a copy of its helper with these file
    // capabilities; 0 for quarnel run as root of its namespace.
    std::uint64_t helperCapabilities = 0;
    // quarnel run by nobody through its helper as built, without any capability, as
    // scripts/run starts it: it only shows connections and closes none.
    bool viewer = false;
    // The program's loop without a window (bench/WindowlessGuard.cpp), given the blocked port:
    // what runs while the window is hidden. Else quarnel with its window, the connection view
    // shown.
    bool windowless = false;
    // That loop over the table as it was chosen where the kernel's programs cannot load before
    // the packet filter's table told of blocked connections: read whole every millisecond.
    bool polled = false;
};
inline constexpr Guard kEvents{"events", false, true};
inline constexpr Guard kPolling{"polling", true, true};
inline constexpr Guard kHelperEvents{"helper, events", false, true, kNetAdmin | kBpfAndPerfmon};
inline constexpr Guard kHelperPolling{"helper, polling", false, true, kNetAdmin};
inline constexpr Guard kSsLoop{"ss -K loop", false, false};
inline constexpr Guard kViewer{"viewer (closes nothing)", false, true, 0, true};
// The program as it was before it waited for the table's changes, given on the command line.
inline constexpr Guard kStraightPort{"straight port", true, true};
inline constexpr Guard kEventsHidden{"events, hidden", false, true, 0, false, true};
inline constexpr Guard kHelperEventsHidden{"helper, events, hidden",   false, true,
                                           kNetAdmin | kBpfAndPerfmon, false, true};
// As root of a user namespace, where the kernel refuses its programs: the packet filter's table
// holds back blocked payload and tells of blocked connections; and, side by side, the same
// without its telling, read whole every millisecond.
inline constexpr Guard kNetfilterHidden{"netfilter, hidden", true, true, 0, false, true};
inline constexpr Guard kNetfilterPolledHidden{
    "netfilter, polled, hidden", true, true, 0, false, true, true};

double Median(std::vector<double> values);
double Percentile99(std::vector<double> values);

// Blocked connections' closing times, -1 for one never closed: how many were closed, how many
// were still open after 100 ms, the median and the 99th percentile of those closed.
struct Closes {
    int closed = 0, aliveAfter100ms = 0;
    double median = 0, p99 = 0, slowest = 0;
};
Closes Summary(const std::vector<double>& ms);

// Runs the site when argv asks for one (--site GUARD CONNECTIONS PROGRAM), inside its
// namespace; its exit status. -1 when argv asks for none.
int RunSiteIfAsked(int argc, char** argv);

// The programs measured: quarnel, the straight port to compare with (empty: none), and the
// windowless loop (empty: none).
struct Programs {
    std::string quarnel;
    std::string straightPort;
    std::string windowless;
};

class Site {
public:
    Site(const Guard& guard, int connections, const std::string& program);
    ~Site();
    Site(const Site&) = delete;
    Site& operator=(const Site&) = delete;

    const Guard& Kind() const { return guard_; }
    bool Guarding() const { return guardPid_ > 0; }
    // quarnel alone: its helper, stopped in the middle of an answer, would let the deadline of
    // that answer pass and be taken for broken. The ss loop as a whole.
    void Pause();
    void Resume();

    // CPU time of every thread of the guard and of its child processes (the helper) so far,
    // in seconds.
    double CpuSeconds() const;
    // The guard's peak resident memory in MiB, and its helper's, which also holds the table.
    double PeakMiB() const;
    // Whether the guard or its helper holds a kernel program: the proof that it runs on
    // kernel events.
    bool HoldsKernelProgram() const;
    // Asks the site for a measurement (see RunSite) and returns the numbers of its one-line
    // answer.
    std::vector<double> Ask(const std::string& command);
    // count teardowns over IP version (4 or 6), one after the other.
    std::vector<double> Teardowns(int count, Family family = Family::IPv4) {
        return Ask("teardown " + std::to_string(count) + " " +
                   std::to_string(static_cast<int>(family)));
    }

private:
    const Guard& guard_;
    pid_t pid_ = -1;
    pid_t guardPid_ = -1;
    std::FILE* in_ = nullptr;
    std::FILE* out_ = nullptr;
};

// The guard's name, with a note when it does not run on the kernel's events as meant.
std::string Label(const Site& site);

// Starts one site per guard with count background connections; the ones that guard. The
// straight port and the windowless guards are left out when there is no program for them.
std::vector<std::unique_ptr<Site>> StartSites(const std::vector<const Guard*>& guards,
                                              int connections, const Programs& programs);

}  // namespace quarnel::bench
