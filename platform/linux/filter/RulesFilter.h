#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "platform/BlockingRules.h"
#include "platform/linux/LinuxTableSource.h"
#include "platform/linux/bpf/NamespaceScope.h"
#include "platform/linux/events/TcpEventStream.h"
#include "platform/linux/filter/FilterCause.h"
#include "platform/linux/netfilter/NftLayout.h"
#include "platform/linux/sockdiag/SocketLookup.h"

namespace quarnel::platform {

// Something in the system that holds back the payload of the connections the rules block, so
// that not one byte crosses one before the pass tears it down.
class RulesFilter {
public:
    virtual ~RulesFilter() = default;
    // Holds back what rules block from now on. False, with why, when it cannot hold them: it
    // then holds back nothing.
    virtual bool SetRules(const BlockingRules& rules, FilterCause& why) = 0;

    using Clock = std::chrono::steady_clock;
    // A filter that takes an edit in two steps puts the second in force here once it is due:
    // true, with why telling how that went, when it did so now. Whoever sets the rules calls it
    // on each pass, and no later than SettleAt.
    virtual bool Settle(Clock::time_point now, FilterCause& why) {
        (void)now;
        (void)why;
        return false;
    }
    // When Settle has something to do; none while nothing waits.
    virtual std::optional<Clock::time_point> SettleAt() const { return std::nullopt; }
};

// The kernel's payload filter on the root of the cgroup v2 hierarchy, for this process's
// network namespace, while this process lives. Where the system rejects it, the packet filter's
// table that stands in for it (why then tells why the kernel filter is missing, and says
// Netfilter); nullptr with why when both are rejected. The kernel filter needs CAP_BPF,
// CAP_PERFMON and CAP_NET_ADMIN for this call only; the table needs CAP_NET_ADMIN while it lives.
// With log, the table tells of blocked connections to its group. Either takes edits through
// an EditHold: its owner calls Settle.
std::unique_ptr<RulesFilter> OpenPayloadFilter(FilterCause& why,
                                               NamespaceScope scope = NamespaceScope::Own,
                                               const LogRule* log = nullptr);

// The payload filter as above, for table. Where the kernel's reports of state changes are missing
// (polling says why) and the packet filter's table stands in for the kernel filter, the table
// tells of blocked connections through its log, and table becomes the table learnt from it
// (polling.Logged then says so), read whole only every few seconds instead of every
// millisecond. sockets looks up one connection of table's; the log needs CAP_NET_ADMIN to bind.
std::unique_ptr<RulesFilter> OpenPayloadFilterAndLog(std::unique_ptr<LinuxTableSource>& table,
                                                     SocketLookup& sockets, PollingCause& polling,
                                                     FilterCause& why,
                                                     NamespaceScope scope = NamespaceScope::Own);

// The packet filter's table alone, whether or not the kernel filter could be attached: nullptr,
// with why, when the system will not make it. Needs CAP_NET_ADMIN while it lives.
std::unique_ptr<RulesFilter> OpenPacketFilterTable(FilterCause& why);

}  // namespace quarnel::platform
