#include "platform/linux/helper/HelperServer.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

namespace quarnel::platform {

HelperServer::HelperServer(int socket, TcpTableSource& table, SocketLookup& sockets, std::FILE* log,
                           PollingCause polling, RulesFilter* filter, FilterCause filtered)
    : socket_(socket, kMaxRequestSize),
      table_(table),
      sockets_(sockets),
      log_(log),
      polling_(polling),
      filter_(filter),
      filtered_(filter && !filtered.Netfilter ? FilterCause{} : filtered) {}

bool HelperServer::Run() {
    for (;;) {
        // The table's descriptor stays readable until the next read: looked at only while the
        // program has not been told to ask.
        pollfd ready[2] = {{socket_.Descriptor(), POLLIN, 0}, {-1, POLLIN, 0}};
        if (watched_ && !told_) {
            ready[1].fd = table_.WaitDescriptor();
        }
        if (::poll(ready, 2, Settle()) < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::fprintf(log_, "quarnel-helper: cannot wait: %s\n", std::strerror(errno));
            return false;
        }
        // A request first: a read's answer carries the table's news too.
        if (ready[0].revents == 0) {
            if ((ready[1].revents & POLLIN) != 0 && !SendNews()) {
                return socket_.Ended();
            }
            continue;
        }
        switch (ServeOne()) {
            case ServeStep::Answered:
            case ServeStep::Refused:
                break;
            case ServeStep::Ended:
                return true;
            case ServeStep::Failed:
                return false;
        }
    }
}

bool HelperServer::SendNews() {
    if (!inSync_) {
        return TellChange();  // the program reads the table whole first
    }
    const ReadResult read = table_.Read(rows_, &changes_);
    if (!SendMissed()) {
        return false;
    }
    if (read == ReadResult::Unchanged) {
        return true;
    }
    if (read == ReadResult::Changed && !changes_.Whole && rows_.size() <= kMaxTableRows) {
        Reply reply;  // sequence 0: unasked
        return SendChanges(reply);
    }
    // A read that failed or that only the whole table answers: the program asks for it.
    inSync_ = read == ReadResult::Failed;
    return TellChange();
}

ServeStep HelperServer::ServeOne() {
    const std::optional<RequestSocket::Message> message = socket_.Receive();
    if (!message) {
        if (!socket_.Ended()) {
            std::fprintf(log_, "quarnel-helper: cannot read a request: %s\n",
                         std::strerror(socket_.Error()));
        }
        return socket_.Ended() ? ServeStep::Ended : ServeStep::Failed;
    }
    Request request;
    const Refusal refusal =
        message->Checked(DecodeRequest(message->Bytes, message->Length, request));
    if (refusal != Refusal::None) {
        return Refuse(request.Sequence, refusal, message->Length, RefusalName(refusal));
    }

    Reply reply;
    reply.Sequence = request.Sequence;
    bool sent = false;
    switch (request.Kind) {
        case RequestKind::ReadTable:
        case RequestKind::ReadTableChanges:
            sent = AnswerTable(request);
            told_ = false;
            // A table that cannot tell when it changes may have changed by the next pass.
            if (sent && watched_ && table_.WaitDescriptor() < 0) {
                sent = TellChange();
            }
            break;
        case RequestKind::WatchTable:
            watched_ = true;
            reply.Kind = ReplyKind::Watching;
            reply.Polling = polling_;
            sent = Send(reply);
            // A table that cannot tell may have changed since any earlier read.
            if (sent && table_.WaitDescriptor() < 0) {
                sent = TellChange();
            }
            break;
        case RequestKind::CloseConnection:
            return AnswerClose(request);
        case RequestKind::CanCloseConnections:
            reply.Kind = ReplyKind::Ability;
            reply.Ability = table_.CanCloseConnections();
            sent = Send(reply);
            break;
        case RequestKind::SetRules:
            if (const Refusal order = rulesParts_.Take(request); order != Refusal::None) {
                return Refuse(request.Sequence, order, message->Length,
                              "a rules part out of order");
            }
            if (request.MoreRules) {
                reply.Kind = ReplyKind::Unchanged;  // taken: the next part may come
                sent = Send(reply);
            } else {
                sent = AnswerRules(request);
            }
            break;
    }
    return socket_.After(sent, ServeStep::Answered);
}

ServeStep HelperServer::Refuse(std::uint32_t sequence, Refusal reason, std::size_t length,
                               const char* why) {
    std::fprintf(log_, "quarnel-helper: refused request %u (%zu bytes): %s\n", sequence, length,
                 why);
    std::fflush(log_);
    Reply reply;
    reply.Kind = ReplyKind::Refused;
    reply.Sequence = sequence;
    reply.Reason = reason;
    return socket_.After(Send(reply), ServeStep::Refused);
}

ServeStep HelperServer::AnswerClose(const Request& request) {
    Reply reply;
    reply.Kind = ReplyKind::Closed;
    reply.Sequence = request.Sequence;
    // The cookie names one socket for its whole life, so the socket looked up is the one a
    // close would reach.
    TcpState state = TcpState::Unknown;
    switch (sockets_.LookUp(request.Connection, state)) {
        case SocketLookup::Found::Socket:
            if (state == TcpState::Listening) {
                // Only ever a connection: a listener's clients would all be turned away.
                return Refuse(request.Sequence, Refusal::Malformed, kRequestSize,
                              "names a listener, not a connection");
            }
            reply.Closed = table_.CloseConnection(request.Connection);
            if (reply.Closed && audit_) {
                audit_(request.Connection);
            }
            break;
        case SocketLookup::Found::NoSocket:
            break;  // gone already: not closed, as a close would answer
        case SocketLookup::Found::Failed:
            // Unchecked, it is not closed; the program asks again on its next pass.
            std::fprintf(log_, "quarnel-helper: cannot look up the socket of request %u\n",
                         request.Sequence);
            std::fflush(log_);
            break;
    }
    return socket_.After(Send(reply), ServeStep::Answered);
}

bool HelperServer::AnswerRules(const Request& request) {
    // The table wakes this helper for the connections they may block: it watches their ports.
    table_.SetRules(request.Rules);
    if (filter_ != nullptr) {
        FilterCause why;
        // Without the allowed addresses, the ports alone would block too much: nothing then.
        (void)filter_->SetRules(request.AddressesLeftOut ? BlockingRules{} : request.Rules,
                                why);  // why tells the program what failed
        Filtered(why);
    }
    Reply reply;
    reply.Kind = ReplyKind::Filtering;
    reply.Sequence = request.Sequence;
    reply.Filter = filtered_;
    return Send(reply);
}

bool HelperServer::TellChange() {
    told_ = true;
    Reply reply;
    reply.Kind = ReplyKind::TableChanged;
    return Send(reply);
}

bool HelperServer::AnswerTable(const Request& request) {
    Reply reply;
    reply.Sequence = request.Sequence;
    changes_.Whole = true;
    const ReadResult read =
        table_.Read(rows_, request.Kind == RequestKind::ReadTableChanges ? &changes_ : nullptr);
    if (!SendMissed()) {
        return false;
    }
    if (read == ReadResult::Failed || rows_.size() > kMaxTableRows) {
        // The program reads the whole table next: nothing is sent unasked until then.
        inSync_ = false;
        reply.Kind = ReplyKind::TableFailed;
        reply.Failure =
            rows_.size() > kMaxTableRows ? TableFailure::TooManyRows : TableFailure::ReadFailed;
        return Send(reply);
    }
    // A program that may not hold the helper's rows is given them all.
    const bool held = std::exchange(inSync_, true);
    if (held && read == ReadResult::Unchanged) {
        reply.Kind = ReplyKind::Unchanged;
        return Send(reply);
    }
    if (held && !changes_.Whole) {
        return SendChanges(reply);
    }
    reply.Kind = ReplyKind::TableChunk;
    const std::span<const TcpRow> rows(rows_);
    std::size_t first = 0;
    do {
        const std::size_t count = std::min(kRowsPerChunk, rows.size() - first);
        reply.LastChunk = first + count == rows.size();
        if (!Send(reply, rows.subspan(first, count))) {
            return false;
        }
        first += count;
        ++reply.ChunkIndex;
    } while (first < rows.size());
    return true;
}

bool HelperServer::SendChanges(Reply& reply) {
    reply.Kind = ReplyKind::TableChanges;
    reply.TableRows = static_cast<std::uint32_t>(rows_.size());
    const std::vector<std::size_t>& changed = changes_.Rows;
    std::size_t first = 0;
    // A chunk of fewer than kRowsPerChunk rows ends the answer, even an empty one.
    for (;;) {
        const std::size_t count = std::min(kRowsPerChunk, changed.size() - first);
        chunkRows_.clear();
        chunkIndices_.clear();
        for (std::size_t i = first; i < first + count; ++i) {
            chunkRows_.push_back(rows_[changed[i]]);
            chunkIndices_.push_back(static_cast<std::uint32_t>(changed[i]));
        }
        if (!Send(reply, chunkRows_, chunkIndices_)) {
            return false;
        }
        if (count < kRowsPerChunk) {
            return true;
        }
        first += count;
        ++reply.ChunkIndex;
    }
}

bool HelperServer::SendMissed() {
    table_.TakeMissed(missed_);
    if (!watched_) {
        return true;
    }
    // Only rows a record can carry: none of them could be closed anyway.
    std::erase_if(missed_, [](const TcpRow& row) { return !CanNameConnection(row); });
    missed_.resize(std::min(missed_.size(), kMaxMissedRows));
    Reply reply;  // sequence 0: unasked, before the answer
    reply.Kind = ReplyKind::Missed;
    const std::span<const TcpRow> rows(missed_);
    for (std::size_t first = 0; first < rows.size(); first += kRowsPerChunk) {
        if (!Send(reply, rows.subspan(first, std::min(kRowsPerChunk, rows.size() - first)))) {
            return false;
        }
    }
    return true;
}

bool HelperServer::Send(const Reply& reply, std::span<const TcpRow> rows,
                        std::span<const std::uint32_t> indices) {
    const std::size_t size = EncodeReply(reply, rows, reply_, indices,
                                         [this](const TcpRow& row) { return table_.Owner(row); });
    if (size == 0) {
        // A row the record cannot carry: the read fails rather than lying about a row.
        std::fprintf(log_, "quarnel-helper: a table row cannot be sent; the read fails\n");
        Reply failed;
        failed.Kind = ReplyKind::TableFailed;
        failed.Sequence = reply.Sequence;
        return Send(failed);
    }
    if (socket_.Send(std::span(reply_).first(size))) {
        return true;
    }
    if (!socket_.Ended()) {
        std::fprintf(log_, "quarnel-helper: cannot send an answer: %s\n",
                     socket_.Error() != 0 ? std::strerror(socket_.Error()) : "sent in part");
    }
    return false;
}

void HelperServer::Filtered(const FilterCause& why) {
    if (why != filtered_ && !why.Holds()) {
        std::fprintf(log_, "quarnel-helper: the payload filter holds back nothing: %s\n",
                     why.Text().c_str());
        std::fflush(log_);
    }
    filtered_ = why;
}

int HelperServer::Settle() {
    if (filter_ == nullptr) {
        return -1;
    }
    const RulesFilter::Clock::time_point now = RulesFilter::Clock::now();
    // A failure is logged here and told with the answer to the next rules.
    if (FilterCause why; filter_->Settle(now, why)) {
        Filtered(why);
    }
    const std::optional<RulesFilter::Clock::time_point> at = filter_->SettleAt();
    if (!at) {
        return -1;
    }
    return static_cast<int>(
        std::chrono::ceil<std::chrono::milliseconds>(std::max(*at - now, {})).count());
}

}  // namespace quarnel::platform
