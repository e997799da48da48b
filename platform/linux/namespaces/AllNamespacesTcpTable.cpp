#include "platform/linux/namespaces/AllNamespacesTcpTable.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "platform/linux/events/UnreportedRows.h"

namespace quarnel::platform {

namespace {

// The whole reads that are not a must take at most a hundredth of the time: each waits 99 times
// the length of the one before. Those that must be read (new, reports lost) take at most this
// much of one read of the table; the rest follow with the next reads, at once.
constexpr int kPacedShare = 99;
constexpr auto kUrgentBudget = std::chrono::milliseconds(10);

}  // namespace

AllNamespacesTcpTable::AllNamespacesTcpTable(std::unique_ptr<LinuxTableSource> own,
                                             std::unique_ptr<OtherNamespaces> others,
                                             Options options)
    : ForwardingTcpTable(std::move(own)),
      others_(std::move(others)),
      options_(std::move(options)) {}

void AllNamespacesTcpTable::Tell(bool problem, std::string text, Note::Change change) {
    notes_.push_back({problem, std::move(text), change});
}

std::optional<AllNamespacesTcpTable::Note> AllNamespacesTcpTable::TakeNote() {
    if (notes_.empty()) {
        return std::nullopt;
    }
    Note note = std::move(notes_.front());
    notes_.erase(notes_.begin());
    return note;
}

std::size_t AllNamespacesTcpTable::Guarded() const {
    return 1 + static_cast<std::size_t>(std::ranges::count_if(
                   spaces_, [](const auto& space) { return !space.second.Fresh; }));
}

std::vector<std::pair<std::uint32_t, std::string>> AllNamespacesTcpTable::GuardedNamespaces()
    const {
    std::vector<std::pair<std::uint32_t, std::string>> guarded;
    for (const auto& [inode, space] : spaces_) {
        if (!space.Fresh) {
            guarded.emplace_back(inode, space.Name);
        }
    }
    return guarded;
}

ConnectionOwner AllNamespacesTcpTable::Owner(const TcpRow& row) const {
    ConnectionOwner owner = Inner().Owner(row);
    const auto space = spaces_.find(row.Namespace);
    if (owner.Known() || row.Namespace == 0 || row.State == TcpState::Listening ||
        space == spaces_.end()) {
        return owner;
    }
    // A namespace holds few rows (a container's), and a close asks once.
    std::vector<std::uint64_t> cookies;
    space->second.At.Cookies(cookies);
    for (const std::uint64_t cookie : cookies) {
        const std::optional<std::size_t> at = space->second.At.Find(cookie);
        if (at && out_[*at].State == TcpState::Listening && out_[*at].LocalPort == row.LocalPort) {
            return Inner().Owner(out_[*at]);
        }
    }
    return owner;
}

std::optional<Container> AllNamespacesTcpTable::ContainerIn(std::uint32_t inode) const {
    const auto space = spaces_.find(inode);
    return space != spaces_.end() ? space->second.InContainer : std::nullopt;
}

std::string AllNamespacesTcpTable::NameOf(std::uint32_t inode) const {
    const auto space = spaces_.find(inode);
    return space != spaces_.end() ? space->second.Name : "net:[" + std::to_string(inode) + "]";
}

AllNamespacesTcpTable::Clock::duration AllNamespacesTcpTable::NextReadIn() const {
    const Clock::time_point now = options_.Time();
    if (deferred_ || pending_) {
        return Clock::duration::zero();
    }
    Clock::time_point due = nextList_;
    for (const auto& [inode, space] : spaces_) {
        const bool paced = options_.Reported && !space.Urgent;
        due = std::min(due, paced ? std::max(space.NextRead, nextPaced_) : space.NextRead);
    }
    return std::max<Clock::duration>(due - now, Clock::duration::zero());
}

void AllNamespacesTcpTable::Relist(Clock::time_point now) {
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
        // Opened when it is first read: at once, unless many came together.
        Space& added = spaces_[space.Inode];
        added.Name = space.Name;
        added.InContainer = space.InContainer;
        added.NextRead = now;
        added.Urgent = true;
    }
    for (auto space = spaces_.begin(); space != spaces_.end();) {
        if (present.contains(space->first)) {
            ++space;
            continue;
        }
        if (!space->second.Fresh) {
            Tell(false, "the network namespace " + space->second.Name + " is gone",
                 Note::Change::Gone);
        }
        RemoveAll(space->second);
        CloseTable(space->second);
        space = spaces_.erase(space);
    }
    std::erase_if(unopened_, [&present](std::uint32_t inode) { return !present.contains(inode); });
}

