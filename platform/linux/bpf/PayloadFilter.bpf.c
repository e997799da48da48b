// Holds back the payload of TCP connections the rules block, on the cgroup it is attached to:
// every packet that carries data on such a connection is dropped, in both directions, while
// handshake and teardown segments (SYN, FIN, RST and bare ACKs without data) pass, so that a
// blocked connection is still established and torn down, only without a byte of data.
//
// A connection is blocked when its local port or its remote port is on its list and its remote
// address is not allowed, as the process judges it. Only this process's network namespace is
// filtered, unless the loader guards every namespace: the cgroup holds the programs of all of
// them.
#include "platform/linux/bpf/KernelTypes.h"

#include <bpf/bpf_helpers.h>

#include "platform/linux/bpf/PayloadRuleMaps.h"
#include "platform/linux/bpf/PortMap.bpf.h"

#define PASS 1
#define DROP 0

char LICENSE[] SEC("license") = "GPL";

// The inode of the loader's network namespace, set before the program is loaded. 0 filters
// every namespace: the service that guards them all, and test runs, whose packets belong to no
// TCP socket.
const volatile __u32 NetNamespace = 0;

// Packets dropped so far, for tests and benchmarks to read.
__u64 HeldPackets = 0;

struct PortMap BlockedLocalPorts SEC(".maps");
struct PortMap BlockedRemotePorts SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_LPM_TRIE);
    __uint(max_entries, QUARNEL_ALLOWED_MAP_ENTRIES);
    __uint(map_flags, BPF_F_NO_PREALLOC);  // which a trie requires
    __type(key, struct AllowedPrefix);
    __type(value, __u8);
} AllowedAddresses SEC(".maps");

// Never read by the filter. Putting the one map it holds back in its place makes the kernel wait
// until every run of the filter under way has ended: an edit needs that between widening and
// narrowing the port lists, since a run reads them one after the other.
struct RunsBarrierEntry {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, __u32);
} RunsBarrierEntry SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY_OF_MAPS);
    __uint(max_entries, 1);
    __type(key, __u32);
    __array(values, struct RunsBarrierEntry);
} RunsBarrier SEC(".maps") = {
    .values = {[0] = &RunsBarrierEntry},
};

// One packet's connection as the rules see it.
struct Connection {
    struct AllowedAddress Remote;
    __u16 LocalPort;  // host byte order
    __u16 RemotePort;
};

enum Parsed {
    NoPayload,  // not TCP, or a TCP segment without data: passes
    Payload,    // a TCP segment with data; conn names its connection
    Unknown,    // IPv6 headers this program does not walk: the socket tells
};

static __always_inline void MapIPv4(struct AllowedAddress* to, __u32 address) {
    __builtin_memset(to, 0, sizeof(*to));
    to->Bytes[10] = 0xff;
    to->Bytes[11] = 0xff;
    __builtin_memcpy(&to->Bytes[12], &address, 4);
}

// The TCP header at offset: its ports into conn and whether data follows it.
static __always_inline enum Parsed ReadTcp(struct __sk_buff* skb, __u32 offset, bool ingress,
                                           struct Connection* conn) {
    struct tcphdr tcp;
    if (bpf_skb_load_bytes(skb, offset, &tcp, sizeof(tcp)) != 0) {
        return NoPayload;  // too short to carry anything past a header
    }
    // The packet's whole length, not the IP length field: a large send offloaded to the device
    // or a large receive may carry 0 there.
    const __u32 headers = offset + tcp.doff * 4;
    if (skb->len <= headers) {
        return NoPayload;
    }
    const __u16 source = __builtin_bswap16(tcp.source);
    const __u16 dest = __builtin_bswap16(tcp.dest);
    conn->LocalPort = ingress ? dest : source;
    conn->RemotePort = ingress ? source : dest;
    return Payload;
}

static __always_inline enum Parsed ParseIPv4(struct __sk_buff* skb, bool ingress,
                                             struct Connection* conn) {
    struct iphdr ip;
    if (bpf_skb_load_bytes(skb, 0, &ip, sizeof(ip)) != 0 || ip.protocol != IPPROTO_TCP) {
        return NoPayload;
    }
    MapIPv4(&conn->Remote, ingress ? ip.saddr : ip.daddr);
    return ReadTcp(skb, ip.ihl * 4, ingress, conn);
}

