// SPDX-License-Identifier: GPL-2.0-or-later
/* Says who owns the TCP sockets of one network namespace: the process that connects a socket or
 * makes it listen (from the tracepoint sock/inet_sock_set_state, which runs in that process's context
 * for both), and the one that accepts a connection: first the owner of the listener on its port, when
 * the connection is established, then, where the kernel has BPF trampolines, the process that the
 * accept call returns it to (at the return of inet_csk_accept). Keeps the owner
 * per socket cookie in an LRU map while the socket lives, and reports each owner, and the last byte
 * counts of a socket that closes, through a ring buffer. Read-only: it changes no socket or packet. */

#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "velmor/guard/socket_owner_layout.h"

#define AF_INET 2
#define AF_INET6 10
#define IPPROTO_TCP 6
#define STATE_ESTABLISHED 1
#define STATE_SYN_SENT 2
#define STATE_SYN_RECV 3
#define STATE_CLOSE 7
#define STATE_LISTEN 10

char LICENSE[] SEC("license") = "GPL";

/* Set by the loader: the inode number of the namespace to watch. */
const volatile __u32 target_netns = 0;

/* Records the ring buffer had no room for. */
__u64 lost_records = 0;

/* One entry per live socket that a process was seen to connect, make listen or accept; a socket's
 * entry goes when it closes, and the oldest go first should a namespace hold more. */
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 65536);
    __type(key, __u64);
    __type(value, struct velmor_owner);
} socket_owners SEC(".maps");

/* The owner of the listener on each local port, for the connections it will accept. */
struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, 4096);
    __type(key, __u16);
    __type(value, struct velmor_owner);
} listener_owners SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 1024 * 1024);
} owner_records SEC(".maps");

static __always_inline int watched(struct sock *sk)
{
    return BPF_CORE_READ(sk, sk_protocol) == IPPROTO_TCP &&
           BPF_CORE_READ(sk, __sk_common.skc_net.net, ns.inum) == target_netns;
}

static __always_inline void take_addresses(struct sock *sk, struct velmor_owner_record *record)
{
    const __u16 family = BPF_CORE_READ(sk, __sk_common.skc_family);
    record->family = family;
    record->local_port = BPF_CORE_READ(sk, __sk_common.skc_num);
    record->remote_port = __builtin_bswap16(BPF_CORE_READ(sk, __sk_common.skc_dport));
    if (family == AF_INET) {
        __be32 local = BPF_CORE_READ(sk, __sk_common.skc_rcv_saddr);
        __be32 remote = BPF_CORE_READ(sk, __sk_common.skc_daddr);
        __builtin_memcpy(record->local, &local, sizeof(local));
        __builtin_memcpy(record->remote, &remote, sizeof(remote));
    } else {
        struct in6_addr local = BPF_CORE_READ(sk, __sk_common.skc_v6_rcv_saddr);
        struct in6_addr remote = BPF_CORE_READ(sk, __sk_common.skc_v6_daddr);
        __builtin_memcpy(record->local, &local, sizeof(local));
        __builtin_memcpy(record->remote, &remote, sizeof(remote));
    }
}

static __always_inline struct velmor_owner_record *reserve(void)
{
    struct velmor_owner_record *record = bpf_ringbuf_reserve(&owner_records, sizeof(*record), 0);
    if (!record) {
        __sync_fetch_and_add(&lost_records, 1);
        return 0;
    }
    __builtin_memset(record, 0, sizeof(*record));
    record->version = VELMOR_SOCKET_OWNER_VERSION;
    return record;
}

/* `owner` becomes the owner of the socket `cookie`, and is told. */
static __always_inline void keep_owner(struct sock *sk, __u64 cookie, __u8 kind, struct velmor_owner *owner)
{
    bpf_map_update_elem(&socket_owners, &cookie, owner, BPF_ANY);

    struct velmor_owner_record *record = reserve();
    if (!record) return;
    record->cookie = cookie;
    record->kind = kind;
    record->has_owner = 1;
    record->owner = *owner;
    take_addresses(sk, record);
    bpf_ringbuf_submit(record, 0);
}