bool AllNamespacesTcpTable::TakeReports(Clock::time_point now) {
    const bool complete = Inner().TakeOtherNamespaces(reports_);
    bool any = false;
    for (const TcpRow& row : reports_) {
        const auto space = spaces_.find(row.Namespace);
        if (space == spaces_.end()) {
            continue;  // not guarded: its first whole read, if it comes, tells
        }
        any = true;
        Space& reported = space->second;
        reported.NextRead = std::min(reported.NextRead, now + options_.ReadEvery);
        if (row.State == TcpState::Closed) {
            Remove(reported, row.Cookie);
        } else if (row.LocalPort != 0) {  // a connect's port: its next report, or the read
            Put(reported, row);
        }
    }
    if (!complete) {
        for (auto& [inode, space] : spaces_) {
            space.NextRead = now;
            space.Urgent = true;
        }
    }
    return any || !complete;
}

void AllNamespacesTcpTable::ReadDue(Clock::time_point now) {
    const auto read = [this, now](std::map<std::uint32_t, Space>::iterator space) {
        const Clock::time_point start = options_.Time();
        Space& entry = space->second;
        std::string problem;
        TcpTableSource* table = TableOf(space->first, entry, problem);
        if (table != nullptr && ReadWhole(space->first, entry, now)) {
            entry.Urgent = false;
            if (std::exchange(entry.Fresh, false)) {
                unopened_.erase(space->first);
                Tell(false, "guards the network namespace " + entry.Name, Note::Change::Guarded);
            }
            const Clock::time_point end = options_.Time();
            nextPaced_ = std::max(nextPaced_, end + kPacedShare * (end - start));
            return;
        }
        if (table != nullptr) {
            problem = "its table cannot be read";
        }
        if (!entry.Fresh) {
            Tell(true, "cannot read the network namespace " + entry.Name + " any more (" + problem +
                           "): it is opened again at its next listing");
        } else if (unopened_.insert(space->first).second) {
            Tell(true, "cannot guard the network namespace " + entry.Name + ": " + problem);
        }
        RemoveAll(entry);
        CloseTable(entry);
        spaces_.erase(space);
    };
    // Those that must be read (new, or their reports lost) first, a few at a time: the own
    // namespace is judged between them.
    pending_ = false;
    // Counted from here: the listing before may have taken all of it, and one read at least
    // goes on each time.
    const Clock::time_point start = options_.Time();
    bool first = true;
    for (auto space = spaces_.begin(); space != spaces_.end();) {
        const auto next = std::next(space);
        if (space->second.Urgent || (!options_.Reported && now >= space->second.NextRead)) {
            if (!std::exchange(first, false) && options_.Time() - start >= kUrgentBudget) {
                pending_ = true;
                return;
            }
            read(space);
        }
        space = next;
    }
    // The rest, one at a time, the longest due first, so that they take a small share of the
    // time: a dump inside a namespace walks every socket of the machine.
    while (options_.Reported && options_.Time() >= nextPaced_) {
        auto due = spaces_.end();
        for (auto space = spaces_.begin(); space != spaces_.end(); ++space) {
            if (now >= space->second.NextRead &&
                (due == spaces_.end() || space->second.NextRead < due->second.NextRead)) {
                due = space;
            }
        }
        if (due == spaces_.end()) {
            return;
        }
        read(due);
    }
}

