// The shapes of the payload filter's rules maps. Shared by the filter and the process that
// fills them, both built against the kernel's user-space headers.
#ifndef QUARNEL_PAYLOAD_RULE_MAPS_H
#define QUARNEL_PAYLOAD_RULE_MAPS_H

#include <linux/types.h>

// A port list is a bitmap of 65536 bits in 64-bit words: port p is bit p % 64 of word p / 64.
// One array lookup per port, inlined by the kernel, whatever the list's length.
#define QUARNEL_PORT_WORDS 1024

// At most this many allowed prefixes. The filter's trie holds twice as many, so that while an
// edit goes in it holds the old and the new list together.
#define QUARNEL_MAX_ALLOWED_ADDRESSES 131072
#define QUARNEL_ALLOWED_MAP_ENTRIES (2 * QUARNEL_MAX_ALLOWED_ADDRESSES)

// A remote address as the filter looks it up: 16 bytes in network order, an IPv4 address as its
// IPv4-mapped IPv6 address (::ffff:a.b.c.d).
struct AllowedAddress {
    __u8 Bytes[16];
};

// A key of the allowed prefixes' longest-prefix-match trie: the first PrefixLength bits of
// Address (IPv4 a.b.c.d/n as ::ffff:a.b.c.d with 96 + n). A lookup gives 128 and the address.
struct AllowedPrefix {
    __u32 PrefixLength;
    struct AllowedAddress Address;
};

#endif
