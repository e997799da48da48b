// A port list as both kernel programs hold it: an array of QUARNEL_PORT_WORDS 64-bit words,
// port p being bit p % 64 of word p / 64. One array lookup per port, inlined by the kernel,
// whatever the list's length. Included by the kernel programs only, after the kernel's types.
#ifndef QUARNEL_PORT_MAP_BPF_H
#define QUARNEL_PORT_MAP_BPF_H

#include <bpf/bpf_helpers.h>

#include "platform/linux/bpf/PayloadRuleMaps.h"

struct PortMap {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, QUARNEL_PORT_WORDS);
    __type(key, __u32);
    __type(value, __u64);
};

static __always_inline bool PortOn(void* map, __u16 port) {
    const __u32 word = port / 64;
    const __u64* bits = bpf_map_lookup_elem(map, &word);
    return bits && ((*bits >> (port % 64)) & 1);
}

#endif
