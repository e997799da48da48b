// The pid of a task's process as a pid namespace above it sees it, for the kernel programs that
// name processes to a reader on the host or in a container.
#ifndef QUARNEL_PID_IN_BPF_H
#define QUARNEL_PID_IN_BPF_H

#include "platform/linux/bpf/KernelTypes.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>

// The pid of task's process in the pid namespace with inode space; 0 when it is not seen there.
static __u32 PidIn(const struct task_struct* task, __u64 space) {
    if (!task) {
        return 0;
    }
    const struct pid* pid = BPF_CORE_READ(task, group_leader, thread_pid);
    if (!pid) {
        return 0;
    }
    const unsigned int level = BPF_CORE_READ(pid, level);
    // The reader sits near the top of the nesting: the guard on a host, or in a container.
    for (unsigned int i = 0; i < 8 && i <= level; ++i) {
        struct upid number;
        if (bpf_core_read(&number, sizeof(number), &pid->numbers[i]) != 0) {
            return 0;
        }
        if (BPF_CORE_READ(number.ns, ns.inum) == space) {
            return (__u32)number.nr;
        }
    }
    return 0;
}

#endif
