#include "platform/linux/owners/OwnedTcpTable.h"

#include <algorithm>

#include "platform/linux/owners/ProcessSockets.h"

namespace quarnel::platform {

namespace {

// How often owners are checked for processes that ended, and /proc looked through at most.
constexpr auto kCheckEvery = std::chrono::seconds(1);

}  // namespace

OwnedTcpTable::OwnedTcpTable(std::unique_ptr<TcpTableSource> table, SocketInodeReader* inodes,
                             std::unique_ptr<SocketHolders> holders, Options options)
    : table_(std::move(table)),
      inodes_(holders ? inodes : nullptr),
      holders_(std::move(holders)),
      options_(std::move(options)) {}

std::unique_ptr<TcpTableSource> WithOwners(std::unique_ptr<TcpTableSource> table,
                                           SocketInodeReader* inodes,
                                           OwnedTcpTable::Options options) {
    std::unique_ptr<SocketHolders> holders = OpenSocketHolders(options.Proc);
    return std::make_unique<OwnedTcpTable>(std::move(table), inodes, std::move(holders),
                                           std::move(options));
}

ReadResult OwnedTcpTable::Read(std::vector<TcpRow>& rows, TableChanges* changes) {
    ReadResult result = table_->Read(rows, changes);
    if (result == ReadResult::Failed) {
        return result;
    }
    Learn();
    const bool whole = result == ReadResult::Changed && (changes == nullptr || changes->Whole);
    std::vector<std::size_t> changed;
    if (whole) {
        Refill(rows, changed);
    } else if (result == ReadResult::Changed) {
        // Listeners first: a connection to one takes its owner.
        for (const bool listening : {true, false}) {
            for (const std::size_t i : changes->Rows) {
                if ((rows[i].State == TcpState::Listening) == listening) {
                    rows[i].OwnerPid = OwnerOf(rows[i]);
                }
            }
        }
    }
    const Clock::time_point now = options_.Time();
    bool again = false;
    if (now - lastCheck_ >= kCheckEvery) {
        lastCheck_ = now;
        again = ForgetEnded();
    }
    // Before the rows go out, so that even a connection older than the guard that the first
    // pass closes is named.
    if (wanted_ && (!lookedUp_ || now - lastLookUp_ >= kCheckEvery)) {
        lastLookUp_ = now;
        lookedUp_ = true;
        wanted_ = false;
        again = LookUp() || again;
    }
    if (again) {
        Refill(rows, changed);
        if (!whole && !changed.empty()) {
            if (result == ReadResult::Unchanged) {
                result = ReadResult::Changed;
                changes->Whole = false;
                changes->Rows.clear();
            }
            if (changes != nullptr) {
                changes->Rows.insert(changes->Rows.end(), changed.begin(), changed.end());
                std::sort(changes->Rows.begin(), changes->Rows.end());
                changes->Rows.erase(std::unique(changes->Rows.begin(), changes->Rows.end()),
                                    changes->Rows.end());
            }
        }
    }
    Prune(rows);
    return result;
}

void OwnedTcpTable::TakeMissed(std::vector<TcpRow>& rows) {
    table_->TakeMissed(rows);
    Learn();
    for (TcpRow& row : rows) {
        row.OwnerPid = OwnerOf(row);
    }
}

ConnectionOwner OwnedTcpTable::Owner(const TcpRow& row) const {
    const auto owner = row.OwnerPid != 0 ? pids_.find(row.OwnerPid) : pids_.end();
    return owner != pids_.end() ? owner->second : ConnectionOwner{};
}

void OwnedTcpTable::Learn() {
    table_->TakeOwners(reported_);
    for (const SocketOwner& socket : reported_) {
        Remember(socket.Cookie, socket.Owner);
    }
}

std::uint32_t OwnedTcpTable::OwnerOf(const TcpRow& row) {
    const bool listening = row.State == TcpState::Listening;
    const auto named = [this](std::uint32_t pid) -> std::uint32_t {
        const auto owner = pids_.find(pid);
        return owner != pids_.end() && Shown(owner->second) ? pid : 0;
    };
    if (const auto known = byCookie_.find(row.Cookie); known != byCookie_.end()) {
        if (listening) {
            listeners_[row.LocalPort] = known->second;
        }
        return named(known->second);
    }
    if (!listening) {
        // Nobody accepted it yet, or it is older than the reports: the listener's program
        // has it, as far as anyone can tell before its holder is looked for.
        if (const auto listener = listeners_.find(row.LocalPort); listener != listeners_.end()) {
            return named(listener->second);
        }
    }
    if (inodes_ != nullptr && !notFound_.contains(row.Cookie)) {
        wanted_ = true;
    }
    return 0;
}

bool OwnedTcpTable::Shown(const ConnectionOwner& owner) {
    if (!options_.OnlyVisible) {
        return true;
    }
    const auto [at, fresh] = visible_.try_emplace(owner.Pid, false);
    if (fresh) {
        at->second = ProcessVisible(owner.Pid, options_.Proc);
    }
    return at->second;
}

void OwnedTcpTable::Refill(std::vector<TcpRow>& rows, std::vector<std::size_t>& changed) {
    for (const bool listening : {true, false}) {
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if ((rows[i].State == TcpState::Listening) != listening) {
                continue;
            }
            const std::uint32_t owner = OwnerOf(rows[i]);
            if (owner != rows[i].OwnerPid) {
                rows[i].OwnerPid = owner;
                changed.push_back(i);
            }
        }
    }
}

