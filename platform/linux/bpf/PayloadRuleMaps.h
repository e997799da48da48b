// The shapes of the payload filter's rules maps. Shared by the filter and the process that
// fills them, both built against the kernel's user-space headers.
#ifndef QUARNEL_PAYLOAD_RULE_MAPS_H
#define QUARNEL_PAYLOAD_RULE_MAPS_H

#include <linux/types.h>

// A port list is a bitmap of 65536 bits in 64-bit words: port p is bit p % 64 of word p / 64.
// One array lookup per port, inlined by the kernel, whatever the list's length.
#define QUARNEL_PORT_WORDS 1024

// At most this many allowed addresses: the filter's hash map is made this large.
#define QUARNEL_MAX_ALLOWED_ADDRESSES 4096

// A remote address as the filter looks it up: 16 bytes in network order, an IPv4 address as its
// IPv4-mapped IPv6 address (::ffff:a.b.c.d).
struct AllowedAddress {
    __u8 Bytes[16];
};

#endif
