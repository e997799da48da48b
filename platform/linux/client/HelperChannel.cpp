#include "platform/linux/client/HelperChannel.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <utility>

namespace quarnel::platform {

namespace {

using Clock = std::chrono::steady_clock;

std::string ErrorText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// Sorts indices and drops repeats and those at or past size: rows changed by several changes,
// some of them cut off by a later one.
void KeepDistinctBelow(std::vector<std::size_t>& indices, std::size_t size) {
    std::sort(indices.begin(), indices.end());
    const auto gone = std::lower_bound(indices.begin(), indices.end(), size);
    indices.erase(std::unique(indices.begin(), gone), indices.end());
}

}  // namespace

bool HelperChannel::ReadTable(std::vector<TcpRow>& rows, bool& read) {
    read = false;
    ReadResult result = ReadResult::Failed;
    TableChanges whole;  // a whole answer: nothing to tell
    if (!ReadRows(RequestKind::ReadTable, rows, result, whole)) {
        return false;
    }
    read = result == ReadResult::Changed;
    return true;
}

bool HelperChannel::ReadTableChanges(std::vector<TcpRow>& rows, TableChanges& changes,
                                     ReadResult& result) {
    return ReadRows(RequestKind::ReadTableChanges, rows, result, changes);
}

bool HelperChannel::ReadRows(RequestKind kind, std::vector<TcpRow>& rows, ReadResult& result,
                             TableChanges& changes) {
    result = ReadResult::Failed;
    if (!Send(kind)) {
        return false;
    }
    rows_.clear();
    indices_.clear();
    std::uint32_t tableRows = 0;
    bool changedAnswer = false;  // the answer's first part carried changed rows
    for (std::uint16_t index = 0;; ++index) {
        Reply reply;
        if (!Receive(reply)) {
            return false;
        }
        // Changed rows answer only a question that asked for them, in every part of the answer.
        const bool changedRows = reply.Kind == ReplyKind::TableChanges;
        if (changedRows && (kind != RequestKind::ReadTableChanges ||
                            (index > 0 && reply.TableRows != tableRows))) {
            return Broken(ChannelFailure::WrongAnswer,
                          "sent changed rows that answer no question asked");
        }
        tableRows = reply.TableRows;
        if (index == 0) {
            changedAnswer = changedRows;
        }
        if (!Answers(reply, changedRows ? ReplyKind::TableChanges : ReplyKind::TableChunk)) {
            return false;
        }
        // Every change told before the answer is in it.
        changed_ = false;
        if (reply.Kind == ReplyKind::TableFailed) {
            return true;  // the helper could not read it this time; nothing is wrong with it
        }
        if (reply.Kind == ReplyKind::Unchanged) {
            // Unchanged since what it sent unasked.
            result = ApplyPushed(rows, changes) ? ReadResult::Changed : ReadResult::Unchanged;
            return true;
        }
        if (reply.ChunkIndex != index || changedRows != changedAnswer) {
            return Broken(ChannelFailure::WrongAnswer,
                          "sent part " + std::to_string(reply.ChunkIndex) +
                              " of the table for part " + std::to_string(index));
        }
        rows_.insert(rows_.end(), chunkRows_.begin(), chunkRows_.end());
        indices_.insert(indices_.end(), chunkIndices_.begin(), chunkIndices_.end());
        if (!reply.LastChunk) {
            deadline_ += kPartAllowance;
            continue;
        }
        if (changedRows) {
            if (!ApplyChanges(tableRows, rows, changes)) {
                return false;
            }
        } else {
            // The whole table, newer than whatever came before it.
            rows.swap(rows_);
            DropPushed();
            changes.Whole = true;
            changes.Rows.clear();
        }
        result = ReadResult::Changed;
        return true;
    }
}

bool HelperChannel::ApplyChanges(std::uint32_t tableRows, std::vector<TcpRow>& rows,
                                 TableChanges& changes) {
    // Ascending and distinct: each row is named once, and every index below the row count.
    if (std::adjacent_find(indices_.begin(), indices_.end(), std::greater_equal<>()) !=
        indices_.end()) {
        return Broken(ChannelFailure::WrongAnswer, "sent changed rows out of order");
    }
    if (!ApplyPushed(rows, changes)) {
        changes.Whole = false;
        changes.Rows.clear();
    }
    rows.resize(tableRows);
    for (std::size_t i = 0; i < indices_.size(); ++i) {
        rows[indices_[i]] = rows_[i];
    }
    if (changes.Rows.empty()) {
        changes.Rows.assign(indices_.begin(), indices_.end());
        return true;
    }
    changes.Rows.insert(changes.Rows.end(), indices_.begin(), indices_.end());
    KeepDistinctBelow(changes.Rows, rows.size());
    return true;
}

bool HelperChannel::ApplyPushed(std::vector<TcpRow>& rows, TableChanges& changes) {
    if (pushed_.empty()) {
        return false;
    }
    changes.Whole = false;
    changes.Rows.clear();
    std::size_t first = 0;
    for (const Pushed& each : pushed_) {
        rows.resize(each.TableRows);
        for (std::size_t i = first; i < each.End; ++i) {
            rows[pushedIndices_[i]] = pushedRows_[i];
            changes.Rows.push_back(pushedIndices_[i]);
        }
        first = each.End;
    }
    // Each sending ascends on its own.
    if (pushed_.size() > 1) {
        KeepDistinctBelow(changes.Rows, rows.size());
    }
    DropPushed();
    return true;
}

void HelperChannel::DropPushed() {
    // A sending still under way keeps its parts so far.
    const std::size_t done = pushed_.empty() ? 0 : pushed_.back().End;
    pushedRows_.erase(pushedRows_.begin(), pushedRows_.begin() + static_cast<std::ptrdiff_t>(done));
    pushedIndices_.erase(pushedIndices_.begin(),
                         pushedIndices_.begin() + static_cast<std::ptrdiff_t>(done));
    pushed_.clear();
}

bool HelperChannel::KeepPushed(const Reply& reply) {
    const bool follows =
        reply.ChunkIndex == pushPart_ && (pushPart_ == 0 || reply.TableRows == pushTableRows_) &&
        std::adjacent_find(chunkIndices_.begin(), chunkIndices_.end(), std::greater_equal<>()) ==
            chunkIndices_.end() &&
        (pushPart_ == 0 || chunkIndices_.empty() || chunkIndices_.front() > pushedIndices_.back());
    if (!follows) {
        return Broken(ChannelFailure::WrongAnswer, "sent changed rows unasked out of order");
    }
    // More than a table holds: a helper gone wrong, or a program that stopped reading.
    if (pushedRows_.size() + chunkRows_.size() > kMaxTableRows) {
        return Broken(ChannelFailure::WrongAnswer, "sent more changed rows than a table holds");
    }
    pushedRows_.insert(pushedRows_.end(), chunkRows_.begin(), chunkRows_.end());
    pushedIndices_.insert(pushedIndices_.end(), chunkIndices_.begin(), chunkIndices_.end());
    pushTableRows_ = reply.TableRows;
    // A part of fewer than kRowsPerChunk rows ends the sending, even an empty one.
    if (chunkRows_.size() == kRowsPerChunk) {
        ++pushPart_;
        return true;
    }
    pushPart_ = 0;
    pushed_.push_back({reply.TableRows, pushedRows_.size()});
    return true;
}

bool HelperChannel::Watch(PollingCause& polling) {
    Reply reply;
    if (!Send(RequestKind::WatchTable) || !Receive(reply) || !Answers(reply, ReplyKind::Watching)) {
        return false;
    }
    polling = reply.Polling;
    return true;
}

bool HelperChannel::TakeNews(bool& told) {
    for (;;) {
        Reply reply;
        bool received = false;
        if (!ReceiveWaiting(reply, received)) {
            return false;
        }
        if (!received) {
            told = std::exchange(changed_, false);
            return true;
        }
        bool taken = false;
        if (!TakeUnasked(reply, taken)) {
            return false;
        }
        if (!taken) {
            return Broken(ChannelFailure::WrongAnswer, "sent an answer nobody asked for");
        }
    }
}

bool HelperChannel::TakeUnasked(const Reply& reply, bool& taken) {
    taken = reply.Sequence == 0 &&
            (reply.Kind == ReplyKind::TableChanged || reply.Kind == ReplyKind::TableChanges ||
             reply.Kind == ReplyKind::Missed);
    // The parts of changed rows come one after the other, nothing else between them.
    if ((!taken || reply.Kind == ReplyKind::Missed) && pushPart_ != 0) {
        return Broken(ChannelFailure::WrongAnswer, "broke off changed rows it sent unasked");
    }
    if (!taken) {
        return true;
    }
    if (reply.Kind == ReplyKind::Missed) {
        const std::size_t room = kMaxMissedRows - std::min(kMaxMissedRows, missed_.size());
        missed_.insert(
            missed_.end(), chunkRows_.begin(),
            chunkRows_.begin() + static_cast<std::ptrdiff_t>(std::min(room, chunkRows_.size())));
        return true;
    }
    if (reply.Kind == ReplyKind::TableChanges) {
        return KeepPushed(reply);
    }
    changed_ = true;
    return true;
}

void HelperChannel::TakeMissed(std::vector<TcpRow>& rows) {
    rows.clear();
    rows.swap(missed_);
}

ConnectionOwner HelperChannel::Owner(std::uint32_t pid) const {
    const auto owner = pid != 0 ? owners_.find(pid) : owners_.end();
    return owner != owners_.end() ? owner->second : ConnectionOwner{};
}

bool HelperChannel::Close(const TcpRow& row, bool& closed) {
    closed = false;
    if (!CanNameConnection(row)) {
        return true;
    }
    Reply reply;
    if (!Send(RequestKind::CloseConnection, row) || !Receive(reply) ||
        !Answers(reply, ReplyKind::Closed)) {
        return false;
    }
    closed = reply.Closed;
    return true;
}

bool HelperChannel::Ask(CloseAbility& ability) {
    Reply reply;
    if (!Send(RequestKind::CanCloseConnections) || !Receive(reply) ||
        !Answers(reply, ReplyKind::Ability)) {
        return false;
    }
    ability = reply.Ability;
    return true;
}

bool HelperChannel::SetRules(const BlockingRules& rules, FilterCause& filtered) {
    std::vector<std::vector<std::uint8_t>> parts;
    // Prefixes that do not fit are left out, and the filter holds back nothing.
    const bool fits = EncodeRulesRequest(NextSequence(), rules, parts);
    Reply reply;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const ReplyKind taken = i + 1 < parts.size() ? ReplyKind::Unchanged : ReplyKind::Filtering;
        if (!SendRecord(parts[i]) || !Receive(reply) || !Answers(reply, taken)) {
            return false;
        }
    }
    filtered = reply.Filter;
    if (!fits && filtered.Holds()) {
        filtered = {FilterCause::Kind::TooManyAddresses};
    }
    return true;
}

