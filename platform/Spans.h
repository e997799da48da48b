#pragma once

#include <compare>
#include <span>
#include <vector>

#include "platform/IpAddress.h"
#include "platform/RuleEntry.h"

// The rule lists' entries as the sorted, disjoint intervals they add up to: the allowed list
// may hold prefixes within prefixes, and the port lists overlapping ranges.
namespace quarnel::platform {

// The addresses from First to Last, both included, in byte order.
struct AddressSpan {
    IpAddress First{};
    IpAddress Last{};

    auto operator<=>(const AddressSpan&) const = default;
};

// The spans in order, those that overlap or touch joined into one.
std::vector<AddressSpan> JoinedSpans(std::vector<AddressSpan> spans);
// The addresses of the prefixes, joined so.
std::vector<AddressSpan> JoinedSpans(std::span<const AddressPrefix> prefixes);
// The ranges in order, those that overlap or touch joined into one.
std::vector<PortRange> JoinedRanges(std::vector<PortRange> ranges);

}  // namespace quarnel::platform