TcpTableSource* AllNamespacesTcpTable::TableOf(std::uint32_t inode, Space& space,
                                               std::string& problem) {
    if (space.Table) {
        used_.splice(used_.begin(), used_, space.Used);
        return space.Table.get();
    }
    while (!used_.empty() && used_.size() >= std::max<std::size_t>(options_.MostOpen, 1)) {
        CloseTable(spaces_.find(used_.back())->second);
    }
    space.Table = others_->Open(inode, problem);
    if (!space.Table) {
        return nullptr;
    }
    used_.push_front(inode);
    space.Used = used_.begin();
    return space.Table.get();
}

void AllNamespacesTcpTable::CloseTable(Space& space) {
    if (space.Table) {
        space.Table.reset();
        used_.erase(space.Used);
    }
}

bool AllNamespacesTcpTable::ReadWhole(std::uint32_t inode, Space& space, Clock::time_point now) {
    // The first read of a table that lists its sockets' inodes (sock_diag's does, in the same
    // walk) keeps them, for the look at who holds what nobody reported.
    auto* inodes = space.Fresh ? dynamic_cast<SocketInodeReader*>(space.Table.get()) : nullptr;
    freshInodes_.clear();
    if (inodes != nullptr) {
        fresh_.clear();
        if (!inodes->ReadSocketInodes([this](const TcpRow& row, std::uint64_t socketInode) {
                fresh_.push_back(row);
                freshInodes_.push_back(socketInode);
            })) {
            return false;
        }
    } else if (!space.Table->ReadTable(fresh_)) {
        return false;
    }
    found_.clear();
    bool unreported = false;
    for (TcpRow& row : fresh_) {
        row.Namespace = inode;
        found_.push_back(row.Cookie);
        unreported = unreported || EndsUnreported(row);
    }
    std::sort(found_.begin(), found_.end());
    cookies_.clear();
    space.At.Cookies(cookies_);
    for (const std::uint64_t cookie : cookies_) {
        if (!std::binary_search(found_.begin(), found_.end(), cookie)) {
            Remove(space, cookie);
        }
    }
    for (const TcpRow& row : fresh_) {
        Put(space, row);
    }
    if (inodes != nullptr) {
        WantHolders();
    }
    space.NextRead = now + (!options_.Reported ? options_.ReadEvery
                            : unreported       ? options_.UnreportedEvery
                                               : options_.QuietEvery);
    return true;
}

void AllNamespacesTcpTable::WantHolders() {
    // The kernel reported who made what is newer; the rest was there before the guard (or
    // before the namespace), and only the processes that hold those sockets tell.
    for (std::size_t i = 0; i < fresh_.size(); ++i) {
        const TcpRow& row = fresh_[i];
        if ((row.State == TcpState::Established || row.State == TcpState::Listening) &&
            freshInodes_[i] != 0 && !Inner().Owner(row).Known()) {
            holderless_.push_back({.Cookie = row.Cookie,
                                   .Inode = freshInodes_[i],
                                   .Owner = {},
                                   .Namespace = row.Namespace});
        }
    }
}

void AllNamespacesTcpTable::TakeOwn(ReadResult result) {
    MoveOthers(ownCount_, ownRows_.size());
    ownCount_ = ownRows_.size();
    if (result != ReadResult::Changed) {
        return;
    }
    if (ownChanges_.Whole) {
        std::copy(ownRows_.begin(), ownRows_.end(), out_.begin());
        changed_.All();
        return;
    }
    changed_.Shrank();  // rows past the end may have gone
    for (const std::size_t i : ownChanges_.Rows) {
        out_[i] = ownRows_[i];
        changed_.Touch(i, out_.size());
    }
}

