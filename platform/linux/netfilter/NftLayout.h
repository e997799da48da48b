#pragma once

#include <string>

#include "platform/BlockingRules.h"
#include "platform/linux/netfilter/NftBatch.h"

namespace quarnel::platform {

// The table that holds back the payload of blocked connections, in nf_tables' terms: four sets
// (blocked local ports, blocked remote ports, allowed IPv4 and IPv6 addresses) and the chains
// on input and output that drop every TCP segment with data on a connection the sets block, in
// both IP versions. Handshake and teardown segments pass. A segment whose headers it does not
// walk (IPv4 options, IPv6 extension headers) is taken to carry data.
//
// Adds to batch the table, owned by the socket that sends it (it goes when that socket closes),
// with empty sets: it blocks nothing yet. False when libnftnl has no memory left.
[[nodiscard]] bool AddTable(NftBatch& batch, const std::string& table);

// Adds to batch what makes the sets hold rules, replacing what they held.
[[nodiscard]] bool AddRules(NftBatch& batch, const std::string& table, const BlockingRules& rules);
// Adds to batch what puts the entries of rules into the sets, beside what they hold.
[[nodiscard]] bool AddRuleElements(NftBatch& batch, const std::string& table,
                                   const BlockingRules& rules);
// Adds to batch what takes the entries of rules out of the sets; each must be there, once.
[[nodiscard]] bool RemoveRuleElements(NftBatch& batch, const std::string& table,
                                      const BlockingRules& rules);

}  // namespace quarnel::platform
