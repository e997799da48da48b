#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/TcpTableSource.h"
#include "platform/linux/HelperProtocol.h"

namespace quarnel::platform {

// How the conversation with the helper broke.
enum class ChannelFailure {
    None,
    Ended,        // the helper closed its end or went away
    NoAnswer,     // nothing answered the question within the timeout
    SocketError,  // the system refused a call on the socket
    Refused,      // the helper refused the request
    WrongAnswer,  // a message that does not answer the question asked
    BadRequest,   // a request that cannot be written
};

// The program's side of the conversation with quarnel-helper over one end of the socketpair.
// Each call asks one question and gives the whole answer one deadline: the timeout, and for a
// table sent in parts kPartAllowance more for every part received, so that the largest table
// (kMaxTableRows) has time on a busy machine while a helper that trickles its parts is given up
// as soon as it falls behind.
// A call returns false when the helper broke; Failure() then says how, for the program to act
// on, and Problem() says it in words, for the user.
class HelperChannel {
public:
    HelperChannel(int socket, std::chrono::milliseconds timeout)
        : socket_(socket), timeout_(timeout) {}

    // What a part of a table adds to the deadline: far more than sending it takes.
    static constexpr std::chrono::milliseconds kPartAllowance{10};

    void SetTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }

    // read tells whether the helper could read the table; rows are replaced only then.
    [[nodiscard]] bool ReadTable(std::vector<TcpRow>& rows, bool& read);
    // As ReadTable, but the helper answers Unchanged (rows untouched) when the table is as it
    // last answered a read.
    [[nodiscard]] bool ReadTableIfChanged(std::vector<TcpRow>& rows, ReadResult& result);
    // Asks the helper to tell when the table changes; polling says how it keeps the table.
    [[nodiscard]] bool Watch(PollingCause& polling);
    // Without waiting: whether the helper told that the table changed since the last read.
    [[nodiscard]] bool TakeChange(bool& changed);
    // closed tells whether the helper closed the connection. A row that cannot be named (see
    // CanNameConnection) is not sent and not closed.
    [[nodiscard]] bool Close(const TcpRow& row, bool& closed);
    [[nodiscard]] bool Ask(CloseAbility& ability);

    ChannelFailure Failure() const { return failure_; }
    const std::string& Problem() const { return problem_; }

private:
    [[nodiscard]] bool Send(RequestKind kind, const TcpRow& connection = {});
    [[nodiscard]] bool ReadRows(RequestKind kind, std::vector<TcpRow>& rows, ReadResult& result);
    // Waits for the next message of the answer and decodes it into reply; a chunk's rows are
    // appended to rows_. A change the helper tells meanwhile is noted in changed_.
    [[nodiscard]] bool Receive(Reply& reply);
    // Receives one message that is already there; false with nothing read when none is.
    [[nodiscard]] bool ReceiveWaiting(Reply& reply, bool& received);
    // Whether reply answers the question asked, with one of the kinds expected.
    [[nodiscard]] bool Answers(const Reply& reply, ReplyKind expected);
    [[nodiscard]] bool Broken(ChannelFailure failure, std::string problem);
    [[nodiscard]] bool Ended() { return Broken(ChannelFailure::Ended, "ended"); }

    int socket_;
    std::chrono::milliseconds timeout_;
    std::chrono::steady_clock::time_point deadline_{};  // of the answer to the last question
    std::uint32_t sequence_ = 0;
    ChannelFailure failure_ = ChannelFailure::None;
    std::string problem_;
    std::array<std::uint8_t, kMaxReplySize> buffer_{};
    std::vector<TcpRow> rows_;  // the read in progress
    bool changed_ = false;      // the helper told of a change that no read has fetched yet
};

}  // namespace quarnel::platform
