#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include "platform/TcpTableSource.h"
#include "platform/linux/filter/RulesFilter.h"
#include "platform/linux/privileges/RequestSocket.h"
#include "platform/linux/protocol/HelperProtocol.h"
#include "platform/linux/sockdiag/SocketLookup.h"

namespace quarnel::platform {

// The helper's side of the conversation: answers the program's requests on socket (one end of a
// SOCK_SEQPACKET socketpair) with the table's operations, one request at a time. Whatever is
// not a sound request is refused, logged and never acted on, and serving goes on. Once the
// program asks to watch the table, Run also sends it the rows that changed whenever the table's
// descriptor turns readable, or tells it to read when only a read fetches the change (at once
// and after every read, when the table cannot tell), and after every read the connections that
// came and went before any read handed them out. polling is how the table is kept, as the
// program is told.
//
// A close is carried out only for a connection: the socket it names is looked up in sockets
// first, and a listener is refused like a malformed request (the program never names one).
//
// Rules go to filter, which holds back the payload of what they block (without one, null, the
// program is told filtered, why not), and to the table, which may then tell of new connections
// only where they may block them.
class HelperServer {
public:
    HelperServer(int socket, TcpTableSource& table, SocketLookup& sockets, std::FILE* log,
                 PollingCause polling = {}, RulesFilter* filter = nullptr,
                 FilterCause filtered = {FilterCause::Kind::NotBuilt});

    // Told of each connection closed at the program's request, after the close: the audit.
    using CloseAudit = std::function<void(const TcpRow& row)>;
    void AuditClosesTo(CloseAudit audit) { audit_ = std::move(audit); }

    // Reads one request and answers it.
    ServeStep ServeOne();
    // Serves, and tells of changes, until the program goes (true) or the socket fails (false).
    [[nodiscard]] bool Run();

private:
    [[nodiscard]] bool Send(const Reply& reply, std::span<const TcpRow> rows = {},
                            std::span<const std::uint32_t> indices = {});
    [[nodiscard]] bool AnswerTable(const Request& request);
    // Sends the rows of changes_ (at most kRowsPerChunk at a time) with their indices.
    [[nodiscard]] bool SendChanges(Reply& reply);
    // Closes the connection the request names, or refuses; Answered, Refused or how it failed.
    ServeStep AnswerClose(const Request& request);
    // Answers Refused, and logs the request's sequence, length and why.
    ServeStep Refuse(std::uint32_t sequence, Refusal reason, std::size_t length, const char* why);
    // Tells the program that the table may have changed; false when the socket failed.
    [[nodiscard]] bool TellChange();
    // The table's descriptor turned readable: sends the program the rows that changed, or tells
    // it to read; false when the socket failed.
    [[nodiscard]] bool SendNews();
    [[nodiscard]] bool AnswerRules(const Request& request);
    // Keeps what the filter answered, logging once that it holds back nothing.
    void Filtered(const FilterCause& why);
    // Puts in force an edit the filter held back till now; how long the wait for a request may
    // last (-1: as long as it takes).
    int Settle();
    // After a read: sends a watching program the connections the table saw come and go unread.
    [[nodiscard]] bool SendMissed();

    RequestSocket socket_;
    TcpTableSource& table_;
    SocketLookup& sockets_;
    std::FILE* log_;
    PollingCause polling_;
    RulesFilter* filter_;
    RulesParts rulesParts_;  // the parts of a SetRules request so far
    FilterCause filtered_;   // why the filter is missing, or failed on the last rules
    bool watched_ = false;   // the program asked to be told of changes
    bool told_ = false;      // it was told to read, and has not read since
    // The program holds rows_: the last table answer carried or confirmed them, and every
    // change since was sent to it.
    bool inSync_ = false;
    std::array<std::uint8_t, kMaxReplySize> reply_{};
    std::vector<TcpRow> rows_;       // the table as the program holds it after the last answer
    TableChanges changes_;           // what the last read changed in rows_
    std::vector<TcpRow> chunkRows_;  // one chunk of changed rows
    std::vector<std::uint32_t> chunkIndices_;  // and their indices
    std::vector<TcpRow> missed_;               // what the table gave from its last read
    CloseAudit audit_;
};

}  // namespace quarnel::platform
