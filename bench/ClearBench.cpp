// The first blocking pass after the cache is cleared, at 100,000 loopback connections (200,000
// rows), against one bare read of the TCP table; the table polled and the table kept from the
// kernel's reports; and the read of the rows that end without a report alone. Runs itself in a
// private network namespace: see README.md.
#include <benchmark/benchmark.h>

#include <functional>
#include <memory>
#include <string>

#include "bench/BenchSupport.h"
#include "engine/Engine.h"
#include "platform/linux/events/EventTcpTable.h"
#include "platform/linux/sockdiag/SockDiagMessages.h"

namespace {

using namespace quarnel;
using bench::MemoryStore;
using bench::NoAddresses;

constexpr int kConnections = 100000;

void BareTableRead(benchmark::State& state) {
    const auto table = bench::OpenTable();
    std::vector<platform::TcpRow> rows;
    for (auto _ : state) {
        benchmark::DoNotOptimize(table->ReadTable(rows));
    }
    state.counters["rows"] = static_cast<double>(rows.size());
}

// The read that looks for rows that come and go without a report: the kernel walks every socket
// but describes only those in a few states (here: none).
void UnreportedRowsRead(benchmark::State& state) {
    const auto table = bench::OpenTable();
    std::vector<platform::TcpRow> rows;
    const std::uint32_t states =
        (1u << platform::linux_tcp::kSynSent) | (1u << platform::linux_tcp::kSynRecv) |
        (1u << platform::linux_tcp::kFinWait2) | (1u << platform::linux_tcp::kTimeWait);
    for (auto _ : state) {
        benchmark::DoNotOptimize(table->ReadTableInStates(rows, states));
    }
    state.counters["rows"] = static_cast<double>(rows.size());
}

// Passes over source: the first one after every clear of the cache when clear is set, else
// the ones that find nothing changed.
void Passes(benchmark::State& state, platform::TcpTableSource& source, bool clear) {
    NoAddresses hosts;
    MemoryStore store = bench::ThreePortRules();
    Engine engine(source, hosts, store);
    engine.oManager.LoadSettings();
    const std::function<void()> events = [] {};
    engine.ProcessTcpTable(events);
    for (auto _ : state) {
        if (clear) {
            ClearConnectionCache(engine.Cache);
        }
        engine.ProcessTcpTable(events);
    }
    state.counters["rows"] = static_cast<double>(engine.Table.Rows.size());
}

void FirstPassAfterClear(benchmark::State& state) {
    Passes(state, *bench::OpenTable(), true);
}

// A table of its own for each engine: it tells an engine only what changed since it last
// told that same engine.
void FromEvents(benchmark::State& state, bool clear) {
    platform::PollingCause noEvents;
    const auto table = platform::EventTcpTable::Open(noEvents);
    if (!table) {
        state.SkipWithError(("no kernel events: " + noEvents.Text()).c_str());
        return;
    }
    Passes(state, *table, clear);
}

void FirstPassAfterClearFromEvents(benchmark::State& state) {
    FromEvents(state, true);
}

void IdlePassFromEvents(benchmark::State& state) {
    FromEvents(state, false);
}

BENCHMARK(BareTableRead)->Unit(benchmark::kMillisecond);
BENCHMARK(UnreportedRowsRead)->Unit(benchmark::kMillisecond);
BENCHMARK(FirstPassAfterClear)->Unit(benchmark::kMillisecond);
BENCHMARK(FirstPassAfterClearFromEvents)->Unit(benchmark::kMillisecond);
BENCHMARK(IdlePassFromEvents)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    bench::EnterPrivateNetwork(argv);
    const bench::ConnectionFarm connections(kConnections);
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter report({{"UnreportedRowsRead", "BareTableRead"},
                                 {"FirstPassAfterClear", "BareTableRead"},
                                 {"FirstPassAfterClearFromEvents", "BareTableRead"},
                                 {"IdlePassFromEvents", "BareTableRead"}});
    benchmark::RunSpecifiedBenchmarks(&report);
    benchmark::Shutdown();
    return 0;
}
