#include "platform/linux/EventTcpTable.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>

#include <algorithm>
#include <cstring>

#include "platform/linux/LinuxTcpTable.h"
#include "platform/linux/SockDiagMessages.h"
#ifdef QUARNEL_KERNEL_EVENTS
#include "platform/linux/bpf/KernelTcpEvents.h"
#endif

namespace quarnel::platform {

namespace {

// How soon after the previous whole read the next one comes when a report hints at rows that
// come without one, and while rows that go without one are listed.
constexpr auto kHintedReadDelay = std::chrono::milliseconds(250);
constexpr auto kUnreportedEndDelay = std::chrono::seconds(1);

// Time-wait and half-open rows, and FIN_WAIT2 ones that may stand for time-wait, end on a
// kernel timer without a report.
bool EndsUnreported(const TcpRow& row) {
    return row.State == TcpState::SynReceived || row.State == TcpState::FinWait2 ||
           row.State == TcpState::TimeWait;
}

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
        case Kind::Refused:
            break;
    }
    return std::string("the kernel refused the event program") +
           (Error != 0 ? std::string(" (") + std::strerror(Error) + ")" : std::string());
}

EventTcpTable::EventTcpTable(std::unique_ptr<TcpEventStream> events,
                             std::unique_ptr<TcpTableSource> table)
    : events_(std::move(events)),
      table_(std::move(table)),
      apply_([this](const TcpStateEvent& event) { Apply(event); }),
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
        why = {PollingCause::Kind::Refused, error};
        return nullptr;
    }
    auto events = WithKernelEvents(std::move(table), why);
    if (why.Why != PollingCause::Kind::None) {
        return nullptr;
    }
    return std::unique_ptr<EventTcpTable>(static_cast<EventTcpTable*>(events.release()));
}

std::unique_ptr<TcpTableSource> WithKernelEvents(std::unique_ptr<TcpTableSource> table,
                                                 PollingCause& polling) {
#ifdef QUARNEL_KERNEL_EVENTS
    // Reporting starts before the first whole read, so that no change falls in between.
    if (auto events = KernelTcpEvents::Open(polling)) {
        polling = {};
        return std::make_unique<EventTcpTable>(std::move(events), std::move(table));
    }
#else
    polling = {PollingCause::Kind::NotBuilt};
#endif
    return table;
}

bool EventTcpTable::ReadTable(std::vector<TcpRow>& rows) {
    switch (ReadTableIfChanged(rows)) {
        case ReadResult::Changed:
            return true;
        case ReadResult::Unchanged:
            rows = rows_;  // the caller's rows may be others than those handed out last
            return true;
        case ReadResult::Failed:
            break;
    }
    return false;
}

ReadResult EventTcpTable::ReadTableIfChanged(std::vector<TcpRow>& rows) {
    const bool drained = events_->Drain(apply_);
    // A lost report may be the one of a new connection: no rows go out before a whole read.
    const bool due = !current_ || !drained || events_->LostCount() != lostSeen_ ||
                     (nextWholeRead_ && Clock::now() >= *nextWholeRead_);
    if (due && !ReadWholeTable()) {
        return ReadResult::Failed;
    }
    if (!changed_) {
        return ReadResult::Unchanged;
    }
    rows = rows_;
    changed_ = false;
    return ReadResult::Changed;
}

bool EventTcpTable::ReadWholeTable() {
    // Counted before the walk: a report lost from here on brings the next whole read.
    lostSeen_ = events_->LostCount();
    ++wholeReads_;
    lastWholeRead_ = Clock::now();
    SetAlarm(std::nullopt);
    if (!table_->ReadTable(wholeRead_)) {
        current_ = false;
        return false;
    }
    if (wholeRead_ != rows_) {
        rows_.swap(wholeRead_);
        changed_ = true;
        at_.clear();
        for (std::size_t i = 0; i < rows_.size(); ++i) {
            at_[rows_[i].Cookie] = i;
        }
    }
    // The reports that came while the kernel walked its tables: some of their changes the walk
    // may have passed by. Should they not be read, the next read walks again.
    current_ = events_->Drain(apply_);
    if (std::any_of(rows_.begin(), rows_.end(), EndsUnreported)) {
        ReadWholeTableWithin(kUnreportedEndDelay);
    }
    return true;
}

void EventTcpTable::Apply(const TcpStateEvent& event) {
    if (event.NewState == linux_tcp::kClose) {
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
    const TcpRow row = RowOf(event);
    if (row.LocalPort == 0) {
        // A connect whose port the kernel has not chosen yet: its next report names it, and a
        // whole read shows it should it wait long.
        ReadWholeTableWithin(kHintedReadDelay);
        return;
    }
    const auto [found, added] = at_.try_emplace(row.Cookie, rows_.size());
    if (added) {
        rows_.push_back(row);
        changed_ = true;
    } else if (rows_[found->second] != row) {
        rows_[found->second] = row;
        changed_ = true;
    }
}

void EventTcpTable::Remove(std::uint64_t cookie) {
    const auto found = at_.find(cookie);
    if (found == at_.end()) {
        return;
    }
    const std::size_t index = found->second;
    at_.erase(found);
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(index));
    for (std::size_t i = index; i < rows_.size(); ++i) {
        at_[rows_[i].Cookie] = i;
    }
    changed_ = true;
}

void EventTcpTable::ReadWholeTableWithin(Clock::duration delay) {
    const Clock::time_point at = lastWholeRead_ + delay;
    if (!nextWholeRead_ || at < *nextWholeRead_) {
        SetAlarm(at);
    }
}

void EventTcpTable::SetAlarm(std::optional<Clock::time_point> at) {
    nextWholeRead_ = at;
    // The steady clock is CLOCK_MONOTONIC; a time already past fires at once, and no time
    // (all zero) stops the timer and clears its readiness.
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

int EventTcpTable::WaitDescriptor() const {
    return current_ && wait_ ? wait_.Get() : -1;
}

}  // namespace quarnel::platform
