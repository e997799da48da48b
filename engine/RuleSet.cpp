#include "engine/RuleSet.h"

#include <algorithm>
#include <optional>

#include "container/Value.h"

namespace quarnel {

namespace {

using platform::AddressPrefix;
using platform::PortRange;

template <typename T>
void SortUnique(std::vector<T>& items) {
    std::ranges::sort(items);
    // Not std::ranges::unique: clang 14 (the fuzz targets' compiler) cannot build it with this
    // standard library.
    items.erase(std::unique(items.begin(), items.end()), items.end());
}

// The list's port entries joined into sorted ranges, and the same as a set; entries gets them
// as the list holds them.
std::vector<PortRange> CompilePorts(const List& list, std::bitset<65536>& set,
                                    std::vector<PortRange>& entries) {
    for (std::int32_t i = 0; i < list.GetItemCount(); ++i) {
        if (const auto range = platform::ParsePortEntry(ValueText(list.GetItem(i)))) {
            entries.push_back(*range);
        }
    }
    std::vector<PortRange> ranges = platform::JoinedRanges(entries);
    for (const PortRange& range : ranges) {
        for (std::uint32_t port = range.Low; port <= range.High; ++port) {
            set.set(port);
        }
    }
    return ranges;
}

}  // namespace

RuleSet::RuleSet(const List& allowedIP, const List& blockedLocalPorts,
                 const List& blockedRemotePorts) {
    for (std::int32_t i = 0; i < allowedIP.GetItemCount(); ++i) {
        const platform::AddressEntry entry =
            platform::ParseAddressEntry(ValueText(allowedIP.GetItem(i)));
        if (entry.Is == platform::AddressEntry::Kind::Prefix) {
            allowed_.push_back(entry.Prefix);
        }
    }
    SortUnique(allowed_);
    allowedSpans_ = platform::JoinedSpans(allowed_);
    localPorts_ = CompilePorts(blockedLocalPorts, local_, localEntries_);
    remotePorts_ = CompilePorts(blockedRemotePorts, remote_, remoteEntries_);
}

Verdict RuleSet::Judge(const platform::TcpRow& row) const {
    const auto after = std::ranges::upper_bound(allowedSpans_, row.RemoteAddress, {},
                                                &platform::AddressSpan::First);
    if (after != allowedSpans_.begin() && row.RemoteAddress <= std::prev(after)->Last) {
        return Verdict::Allowed;
    }
    if (platform::IsPortNumber(row.LocalPort) &&
        local_.test(static_cast<std::size_t>(row.LocalPort))) {
        return Verdict::BlockedByLocalPort;
    }
    if (platform::IsPortNumber(row.RemotePort) &&
        remote_.test(static_cast<std::size_t>(row.RemotePort))) {
        return Verdict::BlockedByRemotePort;
    }
    if (row.OriginalPort != 0 && local_.test(row.OriginalPort)) {
        return Verdict::BlockedByOriginalPort;
    }
    return Verdict::Passed;
}

PortRange RuleSet::EntryOf(std::uint16_t port, bool local) const {
    // The port alone is what the user reads best: a range only when no single entry names it.
    std::optional<PortRange> range;
    for (const PortRange& entry : local ? localEntries_ : remoteEntries_) {
        if (entry.Low == port && entry.High == port) {
            return entry;
        }
        if (!range && entry.Low <= port && port <= entry.High) {
            range = entry;
        }
    }
    return range.value_or(PortRange{port, port});
}

platform::BlockingRules BlockingRulesOf(const RuleSet& rules) {
    return {rules.AllowedAddresses(), rules.BlockedLocalPorts(), rules.BlockedRemotePorts()};
}

}  // namespace quarnel
