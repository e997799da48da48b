#pragma once

#include <cstddef>
#include <functional>
#include <utility>

#include "engine/CloseReport.h"
#include "engine/ConnectionCache.h"
#include "engine/ConnectionTable.h"
#include "engine/Manager.h"
#include "engine/SettingsStore.h"
#include "platform/HostAddressSource.h"
#include "platform/TcpTableSource.h"

namespace quarnel {

// The connection engine: the table of the latest read, the per-row cache, the Manager and the
// blocking pass that closes every established connection the rules block.
class Engine {
public:
    Engine(platform::TcpTableSource& source, platform::HostAddressSource& hosts,
           SettingsStore& store);
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // One blocking pass over a fresh read of the table. processEvents runs the window's event
    // step; it runs once after every attempt to close a connection and may edit the rules.
    void ProcessTcpTable(const std::function<void()>& processEvents);
    // Whether the next pass has work even when the table does not change: a close to try again.
    bool PassDue() const { return bRejudge; }
    // Who is told of each connection the pass closes (the log); nobody by default.
    void SetCloseObserver(CloseObserver observer) { OnClosed = std::move(observer); }

    TcpTable Table;
    ConnectionCache Cache;
    Manager oManager;

private:
    // Judges the row at index i and closes its connection when the rules block it.
    void CheckConnection(std::size_t i, const std::function<void()>& processEvents);
    void RefreshLinesIfChanged();

    platform::TcpTableSource& Source;
    CloseObserver OnClosed;
    std::size_t PreviousRowCount = 0;  // the row count of the read before this one
    bool bLinesChanged = false;        // the connection lines no longer match the rows
    bool bRejudge = false;  // the next pass judges every row even when the table is unchanged
};

}  // namespace quarnel
