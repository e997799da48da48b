#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/IpAddress.h"

// The entries of the rule lists as text: what an entry may say, its one stored form, and what
// it means. The entry box, the settings and rules files, the engine's rules and the helper's
// protocol all read entries here, so that an entry means the same everywhere.
namespace quarnel::platform {

// The ports from Low to High, both included; a single port has Low == High.
struct PortRange {
    std::uint16_t Low = 0;
    std::uint16_t High = 0;

    auto operator<=>(const PortRange&) const = default;
};

// The addresses whose first Length bits (of the 16 bytes an IpAddress holds) are Network's. An
// IPv4 prefix a.b.c.d/n is held IPv4-mapped with Length 96 + n; a single address has Length
// 128. The bits past Length are zero.
struct AddressPrefix {
    IpAddress Network{};
    std::uint8_t Length = 128;

    auto operator<=>(const AddressPrefix&) const = default;
};

// Whether a row's port field holds a port at all (0 to 65535).
inline bool IsPortNumber(std::int32_t port) {
    return port >= 0 && port <= 0xffff;
}

// A port entry: "N" or "LOW-HIGH" with 1 <= LOW <= HIGH <= 65535, blanks around it allowed. A
// single port may be written as the port lists always took it (a sign, a fraction, which is
// rounded half to even); a range only as two plain decimal numbers. None for anything else.
std::optional<PortRange> ParsePortEntry(std::string_view text);

// The stored text of a port entry: "6000", or "6000-6063" (a range of one port is that port).
std::string PortEntryText(PortRange range);

// The address a text names, as the C library's inet_pton reads it (here without it, alike on every
// system): dotted IPv4 (four decimal parts, no leading zeros) or any IPv6 form (long-hand,
// compressed, upper case, with a dotted tail). An IPv4 address comes back IPv4-mapped. None for
// anything else: blanks, a zone ("%eth0"), a prefix, brackets, a port.
std::optional<IpAddress> ParseAddress(std::string_view text);

// The RFC 5952 text of an IPv6 address: lower-case hexadecimal without leading zeros, the
// longest run of two or more zero groups (the first of equals) written "::".
std::string IPv6Text(const IpAddress& address);

// The one text of an address: dotted decimal for an IPv4-mapped one, else its IPv6Text.
std::string CanonicalAddressText(const IpAddress& address);

// What an allowed entry says.
struct AddressEntry {
    enum class Kind : std::uint8_t {
        Prefix,       // Prefix is the entry
        HostBitsSet,  // a prefix with bits set past its length: Prefix is the network it would be
        NotAnEntry,   // no address and no prefix
    };
    Kind Is = Kind::NotAnEntry;
    AddressPrefix Prefix{};
};

// An allowed entry: an address as ParseAddress reads it, or a prefix ADDRESS/LENGTH with LENGTH
// plain decimal up to 32 for IPv4 and 128 for IPv6 (an IPv4-mapped IPv6 prefix of 96 bits or
// more is its IPv4 prefix). typed: also a dotted IPv4 address as the entry box always took it
// (blanks, a sign or leading zeros in a part, each part 0 to 255), alone or before "/LENGTH",
// which a stored list never holds.
AddressEntry ParseAddressEntry(std::string_view text, bool typed = false);

// The stored text of an allowed entry: the address alone for a single address (/32, /128),
// else network/length, IPv4 ones as IPv4 ("10.0.0.0/8").
std::string AddressEntryText(const AddressPrefix& prefix);

// Whether address lies in prefix.
bool InPrefix(const AddressPrefix& prefix, const IpAddress& address);

// The prefix of address's first length bits (at most 128), the bits past them cleared.
AddressPrefix Masked(const IpAddress& address, unsigned length);

// The first and last address of a prefix.
IpAddress FirstAddress(const AddressPrefix& prefix);
IpAddress LastAddress(const AddressPrefix& prefix);

}  // namespace quarnel::platform
