// The cost of one steady blocking pass against one bare read of the TCP table, at 1,000
// loopback connections. Runs itself in a private network namespace: see README.md.
#include <benchmark/benchmark.h>

#include <functional>
#include <memory>
#include <vector>

#include "bench/BenchSupport.h"
#include "engine/Engine.h"
#include "platform/linux/UniqueFd.h"
#include "platform/linux/sockdiag/LinuxTcpTable.h"

namespace {

using quarnel::bench::UniqueFd;

constexpr int ConnectionCount = 1000;

using quarnel::bench::MemoryStore;
using quarnel::bench::NoAddresses;

using quarnel::bench::OpenTable;

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
    quarnel::platform::ReadResult Read(std::vector<quarnel::platform::TcpRow>& rows,
                                       quarnel::platform::TableChanges* changes) override {
        rows.assign(Rows.begin(), Rows.end());
        return Whole(true, changes);
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
    quarnel::bench::EnterPrivateNetwork(argv);
    const std::vector<UniqueFd> connections = quarnel::bench::OpenConnections(ConnectionCount);
    benchmark::Initialize(&argc, argv);
    quarnel::bench::RatioReporter report(
        {{"SteadyPass", "BareTableRead"}, {"SteadyPassWithoutRead", "BareTableRead"}});
    benchmark::RunSpecifiedBenchmarks(&report);
    benchmark::Shutdown();
    return 0;
}
