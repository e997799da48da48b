#include "engine/Engine.h"

#include "engine/RuleSet.h"

namespace quarnel {

Engine::Engine(platform::TcpTableSource& source, platform::HostAddressSource& hosts,
               SettingsStore& store)
    : oManager(Table, Cache, store, hosts), Source(source) {}

void Engine::ProcessTcpTable(const std::function<void()>& processEvents) {
    // A failed read keeps the previous rows, which are judged again.
    const platform::ReadResult read = Table.Read(Source);
    const std::size_t n = Table.Rows.size();
    // Rows the previous pass judged, with every verdict still cached (a cleared cache is shorter)
    // and no close to try again: the pass would change nothing.
    if (read == platform::ReadResult::Unchanged && !bRejudge && Cache.Entries.size() > n) {
        return;
    }
    bRejudge = false;
    if (n != PreviousRowCount) {
        bLinesChanged = true;  // rows that vanish from the end must leave the lines too
        PreviousRowCount = n;
    }
    EnsureConnectionCache(Cache, n);
    for (std::size_t i = 0; i < n; ++i) {
        CheckConnection(i, processEvents);
    }
    // The lines are rebuilt once per pass, not once per changed row: the window looks at
    // them only in an event step, and every event step is preceded by this same rebuild.
    RefreshLinesIfChanged();
}

void Engine::CheckConnection(std::size_t i, const std::function<void()>& processEvents) {
    const platform::TcpRow& row = Table.Rows[i];
    ConnectionCacheEntry& entry = Cache.Entries[i];

    if (entry.Key != row) {
        entry.Key = row;
        entry.RemoteIP = RemoteAddressText(row);
        entry.IsAllowed = FlagFalse;
        entry.IsPassed = FlagFalse;
        bLinesChanged = true;
    }
    if (row.State != platform::TcpState::Established) {
        return;  // only established connections are judged
    }
    if (entry.IsAllowed != FlagFalse || entry.IsPassed != FlagFalse) {
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
            break;
    }

    if (processEvents) {
        RefreshLinesIfChanged();  // the window may look at the lines in the event step
    }
    // No flag is set: a connection that survives is judged and closed again on the next pass,
    // even when the table looks unchanged. Only the judged connection is named, so a gone one
    // closes nothing else.
    bRejudge = true;
    if (Source.CloseConnection(row) && OnClosed) {
        OnClosed(row, verdict);
    }
    if (processEvents) {
        processEvents();
        // The event step may have cleared the cache (a rule was edited): the remaining rows
        // are judged afresh under the new rules.
        EnsureConnectionCache(Cache, Table.Rows.size());
    }
}

void Engine::RefreshLinesIfChanged() {
    if (bLinesChanged) {
        bLinesChanged = false;
        oManager.RefreshCurrentConnections();
    }
}

}  // namespace quarnel
