#include "engine/RuleSet.h"

#include <algorithm>
#include <optional>

#include "engine/AddressText.h"

namespace quarnel {

namespace {

template <typename T>
void SortUnique(std::vector<T>& items) {
    std::ranges::sort(items);
    // Not std::ranges::unique: clang 14 (the fuzz targets' compiler) cannot build it with this
    // standard library.
    items.erase(std::unique(items.begin(), items.end()), items.end());
}

bool PortInRange(std::int32_t port) {
    return port >= 0 && port <= 0xffff;
}

// The list's ports that a row can have, sorted and unique, and the same as a set.
std::vector<std::uint16_t> CompilePorts(const List& list, std::bitset<65536>& set) {
    std::vector<std::uint16_t> ports;
    for (std::int32_t i = 0; i < list.GetItemCount(); ++i) {
        const std::optional<std::int32_t> port = ToLongValue(list.GetItem(i));
        if (port && PortInRange(*port)) {
            ports.push_back(static_cast<std::uint16_t>(*port));
            set.set(static_cast<std::size_t>(*port));
        }
    }
    SortUnique(ports);
    return ports;
}

}  // namespace

RuleSet::RuleSet(const List& allowedIP, const List& blockedLocalPorts,
                 const List& blockedRemotePorts) {
    for (std::int32_t i = 0; i < allowedIP.GetItemCount(); ++i) {
        if (const auto address = ParseAddress(ValueText(allowedIP.GetItem(i)))) {
            allowed_.push_back(*address);
        }
    }
    SortUnique(allowed_);
    localPorts_ = CompilePorts(blockedLocalPorts, local_);
    remotePorts_ = CompilePorts(blockedRemotePorts, remote_);
}

Verdict RuleSet::Judge(const platform::TcpRow& row) const {
    if (std::ranges::binary_search(allowed_, row.RemoteAddress)) {
        return Verdict::Allowed;
    }
    if (PortInRange(row.LocalPort) && local_.test(static_cast<std::size_t>(row.LocalPort))) {
        return Verdict::BlockedByLocalPort;
    }
    if (PortInRange(row.RemotePort) && remote_.test(static_cast<std::size_t>(row.RemotePort))) {
        return Verdict::BlockedByRemotePort;
    }
    return Verdict::Passed;
}

platform::BlockingRules BlockingRulesOf(const RuleSet& rules) {
    return {rules.AllowedAddresses(), rules.BlockedLocalPorts(), rules.BlockedRemotePorts()};
}

}  // namespace quarnel
