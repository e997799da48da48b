#include "platform/Spans.h"

#include <algorithm>

namespace quarnel::platform {

namespace {

// Whether next starts at once after last, or before.
bool Touches(IpAddress last, const IpAddress& next) {
    for (auto byte = last.rbegin(); byte != last.rend(); ++byte) {
        if (++*byte != 0) {
            return next <= last;
        }
    }
    return true;  // last is the last address: nothing starts after it
}

bool Touches(std::uint16_t last, std::uint16_t next) {
    return next <= last + 1u;
}

template <typename Interval, typename Key>
std::vector<Interval> Joined(std::vector<Interval> intervals, Key Interval::*first,
                             Key Interval::*last) {
    std::ranges::sort(intervals);
    std::vector<Interval> joined;
    for (const Interval& interval : intervals) {
        if (!joined.empty() && Touches(joined.back().*last, interval.*first)) {
            joined.back().*last = std::max(joined.back().*last, interval.*last);
        } else {
            joined.push_back(interval);
        }
    }
    return joined;
}

}  // namespace

std::vector<AddressSpan> JoinedSpans(std::vector<AddressSpan> spans) {
    return Joined(std::move(spans), &AddressSpan::First, &AddressSpan::Last);
}

std::vector<AddressSpan> JoinedSpans(std::span<const AddressPrefix> prefixes) {
    std::vector<AddressSpan> spans;
    spans.reserve(prefixes.size());
    for (const AddressPrefix& prefix : prefixes) {
        spans.push_back({FirstAddress(prefix), LastAddress(prefix)});
    }
    return JoinedSpans(std::move(spans));
}

std::vector<PortRange> JoinedRanges(std::vector<PortRange> ranges) {
    return Joined(std::move(ranges), &PortRange::Low, &PortRange::High);
}

}  // namespace quarnel::platform