bool HelperChannel::Send(RequestKind kind, const TcpRow& connection) {
    Request request;
    request.Kind = kind;
    request.Sequence = NextSequence();
    request.Connection = connection;
    RequestBytes bytes;
    if (!EncodeRequest(request, bytes)) {
        // Never for a close: CanNameConnection is checked before.
        return Broken(ChannelFailure::BadRequest, "a request could not be written");
    }
    return SendRecord(bytes);
}

std::uint32_t HelperChannel::NextSequence() {
    // 0 marks what the helper sends unasked, also after the count wraps.
    if (++sequence_ == 0) {
        ++sequence_;
    }
    return sequence_;
}

bool HelperChannel::SendRecord(std::span<const std::uint8_t> record) {
    deadline_ = Clock::now() + timeout_;
    ssize_t sent;
    do {
        // Never waits: one request at a time (the largest well within the socket's buffer)
        // always fits unless the helper stopped reading altogether.
        sent = ::send(socket_, record.data(), record.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        return errno == EPIPE || errno == ECONNRESET
                   ? Ended()
                   : Broken(ChannelFailure::SocketError, ErrorText("send"));
    }
    return true;
}

bool HelperChannel::Receive(Reply& reply) {
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
        if (left <= 0) {
            return Broken(ChannelFailure::NoAnswer,
                          "did not answer within " + std::to_string(timeout_.count()) + " ms");
        }
        pollfd ready{socket_, POLLIN, 0};
        const int polled = ::poll(&ready, 1, static_cast<int>(left));
        if (polled < 0 && errno != EINTR) {
            return Broken(ChannelFailure::SocketError, ErrorText("poll"));
        }
        bool received = false;
        if (polled > 0 && !ReceiveWaiting(reply, received)) {
            return false;
        }
        bool unasked = false;
        if (received && !TakeUnasked(reply, unasked)) {
            return false;
        }
        if (received && !unasked) {
            return true;
        }
        // Sent unasked between answers; the answer awaited is still to come.
    }
}

