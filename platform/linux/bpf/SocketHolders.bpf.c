// Lists every socket a process holds open, with that process: what ss -p finds through /proc,
// without the right to look into other processes there, which the guard does not have. Read
// through an iterator from user space.
#include "platform/linux/bpf/KernelTypes.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "platform/linux/bpf/PidIn.bpf.h"
#include "platform/linux/bpf/SocketHolder.h"

char LICENSE[] SEC("license") = "GPL";

// The reader's pid namespace, so that a pid is the one the reader's /proc shows.
const volatile __u32 PidNamespaceInode = 0;

#define S_IFMT 00170000
#define S_IFSOCK 0140000

SEC("iter/task_file")
int ListSocketHolders(struct bpf_iter__task_file* ctx) {
    const struct task_struct* task = ctx->task;
    const struct file* file = ctx->file;
    if (!task || !file) {
        return 0;
    }
    const struct inode* inode = file->f_inode;
    if (!inode || (inode->i_mode & S_IFMT) != S_IFSOCK) {
        return 0;
    }
    // TCP sockets only: the table holds no others, and the reader keeps all it is given.
    const struct socket* socket = (const struct socket*)BPF_CORE_READ(file, private_data);
    const struct sock* sk = BPF_CORE_READ(socket, sk);
    if (!sk || BPF_CORE_READ(sk, sk_protocol) != IPPROTO_TCP) {
        return 0;
    }
    const unsigned short family = BPF_CORE_READ(sk, __sk_common.skc_family);
    if (family != AF_INET && family != AF_INET6) {
        return 0;
    }
    struct SocketHolder holder = {};
    holder.Pid = PidIn(task, PidNamespaceInode);
    if (holder.Pid == 0) {
        return 0;
    }
    holder.Inode = inode->i_ino;
    holder.Uid = BPF_CORE_READ(task, real_cred, uid.val);
    bpf_probe_read_kernel_str(holder.Command, sizeof(holder.Command), &task->comm);
    bpf_seq_write(ctx->meta->seq, &holder, sizeof(holder));
    return 0;
}