/* The calling process becomes the owner of the socket `cookie`. */
static __always_inline void take_owner(struct sock *sk, __u64 cookie, __u8 kind)
{
    if (cookie == 0) return;
    struct velmor_owner owner = {};
    struct task_struct *task = (struct task_struct *)bpf_get_current_task();
    owner.tgid = bpf_get_current_pid_tgid() >> 32;
    owner.uid = (__u32)bpf_get_current_uid_gid();
    owner.start_ns = BPF_CORE_READ(task, group_leader, start_boottime);
    BPF_CORE_READ_STR_INTO(&owner.comm, task, group_leader, comm);
    keep_owner(sk, cookie, kind, &owner);
    if (kind == VELMOR_OWNER_LISTEN) {
        __u16 port = BPF_CORE_READ(sk, __sk_common.skc_num);
        bpf_map_update_elem(&listener_owners, &port, &owner, BPF_ANY);
    }
}

/* The socket closed: its owner entry goes, and its last counts are told if it moved any bytes. */
static __always_inline void take_close(struct sock *sk, __u64 cookie)
{
    struct velmor_owner *owner = bpf_map_lookup_elem(&socket_owners, &cookie);
    struct tcp_sock *tcp = (struct tcp_sock *)sk;
    const __u64 received = BPF_CORE_READ(tcp, bytes_received);
    const __u64 acked = BPF_CORE_READ(tcp, bytes_acked);
    if (received != 0 || acked != 0) {
        struct velmor_owner_record *record = reserve();
        if (record) {
            record->cookie = cookie;
            record->kind = VELMOR_OWNER_CLOSE;
            record->bytes_received = received;
            record->bytes_acked = acked;
            if (owner) {
                record->has_owner = 1;
                record->owner = *owner;
            }
            take_addresses(sk, record);
            bpf_ringbuf_submit(record, 0);
        }
    }
    if (owner) bpf_map_delete_elem(&socket_owners, &cookie);
}

SEC("tp_btf/inet_sock_set_state")
int BPF_PROG(on_owner_state, struct sock *sk, int old_state, int new_state)
{
    if (!watched(sk)) return 0;
    if (old_state == STATE_CLOSE && (new_state == STATE_SYN_SENT || new_state == STATE_LISTEN)) {
        /* connect() and listen() change the state in the calling process. */
        take_owner(sk, bpf_get_socket_cookie(sk), new_state == STATE_LISTEN ? VELMOR_OWNER_LISTEN
                                                                            : VELMOR_OWNER_CONNECT);
    } else if (old_state == STATE_SYN_RECV && new_state == STATE_ESTABLISHED) {
        /* A connection that a listener will hand to accept(), in the softirq that completes it: it
         * belongs to the listener's owner until the accept below (where it runs) names the process
         * that took it. The cookie is made now, so that the accept finds it in the socket. */
        __u64 cookie = bpf_get_socket_cookie(sk);
        __u16 port = BPF_CORE_READ(sk, __sk_common.skc_num);
        struct velmor_owner *listener = bpf_map_lookup_elem(&listener_owners, &port);
        if (listener && cookie != 0) {
            struct velmor_owner owner = *listener;
            keep_owner(sk, cookie, VELMOR_OWNER_ACCEPT, &owner);
        }
    } else if (new_state == STATE_CLOSE) {
        if (old_state == STATE_LISTEN) {
            __u16 port = BPF_CORE_READ(sk, __sk_common.skc_num);
            bpf_map_delete_elem(&listener_owners, &port);
        }
        take_close(sk, bpf_get_socket_cookie(sk));
    }
    return 0;
}

SEC("fexit/inet_csk_accept")
int BPF_PROG(on_accept_return)
{
    /* The returned socket, whatever the function's arguments are in this kernel. */
    __u64 returned = 0;
    if (bpf_get_func_ret(ctx, &returned) != 0 || returned == 0) return 0;
    struct sock *sk = (struct sock *)returned;
    if (!watched(sk)) return 0;
    take_owner(sk, BPF_CORE_READ(sk, __sk_common.skc_cookie.counter), VELMOR_OWNER_ACCEPT);
    return 0;
}