bool HelperChannel::ReceiveWaiting(Reply& reply, bool& received) {
    received = false;
    ssize_t length;
    do {
        length = ::recv(socket_, buffer_.data(), buffer_.size(), MSG_TRUNC | MSG_DONTWAIT);
    } while (length < 0 && errno == EINTR);
    if (length < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return true;
    }
    if (length < 0) {
        return errno == ECONNRESET ? Ended()
                                   : Broken(ChannelFailure::SocketError, ErrorText("recv"));
    }
    if (length == 0) {
        return Ended();  // the helper never sends an empty message
    }
    const auto size = static_cast<std::size_t>(length);
    const std::span<const std::uint8_t> bytes(buffer_.data(), std::min(size, buffer_.size()));
    chunkRows_.clear();
    chunkIndices_.clear();
    chunkOwners_.clear();
    if (!DecodeReply(bytes, size, reply, chunkRows_, chunkIndices_, &chunkOwners_)) {
        return Broken(ChannelFailure::WrongAnswer,
                      "sent a message that is no answer (" + std::to_string(size) + " bytes)");
    }
    constexpr std::size_t kMaxOwners = 65536;
    for (const ConnectionOwner& owner : chunkOwners_) {
        if (owner.Known()) {
            if (owners_.size() >= kMaxOwners) {
                owners_.clear();
            }
            owners_[owner.Pid] = owner;
        }
    }
    received = true;
    return true;
}

bool HelperChannel::Answers(const Reply& reply, ReplyKind expected) {
    if (reply.Sequence != sequence_) {
        return Broken(ChannelFailure::WrongAnswer, "answered request " +
                                                       std::to_string(reply.Sequence) +
                                                       " instead of " + std::to_string(sequence_));
    }
    if (reply.Kind == ReplyKind::Refused) {
        return Broken(ChannelFailure::Refused,
                      std::string("refused the request (") + RefusalName(reply.Reason) + ")");
    }
    const bool tableAnswer =
        expected == ReplyKind::TableChunk &&
        (reply.Kind == ReplyKind::TableFailed || reply.Kind == ReplyKind::Unchanged);
    if (reply.Kind != expected && !tableAnswer) {
        return Broken(ChannelFailure::WrongAnswer, "gave an answer of another kind");
    }
    return true;
}

bool HelperChannel::Broken(ChannelFailure failure, std::string problem) {
    failure_ = failure;
    problem_ = std::move(problem);
    return false;
}

}  // namespace quarnel::platform
