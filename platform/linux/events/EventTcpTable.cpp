#include "platform/linux/events/EventTcpTable.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/linux/events/UnreportedRows.h"
#include "platform/linux/privileges/ProcessRights.h"
#include "platform/linux/sockdiag/LinuxTcpTable.h"
#include "platform/linux/sockdiag/SockDiagMessages.h"
#ifdef QUARNEL_KERNEL_EVENTS
#include "platform/linux/events/KernelTcpEvents.h"
#endif

namespace quarnel::platform {

namespace {

// Whether a connection in state went through the established state.
bool WasEstablished(TcpState state) {
    return state >= TcpState::Established && state <= TcpState::TimeWait;
}

// How soon after the previous read the next one comes when a report hints at rows that come
// without one, and while rows that go without one are listed. Even a read by state walks every
// socket of the machine, so while connections come and go it comes at most once a second; the
// rows it finds are only listed, never closed (established connections are always reported).
constexpr auto kHintedReadDelay = std::chrono::seconds(1);
// How many connections new since the last read are remembered, and how many of them that ended
// unread: far more than come between two reads of a program that reads every millisecond.
constexpr std::size_t kMaxUnseen = 65536;
constexpr std::size_t kMaxMissed = 4096;
// Other namespaces' reports kept while nobody takes them; past it they are told lost.
constexpr std::size_t kMaxOthers = 65536;
constexpr auto kUnreportedEndDelay = std::chrono::seconds(1);
// A look that takes longer than this (a table of some 20,000 rows or more) waits while
// connections keep being established, until none has been for a while or it has waited long
// enough: nothing is judged while it walks, and a storm of connections would wait for it.
constexpr auto kSlowLook = std::chrono::milliseconds(5);
constexpr auto kQuietBeforeSlowLook = std::chrono::milliseconds(100);
constexpr auto kLongestWaitForSlowLook = std::chrono::seconds(10);

constexpr std::uint32_t Bit(std::uint8_t linuxState) {
    return std::uint32_t{1} << linuxState;
}

// The Linux states of the rows that end without a report, and of connects whose port was not
// reported (those come without one).
constexpr std::uint32_t kUnreportedLinuxStates =
    Bit(linux_tcp::kSynSent) | Bit(linux_tcp::kSynRecv) | Bit(linux_tcp::kNewSynRecv) |
    Bit(linux_tcp::kFinWait2) | Bit(linux_tcp::kTimeWait);

TcpRow RowOf(const TcpStateEvent& event) {
    TcpRow row;
    row.State = TableState(event.NewState);
    std::memcpy(row.LocalAddress.data(), event.LocalAddress, row.LocalAddress.size());
    row.LocalPort = event.LocalPort;
    std::memcpy(row.RemoteAddress.data(), event.RemoteAddress, row.RemoteAddress.size());
    row.RemotePort = event.RemotePort;
    row.Family = event.Family == AF_INET6 ? SocketFamily::IPv6 : SocketFamily::IPv4;
    row.Interface = event.Interface;
    row.Cookie = event.Cookie;
    return row;
}

}  // namespace

std::string PollingCause::Text() const {
    switch (Why) {
        case Kind::None:
            return {};
        case Kind::NotBuilt:
            return "this build has no kernel event support";
        case Kind::NoTypeInfo:
            return "the kernel publishes no BTF type information";
        case Kind::NoRights:
            return "loading kernel programs needs CAP_BPF and CAP_PERFMON";
        case Kind::LockedDown:
            return "the kernel is locked down";
        case Kind::Filtered:
            return std::string(kFilteredBpf);
        case Kind::NoResource:
            return std::string("it could not load the event program (") + std::strerror(Error) +
                   ")";
        case Kind::Rejected:
            break;
    }
    return std::string("the kernel refused the event program") +
           (Error != 0 ? std::string(" (") + std::strerror(Error) + ")" : std::string());
}

EventTcpTable::EventTcpTable(std::unique_ptr<TcpEventStream> events,
                             std::unique_ptr<TcpTableSource> table, Now now)
    : events_(std::move(events)),
      table_(std::move(table)),
      now_(std::move(now)),
      byState_(dynamic_cast<StateTableReader*>(table_.get())),
      apply_([this](const TcpStateEvent& event) { Apply(event); }),
      ownNamespace_(events_->OwnNamespace()),
      alarm_(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)),
      wait_(::epoll_create1(EPOLL_CLOEXEC)) {
    // Without them a waiting caller wakes only on its own timeout, so a due whole read waits
    // for it; nothing is missed.
    for (const int fd : {events_->Descriptor(), alarm_.Get()}) {
        epoll_event ready{};
        ready.events = EPOLLIN;
        if (fd >= 0 && wait_) {
            (void)::epoll_ctl(wait_.Get(), EPOLL_CTL_ADD, fd, &ready);
        }
    }
}

