// The cost of one steady blocking pass against one bare read of the TCP table, at 1,000
// loopback connections. Runs itself in a private network namespace: see README.md.
#include <benchmark/benchmark.h>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "engine/Engine.h"
#include "engine/Settings.h"
#include "platform/RuleEntry.h"
#include "platform/linux/UniqueFd.h"
#include "platform/linux/protocol/HelperProtocol.h"
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
    MemoryStore store = quarnel::bench::ThreePortRules();
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
    explicit RowsFromMemory(std::vector<quarnel::platform::TcpRow> rows) : rows_(std::move(rows)) {}
    quarnel::platform::ReadResult Read(std::vector<quarnel::platform::TcpRow>& rows,
                                       quarnel::platform::TableChanges* changes) override {
        rows.assign(rows_.begin(), rows_.end());
        return Whole(true, changes);
    }
    bool CloseConnection(const quarnel::platform::TcpRow&) override { return false; }
    quarnel::platform::CloseAbility CanCloseConnections() override {
        return quarnel::platform::CloseAbility::Unknown;
    }

private:
    std::vector<quarnel::platform::TcpRow> rows_;
};

// Passes over the rows read once from the loopback connections, served from memory under the
// rules store holds; the first pass has run. afresh clears the cache before each pass, so that
// every row is judged again.
void PassesFromMemory(benchmark::State& state, quarnel::SettingsStore& store, bool afresh) {
    std::vector<quarnel::platform::TcpRow> rows;
    (void)OpenTable()->ReadTable(rows);
    RowsFromMemory table(std::move(rows));
    NoAddresses hosts;
    quarnel::Engine engine(table, hosts, store);
    engine.oManager.LoadSettings();
    const std::function<void()> events = [] {};
    engine.ProcessTcpTable(events);
    for (auto _ : state) {
        if (afresh) {
            quarnel::ClearConnectionCache(engine.Cache);
        }
        engine.ProcessTcpTable(events);
    }
    state.counters["rows"] = static_cast<double>(engine.Table.Rows.size());
}

void SteadyPassWithoutRead(benchmark::State& state) {
    MemoryStore store = quarnel::bench::ThreePortRules();
    PassesFromMemory(state, store, false);
}

// Rule lists as an administrator's may be: prefixes allowed IPv4 and IPv6 alike, of every
// length from /8 (/32) on, none around the loopback connections; port ranges below the
// ephemeral ports, so that every row is judged to its end.
MemoryStore LargeRules(std::size_t prefixes, std::size_t ranges) {
    const auto append = [](std::string& list, const std::string& entry) {
        if (!list.empty()) {
            list += ',';
        }
        list += entry;
    };
    std::string allowed, ports;
    std::mt19937 random(0x9e3779b9);
    for (std::size_t i = 0; i < prefixes; ++i) {
        quarnel::platform::IpAddress address{};
        for (auto& byte : address) {
            byte = static_cast<std::uint8_t>(random());
        }
        const bool ipv4 = i % 2 == 0;
        if (ipv4) {
            address = quarnel::platform::MappedIPv4(static_cast<std::uint32_t>(random()));
            address[12] = static_cast<std::uint8_t>(address[12] == 127 ? 128 : address[12]);
        }
        const auto length = static_cast<unsigned>(ipv4 ? 8 + random() % 25 : 32 + random() % 97);
        std::string text = quarnel::platform::CanonicalAddressText(address);
        text += '/';
        text += std::to_string(length);
        const auto entry = quarnel::platform::ParseAddressEntry(text);
        append(allowed, quarnel::platform::AddressEntryText(entry.Prefix));
    }
    for (std::size_t i = 0; i < ranges; ++i) {
        const auto low = static_cast<std::uint16_t>(1 + random() % 30000);
        const auto high = static_cast<std::uint16_t>(low + random() % 64);
        append(ports, quarnel::platform::PortEntryText({low, high}));
    }
    return MemoryStore({{quarnel::AllowedIPKey, allowed},
                        {quarnel::BlockedLocalPortsKey, ports},
                        {quarnel::BlockedRemotePortsKey, ports}});
}

// Every row judged afresh under today's three entries, and under 10,000 prefixes and 1,000 ranges.
void JudgingPassThreeEntries(benchmark::State& state) {
    MemoryStore store = quarnel::bench::ThreePortRules();
    PassesFromMemory(state, store, true);
}

void JudgingPassLargeRules(benchmark::State& state) {
    MemoryStore store = LargeRules(10000, 1000);
    PassesFromMemory(state, store, true);
}

// Compiling the rules after an edit of a list of 100,000 prefixes: in the program (every
// entry read, joined, handed to the table as the filter takes them), and in the helper (the
// rules' parts read and gathered; the filter's maps then take only what changed).
void CompileLargeRulesInProgram(benchmark::State& state) {
    RowsFromMemory table({});
    NoAddresses hosts;
    MemoryStore store = LargeRules(100000, 1000);
    quarnel::Engine engine(table, hosts, store);
    engine.oManager.LoadSettings();
    for (auto _ : state) {
        engine.oManager.CompileRules();
        benchmark::DoNotOptimize(engine.oManager.Rules());
    }
}

void CompileLargeRulesInHelper(benchmark::State& state) {
    RowsFromMemory table({});
    NoAddresses hosts;
    MemoryStore store = LargeRules(100000, 1000);
    quarnel::Engine engine(table, hosts, store);
    engine.oManager.LoadSettings();
    std::vector<std::vector<std::uint8_t>> parts;
    (void)quarnel::platform::EncodeRulesRequest(1, BlockingRulesOf(engine.oManager.Rules()), parts);
    std::vector<std::uint8_t> received(quarnel::platform::kMaxRequestSize);
    for (auto _ : state) {
        quarnel::platform::RulesParts gathered;
        quarnel::platform::Request request;
        for (const auto& part : parts) {
            std::ranges::copy(part, received.begin());
            if (quarnel::platform::DecodeRequest(std::span(received).first(part.size()),
                                                 part.size(),
                                                 request) != quarnel::platform::Refusal::None ||
                gathered.Take(request) != quarnel::platform::Refusal::None) {
                state.SkipWithError("a part was refused");
                return;
            }
        }
        benchmark::DoNotOptimize(request.Rules);
    }
    state.counters["parts"] = static_cast<double>(parts.size());
}

BENCHMARK(BareTableRead)->Unit(benchmark::kMicrosecond);
BENCHMARK(SteadyPass)->Unit(benchmark::kMicrosecond);
BENCHMARK(SteadyPassWithoutRead)->Unit(benchmark::kMicrosecond);
BENCHMARK(JudgingPassThreeEntries)->Unit(benchmark::kMicrosecond);
BENCHMARK(JudgingPassLargeRules)->Unit(benchmark::kMicrosecond);
BENCHMARK(CompileLargeRulesInProgram)->Unit(benchmark::kMillisecond);
BENCHMARK(CompileLargeRulesInHelper)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    quarnel::bench::EnterPrivateNetwork(argv);
    const std::vector<UniqueFd> connections = quarnel::bench::OpenConnections(ConnectionCount);
    benchmark::Initialize(&argc, argv);
    quarnel::bench::RatioReporter report({{"SteadyPass", "BareTableRead"},
                                          {"SteadyPassWithoutRead", "BareTableRead"},
                                          {"JudgingPassLargeRules", "JudgingPassThreeEntries"}});
    benchmark::RunSpecifiedBenchmarks(&report);
    benchmark::Shutdown();
    return 0;
}
