#include "engine/Engine.h"

#include "engine/ActionLog.h"
#include "engine/RuleSet.h"

#include <algorithm>
#include <iterator>

namespace quarnel {

namespace {

// Whether a connection in this state can still carry data: established, or half closed (one
// end has sent its FIN, the other may still send, and data queued before a FIN still goes).
// A client that sends its request and shuts down its side at once is past established before
// any pass sees it, yet its answer would still come.
bool CarriesData(platform::TcpState state) {
    switch (state) {
        case platform::TcpState::Established:
        case platform::TcpState::FinWait1:
        case platform::TcpState::FinWait2:
        case platform::TcpState::CloseWait:
        case platform::TcpState::Closing:
        case platform::TcpState::LastAck:
            return true;
        default:
            return false;
    }
}

}  // namespace

Engine::Engine(platform::TcpTableSource& source, platform::HostAddressSource& hosts,
               SettingsStore& store)
    : oManager(Table, Cache, store, hosts), source_(source) {
    // The system holds back what the pass will close, by the same rules.
    oManager.RulesChanged = [this] { source_.SetRules(BlockingRulesOf(oManager.Rules())); };
    oManager.OwnerOfRow = [this](const platform::TcpRow& row) { return source_.Owner(row); };
}

void Engine::ProcessTcpTable(const std::function<void()>& processEvents) {
    // A failed read keeps the previous rows, which are judged again.
    const platform::ReadResult read = Table.Read(source_);
    lastRead_ = read;
    TellMissed();
    const std::size_t n = Table.Rows.size();
    // A cleared cache is empty: every row is judged afresh under the rules of now.
    const bool judgeAll = judgeAll_ || Cache.Entries.empty() ||
                          read == platform::ReadResult::Failed ||
                          (read == platform::ReadResult::Changed && Table.Changes.Whole);
    if (!judgeAll && read == platform::ReadResult::Unchanged && retry_.empty()) {
        return;  // every verdict still stands and no close waits to be tried again
    }
    // The lines are built when the window shows them, not here: a pass costs what changed.
    oManager.ConnectionsChanged();
    judgeAll_ = false;
    EnsureConnectionCache(Cache, n);
    if (judgeAll) {
        retry_.clear();
        for (std::size_t i = 0; i < n; ++i) {
            CheckConnection(i, processEvents);
        }
        return;
    }
    for (const std::size_t i : DueRows(read == platform::ReadResult::Changed)) {
        CheckConnection(i, processEvents);
    }
}

void Engine::LogTo(ActionLog& log, CloseRecords* records) {
    SetCloseObserver(
        [this, &log, records](const platform::TcpRow& row, Verdict verdict, const RuleSet& rules) {
            const platform::ConnectionOwner owner = source_.Owner(row);
            log.Closed(row, verdict, ActionLog::Clock::now(), &rules, owner);
            if (records != nullptr) {
                records->Add(row, verdict, rules, owner, false);
            }
        });
    SetMissObserver(
        [this, &log, records](const platform::TcpRow& row, Verdict verdict, const RuleSet& rules) {
            const platform::ConnectionOwner owner = source_.Owner(row);
            log.Missed(row, verdict, ActionLog::Clock::now(), &rules, owner);
            if (records != nullptr) {
                records->Add(row, verdict, rules, owner, true);
            }
        });
}

void Engine::TellMissed() {
    source_.TakeMissed(missed_);
    for (const platform::TcpRow& row : missed_) {
        const Verdict verdict = oManager.Rules().Judge(row);
        if (onMissed_ && IsBlocked(verdict)) {
            onMissed_(row, verdict, oManager.Rules());
        }
    }
}

const std::vector<std::size_t>& Engine::DueRows(bool readChanged) {
    static const std::vector<std::size_t> none;
    const std::vector<std::size_t>& changed = readChanged ? Table.Changes.Rows : none;
    due_.clear();
    std::merge(changed.begin(), changed.end(), retry_.begin(), retry_.end(),
               std::back_inserter(due_));
    due_.erase(std::unique(due_.begin(), due_.end()), due_.end());
    // Rows closed last time may have vanished since, and the table shrunk below them.
    due_.erase(std::lower_bound(due_.begin(), due_.end(), Table.Rows.size()), due_.end());
    retry_.clear();
    return due_;
}

void Engine::CheckConnection(std::size_t i, const std::function<void()>& processEvents) {
    const platform::TcpRow& row = Table.Rows[i];
    ConnectionCacheEntry& entry = Cache.Entries[i];

    if (entry.Key != row) {
        entry.Key = row;
        entry.RemoteIP = RemoteAddressText(row);
        entry.IsAllowed = FlagFalse;
        entry.IsPassed = FlagFalse;
        entry.HalfClosedDone = false;
        oManager.ConnectionsChanged();  // the line shows the remote address the cache holds
    }
    if (!CarriesData(row.State)) {
        return;  // a connection that carries nothing more is left to end
    }
    if (entry.IsAllowed != FlagFalse || entry.IsPassed != FlagFalse || entry.HalfClosedDone) {
        return;
    }
    const Verdict verdict = oManager.Rules().Judge(row);
    switch (verdict) {
        case Verdict::Allowed:
            entry.IsAllowed = FlagTrue;  // an allowed address protects whatever the ports
            return;
        case Verdict::Passed:
            entry.IsPassed = FlagTrue;
            return;
        case Verdict::BlockedByLocalPort:
        case Verdict::BlockedByRemotePort:
        case Verdict::BlockedByOriginalPort:
            break;
    }

    // No flag is set: a connection that survives is judged and closed again on the next pass,
    // even when the table looks unchanged. Only the judged connection is named, so a gone one
    // closes nothing else. A half-closed one is closed again only where closing failed: the
    // kernel answers a close of a socket its process has let go with success and leaves it to
    // end, and closing that again on every pass would only burn the processor.
    const bool closed = source_.CloseConnection(row);
    if (closed && row.State != platform::TcpState::Established) {
        entry.HalfClosedDone = true;
    } else {
        retry_.push_back(i);
    }
    if (closed && onClosed_) {
        onClosed_(row, verdict, oManager.Rules());
    }
    if (processEvents) {
        processEvents();
        // The event step may have cleared the cache (a rule was edited): the remaining rows
        // of this pass are judged afresh under the new rules, and the next pass judges all.
        if (Cache.Entries.empty()) {
            judgeAll_ = true;
        }
        EnsureConnectionCache(Cache, Table.Rows.size());
    }
}

}  // namespace quarnel
