#include "platform/linux/netfilter/LoggedTcpTable.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>

#include <algorithm>

namespace quarnel::platform {

namespace {

// A lost segment is followed by a whole read at once and this much later: the table tells of a
// loss at most twice a second, so a loss after the one told comes before this read.
constexpr auto kReadAfterLoss = std::chrono::seconds(1);
// Look-ups waiting to be tried again, at most: past that the next whole read finds them.
constexpr std::size_t kMaxRetries = 4096;

// Past its handshake: a connection the pass may close.
bool Settled(TcpState state) {
    switch (state) {
        case TcpState::Established:
        case TcpState::FinWait1:
        case TcpState::FinWait2:
        case TcpState::CloseWait:
        case TcpState::Closing:
        case TcpState::LastAck:
            return true;
        default:
            return false;
    }
}

}  // namespace

LoggedTcpTable::LoggedTcpTable(std::unique_ptr<LinuxTableSource> table, SocketLookup& sockets,
                               std::unique_ptr<PacketLog> log, Pace pace)
    : ForwardingTcpTable(std::move(table)),
      log_(std::move(log)),
      sockets_(sockets),
      pace_(pace),
      told_([this](const LoggedSegment& segment) { Told(segment); }),
      alarm_(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)),
      wait_(::epoll_create1(EPOLL_CLOEXEC)) {
    for (const int fd : {log_->Descriptor(), alarm_.Get()}) {
        epoll_event ready{};
        ready.events = EPOLLIN;
        // Without either a waiting caller wakes only on its own timeout: later, nothing missed.
        if (fd >= 0 && wait_) {
            (void)::epoll_ctl(wait_.Get(), EPOLL_CTL_ADD, fd, &ready);
        }
    }
}

ReadResult LoggedTcpTable::Read(std::vector<TcpRow>& rows, TableChanges* changes) {
    const bool drained = log_->Drain(told_);
    const Clock::time_point now = Clock::now();
    const bool lost = !drained || lost_;
    lost_ = false;
    RetryDue(now);
    if (!current_ || lost || !telling_ || now >= nextWholeRead_) {
        if (!ReadWholeTable()) {
            SetAlarm();
            return ReadResult::Failed;
        }
        if (lost) {
            nextWholeRead_ = std::min(nextWholeRead_, now + kReadAfterLoss);
        }
    }
    SetAlarm();
    return changed_.HandOut(rows_, rows, changes);
}

bool LoggedTcpTable::ReadWholeTable() {
    const Clock::time_point started = Clock::now();
    if (Inner().Read(wholeRead_, nullptr) != ReadResult::Changed) {
        current_ = false;
        return false;
    }
    if (!current_) {
        rows_.swap(wholeRead_);
        at_.Clear(rows_.size());
        for (std::size_t i = 0; i < rows_.size(); ++i) {
            (void)at_.Put(rows_[i].Cookie, i);
        }
        changed_.All();
    } else {
        // Only what changed since goes out: a caller then looks again at those rows alone.
        found_.clear();
        for (const TcpRow& row : wholeRead_) {
            Put(row);
            found_.push_back(row.Cookie);
        }
        std::sort(found_.begin(), found_.end());
        for (std::size_t i = rows_.size(); i-- > 0;) {
            if (!std::binary_search(found_.begin(), found_.end(), rows_[i].Cookie)) {
                Remove(rows_[i].Cookie);
            }
        }
    }
    current_ = true;
    ++wholeReads_;
    // Beside many connections a whole read takes long (the kernel walks every socket): the next
    // waits at least 199 times as long, so that these reads take at most half a percent.
    const Clock::time_point now = Clock::now();
    nextWholeRead_ = now + std::max(pace_.WholeRead, 199 * (now - started));
    return true;
}

void LoggedTcpTable::Told(const LoggedSegment& segment) {
    // The end of this host that the segment reached or left, by whose view it was told.
    TcpRow near;
    near.Family = segment.IPv6 ? SocketFamily::IPv6 : SocketFamily::IPv4;
    near.LocalAddress = segment.Arriving ? segment.Destination : segment.Source;
    near.LocalPort = segment.Arriving ? segment.DestinationPort : segment.SourcePort;
    near.RemoteAddress = segment.Arriving ? segment.Source : segment.Destination;
    near.RemotePort = segment.Arriving ? segment.SourcePort : segment.DestinationPort;
    if (!LookUp(near)) {
        if (retries_.size() < kMaxRetries) {
            retries_.push_back({near, Clock::now() + pace_.Retry, pace_.Tries});
        } else {
            lost_ = true;
        }
    }
}

bool LoggedTcpTable::LookUp(TcpRow row) {
    switch (sockets_.Find(row)) {
        case SocketLookup::Found::Socket:
            if (!Settled(row.State)) {
                return row.State != TcpState::SynReceived && row.State != TcpState::SynSent;
            }
            Put(row);
            return true;
        case SocketLookup::Found::NoSocket:
            return false;  // not yet, or gone: tried again for a while
        case SocketLookup::Found::Failed:
            break;
    }
    lost_ = true;
    return true;
}

void LoggedTcpTable::RetryDue(Clock::time_point now) {
    // Each try waits twice as long as the one before: a segment of a connection long gone costs
    // a few look-ups, not one a millisecond.
    std::erase_if(retries_, [&](Retry& retry) {
        if (retry.Due > now) {
            return false;
        }
        if (LookUp(retry.Row) || --retry.Left <= 0) {
            return true;
        }
        retry.Due = now + pace_.Retry * (1 << std::min(pace_.Tries - retry.Left, 16));
        return false;
    });
}

bool LoggedTcpTable::CloseConnection(const TcpRow& row) {
    const bool closed = Inner().CloseConnection(row);
    TcpState state{};
    // A closed socket leaves the kernel's tables at once; no log tells of it.
    if (closed || sockets_.LookUp(row, state) == SocketLookup::Found::NoSocket) {
        Remove(row.Cookie);
    }
    return closed;
}

void LoggedTcpTable::SetRules(const BlockingRules& rules) {
    Inner().SetRules(rules);
    nextWholeRead_ = Clock::now();
    SetAlarm();
}

void LoggedTcpTable::Put(const TcpRow& row) {
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
}

void LoggedTcpTable::Remove(std::uint64_t cookie) {
    const std::optional<std::size_t> at = at_.Find(cookie);
    if (!at) {
        return;
    }
    const std::size_t index = *at;
    at_.Erase(cookie);
    // The last row takes the removed one's place: nothing else moves.
    if (index + 1 != rows_.size()) {
        rows_[index] = rows_.back();
        (void)at_.Put(rows_[index].Cookie, index);
        changed_.Touch(index, rows_.size());
    }
    rows_.pop_back();
    changed_.Shrank();
}

void LoggedTcpTable::SetAlarm() {
    Clock::time_point at = nextWholeRead_;
    for (const Retry& retry : retries_) {
        at = std::min(at, retry.Due);
    }
    // The steady clock is CLOCK_MONOTONIC; a time already past fires at once. Setting it again
    // clears its readiness.
    itimerspec when{};
    const auto since = at.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    when.it_value.tv_sec = seconds.count();
    when.it_value.tv_nsec = (since - seconds).count();
    if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0) {
        when.it_value.tv_nsec = 1;  // zero would stop it
    }
    // Fails only on a bad descriptor: then callers wait for their own timeout instead.
    (void)::timerfd_settime(alarm_.Get(), TFD_TIMER_ABSTIME, &when, nullptr);
}

}  // namespace quarnel::platform
