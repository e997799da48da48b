// The program's loop without its window, for the benchmarks: what quarnel does while its window
// is hidden (no connection line is built then). It chooses the table as quarnel does (in this
// process, or through the helper beside it), blocks the remote port given, allows only
// 192.0.2.1, and waits as quarnel's loop waits. Runs until killed.
#include <poll.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "bench/BenchSupport.h"
#include "engine/Engine.h"
#include "engine/PassPace.h"
#include "platform/linux/client/FilteringTcpTable.h"
#include "platform/linux/client/TcpTableSelection.h"
#include "platform/linux/owners/OwnedTcpTable.h"
#include "platform/linux/sockdiag/LinuxTcpTable.h"

namespace {

using namespace quarnel;

// The table as it was chosen where the kernel's programs cannot load, before the packet
// filter's table told of blocked connections: read whole on every pass, the pass every
// millisecond, the table holding back blocked payload beside it.
platform::TcpTableSelection PolledWithPacketFilter() {
    platform::TcpTableSelection selection;
    int error = 0;
    std::unique_ptr<platform::LinuxTcpTable> table = platform::LinuxTcpTable::Open(&error);
    if (!table) {
        selection.TableProblem = std::strerror(error);
        return selection;
    }
    platform::SocketInodeReader* const inodes = table.get();
    platform::FilterCause filtered;
    std::unique_ptr<platform::RulesFilter> filter = platform::OpenPayloadFilter(filtered);
    selection.Source = std::make_unique<platform::FilteringTcpTable>(
        platform::WithOwners(std::move(table), inodes), std::move(filter), filtered);
    selection.Mode = platform::TableMode::InProcess;
    selection.Ability = platform::CloseAbility::Allowed;
    return selection;
}

}  // namespace

int main(int argc, char** argv) {
    const bool polled = argc == 3 && std::string(argv[2]) == "--polled";
    if (argc != 2 && !polled) {
        std::fprintf(stderr, "usage: %s BLOCKED-REMOTE-PORT [--polled]\n", argv[0]);
        return 2;
    }
    platform::TcpTableSelection table =
        polled ? PolledWithPacketFilter() : platform::OpenTcpTableSource();
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
