#include "platform/linux/client/FilteringTcpTable.h"

namespace quarnel::platform {

FilteringTcpTable::FilteringTcpTable(std::unique_ptr<LinuxTableSource> table,
                                     std::unique_ptr<RulesFilter> filter, FilterCause filtered)
    : ForwardingTcpTable(std::move(table)),
      filter_(std::move(filter)),
      filtered_(filter_ && !filtered.Netfilter ? FilterCause{} : filtered) {}

void FilteringTcpTable::SetRules(const BlockingRules& rules) {
    Inner().SetRules(rules);
    if (!filter_) {
        return;  // told at start
    }
    FilterCause now;
    (void)filter_->SetRules(rules, now);  // now tells what failed
    Told(now);
}

ReadResult FilteringTcpTable::Read(std::vector<TcpRow>& rows, TableChanges* changes) {
    if (FilterCause now; filter_ && filter_->Settle(RulesFilter::Clock::now(), now)) {
        Told(now);
    }
    return Inner().Read(rows, changes);
}

void FilteringTcpTable::Told(const FilterCause& now) {
    std::string text = FilterChangeText(filtered_, now);
    filtered_ = now;
    if (!text.empty()) {
        notices_.push_back({Inner().CanCloseConnections(), std::move(text)});
    }
}

std::optional<SourceNotice> FilteringTcpTable::TakeNotice() {
    if (std::optional<SourceNotice> notice = Inner().TakeNotice()) {
        return notice;
    }
    if (notices_.empty()) {
        return std::nullopt;
    }
    SourceNotice notice = std::move(notices_.front());
    notices_.pop_front();
    return notice;
}

std::unique_ptr<FilteringTcpTable> WithPayloadFilter(std::unique_ptr<LinuxTableSource> table,
                                                     NamespaceScope scope) {
    FilterCause filtered;
    std::unique_ptr<RulesFilter> filter = OpenPayloadFilter(filtered, scope);
    return std::make_unique<FilteringTcpTable>(std::move(table), std::move(filter), filtered);
}

std::string FilterChangeText(const FilterCause& was, const FilterCause& now) {
    if (now.Holds() == was.Holds() && now.Netfilter == was.Netfilter) {
        return {};
    }
    if (now.Holds()) {
        return std::string("Quarnel holds back the data of blocked connections again, in ") +
               (now.Netfilter ? "the packet filter." : "the kernel.");
    }
    return "Quarnel no longer holds back the data of blocked connections: " + now.Text() +
           ". It still closes them, but a connection that lasts less than one read of the "
           "table may pass whole, and a few bytes may cross a longer one before it is closed.";
}

}  // namespace quarnel::platform