bool OwnedTcpTable::ForgetEnded() {
    // Each owner's process is asked once, however many sockets it holds; only when one ended
    // are the owners walked.
    std::unordered_set<std::uint32_t> ended;
    std::erase_if(pids_, [&](const auto& entry) {
        return !StillRuns(entry.second, options_.Proc) && ended.insert(entry.first).second;
    });
    if (ended.empty()) {
        return false;
    }
    const auto gone = [&](const auto& entry) { return ended.contains(entry.second); };
    std::erase_if(byCookie_, gone);
    std::erase_if(listeners_, gone);
    std::erase_if(visible_, [&](const auto& entry) { return ended.contains(entry.first); });
    // Their sockets may be held by another process now (handed on at fork): looked for again.
    notFound_.clear();
    return true;
}

void OwnedTcpTable::Remember(std::uint64_t cookie, const ConnectionOwner& owner) {
    const auto [known, fresh] = pids_.try_emplace(owner.Pid, owner);
    if (!fresh && known->second != owner) {
        // The pid names another program now (reused, or the process ran another): what was
        // counted its sockets is looked for again rather than named after the new one.
        const auto taken = [&](const auto& entry) { return entry.second == owner.Pid; };
        std::erase_if(byCookie_, taken);
        std::erase_if(listeners_, taken);
        notFound_.clear();
        known->second = owner;
    }
    byCookie_[cookie] = owner.Pid;
}

bool OwnedTcpTable::LookUp() {
    // Both as large as the machine's sockets, 16 bytes each, kept only for the look: it comes
    // seldom.
    SocketHolding holding;
    std::vector<SocketInode> sockets;
    if (inodes_ == nullptr || !holders_->Read(holding) || !inodes_->ReadSocketInodes(sockets)) {
        return false;  // tried again a second later, should a row still lack an owner
    }
    bool found = false;
    for (const SocketInode& socket : sockets) {
        if (byCookie_.contains(socket.Cookie)) {
            continue;
        }
        const ConnectionOwner* holder =
            socket.Inode != 0 ? holding.HolderOf(socket.Inode) : nullptr;
        if (holder != nullptr) {
            Remember(socket.Cookie, *holder);
            found = true;
        } else {
            notFound_.insert(socket.Cookie);
        }
    }
    return found;
}

void OwnedTcpTable::Prune(const std::vector<TcpRow>& rows) {
    if (byCookie_.size() + notFound_.size() <= 2 * rows.size() + 4096) {
        return;
    }
    std::unordered_set<std::uint64_t> listed;
    listed.reserve(rows.size());
    for (const TcpRow& row : rows) {
        listed.insert(row.Cookie);
    }
    std::erase_if(byCookie_, [&](const auto& entry) { return !listed.contains(entry.first); });
    std::erase_if(notFound_, [&](std::uint64_t cookie) { return !listed.contains(cookie); });
}

}  // namespace quarnel::platform
