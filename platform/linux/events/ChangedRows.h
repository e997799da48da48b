#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "platform/TcpTableSource.h"

namespace quarnel::platform {

// Which rows of a table kept in memory changed since it was last handed out, so that a caller
// that keeps its rows from read to read is handed only those (see TableChanges): their indices,
// or every row once listing them would cost more than handing out the whole table.
class ChangedRows {
public:
    // The row at index changed; size is the table's row count now.
    void Touch(std::size_t index, std::size_t size) {
        changed_ = true;
        if (whole_) {
            return;
        }
        touched_.push_back(index);
        // More changes than rows: handing out every row costs no more, and the list stays bounded.
        if (touched_.size() > size + 64) {
            All();
        }
    }
    // The table changed where no row names it: rows past its end went.
    void Shrank() { changed_ = true; }
    // Any row may have changed: the table goes out whole next time.
    void All() {
        changed_ = true;
        whole_ = true;
        touched_.clear();
    }

    // Hands table out to a caller that holds it as it was last handed out: whole where asked to
    // (All, or no changes asked for), else only the rows touched, which end up in changes.
    // Unchanged when nothing changed; after anything was handed out, nothing is changed.
    ReadResult HandOut(const std::vector<TcpRow>& table, std::vector<TcpRow>& rows,
                       TableChanges* changes) {
        if (changes == nullptr || whole_) {
            // The caller's rows may be others than those handed out last: these are the base now.
            rows = table;
            if (changes != nullptr) {
                changes->Whole = true;
                changes->Rows.clear();
            }
        } else if (!changed_) {
            return ReadResult::Unchanged;
        } else {
            std::sort(touched_.begin(), touched_.end());
            const auto gone = std::lower_bound(touched_.begin(), touched_.end(), table.size());
            touched_.erase(std::unique(touched_.begin(), gone), touched_.end());
            rows.resize(table.size());
            for (const std::size_t i : touched_) {
                rows[i] = table[i];
            }
            changes->Whole = false;
            changes->Rows.swap(touched_);
        }
        touched_.clear();
        whole_ = false;
        changed_ = false;
        return ReadResult::Changed;
    }

private:
    // The indices touched, in the order of the changes, maybe repeated or past the table's end;
    // unused while the table must go out whole.
    std::vector<std::size_t> touched_;
    bool whole_ = true;    // the table goes out whole next time
    bool changed_ = true;  // the table differs from what was last handed out
};

}  // namespace quarnel::platform
