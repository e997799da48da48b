#include "platform/linux/HelperChannel.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace quarnel::platform {

namespace {

using Clock = std::chrono::steady_clock;

std::string ErrorText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

bool HelperChannel::ReadTable(std::vector<TcpRow>& rows, bool& read) {
    read = false;
    ReadResult result = ReadResult::Failed;
    if (!ReadRows(RequestKind::ReadTable, rows, result)) {
        return false;
    }
    read = result == ReadResult::Changed;
    return true;
}

bool HelperChannel::ReadTableIfChanged(std::vector<TcpRow>& rows, ReadResult& result) {
    return ReadRows(RequestKind::ReadTableIfChanged, rows, result);
}

bool HelperChannel::ReadRows(RequestKind kind, std::vector<TcpRow>& rows, ReadResult& result) {
    result = ReadResult::Failed;
    if (!Send(kind)) {
        return false;
    }
    rows_.clear();
    for (std::uint16_t index = 0;; ++index) {
        Reply reply;
        if (!Receive(reply) || !Answers(reply, ReplyKind::TableChunk)) {
            return false;
        }
        // Every change told before the answer is in it.
        changed_ = false;
        if (reply.Kind == ReplyKind::TableFailed) {
            return true;  // the helper could not read it this time; nothing is wrong with it
        }
        if (reply.Kind == ReplyKind::Unchanged) {
            result = ReadResult::Unchanged;
            return true;
        }
        if (reply.ChunkIndex != index) {
            return Broken(ChannelFailure::WrongAnswer,
                          "sent part " + std::to_string(reply.ChunkIndex) +
                              " of the table for part " + std::to_string(index));
        }
        if (reply.LastChunk) {
            rows.swap(rows_);
            result = ReadResult::Changed;
            return true;
        }
        deadline_ += kPartAllowance;
    }
}

bool HelperChannel::Watch(PollingCause& polling) {
    Reply reply;
    if (!Send(RequestKind::WatchTable) || !Receive(reply) || !Answers(reply, ReplyKind::Watching)) {
        return false;
    }
    polling = reply.Polling;
    return true;
}

bool HelperChannel::TakeChange(bool& changed) {
    for (;;) {
        Reply reply;
        bool received = false;
        if (!ReceiveWaiting(reply, received)) {
            return false;
        }
        if (!received) {
            changed = std::exchange(changed_, false);
            return true;
        }
        if (reply.Kind != ReplyKind::TableChanged) {
            return Broken(ChannelFailure::WrongAnswer, "sent an answer nobody asked for");
        }
        changed_ = true;
    }
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

bool HelperChannel::Send(RequestKind kind, const TcpRow& connection) {
    Request request;
    request.Kind = kind;
    request.Sequence = ++sequence_;
    request.Connection = connection;
    RequestBytes bytes;
    if (!EncodeRequest(request, bytes)) {
        // Never for a close: CanNameConnection is checked before.
        return Broken(ChannelFailure::BadRequest, "a request could not be written");
    }
    deadline_ = Clock::now() + timeout_;
    ssize_t sent;
    do {
        // Never waits: one small request at a time always fits unless the helper stopped
        // reading altogether.
        sent = ::send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
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
        if (!received) {
            continue;
        }
        if (reply.Kind != ReplyKind::TableChanged) {
            return true;
        }
        changed_ = true;  // told between answers; the answer awaited is still to come
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
    if (!DecodeReply(bytes, size, reply, rows_)) {
        return Broken(ChannelFailure::WrongAnswer,
                      "sent a message that is no answer (" + std::to_string(size) + " bytes)");
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
