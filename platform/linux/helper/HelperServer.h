#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "platform/TcpTableSource.h"
#include "platform/linux/HelperProtocol.h"
#include "platform/linux/SocketLookup.h"

namespace quarnel::platform {

// The helper's side of the conversation: answers the program's requests on socket (one end of a
// SOCK_SEQPACKET socketpair) with the table's operations, one request at a time. Whatever is
// not a sound request is refused, logged and never acted on, and serving goes on. Once the
// program asks to watch the table, Run also tells it when the table's descriptor says the table
// may have changed (or at once and after every read, when the table cannot tell). polling is
// how the table is kept, as the program is told.
//
// A close is carried out only for a connection: the socket it names is looked up in sockets
// first, and a listener is refused like a malformed request (the program never names one).
class HelperServer {
public:
    HelperServer(int socket, TcpTableSource& table, SocketLookup& sockets, std::FILE* log,
                 PollingCause polling = {});

    enum class Step {
        Answered,  // a request was carried out and answered
        Refused,   // a request was refused, and the refusal answered
        Ended,     // the program has gone
        Failed,    // the socket failed
    };

    // Reads one request and answers it.
    Step ServeOne();
    // Serves, and tells of changes, until the program goes (true) or the socket fails (false).
    [[nodiscard]] bool Run();

private:
    // The length of the message read into request_ (larger than the buffer when it was cut);
    // -1 at the end of the conversation or on failure, with ended_ telling which.
    [[nodiscard]] long Receive(bool& ancillary);
    [[nodiscard]] bool Send(const Reply& reply, std::span<const TcpRow> rows = {});
    [[nodiscard]] bool AnswerTable(const Request& request);
    // Closes the connection the request names, or refuses; Answered, Refused or how it failed.
    Step AnswerClose(const Request& request);
    // Answers Refused, and logs the request's sequence, length and why.
    Step Refuse(std::uint32_t sequence, Refusal reason, long length, const char* why);
    // step when the answer was sent, else how the conversation failed.
    Step Sent(bool sent, Step step) const;
    // Tells the program that the table may have changed; false when the socket failed.
    [[nodiscard]] bool TellChange();

    int socket_;
    TcpTableSource& table_;
    SocketLookup& sockets_;
    std::FILE* log_;
    PollingCause polling_;
    bool watched_ = false;  // the program asked to be told of changes
    bool told_ = false;     // it was told, and has not read since
    bool ended_ = false;
    RequestBytes request_{};
    std::array<std::uint8_t, kMaxReplySize> reply_{};
    std::vector<TcpRow> rows_;
};

}  // namespace quarnel::platform
