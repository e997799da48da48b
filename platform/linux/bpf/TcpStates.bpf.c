// Reports every TCP state change of one network namespace's IPv4 and IPv6 sockets, or of every
// namespace's, through a ring buffer.
#include "platform/linux/bpf/KernelTypes.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "platform/linux/bpf/PayloadRuleMaps.h"
#include "platform/linux/bpf/PidIn.bpf.h"
#include "platform/linux/bpf/PortMap.bpf.h"
#include "platform/linux/bpf/TcpStateEvent.h"

char LICENSE[] SEC("license") = "GPL";

// The inode of the network namespace whose changes are reported, set before the program is
// loaded: the tracepoint sees every namespace, and another namespace's connections are none of
// ours. 0 reports every namespace's (for a reader that guards them all), each with its inode.
const volatile __u32 NetNamespace = 0;
// The loader's own network namespace: its owners are reported as its own, the others' with their
// namespace.
const volatile __u32 OwnNamespace = 0;
// The loader's pid namespace (device and inode of its nsfs file), so that an owner's pid is the
// one the loader's /proc shows.
const volatile __u64 PidNamespaceDevice = 0;
const volatile __u64 PidNamespaceInode = 0;

// Changes the ring buffer had no room for; the process reads the whole table when this moves.
__u64 LostEvents = 0;

struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 256 * 1024);  // the loader may set another size
} Events SEC(".maps");

// The ports of the connections the reader must judge as soon as they are established: those
// the rules may block (bit p % 64 of word p / 64 for port p). Until the reader has written them,
// and while it writes them anew, every connection counts.
struct PortMap UrgentLocalPorts SEC(".maps");
struct PortMap UrgentRemotePorts SEC(".maps");
__u32 EveryConnectionUrgent = 1;

// An IPv4 address as a row holds it: ::ffff:a.b.c.d.
static void PutMappedIPv4(__u8 out[16], __u32 address) {
    __u32* words = (__u32*)out;
    words[0] = 0;
    words[1] = 0;
    words[2] = __builtin_bswap32(0xffff);
    words[3] = address;
}

static void PutIPv6(__u8 out[16], const struct in6_addr* address) {
    __u32* words = (__u32*)out;
    for (int i = 0; i < 4; ++i) {
        words[i] = address->in6_u.u6_addr32[i];
    }
}

// Who connects or listens: the kernel makes those changes in the process's own call, so the
// current task is the socket's owner. Every other change may come from a timer or a packet,
// where the current task is anybody's. A full ring loses the report, which the reader's look
// through /proc then stands in for.
static void ReportOwner(const struct sock* sk, const __u64 cookie, const __u32 space) {
    struct TcpOwnerEvent* owner = bpf_ringbuf_reserve(&Events, sizeof(*owner), 0);
    if (!owner) {
        return;
    }
    owner->Cookie = cookie;
    owner->Namespace = space == OwnNamespace ? 0 : space;
    owner->Unused = 0;
    struct bpf_pidns_info ids;
    if (bpf_get_ns_current_pid_tgid(PidNamespaceDevice, PidNamespaceInode, &ids, sizeof(ids)) ==
        0) {
        owner->Pid = ids.tgid;
    } else {
        // A process of a pid namespace below the loader's (a container's): its pid there.
        owner->Pid = PidIn((const struct task_struct*)bpf_get_current_task(), PidNamespaceInode);
    }
    owner->Uid = (__u32)bpf_get_current_uid_gid();
    __builtin_memset(owner->Command, 0, sizeof(owner->Command));
    bpf_get_current_comm(owner->Command, sizeof(owner->Command));
    owner->Inode = 0;
    const struct socket* socket = sk->sk_socket;
    if (socket) {
        const struct file* file = socket->file;
        if (file) {
            const struct inode* inode = file->f_inode;
            if (inode) {
                owner->Inode = inode->i_ino;
            }
        }
    }
    bpf_ringbuf_submit(owner, BPF_RB_NO_WAKEUP);  // the change's own report follows at once
}

SEC("tp_btf/inet_sock_set_state")
int BPF_PROG(OnStateChange, const struct sock* sk, const int oldState, const int newState) {
    if (sk->sk_protocol != IPPROTO_TCP) {
        return 0;
    }
    const struct sock_common* common = &sk->__sk_common;
    const __u32 space = common->skc_net.net->ns.inum;
    if (NetNamespace != 0 && space != NetNamespace) {
        return 0;
    }
    const __u16 family = common->skc_family;
    if (family != AF_INET && family != AF_INET6) {
        return 0;
    }

    const __u64 cookie = bpf_get_socket_cookie((void*)sk);
    if (newState == BPF_TCP_SYN_SENT || newState == BPF_TCP_LISTEN) {
        ReportOwner(sk, cookie, space);
    }
    struct TcpStateEvent* event = bpf_ringbuf_reserve(&Events, sizeof(*event), 0);
    if (!event) {
        __sync_fetch_and_add(&LostEvents, 1);
        return 0;
    }
    event->Cookie = cookie;
    if (family == AF_INET) {
        PutMappedIPv4(event->LocalAddress, common->skc_rcv_saddr);
        PutMappedIPv4(event->RemoteAddress, common->skc_daddr);
    } else {
        PutIPv6(event->LocalAddress, &common->skc_v6_rcv_saddr);
        PutIPv6(event->RemoteAddress, &common->skc_v6_daddr);
    }
    event->Interface = common->skc_bound_dev_if;
    event->Namespace = space;
    event->Family = family;
    event->LocalPort = common->skc_num;
    event->RemotePort = __builtin_bswap16(common->skc_dport);
    event->OldState = oldState;
    event->NewState = newState;
    // Only a connection that becomes established on a port the rules may block must be judged
    // at once. Every other change waits for the next wake-up or the reader's own timer: a
    // connection that comes and goes brings some eight reports, and waking the reader for each,
    // or for every new connection, cost most of its time. A ring a quarter full wakes it
    // whatever the change, so that a flood of reports cannot fill it.
    __u64 wake = BPF_RB_NO_WAKEUP;
    const bool urgent = newState == BPF_TCP_ESTABLISHED &&
                        (EveryConnectionUrgent || PortOn(&UrgentLocalPorts, event->LocalPort) ||
                         PortOn(&UrgentRemotePorts, event->RemotePort));
    if (urgent || 4 * bpf_ringbuf_query(&Events, BPF_RB_AVAIL_DATA) >=
                      bpf_ringbuf_query(&Events, BPF_RB_RING_SIZE)) {
        wake = BPF_RB_FORCE_WAKEUP;
    }
    bpf_ringbuf_submit(event, wake);
    return 0;
}