static __always_inline enum Parsed ParseIPv6(struct __sk_buff* skb, bool ingress,
                                             struct Connection* conn) {
    struct ipv6hdr ip;
    if (bpf_skb_load_bytes(skb, 0, &ip, sizeof(ip)) != 0) {
        return NoPayload;
    }
    __builtin_memcpy(&conn->Remote, ingress ? &ip.saddr : &ip.daddr, sizeof(conn->Remote));
    __u8 next = ip.nexthdr;
    __u32 offset = sizeof(ip);
    // The extension headers that may stand before TCP, a few deep.
#pragma unroll
    for (int i = 0; i < 4; ++i) {
        if (next == IPPROTO_TCP) {
            return ReadTcp(skb, offset, ingress, conn);
        }
        __u8 header[2];
        if ((next != 0 && next != 43 && next != 44 && next != 60) ||
            bpf_skb_load_bytes(skb, offset, header, sizeof(header)) != 0) {
            break;
        }
        offset += next == 44 ? 8 : (header[1] + 1) * 8;  // a fragment header has a fixed size
        next = header[0];
    }
    if (next == IPPROTO_TCP) {
        return ReadTcp(skb, offset, ingress, conn);
    }
    // Headers that end in no upper layer, or one that is certainly not TCP.
    if (next == 59 || next == 17 || next == 58) {
        return NoPayload;
    }
    return Unknown;
}

static __always_inline enum Parsed Parse(struct __sk_buff* skb, __u8 version, bool ingress,
                                         struct Connection* conn) {
    if (version >> 4 == 4) {
        return ParseIPv4(skb, ingress, conn);
    }
    if (version >> 4 == 6) {
        return ParseIPv6(skb, ingress, conn);
    }
    return NoPayload;
}

// lo's index in every network namespace.
#define kLoopbackIndex 1

static __always_inline bool Blocked(const struct Connection* conn) {
    if (!PortOn(&BlockedLocalPorts, conn->LocalPort) &&
        !PortOn(&BlockedRemotePorts, conn->RemotePort)) {
        return false;
    }
    struct AllowedPrefix key = {.PrefixLength = 128, .Address = conn->Remote};
    return bpf_map_lookup_elem(&AllowedAddresses, &key) == NULL;
}

// The connection a TCP socket holds, from the socket itself.
static __always_inline void FromSocket(const struct tcp_sock* tcp, struct Connection* conn) {
    const struct sock_common* common = &tcp->inet_conn.icsk_inet.sk.__sk_common;
    conn->LocalPort = common->skc_num;
    conn->RemotePort = __builtin_bswap16(common->skc_dport);
    if (common->skc_family == 2 /* AF_INET */) {
        MapIPv4(&conn->Remote, common->skc_daddr);
    } else {
        __builtin_memcpy(&conn->Remote, &common->skc_v6_daddr, sizeof(conn->Remote));
    }
}

static __always_inline int Filter(struct __sk_buff* skb, bool ingress) {
    struct Connection conn = {};
    __u8 version = 0;
    if (bpf_skb_load_bytes(skb, 0, &version, 1) != 0) {
        return PASS;
    }
    const enum Parsed parsed = Parse(skb, version, ingress, &conn);
    bool blocked = parsed == Payload && Blocked(&conn);
    // A segment that leaves through loopback arrives here a moment later, by then perhaps under
    // the next rules: it is judged as its receiver sees it too, so that an edit that moves a
    // port from one list to the other cannot let it pass both ends, each under other rules.
    if (!ingress && parsed == Payload && !blocked && skb->ifindex == kLoopbackIndex) {
        struct Connection arriving = {};
        blocked = Parse(skb, version, true, &arriving) == Payload && Blocked(&arriving);
    }
    // What passes anyway is decided before the socket is looked at: the cheap way for most.
    if (parsed == NoPayload || (parsed == Payload && !blocked)) {
        return PASS;
    }
    const struct tcp_sock* tcp = NULL;
    struct bpf_sock* sk = skb->sk;
    if (sk) {
        tcp = bpf_skc_to_tcp_sock(sk);
    }
    if (NetNamespace != 0 &&
        (!tcp || tcp->inet_conn.icsk_inet.sk.__sk_common.skc_net.net->ns.inum != NetNamespace)) {
        return PASS;  // another namespace's connection, or no TCP socket's packet
    }
    if (parsed == Unknown) {
        if (!tcp) {
            return PASS;
        }
        FromSocket(tcp, &conn);  // data is assumed: nothing passes unread on a blocked one
        if (!Blocked(&conn)) {
            return PASS;
        }
    }
    __sync_fetch_and_add(&HeldPackets, 1);
    return DROP;
}

SEC("cgroup_skb/ingress")
int HoldIngress(struct __sk_buff* skb) {
    return Filter(skb, true);
}

SEC("cgroup_skb/egress")
int HoldEgress(struct __sk_buff* skb) {
    return Filter(skb, false);
}
