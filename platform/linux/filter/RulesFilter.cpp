#include "platform/linux/filter/RulesFilter.h"

#ifdef QUARNEL_PAYLOAD_FILTER
#include "platform/linux/filter/PayloadFilter.h"
#endif
#include "platform/linux/netfilter/NetfilterTable.h"

namespace quarnel::platform {

namespace {

// The table in the kernel filter's place, telling with every answer why it stands in.
class StandIn final : public RulesFilter {
public:
    StandIn(std::unique_ptr<NetfilterTable> table, FilterCause kernel)
        : table_(std::move(table)), kernel_(kernel) {}
    bool SetRules(const BlockingRules& rules, FilterCause& why) override {
        if (!table_->SetRules(rules, why)) {
            return false;
        }
        why = kernel_;
        return true;
    }

private:
    std::unique_ptr<NetfilterTable> table_;
    FilterCause kernel_;
};

}  // namespace

std::unique_ptr<RulesFilter> OpenPayloadFilter(FilterCause& why, NamespaceScope scope) {
#ifdef QUARNEL_PAYLOAD_FILTER
    if (std::unique_ptr<RulesFilter> filter = PayloadFilter::AttachToRoot(why, scope)) {
        return filter;
    }
#else
    (void)scope;
    why = {FilterCause::Kind::NotBuilt};
#endif
    // Its reason is told, not the table's: the table is only tried where the filter failed.
    FilterCause table;
    std::unique_ptr<NetfilterTable> filter = NetfilterTable::Open(table);
    if (!filter) {
        return nullptr;
    }
    why.Netfilter = true;
    return std::make_unique<StandIn>(std::move(filter), why);
}

}  // namespace quarnel::platform
