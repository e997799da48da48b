#pragma once

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

#include "engine/CloseRecords.h"
#include "engine/CloseReport.h"
#include "engine/ConnectionCache.h"
#include "engine/ConnectionTable.h"
#include "engine/Manager.h"
#include "engine/SettingsStore.h"
#include "platform/HostAddressSource.h"
#include "platform/TcpTableSource.h"

namespace quarnel {

class ActionLog;

// The connection engine: the table of the latest read, the per-row cache, the Manager and the
// blocking pass that closes every established connection the rules block.
class Engine {
public:
    Engine(platform::TcpTableSource& source, platform::HostAddressSource& hosts,
           SettingsStore& store);
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // One blocking pass over a fresh read of the table: every row after a whole read, a failed
    // one or a cleared cache, else only the rows the read changed and those closed last time.
    // processEvents runs the window's event step; it runs once after every attempt to close a
    // connection and may edit the rules.
    void ProcessTcpTable(const std::function<void()>& processEvents);
    // Whether the next pass has work even when the table does not change: a close to try again,
    // or every row to judge after the rules changed during a pass.
    bool PassDue() const { return !retry_.empty() || judgeAll_; }
    // What the latest pass's read of the table gave: Failed when that pass judged only rows of
    // an earlier read.
    platform::ReadResult LastRead() const { return lastRead_; }
    // Who is told of each connection the pass closes (the log); nobody by default.
    void SetCloseObserver(CloseObserver observer) { onClosed_ = std::move(observer); }
    // Told of every blocked connection that was established and gone before a pass saw it,
    // where the table's source knows of such (see TcpTableSource::TakeMissed).
    void SetMissObserver(CloseObserver observer) { onMissed_ = std::move(observer); }
    // Both observers write to log, with the rules in force (so a range is named), and add to
    // records when given.
    void LogTo(ActionLog& log, CloseRecords* records = nullptr);

    TcpTable Table;
    ConnectionCache Cache;
    Manager oManager;

private:
    // Judges the row at index i and closes its connection when the rules block it.
    void CheckConnection(std::size_t i, const std::function<void()>& processEvents);
    // Tells the miss observer of each blocked connection the source saw end before a pass.
    void TellMissed();
    // The indices this pass judges when it need not judge all: the read's changes and the
    // closes to try again, ascending, each once.
    const std::vector<std::size_t>& DueRows(bool readChanged);

    platform::TcpTableSource& source_;
    CloseObserver onClosed_;
    CloseObserver onMissed_;
    std::vector<platform::TcpRow> missed_;  // storage for the rows TakeMissed gives
    std::vector<std::size_t> retry_;  // rows closed by the last pass: a survivor is closed again
    std::vector<std::size_t> due_;    // storage of DueRows
    platform::ReadResult lastRead_ = platform::ReadResult::Failed;
    bool judgeAll_ = false;  // the rules changed in the middle of a pass: the next judges all
};

}  // namespace quarnel
