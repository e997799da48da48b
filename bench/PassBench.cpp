// The cost of one steady blocking pass against one bare read of the TCP table, at 1,000
// loopback connections. Runs itself in a private network namespace: see README.md.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/Engine.h"
#include "engine/SettingsStore.h"
#include "platform/HostAddressSource.h"
#include "platform/linux/LinuxTcpTable.h"
#include "platform/linux/UniqueFd.h"

namespace {

using quarnel::platform::UniqueFd;

constexpr int ConnectionCount = 1000;

// Rules kept in memory: nothing is written anywhere.
class MemoryStore : public quarnel::SettingsStore {
public:
    std::string Read(const std::string& key, const std::string& defaultValue) override {
        return key == "BlockedRemotePortsString" ? "9,13,37" : defaultValue;
    }
    void Write(const std::string&, const std::string&) override {}
    bool Flush() override { return true; }
    std::string Location() const override { return "memory"; }
};

class NoAddresses : public quarnel::platform::HostAddressSource {
public:
    quarnel::platform::HostAddresses GetHostAddresses() override { return {}; }
};

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "%s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

// Enters a private network namespace by running this program again under unshare(1), then
// brings the namespace's loopback up.
void EnterPrivateNetwork(char** argv) {
    if (std::getenv("QUARNEL_BENCH_ISOLATED") == nullptr) {
        setenv("QUARNEL_BENCH_ISOLATED", "1", 1);
        std::vector<char*> args = {const_cast<char*>("unshare"),
                                   const_cast<char*>(geteuid() == 0 ? "--net" : "-rn")};
        for (char** arg = argv; *arg != nullptr; ++arg) {
            args.push_back(*arg);
        }
        args.push_back(nullptr);
        execvp("unshare", args.data());
        Fail("unshare");
    }
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

// count loopback connections to one listener; both ends of each stay open.
std::vector<UniqueFd> OpenConnections(int count) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    (void)setrlimit(RLIMIT_NOFILE, &limit);  // checked by the sockets below

    std::vector<UniqueFd> sockets;
    UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (!listener || bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener.Get(), count) != 0 ||
        getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        Fail("listener");
    }
    for (int i = 0; i < count; ++i) {
        UniqueFd client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!client ||
            connect(client.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            Fail("connect");
        }
        UniqueFd server(accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!server) {
            Fail("accept");
        }
        sockets.push_back(std::move(client));
        sockets.push_back(std::move(server));
    }
    sockets.push_back(std::move(listener));
    return sockets;
}

std::unique_ptr<quarnel::platform::LinuxTcpTable> OpenTable() {
    int error = 0;
    auto table = quarnel::platform::LinuxTcpTable::Open(&error);
    if (!table) {
        errno = error;
        Fail("sock_diag");
    }
    return table;
}

void BareTableRead(benchmark::State& state) {
    const auto table = OpenTable();
    std::vector<quarnel::platform::TcpRow> rows;
    for (auto _ : state) {
        benchmark::DoNotOptimize(table->ReadTable(rows));
    }
    state.counters["rows"] = static_cast<double>(rows.size());
}

void SteadyPass(benchmark::State& state) {
    const auto table = OpenTable();
    NoAddresses hosts;
    MemoryStore store;
    quarnel::Engine engine(*table, hosts, store);
    engine.oManager.LoadSettings();
    const std::function<void()> events = [] {};
    engine.ProcessTcpTable(events);  // the first pass fills the cache and builds the lines
    for (auto _ : state) {
        engine.ProcessTcpTable(events);
    }
    state.counters["rows"] = static_cast<double>(engine.Table.Rows.size());
}

// The same pass over the same rows served from memory: what the engine itself costs.
class RowsFromMemory : public quarnel::platform::TcpTableSource {
public:
    explicit RowsFromMemory(std::vector<quarnel::platform::TcpRow> rows) : Rows(std::move(rows)) {}
    bool ReadTable(std::vector<quarnel::platform::TcpRow>& rows) override {
        rows.assign(Rows.begin(), Rows.end());
        return true;
    }
    bool CloseConnection(const quarnel::platform::TcpRow&) override { return false; }
    quarnel::platform::CloseAbility CanCloseConnections() override {
        return quarnel::platform::CloseAbility::Unknown;
    }

private:
    std::vector<quarnel::platform::TcpRow> Rows;
};

void SteadyPassWithoutRead(benchmark::State& state) {
    std::vector<quarnel::platform::TcpRow> rows;
    (void)OpenTable()->ReadTable(rows);
    RowsFromMemory table(std::move(rows));
    NoAddresses hosts;
    MemoryStore store;
    quarnel::Engine engine(table, hosts, store);
    engine.oManager.LoadSettings();
    const std::function<void()> events = [] {};
    engine.ProcessTcpTable(events);
    for (auto _ : state) {
        engine.ProcessTcpTable(events);
    }
    state.counters["rows"] = static_cast<double>(engine.Table.Rows.size());
}

BENCHMARK(BareTableRead)->Unit(benchmark::kMicrosecond);
BENCHMARK(SteadyPass)->Unit(benchmark::kMicrosecond);
BENCHMARK(SteadyPassWithoutRead)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    EnterPrivateNetwork(argv);
    const std::vector<UniqueFd> connections = OpenConnections(ConnectionCount);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
