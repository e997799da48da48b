#include "platform/linux/owners/OwnedTcpTable.h"

#include <algorithm>

#include "platform/linux/owners/ProcessSockets.h"

namespace quarnel::platform {

namespace {

// How often owners are checked for processes that ended, and /proc looked through at most.
constexpr auto kCheckEvery = std::chrono::seconds(1);

// Beside the pid in the index by cookie: for a connection named by its listener's process when
// it was accepted, how far the look for the process that holds it now has come. A server may
// hand the connection to a child and close its own copy (sshd does) a moment after the accept:
// the holder is taken as the listener's only when two looks, a second apart, found it so.
// Pids stay below 2^22 (the kernel's limit), the index takes numbers below 2^32 - 1.
constexpr std::size_t kLookedOnce = std::size_t{1} << 29;
constexpr std::size_t kConfirmed = std::size_t{1} << 30;

std::uint32_t PidOf(std::size_t entry) {
    return static_cast<std::uint32_t>(entry & (kLookedOnce - 1));
}

}  // namespace

OwnedTcpTable::OwnedTcpTable(std::unique_ptr<LinuxTableSource> table, SocketInodeReader* inodes,
                             std::unique_ptr<SocketHolders> holders, Options options)
    : ForwardingTcpTable(std::move(table)),
      inodes_(holders ? inodes : nullptr),
      holders_(std::move(holders)),
      options_(std::move(options)) {}

std::unique_ptr<LinuxTableSource> WithOwners(std::unique_ptr<LinuxTableSource> table,
                                             SocketInodeReader* inodes,
                                             OwnedTcpTable::Options options) {
    std::unique_ptr<SocketHolders> holders = OpenSocketHolders(options.Proc);
    return std::make_unique<OwnedTcpTable>(std::move(table), inodes, std::move(holders),
                                           std::move(options));
}

ReadResult OwnedTcpTable::Read(std::vector<TcpRow>& rows, TableChanges* changes) {
    ReadResult result = Inner().Read(rows, changes);
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
    // pass closes is named. Later reads that bring changes go out at once, though: the look
    // walks every process's descriptors (most of a second beside 20,000 connections), and the
    // pass may have connections to close; it waits for a second without changes.
    if (!whole && result == ReadResult::Changed) {
        lastChange_ = now;
    }
    const bool changesWait = !whole && lookedUp_ && now - lastChange_ < kCheckEvery;
    if (wanted_ && !changesWait && (!lookedUp_ || now - lastLookUp_ >= kCheckEvery)) {
        lastLookUp_ = now;
        lookedUp_ = true;
        wanted_ = false;
        again = LookUp(rows.size()) || again;
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
    if (elsewhereHeld_ && now - elsewhereHeldAt_ >= kCheckEvery) {
        elsewhereHeld_.reset();  // 8 bytes for every socket of the machine
    }
    Prune(rows);
    return result;
}

void OwnedTcpTable::TakeMissed(std::vector<TcpRow>& rows) {
    Inner().TakeMissed(rows);
    Learn();
    for (TcpRow& row : rows) {
        row.OwnerPid = OwnerOf(row);
    }
}

ConnectionOwner OwnedTcpTable::Owner(const TcpRow& row) const {
    std::uint32_t pid = row.OwnerPid;
    if (row.Namespace != 0) {
        const std::optional<std::size_t> known = elsewhere_.Find(row.Cookie);
        pid = known ? PidOf(*known) : 0;
    }
    const auto owner = pid != 0 ? pids_.find(pid) : pids_.end();
    return owner != pids_.end() ? owner->second.Owner : ConnectionOwner{};
}

void OwnedTcpTable::Learn() {
    Inner().TakeOwners(reported_);
    for (const SocketOwner& socket : reported_) {
        Remember(socket.Cookie, socket.Owner, socket.Namespace != 0);
    }
    // Other namespaces' rows are not this table's to prune by: the oldest half of their owners
    // goes past a bound (cookies grow as sockets are made).
    if (elsewhere_.Size() > kMostElsewhere) {
        std::vector<std::uint64_t> cookies;
        elsewhere_.Cookies(cookies);
        const auto middle = cookies.begin() + static_cast<std::ptrdiff_t>(cookies.size() / 2);
        std::nth_element(cookies.begin(), middle, cookies.end());
        const std::uint64_t oldest = *middle;
        elsewhere_.EraseIf([&](std::uint64_t cookie, std::size_t) { return cookie < oldest; });
    }
}

std::uint32_t OwnedTcpTable::OwnerOf(const TcpRow& row) {
    if (row.Namespace != 0) {
        const std::optional<std::size_t> known = elsewhere_.Find(row.Cookie);
        return known ? PidOf(*known) : 0;
    }
    const bool listening = row.State == TcpState::Listening;
    const auto named = [this](std::uint32_t pid) -> std::uint32_t {
        const auto owner = pids_.find(pid);
        return owner != pids_.end() && Shown(owner->second) ? pid : 0;
    };
    if (const auto known = byCookie_.Find(row.Cookie)) {
        const std::uint32_t pid = PidOf(*known);
        if (listening) {
            listeners_[row.LocalPort] = pid;
        } else if (inodes_ != nullptr && (*known & kConfirmed) == 0 && AcceptedBy(row, pid)) {
            wanted_ = true;  // its holder may be a child the server handed it to
        }
        return named(pid);
    }
    if (!listening) {
        // Nobody accepted it yet, or it is older than the reports: the listener's program
        // has it, as far as anyone can tell before its holder is looked for.
        if (const auto listener = listeners_.find(row.LocalPort); listener != listeners_.end()) {
            if (inodes_ != nullptr && row.State == TcpState::Established) {
                // Kept as accepted by the listener's process, until a look finds who holds it.
                (void)byCookie_.Put(row.Cookie, listener->second);
                wanted_ = true;
            }
            return named(listener->second);
        }
    }
    if (inodes_ != nullptr && !notFound_.contains(row.Cookie)) {
        wanted_ = true;
    }
    return 0;
}

bool OwnedTcpTable::AcceptedBy(const TcpRow& row, std::uint32_t pid) const {
    const auto listener = listeners_.find(row.LocalPort);
    return listener != listeners_.end() && listener->second == pid;
}

bool OwnedTcpTable::Shown(Known& known) {
    if (!options_.OnlyVisible) {
        return true;
    }
    // Asked once for each process: another that takes the pid is learnt anew, and asked again.
    if (!known.Visible) {
        known.Visible = ProcessVisible(known.Owner.Pid, options_.Proc);
    }
    return *known.Visible;
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
        return !StillRuns(entry.second.Owner, entry.second.Started, options_.Proc) &&
               ended.insert(entry.first).second;
    });
    if (ended.empty()) {
        return false;
    }
    byCookie_.EraseIf(
        [&](std::uint64_t, std::size_t entry) { return ended.contains(PidOf(entry)); });
    elsewhere_.EraseIf(
        [&](std::uint64_t, std::size_t entry) { return ended.contains(PidOf(entry)); });
    std::erase_if(listeners_, [&](const auto& entry) { return ended.contains(entry.second); });
    // Their sockets may be held by another process now (handed on at fork): looked for again.
    notFound_.clear();
    return true;
}

