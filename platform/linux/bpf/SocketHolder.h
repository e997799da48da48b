// One socket a process holds, as the kernel program that lists them writes it. Shared by the
// program and the process, both built against the kernel's user-space headers.
#ifndef QUARNEL_SOCKET_HOLDER_H
#define QUARNEL_SOCKET_HOLDER_H

#include <linux/types.h>

struct SocketHolder {
    __u64 Inode;       // the socket's inode, as sock_diag and /proc/PID/fd name it
    __u32 Pid;         // in the reader's pid namespace
    __u32 Uid;         // the process's real uid
    char Command[16];  // the process's short name (comm), NUL-padded
};

#endif
