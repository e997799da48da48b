#include "platform/RuleEntry.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <vector>

namespace quarnel::platform {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// Plain decimal digits only, at most limit.
std::optional<unsigned> PlainNumber(std::string_view text, unsigned limit) {
    unsigned value = 0;
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value > limit) {
        return std::nullopt;
    }
    return value;
}

// A number as the lists always read one: [blanks] [+|-] digits [. [digits]] [blanks], or with
// the point first, rounded half to even.
std::optional<double> LenientNumber(std::string_view text) {
    text = Trimmed(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.find_first_not_of("0123456789.") != std::string_view::npos) {
        return std::nullopt;
    }
    double value = 0;
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return std::nearbyint(negative ? -value : value);
}

// "010.000.000.001" and "+10. 0.0.1" are 10.0.0.1: four parts, each a whole number 0 to 255.
std::optional<IpAddress> TypedIPv4(std::string_view text) {
    IpAddress address = MappedIPv4(0);
    for (std::size_t part = 0; part < 4; ++part) {
        const auto point = text.find('.');
        if ((part < 3) == (point == std::string_view::npos)) {
            return std::nullopt;
        }
        std::string_view number = Trimmed(text.substr(0, point));
        if (!number.empty() && (number.front() == '+' || number.front() == '-')) {
            number.remove_prefix(1);  // "-0" is 0; any other negative part fails below
        }
        const std::optional<unsigned> value = PlainNumber(number, 255);
        if (!value || (*value != 0 && text.substr(0, point).find('-') != std::string_view::npos)) {
            return std::nullopt;
        }
        address[12 + part] = static_cast<std::uint8_t>(*value);
        text = point == std::string_view::npos ? std::string_view{} : text.substr(point + 1);
    }
    return address;
}

// Dotted IPv4 as addresses are written: four parts 0 to 255 in plain decimal, without leading
// zeros ("010" could be read as octal elsewhere), and nothing else; IPv4-mapped.
std::optional<IpAddress> DottedIPv4(std::string_view text) {
    IpAddress address = MappedIPv4(0);
    for (std::size_t part = 0; part < 4; ++part) {
        const auto point = text.find('.');
        if ((part < 3) == (point == std::string_view::npos)) {
            return std::nullopt;
        }
        const std::string_view digits = text.substr(0, point);
        const std::optional<unsigned> value = PlainNumber(digits, 255);
        if (!value || (digits.size() > 1 && digits.front() == '0')) {
            return std::nullopt;
        }
        address[12 + part] = static_cast<std::uint8_t>(*value);
        text = point == std::string_view::npos ? std::string_view{} : text.substr(point + 1);
    }
    return address;
}

// One to four hexadecimal digits, either case.
std::optional<std::uint16_t> HexGroup(std::string_view text) {
    if (text.empty() || text.size() > 4 ||
        text.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos) {
        return std::nullopt;
    }
    unsigned value = 0;
    (void)std::from_chars(text.data(), text.data() + text.size(), value, 16);  // digits checked
    return static_cast<std::uint16_t>(value);
}

// The 16-bit groups of one side of "::" (or of a whole address without it), appended to
// groups; the last group of the address (last) may be a dotted IPv4 address, two groups. An
// empty side has none.
bool AddGroups(std::string_view text, bool last, std::vector<std::uint16_t>& groups) {
    while (!text.empty()) {
        const auto colon = text.find(':');
        const std::string_view group = text.substr(0, colon);
        if (last && colon == std::string_view::npos && group.find('.') != std::string_view::npos) {
            const std::optional<IpAddress> ipv4 = DottedIPv4(group);
            if (!ipv4) {
                return false;
            }
            groups.push_back(static_cast<std::uint16_t>((*ipv4)[12] << 8 | (*ipv4)[13]));
            groups.push_back(static_cast<std::uint16_t>((*ipv4)[14] << 8 | (*ipv4)[15]));
            return true;
        }
        const std::optional<std::uint16_t> value = HexGroup(group);
        if (!value || colon == text.size() - 1) {  // "1:" ends in a lone colon
            return false;
        }
        groups.push_back(*value);
        text = colon == std::string_view::npos ? std::string_view{} : text.substr(colon + 1);
    }
    return true;
}

// IPv6 text: eight groups of hexadecimal, or fewer with one "::" standing for at least one
// group of zeros, the last two groups also as dotted IPv4.
std::optional<IpAddress> IPv6Address(std::string_view text) {
    const auto gap = text.find("::");
    std::vector<std::uint16_t> head, tail;
    if (gap == std::string_view::npos) {
        if (!AddGroups(text, true, head) || head.size() != 8) {
            return std::nullopt;
        }
    } else {
        const std::string_view after = text.substr(gap + 2);
        if (after.find("::") != std::string_view::npos || after.starts_with(':') ||
            !AddGroups(text.substr(0, gap), false, head) || !AddGroups(after, true, tail) ||
            head.size() + tail.size() > 7) {
            return std::nullopt;
        }
    }
    IpAddress address{};
    const auto put = [&address](std::size_t at, std::uint16_t group) {
        address[2 * at] = static_cast<std::uint8_t>(group >> 8);
        address[2 * at + 1] = static_cast<std::uint8_t>(group & 0xff);
    };
    for (std::size_t i = 0; i < head.size(); ++i) {
        put(i, head[i]);
    }
    for (std::size_t i = 0; i < tail.size(); ++i) {
        put(8 - tail.size() + i, tail[i]);
    }
    return address;
}

}  // namespace

