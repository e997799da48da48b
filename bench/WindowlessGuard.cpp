// The program's loop without its window, for the benchmarks: what quarnel does while its window
// is hidden (no connection line is built then). It chooses the table as quarnel does (in this
// process, or through the helper beside it), blocks the remote port given, allows only
// 192.0.2.1, and waits as quarnel's loop waits. Runs until killed.
#include <poll.h>

#include <cstdio>
#include <string>

#include "bench/BenchSupport.h"
#include "engine/Engine.h"
#include "engine/PassPace.h"
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
        // As quarnel waits: until the table changes or the wait is over (a descriptor of -1, a
        // table that cannot tell, only waits); an interruption only shortens it.
        const int changes = table.Source->WaitDescriptor();
        pollfd ready{changes, POLLIN, 0};
        (void)::poll(&ready, 1, static_cast<int>(WaitBeforePass(engine, changes >= 0).count()));
    }
}
