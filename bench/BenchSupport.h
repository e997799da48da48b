#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "engine/Settings.h"
#include "platform/HostAddressSource.h"
#include "platform/linux/UniqueFd.h"
#include "platform/linux/sockdiag/LinuxTcpTable.h"
#include "tests/support/MemoryStore.h"

namespace quarnel::bench {

using platform::UniqueFd;

using testsupport::MemoryStore;

// Rules kept in memory, nothing written anywhere: remote ports 9, 13 and 37 are blocked.
inline MemoryStore ThreePortRules() {
    return MemoryStore({{BlockedRemotePortsKey, "9,13,37"}});
}

class NoAddresses : public platform::HostAddressSource {
public:
    platform::HostAddresses GetHostAddresses() override { return {}; }
};

// Prints what failed with errno's text and ends the program.
[[noreturn]] void Fail(const std::string& what);

// Makes sure this program runs in a private network namespace with its loopback up, so that
// its connections never mix with the machine's and no rule of it can touch them: unless the
// environment says it already does, runs itself again under unshare(1) (--net as root, -rn
// otherwise, mapping root in a user namespace) and brings that namespace's loopback up. As
// root it also runs in a cgroup of its own that it sees as the cgroup root (cgroup and mount
// namespaces of its own), so that the kernel filter of a program it measures never filters the
// machine.
void EnterPrivateNetwork(char** argv);
// The root of the cgroup hierarchy as the benchmark sees it: its own cgroup, as root.
std::string OwnCgroupRoot();
void BringLoopbackUp();

// The polled TCP table; ends the program when the system denies it.
std::unique_ptr<platform::LinuxTcpTable> OpenTable();

// Raises the soft open-files limit to the hard one.
void RaiseOpenFileLimit();

// A TCP listener on 127.0.0.1 at port (0: one the system chose).
struct Listener {
    UniqueFd fd;
    int port = 0;
};
Listener Listen(int backlog, int port = 0);

// count established loopback connections to one listener of their own (at port, or one the
// system chose), both ends kept open, and the listener last.
std::vector<UniqueFd> OpenConnections(int count, int port = 0);

// count established loopback connections held by child processes, a few thousand each, so
// that no process comes near its open-files limit. They end when the farm is dropped or this
// process dies.
class ConnectionFarm {
public:
    explicit ConnectionFarm(int count);
    ~ConnectionFarm();
    ConnectionFarm(const ConnectionFarm&) = delete;
    ConnectionFarm& operator=(const ConnectionFarm&) = delete;

private:
    std::vector<pid_t> holders_;
};

// The console report, followed by the ratio of the medians of each pair of benchmarks given:
// {numerator, denominator}, as Google Benchmark names them ("BareTableRead").
class RatioReporter : public benchmark::ConsoleReporter {
public:
    explicit RatioReporter(std::vector<std::pair<std::string, std::string>> pairs)
        : ConsoleReporter(OO_Tabular), pairs_(std::move(pairs)) {}
    void ReportRuns(const std::vector<Run>& runs) override;
    void Finalize() override;

private:
    std::vector<std::pair<std::string, std::string>> pairs_;
    std::map<std::string, double> medians_;  // nanoseconds by benchmark name
};

}  // namespace quarnel::bench
