#pragma once

#include <poll.h>

#include <functional>
#include <map>
#include <string>
#include <utility>

#include "tests/engine/TestEngine.h"
#include "tests/support/WaitUntil.h"

namespace quarnel::testing {

// An engine over a real table with the stored rules given, driven as the main loop drives it:
// wait at most 1 ms for the table to change, then one pass. Hosts are the machine's addresses.
template <typename Hosts = FakeHosts>
struct Guard {
    Guard(platform::TcpTableSource& table, std::map<std::string, std::string> rules)
        : source(table) {
        store.Values = std::move(rules);
        engine.oManager.LoadSettings();
    }
    void Cycle() {
        pollfd wait{source.WaitDescriptor(), POLLIN, 0};
        (void)::poll(&wait, 1, 1);  // no descriptor, or an interrupted wait: a shorter pause
        engine.ProcessTcpTable([] {});
    }
    bool CycleUntil(const std::function<bool()>& done) {
        return testsupport::WaitUntil([&] { return Cycle(), done(); });
    }

    platform::TcpTableSource& source;
    Hosts hosts;
    MemoryStore store;
    Engine engine{source, hosts, store};
};

}  // namespace quarnel::testing
