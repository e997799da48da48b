// The program's loop without its window, for the benchmarks: what quarnel does while its window
// is hidden (no connection line is built then). It chooses the table as quarnel does (in this
// process, or through the helper beside it), blocks the remote port given, allows only
// 192.0.2.1, and waits as quarnel's loop waits. Runs until killed.
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "bench/BenchSupport.h"
#include "engine/Engine.h"
#include "platform/linux/client/TcpTableSelection.h"

namespace {

using namespace quarnel;

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s BLOCKED-REMOTE-PORT\n", argv[0]);
        return 2;
    }
    platform::TcpTableSelection table = platform::OpenTcpTableSource();
    if (!table.Source || table.Mode == platform::TableMode::ReadOnly) {
        std::fprintf(stderr, "%s\n", platform::DescribeTcpTableSelection(table).c_str());
        return 1;
    }
    bench::NoAddresses hosts;
    bench::MemoryStore rules({{BlockedRemotePortsKey, argv[1]}, {AllowedIPKey, "192.0.2.1"}});
    Engine engine(*table.Source, hosts, rules);
    engine.oManager.LoadSettings();
    for (;;) {
        engine.ProcessTcpTable({});
        while (const auto notice = table.Source->TakeNotice()) {
            std::fprintf(stderr, "quarnel: %s\n", notice->Text.c_str());
        }
        const int changes = table.Source->WaitDescriptor();
        if (changes < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        // As quarnel: 1 ms when a close waits to be tried again, else until the table changes
        // or its own check is due.
        pollfd ready{changes, POLLIN, 0};
        (void)::poll(&ready, 1, engine.PassDue() ? 1 : 250);  // an interruption only shortens it
    }
}
