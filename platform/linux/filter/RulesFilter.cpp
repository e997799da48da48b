#include "platform/linux/filter/RulesFilter.h"

#include "platform/linux/filter/EditHold.h"

#ifdef QUARNEL_PAYLOAD_FILTER
#include "platform/linux/filter/PayloadFilter.h"
#endif
#include "platform/linux/netfilter/LoggedTcpTable.h"
#include "platform/linux/netfilter/NetfilterTable.h"
#include "platform/linux/netfilter/PacketLog.h"

namespace quarnel::platform {

namespace {

// The packet filter's table in the kernel filter's place, telling with every answer why it
// stands in (told).
class StandIn final : public RulesFilter {
public:
    StandIn(std::unique_ptr<NetfilterTable> table, FilterCause told)
        : table_(std::move(table)), told_(told) {}
    bool SetRules(const BlockingRules& rules, FilterCause& why) override {
        if (const int error = table_->SetRules(rules); error != 0) {
            why = FilterCause::FromError(error);
            return false;
        }
        why = told_;
        return true;
    }

private:
    std::unique_ptr<NetfilterTable> table_;
    FilterCause told_;
};

// The table, standing in where the kernel filter could not be attached for kernel; nullptr, with
// why, when the system will not make it.
std::unique_ptr<RulesFilter> StandInFor(FilterCause kernel, FilterCause& why,
                                        const LogRule* log = nullptr) {
    int error = 0;
    std::unique_ptr<NetfilterTable> table = NetfilterTable::Open(error, log);
    if (!table) {
        why = FilterCause::FromError(error);
        return nullptr;
    }
    why = {};
    kernel.Netfilter = true;
    return std::make_unique<StandIn>(std::move(table), kernel);
}

// The packet filter's table that tells table of blocked connections: one that could not take an
// edit holds nothing and tells nothing, and table is then read whole on every read until it does.
class Telling final : public RulesFilter {
public:
    Telling(std::unique_ptr<RulesFilter> filter, LoggedTcpTable& table)
        : filter_(std::move(filter)), table_(table) {}
    bool SetRules(const BlockingRules& rules, FilterCause& why) override {
        const bool held = filter_->SetRules(rules, why);
        table_.SetTelling(held);
        return held;
    }
    bool Settle(Clock::time_point now, FilterCause& why) override {
        if (!filter_->Settle(now, why)) {
            return false;
        }
        table_.SetTelling(why.Holds());
        return true;
    }
    std::optional<Clock::time_point> SettleAt() const override { return filter_->SettleAt(); }

private:
    std::unique_ptr<RulesFilter> filter_;
    LoggedTcpTable& table_;  // outlives this: both live as long as the program's table
};

}  // namespace

std::unique_ptr<RulesFilter> OpenPayloadFilter(FilterCause& why, NamespaceScope scope,
                                               const LogRule* log) {
#ifdef QUARNEL_PAYLOAD_FILTER
    if (std::unique_ptr<RulesFilter> filter = PayloadFilter::AttachToRoot(why, scope)) {
        return std::make_unique<EditHold>(std::move(filter));
    }
#else
    (void)scope;
    why = {FilterCause::Kind::NotBuilt};
#endif
    // Its reason is told, not the table's: the table is only tried where the filter failed.
    FilterCause table;
    std::unique_ptr<RulesFilter> filter = StandInFor(why, table, log);
    if (!filter) {
        return nullptr;
    }
    why.Netfilter = true;
    return std::make_unique<EditHold>(std::move(filter));
}

std::unique_ptr<RulesFilter> OpenPayloadFilterAndLog(std::unique_ptr<LinuxTableSource>& table,
                                                     SocketLookup& sockets, PollingCause& polling,
                                                     FilterCause& why, NamespaceScope scope) {
    polling.Logged = false;
    if (polling.Why == PollingCause::Kind::None) {
        return OpenPayloadFilter(why, scope);
    }
    // Bound first: the table's rule names the group. Without it, the table is read every
    // millisecond as before.
    int error = 0;
    std::unique_ptr<PacketLog> log = PacketLog::Open(error);
    std::unique_ptr<RulesFilter> filter =
        OpenPayloadFilter(why, scope, log ? &log->Rule() : nullptr);
    if (filter && why.Netfilter && log) {
        auto logged = std::make_unique<LoggedTcpTable>(std::move(table), sockets, std::move(log),
                                                       LoggedTcpTable::Pace{});
        filter = std::make_unique<Telling>(std::move(filter), *logged);
        table = std::move(logged);
        polling.Logged = true;
    }
    return filter;
}

std::unique_ptr<RulesFilter> OpenPacketFilterTable(FilterCause& why) {
    return StandInFor({}, why);
}

}  // namespace quarnel::platform
