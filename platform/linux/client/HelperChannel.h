#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/TcpTableSource.h"
#include "platform/linux/protocol/HelperProtocol.h"

namespace quarnel::platform {

// How the conversation with the helper broke.
enum class ChannelFailure {
    None,
    Ended,        // the helper closed its end or went away
    NoAnswer,     // nothing answered the question within the timeout
    SocketError,  // a call on the socket failed
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
    // As ReadTable, but the helper may answer Unchanged (rows untouched), or with only the rows
    // that changed since it last answered a read, which are changed in rows, as changes tells. rows
    // must hold every row of the helper's earlier answers.
    [[nodiscard]] bool ReadTableChanges(std::vector<TcpRow>& rows, TableChanges& changes,
                                        ReadResult& result);
    // Asks the helper to send the table's changes from now on; polling says how it keeps the
    // table.
    [[nodiscard]] bool Watch(PollingCause& polling);
    // Without waiting: takes what the helper sent unasked since. told tells whether it said
    // that only a read fetches the change; the rows it sent wait for ApplyPushed or the next
    // read (which applies them before its answer's, or drops them for a whole table).
    [[nodiscard]] bool TakeNews(bool& told);
    // Applies the changed rows the helper sent unasked, whole sendings in the order they came,
    // to rows (which must hold every row of its earlier answers and sendings); changes tells
    // which. False, with rows untouched, when there were none.
    bool ApplyPushed(std::vector<TcpRow>& rows, TableChanges& changes);
    // The connections the helper sent as missed (established and gone before a read handed
    // them out) since the last call; at most kMaxMissedRows, the rest dropped.
    void TakeMissed(std::vector<TcpRow>& rows);
    // The owner the helper last sent for pid; none when it sent none.
    ConnectionOwner Owner(std::uint32_t pid) const;
    // closed tells whether the helper closed the connection. A row that cannot be named (see
    // CanNameConnection) is not sent and not closed.
    [[nodiscard]] bool Close(const TcpRow& row, bool& closed);
    [[nodiscard]] bool Ask(CloseAbility& ability);
    // Hands the helper the rules; filtered tells whether its kernel filter holds back what they
    // block, and if not, why. Of rules with more addresses than the filter holds only the
    // ports are sent, for the helper to watch their connections: its filter is told to block
    // nothing instead, and filtered says why.
    [[nodiscard]] bool SetRules(const BlockingRules& rules, FilterCause& filtered);

    ChannelFailure Failure() const { return failure_; }
    const std::string& Problem() const { return problem_; }

private:
    [[nodiscard]] bool Send(RequestKind kind, const TcpRow& connection = {});
    [[nodiscard]] bool ReadRows(RequestKind kind, std::vector<TcpRow>& rows, ReadResult& result,
                                TableChanges& changes);
    // Puts the changed rows of an answer into rows after the ones sent before it; false when
    // they contradict themselves.
    [[nodiscard]] bool ApplyChanges(std::uint32_t tableRows, std::vector<TcpRow>& rows,
                                    TableChanges& changes);
    // Keeps a part of changed rows sent unasked (in chunkRows_); false when it does not follow
    // the parts before it.
    [[nodiscard]] bool KeepPushed(const Reply& reply);
    // Forgets the whole sendings kept so far.
    void DropPushed();
    std::uint32_t NextSequence();
    [[nodiscard]] bool SendRecord(std::span<const std::uint8_t> record);
    // Waits for the next message of the answer and decodes it into reply, its rows into
    // chunkRows_ and chunkIndices_. What the helper sends unasked meanwhile is taken as
    // TakeNews takes it.
    [[nodiscard]] bool Receive(Reply& reply);
    // Receives one message that is already there; false with nothing read when none is.
    [[nodiscard]] bool ReceiveWaiting(Reply& reply, bool& received);
    // Takes reply when the helper sent it unasked (taken true); false when it may not.
    [[nodiscard]] bool TakeUnasked(const Reply& reply, bool& taken);
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
    std::vector<TcpRow> rows_;                  // the read in progress
    std::vector<std::uint32_t> indices_;        // the indices of its rows, for changed rows
    std::vector<TcpRow> chunkRows_;             // the message just received
    std::vector<std::uint32_t> chunkIndices_;   // and the indices of its rows
    std::vector<ConnectionOwner> chunkOwners_;  // and their owners
    // The owners of the rows the helper sent, once per process; bounded, the oldest forgotten
    // all at once, when the next rows name their owners anew.
    std::unordered_map<std::uint32_t, ConnectionOwner> owners_;
    bool changed_ = false;  // the helper told of a change that no read has fetched yet
    // What the helper sent unasked and no read has taken: its rows and their indices, and for
    // each whole sending the table's row count and where its rows end.
    struct Pushed {
        std::uint32_t TableRows = 0;
        std::size_t End = 0;
    };
    std::vector<Pushed> pushed_;
    std::vector<TcpRow> pushedRows_;
    std::vector<std::uint32_t> pushedIndices_;
    // A sending that came in part so far: the next part's index (0 when none is under way)
    // and the table's row count it gives.
    std::uint16_t pushPart_ = 0;
    std::uint32_t pushTableRows_ = 0;
    std::vector<TcpRow> missed_;  // sent as missed and not taken yet
};

}  // namespace quarnel::platform