AddressPrefix Masked(const IpAddress& address, unsigned length) {
    AddressPrefix prefix{address, static_cast<std::uint8_t>(length)};
    if (length % 8 != 0) {
        prefix.Network[length / 8] &= static_cast<std::uint8_t>(0xff00u >> (length % 8));
    }
    for (unsigned byte = (length + 7) / 8; byte < prefix.Network.size(); ++byte) {
        prefix.Network[byte] = 0;
    }
    return prefix;
}

std::optional<PortRange> ParsePortEntry(std::string_view text) {
    text = Trimmed(text);
    const auto dash = text.find('-');
    if (dash != std::string_view::npos && dash > 0) {  // a leading "-" is a negative number
        const std::optional<unsigned> low = PlainNumber(text.substr(0, dash), 65535);
        const std::optional<unsigned> high = PlainNumber(text.substr(dash + 1), 65535);
        if (!low || !high || *low < 1 || *low > *high) {
            return std::nullopt;
        }
        return PortRange{static_cast<std::uint16_t>(*low), static_cast<std::uint16_t>(*high)};
    }
    const std::optional<double> port = LenientNumber(text);
    if (!port || !(*port >= 1 && *port <= 65535)) {
        return std::nullopt;
    }
    const auto single = static_cast<std::uint16_t>(*port);
    return PortRange{single, single};
}

std::string PortEntryText(PortRange range) {
    std::string text = std::to_string(range.Low);
    if (range.High != range.Low) {
        text += '-' + std::to_string(range.High);
    }
    return text;
}

std::optional<IpAddress> ParseAddress(std::string_view text) {
    if (text.find(':') == std::string_view::npos) {
        return DottedIPv4(text);
    }
    return IPv6Address(text);
}

std::string IPv6Text(const IpAddress& address) {
    std::array<unsigned, 8> groups{};
    for (std::size_t i = 0; i < groups.size(); ++i) {
        groups[i] = static_cast<unsigned>(address[2 * i] << 8 | address[2 * i + 1]);
    }
    // The longest run of zero groups; a single zero group is written as "0".
    std::size_t bestStart = groups.size(), bestLength = 1;
    for (std::size_t i = 0; i < groups.size();) {
        std::size_t end = i;
        while (end < groups.size() && groups[end] == 0) {
            ++end;
        }
        if (end - i > bestLength) {
            bestStart = i;
            bestLength = end - i;
        }
        i = end == i ? i + 1 : end;
    }
    std::string text;
    for (std::size_t i = 0; i < groups.size(); ++i) {
        if (i == bestStart) {
            text += "::";
            i += bestLength - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':') {
            text += ':';
        }
        char group[5];
        (void)std::snprintf(group, sizeof group, "%x", groups[i]);  // at most four digits
        text += group;
    }
    return text;
}

std::string CanonicalAddressText(const IpAddress& address) {
    if (!IsIPv4Mapped(address)) {
        return IPv6Text(address);
    }
    std::string text;
    for (std::size_t i = 12; i < address.size(); ++i) {
        text += std::to_string(address[i]);
        text += i + 1 < address.size() ? "." : "";
    }
    return text;
}

AddressEntry ParseAddressEntry(std::string_view text, bool typed) {
    const auto slash = text.find('/');
    std::optional<IpAddress> address = ParseAddress(text.substr(0, slash));
    if (!address && typed) {
        address = TypedIPv4(text.substr(0, slash));  // read alike alone and before a length
    }
    if (!address) {
        return {};
    }
    unsigned length = 128;
    if (slash != std::string_view::npos) {
        // IPv4 written as IPv4 counts its own 32 bits; IPv4-mapped IPv6 and IPv6 count 128.
        const bool dotted = text.substr(0, slash).find(':') == std::string_view::npos;
        const std::optional<unsigned> bits = PlainNumber(text.substr(slash + 1), dotted ? 32 : 128);
        if (!bits) {
            return {};
        }
        length = dotted ? 96 + *bits : *bits;
    }
    // ::ffff:0:0/95 and shorter reach past the IPv4 addresses: a plain IPv6 prefix.
    const AddressPrefix prefix = Masked(*address, length);
    const auto kind =
        prefix.Network == *address ? AddressEntry::Kind::Prefix : AddressEntry::Kind::HostBitsSet;
    return {kind, prefix};
}

std::string AddressEntryText(const AddressPrefix& prefix) {
    std::string text = CanonicalAddressText(prefix.Network);
    if (prefix.Length == 128) {
        return text;
    }
    const bool ipv4 = prefix.Length >= 96 && IsIPv4Mapped(prefix.Network);
    return text + '/' + std::to_string(ipv4 ? prefix.Length - 96 : prefix.Length);
}

bool InPrefix(const AddressPrefix& prefix, const IpAddress& address) {
    return Masked(address, prefix.Length).Network == prefix.Network;
}

IpAddress FirstAddress(const AddressPrefix& prefix) {
    return prefix.Network;
}

IpAddress LastAddress(const AddressPrefix& prefix) {
    IpAddress last = prefix.Network;
    const unsigned length = prefix.Length;
    if (length % 8 != 0) {
        last[length / 8] |= static_cast<std::uint8_t>(0xffu >> (length % 8));
    }
    for (unsigned byte = (length + 7) / 8; byte < last.size(); ++byte) {
        last[byte] = 0xff;
    }
    return last;
}

}  // namespace quarnel::platform
