#pragma once

#include <deque>
#include <memory>

#include "platform/linux/LinuxTableSource.h"
#include "platform/linux/filter/FilterCause.h"
#include "platform/linux/filter/RulesFilter.h"

namespace quarnel::platform {

// A table that reads and closes in this process, with the kernel filter beside it that holds
// back the payload of what the rules block. Everything goes to the table, the rules to both.
class FilteringTcpTable final : public ForwardingTcpTable {
public:
    // filter may be null: filtered then says why there is none.
    FilteringTcpTable(std::unique_ptr<LinuxTableSource> table, std::unique_ptr<RulesFilter> filter,
                      FilterCause filtered);

    // A change in whether the filter holds the rules is told once, after the table's own.
    std::optional<SourceNotice> TakeNotice() override;
    void SetRules(const BlockingRules& rules) override;
    // Each read first puts in force an edit the filter held back till now: the loop that reads
    // passes at least four times a second.
    [[nodiscard]] ReadResult Read(std::vector<TcpRow>& rows, TableChanges* changes) override;

    // Why the kernel does not hold back blocked payload; kind None while it does.
    const FilterCause& Filtering() const { return filtered_; }

private:
    void Told(const FilterCause& now);

    std::unique_ptr<RulesFilter> filter_;
    FilterCause filtered_;
    std::deque<SourceNotice> notices_;
};

// table with the kernel filter attached to the machine's cgroup root beside it, or without one
// where the system rejects it (the result's Filtering says why).
std::unique_ptr<FilteringTcpTable> WithPayloadFilter(std::unique_ptr<LinuxTableSource> table,
                                                     NamespaceScope scope = NamespaceScope::Own);

// What the user is told when whether blocked payload is held back changed from was to now;
// empty when it did not.
std::string FilterChangeText(const FilterCause& was, const FilterCause& now);

}  // namespace quarnel::platform