void OwnedTcpTable::Remember(std::uint64_t cookie, const ConnectionOwner& owner, bool elsewhere) {
    const auto [known, fresh] = pids_.try_emplace(owner.Pid);
    if (!fresh && known->second.Owner != owner) {
        // The pid names another program now (reused, or the process ran another): what was
        // counted its sockets is looked for again rather than named after the new one.
        const auto its = [&](std::uint64_t, std::size_t entry) {
            return PidOf(entry) == owner.Pid;
        };
        byCookie_.EraseIf(its);
        elsewhere_.EraseIf(its);
        std::erase_if(listeners_, [&](const auto& entry) { return entry.second == owner.Pid; });
        notFound_.clear();
    }
    if (fresh || known->second.Owner != owner) {
        // Read as soon as the owner is learnt, while the process that connected most likely
        // still runs: the check then tells it from a later one that takes its pid.
        known->second =
            Known{.Owner = owner, .Started = ProcessStart(owner.Pid, options_.Proc), .Visible = {}};
    }
    // Whoever held it before is the older word.
    (void)(elsewhere ? elsewhere_ : byCookie_).Put(cookie, owner.Pid);
}

bool OwnedTcpTable::LookUp(std::size_t count) {
    // The holders, 8 bytes for every TCP socket of the machine, are kept only for the look (it
    // comes seldom); the table's sockets are joined to them as the kernel lists them.
    SocketHolding holding;
    holding.Sockets.reserve(count + count / 8);  // the sockets of the rows, and some to spare
    if (inodes_ == nullptr || !holders_->Read(holding)) {
        return false;  // tried again a second later, should a row still lack an owner
    }
    bool found = false;
    const auto join = [&](const TcpRow& socket, std::uint64_t inode) {
        const ConnectionOwner* holder = inode != 0 ? holding.HolderOf(inode) : nullptr;
        if (const auto known = byCookie_.Find(socket.Cookie)) {
            found = Confirm(socket, *known, holder) || found;
            return;
        }
        if (holder == nullptr) {
            notFound_.insert(socket.Cookie);
            return;
        }
        if (socket.State == TcpState::Listening) {
            Remember(socket.Cookie, *holder);
            listeners_[socket.LocalPort] = holder->Pid;
            found = true;
            return;
        }
        // A connection its listener's program holds (every accepted one of a plain server) is
        // named by the listener already: kept no second time, which halves what a busy
        // server's sockets cost.
        if (const auto listener = listeners_.find(socket.LocalPort); listener != listeners_.end()) {
            const auto named = pids_.find(listener->second);
            if (named != pids_.end() && named->second.Owner == *holder) {
                return;
            }
        }
        Remember(socket.Cookie, *holder);
        found = true;
    };
    // A look cut short keeps what it found; rows still without an owner ask for another.
    (void)inodes_->ReadSocketInodes(join);
    return found;
}

