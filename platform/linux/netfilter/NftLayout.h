#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/BlockingRules.h"
#include "platform/Spans.h"
#include "platform/linux/netfilter/NftBatch.h"

namespace quarnel::platform {

// The table that holds back the payload of blocked connections, in nf_tables' terms: four interval
// sets (blocked local ports, blocked remote ports, allowed IPv4 and IPv6 addresses) and the chains
// on input and output that drop every TCP segment with data on a connection the sets block, in
// both IP versions. Handshake and teardown segments pass. A segment whose headers it does not
// walk (IPv4 options, IPv6 extension headers) is taken to carry data.
//
// Where the table tells user space of the blocked connections it sees, so that a reader need not
// walk the whole TCP table to find them: every segment of a blocked connection that neither opens
// nor resets it (the handshake's last ACK, data it drops) goes to a log group of nfnetlink_log,
// once for each end of this host it blocks, at most Rate a second and Burst at once. Past
// that, at most two a second go with the prefix kLostPrefix, so that the reader knows it missed
// some and reads the whole table.
struct LogRule {
    std::uint16_t Group = 0;
    std::uint32_t Rate = 5000;
    std::uint32_t Burst = 1000;
};
inline constexpr const char* kLostPrefix = "lost";

// Adds to batch the table, owned by the socket that sends it (it goes when that socket closes),
// with empty sets: it blocks nothing yet. With log, it tells of blocked connections to its group.
// False when libnftnl has no memory left.
[[nodiscard]] bool AddTable(NftBatch& batch, const std::string& table,
                            const LogRule* log = nullptr);

// What the sets hold: sorted, disjoint intervals that do not touch. The allowed addresses of
// each IP version, IPv4 ones IPv4-mapped; IPv6 packets may carry IPv4-mapped addresses too.
struct SetContents {
    std::vector<PortRange> LocalPorts, RemotePorts;
    std::vector<AddressSpan> IPv4, IPv6;

    bool operator==(const SetContents&) const = default;
};

// What the sets hold to block what rules block, as the kernel filter does.
SetContents ContentsOf(const BlockingRules& rules);
// What both hold, joined.
SetContents Union(const SetContents& one, const SetContents& other);

// Adds to batch what makes the sets hold to instead of from, what they hold: the intervals of
// from that to lacks go, then those of to that from lacks come. In one batch a packet meets
// either all of from or all of to, even where their intervals overlap.
[[nodiscard]] bool ChangeContents(NftBatch& batch, const std::string& table,
                                  const SetContents& from, const SetContents& to);
// Adds to batch what empties the sets.
[[nodiscard]] bool EmptySets(NftBatch& batch, const std::string& table);

}  // namespace quarnel::platform
