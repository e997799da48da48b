// The table of every network namespace, as the service keeps it, over 9 other namespaces of
// 2,001 rows each (1,000 loopback connections and a listener), made by this process in its private
// network namespace: what 100 ms of nothing happening costs when the others are followed through
// the kernel's reports and when each is read whole every 100 ms, and the read and close of a
// connection just made in another namespace beside one made in the own.

#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "platform/linux/events/EventTcpTable.h"
#include "platform/linux/namespaces/AllNamespacesTcpTable.h"

namespace quarnel::bench {
namespace {

using platform::AllNamespacesTcpTable;
using platform::TcpRow;
using Clock = AllNamespacesTcpTable::Clock;

// Both ends of each connection are held here: 18,000 descriptors, under the usual hard limit of
// 20,000. The cost of the whole reads grows with the namespaces.
constexpr int kNamespaces = 9;
constexpr int kConnectionsEach = 1000;

// Namespaces this process made, each kept by a descriptor of its own; sockets are made inside one
// by entering it for the call alone.
struct Spaces {
    Spaces() {
        own.Reset(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
        for (int i = 0; i < kNamespaces; ++i) {
            if (::unshare(CLONE_NEWNET) != 0) {
                Fail("unshare");
            }
            BringLoopbackUp();
            fds.emplace_back(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
            struct stat status {};
            (void)::fstat(fds.back().Get(), &status);
            inodes.push_back(static_cast<std::uint32_t>(status.st_ino));
            std::vector<UniqueFd> connections = OpenConnections(kConnectionsEach);
            held.insert(held.end(), std::make_move_iterator(connections.begin()),
                        std::make_move_iterator(connections.end()));
            Enter(own.Get());
        }
    }
    static void Enter(int fd) {
        if (::setns(fd, CLONE_NEWNET) != 0) {
            Fail("setns");
        }
    }
    UniqueFd own;
    std::vector<UniqueFd> fds;
    std::vector<std::uint32_t> inodes;
    std::vector<UniqueFd> held;
};

Spaces& TheSpaces() {
    static Spaces spaces;  // made once, for every benchmark
    return spaces;
}

struct Listed final : platform::OtherNamespaces {
    bool List(std::vector<platform::ListedNamespace>& namespaces, std::string&) override {
        namespaces.clear();
        for (const std::uint32_t inode : TheSpaces().inodes) {
            namespaces.push_back({inode, std::to_string(inode), {}});
        }
        return true;
    }
    std::unique_ptr<platform::TcpTableSource> Open(std::uint32_t inode, std::string&) override {
        Spaces& spaces = TheSpaces();
        const auto at = std::find(spaces.inodes.begin(), spaces.inodes.end(), inode);
        Spaces::Enter(spaces.fds[static_cast<std::size_t>(at - spaces.inodes.begin())].Get());
        std::unique_ptr<platform::TcpTableSource> table = OpenTable();
        Spaces::Enter(spaces.own.Get());
        return table;
    }
};

// The service's table over every namespace, on a clock the benchmark moves.
struct Guard {
    explicit Guard(bool reported) {
        TheSpaces();
        platform::PollingCause polling;
        auto own =
            platform::WithKernelEvents(OpenTable(), polling, platform::NamespaceScope::Every);
        if (polling.Why != platform::PollingCause::Kind::None) {
            Fail("no kernel events: " + polling.Text());
        }
        AllNamespacesTcpTable::Options options;
        options.Reported = reported;
        if (std::getenv("QUIET_HOURS") != nullptr) {
            options.QuietEvery = std::chrono::hours(1);
        }
        // The benchmark's time moves on by its steps, and by the reads' own length.
        options.Time = [this] { return now + (Clock::now() - start); };
        all = std::make_unique<AllNamespacesTcpTable>(std::move(own), std::make_unique<Listed>(),
                                                      std::move(options));
        Read();
        Read();
    }
    void Read() {
        if (all->Read(rows, &changes) == platform::ReadResult::Failed) {
            Fail("read");
        }
    }
    const Clock::time_point start = Clock::now();
    Clock::time_point now = start;
    std::unique_ptr<AllNamespacesTcpTable> all;
    std::vector<TcpRow> rows;
    platform::TableChanges changes;
};

// 100 ms of nothing: one read, as the service's timer makes it, with the others due when polled.
void Idle(benchmark::State& state, bool reported) {
    Guard guard(reported);
    for (auto _ : state) {
        guard.now += std::chrono::milliseconds(100);
        guard.Read();
    }
}
void IdleFollowingReports(benchmark::State& state) {
    Idle(state, true);
}
void IdleReadingWhole(benchmark::State& state) {
    Idle(state, false);
}

// A connection made (untimed) in namespace space (-1: the own), then the read that shows it
// and its close, as a pass makes them.
void ReadAndClose(benchmark::State& state, int space) {
    Guard guard(true);
    Spaces& spaces = TheSpaces();
    if (space >= 0) {
        Spaces::Enter(spaces.fds[static_cast<std::size_t>(space)].Get());
    }
    const Listener listener = Listen(64);
    Spaces::Enter(spaces.own.Get());
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(listener.port));
    guard.Read();
    for (auto _ : state) {
        state.PauseTiming();
        if (space >= 0) {
            Spaces::Enter(spaces.fds[static_cast<std::size_t>(space)].Get());
        }
        UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        Spaces::Enter(spaces.own.Get());
        if (::connect(client.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            Fail("connect");
        }
        UniqueFd server(::accept4(listener.fd.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        state.ResumeTiming();
        guard.Read();
        const TcpRow* found = nullptr;
        for (const std::size_t i : guard.changes.Rows) {
            const TcpRow& row = guard.rows[i];
            // Either end: the accepting one's report may come just after accept returned.
            if ((row.LocalPort == listener.port || row.RemotePort == listener.port) &&
                row.State == platform::TcpState::Established) {
                found = &row;
            }
        }
        if (guard.changes.Whole || found == nullptr) {
            Fail("the connection was not seen on the next read (" +
                 std::string(guard.changes.Whole ? "whole" : "not found") + ")");
        }
        if (!guard.all->CloseConnection(*found)) {
            Fail("the connection could not be closed");
        }
        state.PauseTiming();
        server.Reset();
        client.Reset();
        guard.now += std::chrono::milliseconds(200);  // past the read its reports bring
        guard.Read();
        guard.Read();
        state.ResumeTiming();
    }
}
void ReadAndCloseOwn(benchmark::State& state) {
    ReadAndClose(state, -1);
}
void ReadAndCloseElsewhere(benchmark::State& state) {
    ReadAndClose(state, 0);
}

BENCHMARK(IdleFollowingReports)->Unit(benchmark::kMicrosecond);
BENCHMARK(IdleReadingWhole)->Unit(benchmark::kMicrosecond);
BENCHMARK(ReadAndCloseOwn)->Unit(benchmark::kMicrosecond);
BENCHMARK(ReadAndCloseElsewhere)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quarnel::bench

int main(int argc, char** argv) {
    quarnel::bench::EnterPrivateNetwork(argv);
    quarnel::bench::RaiseOpenFileLimit();
    benchmark::Initialize(&argc, argv);
    quarnel::bench::RatioReporter report({{"IdleReadingWhole", "IdleFollowingReports"},
                                          {"ReadAndCloseElsewhere", "ReadAndCloseOwn"}});
    benchmark::RunSpecifiedBenchmarks(&report);
    return 0;
}
