#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "engine/RuleSet.h"
#include "platform/TcpTableSource.h"

namespace quarnel {

// Told of every connection the blocking pass has closed, with the verdict that closed it
// (blocked by its local or its remote port) and the rules in force, before the pass goes on.
// The row is the pass's; copy what outlives the call.
using CloseObserver =
    std::function<void(const platform::TcpRow& row, Verdict verdict, const RuleSet& rules)>;

// A user's name by number, as the system knows it; none gives the number.
using UserNameOf = std::function<std::string(std::uint32_t uid)>;

// What a network namespace is called, by its inode (see platform::TcpRow::Namespace); none
// gives "net:[INODE]".
using NamespaceNameOf = std::function<std::string(std::uint32_t inode)>;

// Who a connection belongs to, in words: "smtp [812] user postfix", or "unknown".
std::string OwnerText(const platform::ConnectionOwner& owner, const UserNameOf& userName = {});

// An end of a connection as journal fields write it: address:port for IPv4, [address]:port
// for IPv6; an IPv4 address on a dual-stack socket (::ffff:a.b.c.d) as IPv4.
std::string EndpointText(const platform::IpAddress& address, std::int32_t port);
// The version of IP a connection is said in, "IPv4" or "IPv6": a dual-stack socket's
// connection whose both ends are IPv4 is IPv4 (as ConnectionText says it).
std::string_view FamilyText(const platform::TcpRow& row);
// A connection in words: "IPv4 192.0.2.5:50123 -> 198.51.100.7:443" (see CloseLine).
std::string ConnectionText(const platform::TcpRow& row);
// The rule that blocked it: "remote port 443 blocked", "local port 6001 blocked, range
// 6000-6063" (see CloseLine).
std::string RuleText(const platform::TcpRow& row, Verdict verdict, const RuleSet* rules = nullptr);

// One line for the log, e.g. "closed IPv4 192.0.2.5:50123 -> 198.51.100.7:443 (remote port 443
// blocked) by curl [812] user alice"; an IPv6 socket's addresses are written [address]:port,
// unless both are IPv4-mapped: an IPv4 client of a dual-stack listener is said as IPv4. Given
// the rules that closed it, a port blocked by a range entry names the entry as the list holds
// it: "(remote port 6000 blocked, range 6000-6063)"; a port with an entry of its own, none. A
// connection whose owner is not known ends "by unknown". One of another network namespace than the
// guard's own ends " in NAME" ("in docker 0123456789ab").
std::string CloseLine(const platform::TcpRow& row, Verdict verdict, const RuleSet* rules = nullptr,
                      const UserNameOf& userName = {}, const platform::ConnectionOwner& owner = {},
                      const NamespaceNameOf& namespaceName = {});
// The same for a blocked connection that ended before it could be closed: "missed IPv4 ...
// (remote port 443 blocked) by curl [812] user alice: ended before it could be closed".
std::string MissedLine(const platform::TcpRow& row, Verdict verdict, const RuleSet* rules = nullptr,
                       const UserNameOf& userName = {}, const platform::ConnectionOwner& owner = {},
                       const NamespaceNameOf& namespaceName = {});

}  // namespace quarnel
