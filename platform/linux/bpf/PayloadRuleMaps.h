// The shapes of the payload filter's rules maps. Shared by the filter and the process that
// fills them, both built against the kernel's user-space headers.
#ifndef QUARNEL_PAYLOAD_RULE_MAPS_H
#define QUARNEL_PAYLOAD_RULE_MAPS_H

#include <linux/types.h>

// A port list is a bitmap of 65536 bits in 64-bit words: port p is bit p % 64 of word p / 64.
// One array lookup per port, inlined by the kernel, whatever the list's length.
#define QUARNEL_PORT_WORDS 1024

// At most this many allowed addresses. The filter's hash map holds twice as many, so that an
// edit holds the old list and the new one together while it goes from one to the other.
#define QUARNEL_MAX_ALLOWED_ADDRESSES 4096
#define QUARNEL_ALLOWED_ADDRESS_ENTRIES (2 * QUARNEL_MAX_ALLOWED_ADDRESSES)

// A remote address as the filter looks it up: 16 bytes in network order, an IPv4 address as its
// IPv4-mapped IPv6 address (::ffff:a.b.c.d).
struct AllowedAddress {
    __u8 Bytes[16];
};

#endif
