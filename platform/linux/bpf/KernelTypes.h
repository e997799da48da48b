// The kernel types the kernel programs read, and nothing else. The packet and map types come
// from the kernel's user-space headers, whose layout is fixed. The socket structures are the
// kernel's own and differ from one kernel build to the next, so they are declared here with
// only the fields the programs read, under their kernel names, and compiled with
// preserve_access_index: libbpf relocates every access to the running kernel's layout (CO-RE).
// That needs no header made from a particular kernel, and serves every architecture.
#ifndef QUARNEL_KERNEL_TYPES_H
#define QUARNEL_KERNEL_TYPES_H

#include <linux/bpf.h>
#include <linux/in.h>
#include <linux/ip.h>
#include <linux/ipv6.h>
#include <linux/tcp.h>
#include <linux/types.h>
#include <stdbool.h>

#define AF_INET 2
#define AF_INET6 10

#pragma clang attribute push(__attribute__((preserve_access_index)), apply_to = record)

struct ns_common {
    unsigned int inum;
};

struct net {
    struct ns_common ns;
};

typedef struct {
    struct net* net;
} possible_net_t;

// The kernel keeps several of these fields in anonymous unions; CO-RE finds them by name.
struct sock_common {
    __be32 skc_daddr;
    __be32 skc_rcv_saddr;
    __be16 skc_dport;
    __u16 skc_num;
    unsigned short skc_family;
    int skc_bound_dev_if;
    possible_net_t skc_net;
    struct in6_addr skc_v6_daddr;
    struct in6_addr skc_v6_rcv_saddr;
};

struct inode {
    unsigned short i_mode;
    unsigned long i_ino;
};

struct file {
    struct inode* f_inode;
    void* private_data;  // a socket's file: its struct socket
};

struct sock;

struct socket {
    struct file* file;
    struct sock* sk;
};

struct sock {
    struct sock_common __sk_common;
    __u16 sk_protocol;
    struct socket* sk_socket;
};

struct inet_sock {
    struct sock sk;
};

struct inet_connection_sock {
    struct inet_sock icsk_inet;
};

struct tcp_sock {
    struct inet_connection_sock inet_conn;
};

struct pid_namespace {
    struct ns_common ns;
};

struct upid {
    int nr;
    struct pid_namespace* ns;
};

struct pid {
    unsigned int level;
    struct upid numbers[1];  // one per level, the outermost first
};

typedef struct {
    __u32 val;
} kuid_t;

struct cred {
    kuid_t uid;
};

struct task_struct {
    struct task_struct* group_leader;
    struct pid* thread_pid;
    const struct cred* real_cred;
    char comm[16];
};

struct seq_file;

struct bpf_iter_meta {
    struct seq_file* seq;
};

struct bpf_iter__task_file {
    struct bpf_iter_meta* meta;
    struct task_struct* task;
    __u32 fd;
    struct file* file;
};

#pragma clang attribute pop

#endif
