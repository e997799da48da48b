// How long a blocked connection lives when it reached its socket through a published port (an
// nft DNAT rule to a server in another namespace over a veth) beside one to the server's own
// port: from the client's connect to the close of the server's socket, by a read of the table,
// the rules' verdict and the close, as a pass makes them. Medians side by side, and the cost of
// telling the translated port (the table over connection tracking) on the untranslated ones.
// Runs in a private network namespace of its own. See README.md.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "container/List.h"
#include "engine/RuleSet.h"
#include "platform/linux/conntrack/TranslatedTcpTable.h"
#include "platform/linux/sockdiag/LinuxTcpTable.h"

namespace {

using namespace quarnel;
using bench::Fail;
using bench::UniqueFd;
using Clock = std::chrono::steady_clock;

constexpr int kTries = 500;
constexpr int kPublished = 18080;
constexpr std::uint32_t kServer = 0x0a620002;  // 10.98.0.2

void Shell(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        Fail(command.c_str());
    }
}

// The server's namespace: a thread that made one of its own and holds it until the end, with
// the listener and the table opened there.
struct Server {
    UniqueFd listener;
    std::unique_ptr<platform::LinuxTcpTable> table;
    int port = 0;
    std::promise<void> done;
    std::thread holder;
};

void StartServer(Server& server) {
    std::promise<pid_t> made;
    std::promise<void> linked;
    auto held = server.done.get_future();
    std::promise<void> opened;
    server.holder = std::thread([&, held = std::move(held)]() mutable {
        if (::unshare(CLONE_NEWNET) != 0) {
            Fail("unshare");
        }
        made.set_value(static_cast<pid_t>(::syscall(SYS_gettid)));
        linked.get_future().wait();
        server.listener = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in at{AF_INET, 0, {htonl(kServer)}, {}};
        socklen_t size = sizeof at;
        if (::bind(server.listener.Get(), reinterpret_cast<sockaddr*>(&at), size) != 0 ||
            ::listen(server.listener.Get(), 64) != 0 ||
            ::getsockname(server.listener.Get(), reinterpret_cast<sockaddr*>(&at), &size) != 0) {
            Fail("listen");
        }
        server.port = ntohs(at.sin_port);
        server.table = platform::LinuxTcpTable::Open();
        opened.set_value();
        held.wait();
    });
    const std::string tid = std::to_string(made.get_future().get());
    Shell("ip link add pa type veth peer name pb netns " + tid);
    Shell("ip addr add 10.98.0.1/24 dev pa && ip link set pa up");
    Shell("nsenter -t " + tid + " -n sh -c 'ip addr add 10.98.0.2/24 dev pb && ip link set pb up'");
    linked.set_value();
    opened.get_future().wait();
    if (!server.table) {
        Fail("the table cannot be opened");
    }
}

// One connection's life: connect, then read, judge and close until its row is closed.
double Teardown(platform::TcpTableSource& table, const RuleSet& rules, const UniqueFd& listener,
                int port, std::vector<platform::TcpRow>& rows) {
    const auto start = Clock::now();
    const UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in to{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(kServer)}, {}};
    if (::connect(client.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        Fail("connect");
    }
    const UniqueFd accepted(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    std::uint64_t cookie = 0;
    socklen_t size = sizeof cookie;
    (void)::getsockopt(accepted.Get(), SOL_SOCKET, SO_COOKIE, &cookie, &size);
    for (;;) {
        if (!table.ReadTable(rows)) {
            Fail("read");
        }
        const auto row = std::ranges::find(rows, cookie, &platform::TcpRow::Cookie);
        if (row != rows.end() && IsBlocked(rules.Judge(*row)) && table.CloseConnection(*row)) {
            return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        }
    }
}

double Median(std::vector<double> values) {
    std::ranges::sort(values);
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    (void)argc;
    bench::EnterPrivateNetwork(argv);
    Server server;
    StartServer(server);
    Shell(
        "nft add table ip pub && nft add chain ip pub out "
        "'{ type nat hook output priority -100; }' && nft add rule ip pub out tcp dport " +
        std::to_string(kPublished) + " dnat to 10.98.0.2:" + std::to_string(server.port));
    List allowed, local, remote;
    (void)local.AddItem(std::to_string(kPublished));
    (void)local.AddItem(std::to_string(server.port));
    const RuleSet rules(allowed, local, remote);

    platform::LinuxTcpTable& plain = *server.table;
    platform::TranslatedTcpTable translated(std::move(server.table));
    translated.SetRules(BlockingRulesOf(rules));
    std::vector<platform::TcpRow> rows;
    struct Mode {
        const char* name;
        platform::TcpTableSource& table;
        int port;
        std::vector<double> times;
    };
    std::vector<Mode> modes{{"own port, table alone", plain, server.port, {}},
                            {"own port, with translations", translated, server.port, {}},
                            {"published port, with translations", translated, kPublished, {}}};
    for (int i = 0; i < kTries; ++i) {
        for (Mode& mode : modes) {  // interleaved, so that the machine's load falls on all alike
            mode.times.push_back(Teardown(mode.table, rules, server.listener, mode.port, rows));
        }
    }
    const double base = Median(modes.front().times);
    std::printf("Teardown of a blocked connection over a veth, median of %d (microseconds):\n",
                kTries);
    for (const Mode& mode : modes) {
        std::printf("  %-36s %8.1f  %.2fx\n", mode.name, Median(mode.times),
                    Median(mode.times) / base);
    }
    server.done.set_value();
    server.holder.join();
    return 0;
}