std::unique_ptr<EventTcpTable> EventTcpTable::Open(PollingCause& why) {
    int error = 0;
    auto table = LinuxTcpTable::Open(&error);
    if (!table) {
        why = {PollingCause::Kind::Rejected, error};
        return nullptr;
    }
    auto events = WithKernelEvents(std::move(table), why);
    if (why.Why != PollingCause::Kind::None) {
        return nullptr;
    }
    return std::unique_ptr<EventTcpTable>(static_cast<EventTcpTable*>(events.release()));
}

std::unique_ptr<LinuxTableSource> WithKernelEvents(std::unique_ptr<LinuxTableSource> table,
                                                   PollingCause& polling, NamespaceScope scope) {
#ifdef QUARNEL_KERNEL_EVENTS
    // Reporting starts before the first whole read, so that no change falls in between.
    if (auto events = KernelTcpEvents::Open(polling, KernelTcpEvents::kRingBytes, scope)) {
        polling = {};
        return std::make_unique<EventTcpTable>(std::move(events), std::move(table));
    }
#else
    (void)scope;
    polling = {PollingCause::Kind::NotBuilt};
#endif
    return table;
}

ReadResult EventTcpTable::Read(std::vector<TcpRow>& rows, TableChanges* changes) {
    if (!Refresh()) {
        return ReadResult::Failed;
    }
    const ReadResult result = changed_.HandOut(rows_, rows, changes);
    if (result == ReadResult::Changed) {
        unseen_.clear();
    }
    return result;
}

bool EventTcpTable::Refresh() {
    const bool drained = Drain();
    // A lost report may be the one of a new connection: no rows go out before a whole read.
    if (!current_ || !drained || events_->LostCount() != lostSeen_) {
        if (events_->LostCount() != lostSeen_) {
            othersComplete_ = false;  // theirs may be among them
        }
        return ReadWholeTable();
    }
    const Clock::time_point now = now_();
    if (!nextWholeRead_ || now < *nextWholeRead_) {
        return true;
    }
    if (byState_ == nullptr) {
        return ReadWholeTable();
    }
    if (!lookDueSince_) {
        lookDueSince_ = *nextWholeRead_;
    }
    if (lastLookCost_ > kSlowLook && now - lastEstablished_ < kQuietBeforeSlowLook &&
        now - *lookDueSince_ < kLongestWaitForSlowLook) {
        SetAlarm(lastEstablished_ + kQuietBeforeSlowLook);
        return true;
    }
    return ReadUnreportedRows();
}

bool EventTcpTable::ReadUnreportedRows() {
    const Clock::time_point start = now_();
    SetAlarm(std::nullopt);
    lookDueSince_.reset();
    if (!byState_->ReadTableInStates(wholeRead_, kUnreportedLinuxStates)) {
        return ReadWholeTable();
    }
    // The read walks every socket of the machine, some 50 ms at 200,000, and nothing is judged
    // meanwhile: on a large table the next one waits in proportion, so that it takes at most a
    // hundredth of the time. What it finds is only listed, never closed.
    const Clock::time_point end = now_();
    lastLookCost_ = end - start;
    lastWholeRead_ = end + 99 * lastLookCost_;
    found_.clear();
    for (const TcpRow& row : wholeRead_) {
        found_.push_back(row.Cookie);
    }
    std::sort(found_.begin(), found_.end());
    // Rows listed in such a state that the read no longer finds have ended. The last row takes
    // a removed one's place, and is looked at there.
    for (std::size_t i = 0; i < rows_.size();) {
        if (EndsUnreported(rows_[i]) &&
            !std::binary_search(found_.begin(), found_.end(), rows_[i].Cookie)) {
            RemoveAt(i);
        } else {
            ++i;
        }
    }
    for (const TcpRow& row : wholeRead_) {
        Put(row);
    }
    // Reports of changes during the read: applied after it, they are the newer word.
    current_ = Drain();
    if (std::any_of(rows_.begin(), rows_.end(), EndsUnreported)) {
        ReadWholeTableWithin(kUnreportedEndDelay);
    }
    return true;
}

bool EventTcpTable::ReadWholeTable() {
    // Counted before the walk: a report lost from here on brings the next whole read.
    lostSeen_ = events_->LostCount();
    ++wholeReads_;
    lastWholeRead_ = now_();
    SetAlarm(std::nullopt);
    lookDueSince_.reset();
    if (!table_->ReadTable(wholeRead_)) {
        current_ = false;
        return false;
    }
    if (wholeRead_ != rows_) {
        rows_.swap(wholeRead_);
        changed_.All();
        at_.Clear(rows_.size());
        for (std::size_t i = 0; i < rows_.size(); ++i) {
            (void)at_.Put(rows_[i].Cookie, i);  // a cookie twice: the later row is found
        }
    }
    // The reports that came while the kernel walked its tables: some of their changes the walk
    // may have passed by. Should they not be read, the next read walks again.
    current_ = Drain();
    if (std::any_of(rows_.begin(), rows_.end(), EndsUnreported)) {
        ReadWholeTableWithin(kUnreportedEndDelay);
    }
    return true;
}

bool EventTcpTable::Drain() {
    if (events_->Drain(apply_)) {
        return true;
    }
    othersComplete_ = false;
    return false;
}

