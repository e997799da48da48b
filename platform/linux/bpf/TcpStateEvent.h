// One TCP state change as the kernel program hands it to the process. Shared by the program
// and the process, both built against the kernel's user-space headers.
#ifndef QUARNEL_TCP_STATE_EVENT_H
#define QUARNEL_TCP_STATE_EVENT_H

#include <linux/types.h>

struct TcpStateEvent {
    __u64 Cookie;            // the socket cookie, as sock_diag reports it
    __u8 LocalAddress[16];   // network byte order, as a row holds it: an IPv4 socket's
    __u8 RemoteAddress[16];  // addresses IPv4-mapped (::ffff:a.b.c.d), an IPv6 socket's as is
    __u32 Interface;         // the device the socket is bound to, 0 for none
    __u32 Namespace;         // the inode of the socket's network namespace
    __u16 Family;            // AF_INET or AF_INET6
    __u16 LocalPort;         // host byte order; 0 while the kernel has not chosen it
    __u16 RemotePort;        // host byte order
    __u8 OldState;           // Linux TCP state numbers
    __u8 NewState;
};
// The namespace fills what was padding: a record of the ring stays 64 bytes with its header.
#ifdef __cplusplus
static_assert(sizeof(struct TcpStateEvent) == 56, "a report stays 56 bytes");
#else
_Static_assert(sizeof(struct TcpStateEvent) == 56, "a report stays 56 bytes");
#endif

// Who connected or listened, reported just before the change to SYN_SENT or LISTEN that the
// process's own call made, in every network namespace reported; a record of its own size, so
// that the far more frequent changes cost no more room in the ring.
struct TcpOwnerEvent {
    __u64 Cookie;
    __u64 Inode;       // the socket's inode, as /proc/PID/fd names it
    __u32 Pid;         // in the reader's pid namespace; 0 when not known there
    __u32 Uid;         // as the machine's first user namespace sees it
    char Command[16];  // the process's short name (comm), NUL-padded
    __u32 Namespace;   // the socket's network namespace's inode; 0 for the loader's own
    __u32 Unused;
};

#endif
