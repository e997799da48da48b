#include "platform/linux/namespaces/AllNamespacesTcpTable.h"

#include <algorithm>
#include <utility>

namespace quarnel::platform {

AllNamespacesTcpTable::AllNamespacesTcpTable(std::unique_ptr<TcpTableSource> own,
                                             std::unique_ptr<OtherNamespaces> others,
                                             Options options)
    : own_(std::move(own)), others_(std::move(others)), options_(std::move(options)) {}

void AllNamespacesTcpTable::Tell(bool problem, std::string text) {
    notes_.push_back({problem, std::move(text)});
}

std::optional<AllNamespacesTcpTable::Note> AllNamespacesTcpTable::TakeNote() {
    if (notes_.empty()) {
        return std::nullopt;
    }
    Note note = std::move(notes_.front());
    notes_.erase(notes_.begin());
    return note;
}

std::string AllNamespacesTcpTable::NameOf(std::uint32_t inode) const {
    const auto space = spaces_.find(inode);
    return space != spaces_.end() ? space->second.Name : "net:[" + std::to_string(inode) + "]";
}

AllNamespacesTcpTable::Clock::duration AllNamespacesTcpTable::NextReadIn() const {
    const Clock::time_point now = options_.Time();
    const Clock::time_point due = spaces_.empty() ? nextList_ : std::min(nextList_, nextRead_);
    return std::max<Clock::duration>(due - now, Clock::duration::zero());
}

void AllNamespacesTcpTable::Relist() {
    std::vector<ListedNamespace> listed;
    std::string problem;
    if (!others_->List(listed, problem)) {
        if (!listFailed_) {
            Tell(true, "cannot list the other network namespaces (" + problem +
                           "): those it guards stay guarded while it can read them");
        }
        listFailed_ = true;
        return;
    }
    if (listFailed_) {
        Tell(false, "the other network namespaces are listed again");
        listFailed_ = false;
    }
    std::set<std::uint32_t> present;
    for (const ListedNamespace& space : listed) {
        present.insert(space.Inode);
        if (spaces_.contains(space.Inode)) {
            continue;
        }
        std::unique_ptr<TcpTableSource> table = others_->Open(space.Inode, problem);
        if (!table) {
            if (unopened_.insert(space.Inode).second) {
                Tell(true, "cannot guard the network namespace " + space.Name + ": " + problem);
            }
            continue;
        }
        unopened_.erase(space.Inode);
        Tell(false, "guards the network namespace " + space.Name);
        spaces_.emplace(space.Inode, Space{space.Name, std::move(table), {}});
        nextRead_ = {};  // read at once
    }
    for (auto space = spaces_.begin(); space != spaces_.end();) {
        if (present.contains(space->first)) {
            ++space;
            continue;
        }
        Tell(false, "the network namespace " + space->second.Name + " is gone");
        space = spaces_.erase(space);
        nextRead_ = {};
    }
    std::erase_if(unopened_, [&present](std::uint32_t inode) { return !present.contains(inode); });
}

void AllNamespacesTcpTable::ReadOthers() {
    next_.clear();
    for (auto space = spaces_.begin(); space != spaces_.end();) {
        Space& read = space->second;
        if (!read.Table->ReadTable(read.Rows)) {
            Tell(true, "cannot read the network namespace " + read.Name +
                           " any more: it is opened again at its next listing");
            space = spaces_.erase(space);
            continue;
        }
        for (TcpRow& row : read.Rows) {
            row.Namespace = space->first;
        }
        next_.insert(next_.end(), read.Rows.begin(), read.Rows.end());
        ++space;
    }
}

ReadResult AllNamespacesTcpTable::Read(std::vector<TcpRow>& rows, TableChanges* changes) {
    const Clock::time_point now = options_.Time();
    if (now >= nextList_) {
        nextList_ = now + options_.ListEvery;
        Relist();
    }
    // Read now, the others' rows are next_; else they are as shown.
    const bool fresh = now >= nextRead_ && (!spaces_.empty() || !shown_.empty());
    if (fresh) {
        nextRead_ = now + options_.ReadEvery;
        ReadOthers();
    }
    // The own source gets back exactly the rows it handed out.
    rows.resize(std::min(rows.size(), ownCount_));
    ReadResult result = own_->Read(rows, changes);
    const std::vector<TcpRow>& others = fresh ? next_ : shown_;
    if (result == ReadResult::Failed) {
        rows.insert(rows.end(), shown_.begin(), shown_.end());
        nextRead_ = {};  // what was read now is read again with the next own rows
        return result;
    }
    const std::size_t before = ownCount_;
    ownCount_ = rows.size();
    rows.insert(rows.end(), others.begin(), others.end());
    if (result == ReadResult::Changed && (changes == nullptr || changes->Whole)) {
        if (fresh) {
            shown_.swap(next_);
        }
        return result;
    }
    // The own rows changed by the list, or not at all: the others' that moved or changed
    // join them.
    std::vector<std::size_t> moved;
    for (std::size_t i = 0; i < others.size(); ++i) {
        if (ownCount_ != before || i >= shown_.size() || others[i] != shown_[i]) {
            moved.push_back(ownCount_ + i);
        }
    }
    const bool shrank = others.size() < shown_.size();
    if (fresh) {
        shown_.swap(next_);
    }
    if (result == ReadResult::Unchanged) {
        if (moved.empty() && !shrank) {
            return result;
        }
        result = ReadResult::Changed;
        changes->Whole = false;
        changes->Rows.clear();
    }
    // Every own index is below ownCount_, every other's at or past it: still ascending.
    changes->Rows.insert(changes->Rows.end(), moved.begin(), moved.end());
    return result;
}

bool AllNamespacesTcpTable::CloseConnection(const TcpRow& row) {
    if (row.Namespace == 0) {
        return own_->CloseConnection(row);
    }
    const auto space = spaces_.find(row.Namespace);
    return space != spaces_.end() && space->second.Table->CloseConnection(row);
}

}  // namespace quarnel::platform
