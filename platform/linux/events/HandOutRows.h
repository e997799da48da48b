#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "platform/TcpTableSource.h"

namespace quarnel::platform {

// Hands a table kept in memory (table) out to a caller that holds it as it was last handed out:
// whole where asked to (whole, or no changes asked for), else only the rows at touched (indices
// in the order of the changes, repeats and ones past the table's end allowed), which end up in
// changes. Unchanged when nothing changed (changed false and not whole); touched is emptied.
inline ReadResult HandOutRows(const std::vector<TcpRow>& table, std::vector<std::size_t>& touched,
                              bool whole, bool changed, std::vector<TcpRow>& rows,
                              TableChanges* changes) {
    if (changes == nullptr || whole) {
        // The caller's rows may be others than those handed out last: these are the base now.
        rows = table;
        if (changes != nullptr) {
            changes->Whole = true;
            changes->Rows.clear();
        }
    } else if (!changed) {
        return ReadResult::Unchanged;
    } else {
        std::sort(touched.begin(), touched.end());
        const auto gone = std::lower_bound(touched.begin(), touched.end(), table.size());
        touched.erase(std::unique(touched.begin(), gone), touched.end());
        rows.resize(table.size());
        for (const std::size_t i : touched) {
            rows[i] = table[i];
        }
        changes->Whole = false;
        changes->Rows.swap(touched);
    }
    touched.clear();
    return ReadResult::Changed;
}

}  // namespace quarnel::platform