void EventTcpTable::HandOn(const TcpStateEvent& event) {
    if (others_.size() >= kMaxOthers) {
        othersComplete_ = false;
        return;
    }
    TcpRow& row = others_.emplace_back(RowOf(event));
    row.Namespace = event.Namespace;
}

bool EventTcpTable::TakeOtherNamespaces(std::vector<TcpRow>& rows) {
    rows.clear();
    rows.swap(others_);
    return std::exchange(othersComplete_, true);
}

void EventTcpTable::Apply(const TcpStateEvent& event) {
    if (event.Namespace != ownNamespace_) {
        HandOn(event);
        return;
    }
    if (event.NewState == linux_tcp::kClose) {
        NoteIfMissed(event.Cookie);
        Remove(event.Cookie);
        // An active close leaves a time-wait row behind; a closed listener drops its half-open
        // connections. Neither is reported.
        switch (event.OldState) {
            case linux_tcp::kFinWait1:
            case linux_tcp::kFinWait2:
            case linux_tcp::kClosing:
            case linux_tcp::kListen:
                ReadWholeTableWithin(kHintedReadDelay);
                break;
            default:
                break;
        }
        return;
    }
    if (event.NewState == linux_tcp::kEstablished) {
        lastEstablished_ = now_();
    }
    const TcpRow row = RowOf(event);
    if (row.LocalPort == 0) {
        // A connect whose port the kernel has not chosen yet: its next report names it, and a
        // read shows it should it wait long.
        ReadWholeTableWithin(kHintedReadDelay);
        return;
    }
    Put(row);
}

void EventTcpTable::Put(const TcpRow& row) {
    if (const std::optional<std::size_t> at = at_.Find(row.Cookie)) {
        if (rows_[*at] != row) {
            rows_[*at] = row;
            changed_.Touch(*at, rows_.size());
        }
        return;
    }
    (void)at_.Put(row.Cookie, rows_.size());
    rows_.push_back(row);
    changed_.Touch(rows_.size() - 1, rows_.size());
    if (unseen_.size() < kMaxUnseen) {
        unseen_.insert(row.Cookie);
    }
}

void EventTcpTable::NoteIfMissed(std::uint64_t cookie) {
    const std::optional<std::size_t> at = at_.Find(cookie);
    if (!at || missed_.size() >= kMaxMissed || !WasEstablished(rows_[*at].State) ||
        unseen_.erase(cookie) == 0) {
        return;
    }
    missed_.push_back(rows_[*at]);
}

void EventTcpTable::TakeMissed(std::vector<TcpRow>& rows) {
    rows.clear();
    rows.swap(missed_);
}

void EventTcpTable::TakeOwners(std::vector<SocketOwner>& owners) {
    events_->TakeOwners(owners);
}

void EventTcpTable::Remove(std::uint64_t cookie) {
    if (const std::optional<std::size_t> at = at_.Find(cookie)) {
        RemoveAt(*at);
    }
}

void EventTcpTable::RemoveAt(std::size_t index) {
    if (at_.Find(rows_[index].Cookie) == index) {
        at_.Erase(rows_[index].Cookie);
    }
    // The last row takes the removed one's place: nothing else moves.
    if (index + 1 != rows_.size()) {
        rows_[index] = rows_.back();
        (void)at_.Put(rows_[index].Cookie, index);
        changed_.Touch(index, rows_.size());
    }
    rows_.pop_back();
    changed_.Shrank();
}

void EventTcpTable::ReadWholeTableWithin(Clock::duration delay) {
    const Clock::time_point at = lastWholeRead_ + delay;
    if (!nextWholeRead_ || at < *nextWholeRead_) {
        SetAlarm(at);
    }
}

void EventTcpTable::SetAlarm(std::optional<Clock::time_point> at) {
    nextWholeRead_ = at;
    // The steady clock is CLOCK_MONOTONIC (a test's clock paces the reads, not the alarm); a
    // time already past fires at once, and no time (all zero) stops the timer and clears its
    // readiness.
    itimerspec when{};
    if (at) {
        const auto since = at->time_since_epoch();
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
        when.it_value.tv_sec = seconds.count();
        when.it_value.tv_nsec = (since - seconds).count();
        if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0) {
            when.it_value.tv_nsec = 1;  // zero would stop it
        }
    }
    // Fails only on a bad descriptor: then callers wait for their own timeout instead.
    (void)::timerfd_settime(alarm_.Get(), TFD_TIMER_ABSTIME, &when, nullptr);
}

bool EventTcpTable::CloseConnection(const TcpRow& row) {
    return table_->CloseConnection(row);
}

CloseAbility EventTcpTable::CanCloseConnections() {
    return table_->CanCloseConnections();
}

void EventTcpTable::SetRules(const BlockingRules& rules) {
    // Failing, every new connection wakes the reader as before: it costs only time.
    (void)events_->WakeFor(rules);
}

int EventTcpTable::WaitDescriptor() const {
    return current_ && wait_ ? wait_.Get() : -1;
}

}  // namespace quarnel::platform