void AllNamespacesTcpTable::MoveOthers(std::size_t from, std::size_t to) {
    // The others stand at [from, from + count); they go to [to, to + count).
    const std::size_t count = out_.size() - from;
    const std::size_t by = from < to ? to - from : from - to;
    if (by == 0) {
        return;
    }
    if (by >= count) {
        // Each of them moves: in order, past the own rows.
        moving_.assign(out_.begin() + static_cast<std::ptrdiff_t>(from), out_.end());
        out_.resize(to);
        out_.insert(out_.end(), moving_.begin(), moving_.end());
        for (std::size_t i = to; i < out_.size(); ++i) {
            Place(i);
        }
        return;
    }
    if (from < to) {
        // The own rows grew into the first of them: those go to the end.
        for (std::size_t i = from; i < to; ++i) {
            out_.push_back(out_[i]);
            Place(out_.size() - 1);
        }
        return;
    }
    // The own rows shrank: the last of the others fill the room.
    for (std::size_t i = to; i < from; ++i) {
        out_[i] = out_.back();
        out_.pop_back();
        Place(i);
    }
    changed_.Shrank();
}

void AllNamespacesTcpTable::Put(Space& space, const TcpRow& row) {
    if (const std::optional<std::size_t> at = space.At.Find(row.Cookie)) {
        if (out_[*at] != row) {
            out_[*at] = row;
            changed_.Touch(*at, out_.size());
        }
        return;
    }
    (void)space.At.Put(row.Cookie, out_.size());
    out_.push_back(row);
    changed_.Touch(out_.size() - 1, out_.size());
}

void AllNamespacesTcpTable::Remove(Space& space, std::uint64_t cookie) {
    const std::optional<std::size_t> at = space.At.Find(cookie);
    if (!at) {
        return;
    }
    space.At.Erase(cookie);
    // The last row takes the removed one's place: nothing else moves.
    if (*at + 1 != out_.size()) {
        out_[*at] = out_.back();
        Place(*at);
    }
    out_.pop_back();
    changed_.Shrank();
}

void AllNamespacesTcpTable::RemoveAll(Space& space) {
    cookies_.clear();
    space.At.Cookies(cookies_);
    for (const std::uint64_t cookie : cookies_) {
        Remove(space, cookie);
    }
}

void AllNamespacesTcpTable::Place(std::size_t index) {
    // Only rows of a guarded namespace stand among the others.
    (void)spaces_.find(out_[index].Namespace)->second.At.Put(out_[index].Cookie, index);
    changed_.Touch(index, out_.size());
}

ReadResult AllNamespacesTcpTable::Read(std::vector<TcpRow>& rows, TableChanges* changes) {
    const Clock::time_point now = options_.Time();
    const ReadResult own = Inner().Read(ownRows_, &ownChanges_);
    if (own != ReadResult::Failed) {
        TakeOwn(own);
    }
    // Taken after the own read, which drained them.
    const bool reported = TakeReports(now);
    if (now >= nextList_) {
        Relist(now);
        // From its end: a listing of very many namespaces takes a while, and must leave time
        // to read them.
        nextList_ = options_.Time() + options_.ListEvery;
    }
    // A whole read costs time: what the reports changed goes out first, and the read comes
    // with the next one, at once.
    if (reported && !deferred_) {
        deferred_ = true;
    } else {
        deferred_ = false;
        ReadDue(now);
    }
    // One look for the holders of every namespace read for the first time, before its rows go
    // out: a connection the first pass closes is named too.
    if (!holderless_.empty()) {
        Inner().LookForHolders(holderless_);
        holderless_.clear();
    }
    if (own == ReadResult::Failed) {
        return own;  // what changed meanwhile goes out with the next read
    }
    return changed_.HandOut(out_, rows, changes);
}

bool AllNamespacesTcpTable::CloseConnection(const TcpRow& row) {
    if (row.Namespace == 0) {
        return Inner().CloseConnection(row);
    }
    const auto space = spaces_.find(row.Namespace);
    if (space == spaces_.end()) {
        return false;
    }
    std::string problem;  // the next read of it tells, should it stay closed
    TcpTableSource* table = TableOf(space->first, space->second, problem);
    return table != nullptr && table->CloseConnection(row);
}

}  // namespace quarnel::platform