void OwnedTcpTable::LookForHolders(const std::vector<SocketOwner>& sockets) {
    if (sockets.empty() || holders_ == nullptr) {
        return;
    }
    // What is older than the reports was there at a look a moment ago: one walk of every
    // process's descriptors a second serves them all.
    const Clock::time_point now = options_.Time();
    if (!elsewhereHeld_ || now - elsewhereHeldAt_ >= kCheckEvery) {
        elsewhereHeld_.emplace();
        elsewhereHeldAt_ = now;
        if (!holders_->Read(*elsewhereHeld_)) {
            elsewhereHeld_.reset();
            return;  // they stay unnamed: the kernel reports only what is made from now on
        }
    }
    for (const SocketOwner& socket : sockets) {
        if (const ConnectionOwner* holder = elsewhereHeld_->HolderOf(socket.Inode)) {
            Remember(socket.Cookie, *holder, true);
        }
    }
}

bool OwnedTcpTable::Confirm(const TcpRow& socket, std::size_t entry,
                            const ConnectionOwner* holder) {
    const std::uint32_t pid = PidOf(entry);
    if (socket.State == TcpState::Listening || (entry & kConfirmed) != 0 ||
        !AcceptedBy(socket, pid)) {
        return false;
    }
    const auto recorded = pids_.find(pid);
    if (holder != nullptr && recorded != pids_.end() && recorded->second.Owner != *holder) {
        Remember(socket.Cookie, *holder);  // handed on: whoever holds it now is its owner
        return true;
    }
    // Held by the listener's process still (or by nobody): a second look makes it sure.
    (void)byCookie_.Put(socket.Cookie,
                        pid | ((entry & kLookedOnce) != 0 ? kConfirmed : kLookedOnce));
    if ((entry & kLookedOnce) == 0) {
        wanted_ = true;
    }
    return false;
}

void OwnedTcpTable::Prune(const std::vector<TcpRow>& rows) {
    if (byCookie_.Size() + notFound_.size() <= 2 * rows.size() + 4096) {
        return;
    }
    // 8 bytes a row, sorted: a set would take four times that.
    std::vector<std::uint64_t> listed;
    listed.reserve(rows.size());
    for (const TcpRow& row : rows) {
        listed.push_back(row.Cookie);
    }
    std::sort(listed.begin(), listed.end());
    const auto unlisted = [&](std::uint64_t cookie) {
        return !std::binary_search(listed.begin(), listed.end(), cookie);
    };
    byCookie_.EraseIf([&](std::uint64_t cookie, std::size_t) { return unlisted(cookie); });
    std::erase_if(notFound_, unlisted);
}

}  // namespace quarnel::platform
