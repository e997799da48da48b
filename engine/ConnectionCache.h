#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/TcpTableSource.h"

namespace quarnel {

// Flags the engine stores: 0 for false, -1 for true.
inline constexpr std::int16_t FlagFalse = 0;
inline constexpr std::int16_t FlagTrue = -1;

// What the blocking pass knows about the row at one index of the table.
struct ConnectionCacheEntry {
    // The row as last seen at this index: state, both addresses and ports and the socket's
    // identity, so a new connection never inherits another's verdict. Empty for a fresh entry.
    std::optional<platform::TcpRow> Key;
    std::string RemoteIP;                // the remote address text, "0.0.0.0" for no remote end
    std::int16_t IsAllowed = FlagFalse;  // the remote address is on the allowed list
    std::int16_t IsPassed = FlagFalse;   // neither port is blocked
    bool HalfClosedDone = false;         // a half-closed row the pass has closed once
};

// The blocking pass's per-row memory, indexed like the table's rows.
struct ConnectionCache {
    std::vector<ConnectionCacheEntry> Entries;
};

// Grows the cache to cover indices 0 to n, keeping the entries it has.
void EnsureConnectionCache(ConnectionCache& cache, std::size_t n);

// Forgets every row, so that the next pass judges every connection afresh.
void ClearConnectionCache(ConnectionCache& cache);

}  // namespace quarnel
