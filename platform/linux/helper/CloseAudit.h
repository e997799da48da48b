#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/TcpTableSource.h"

namespace quarnel::platform {

// Who the helper closes for: the process at the other end of its socket, as the kernel
// vouches for it (SO_PEERCRED), and its user's name as the user database has it (else the
// number).
struct Requester {
    std::uint32_t Uid = 0;
    std::int32_t Pid = 0;
    std::string Name;
};

// The requester at the other end of socket; false, with the reason in problem, when the kernel
// does not say.
bool RequesterOf(int socket, Requester& requester, std::string& problem);

// The journal entry of a connection the helper closed for requester, so that "journalctl -t
// quarnel-helper" shows every close of the machine made for a user: "closed IPv4
// 127.0.0.1:7001 -> 127.0.0.1:40000 at the request of alice (uid 1000, pid 4242)", at priority
// notice, with QUARNEL_LOCAL, QUARNEL_REMOTE and QUARNEL_FAMILY as quarneld writes them,
// QUARNEL_REQUESTER_UID, QUARNEL_REQUESTER_USER, QUARNEL_REQUESTER_PID and a MESSAGE_ID of its
// own. The request names the connection, not the rule entry that blocked it.
std::vector<std::string> CloseAuditFields(const TcpRow& row, const Requester& requester);

// Sends fields to the system journal; false when it did not take them (or where built without
// libsystemd).
bool SendToJournal(const std::vector<std::string>& fields);

}  // namespace quarnel::platform
