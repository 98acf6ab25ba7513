// SPDX-License-Identifier: GPL-2.0-or-later
/* Reports TCP sockets of one network namespace entering or leaving the connection table, from the
 * tracepoint sock/inet_sock_set_state. It changes no socket and no packet; a handshake completed on
 * the bait calls the first strike (first_strike.bpf.c) before it is reported. */

#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "first_strike.bpf.h"
#include "velmor/guard/socket_event_layout.h"

#define AF_INET 2
#define AF_INET6 10
#define IPPROTO_TCP 6

char LICENSE[] SEC("license") = "GPL";

/* Set by the loader before the program is loaded: the inode number of the namespace to watch. */
const volatile __u32 target_netns = 0;

/* Events the ring buffer had no room for; user space reads it to know that it missed some. */
__u64 lost_events = 0;

/* Room for a flood: 4 MiB hold about 65,000 records, the events of some 20,000 intruders that arrive
 * while the guard is busy with a large teardown or set change. */
struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 4 * 1024 * 1024);
} events SEC(".maps");

SEC("tp_btf/inet_sock_set_state")
int BPF_PROG(on_inet_sock_set_state, struct sock *sk, int old_state, int new_state)
{
    if (BPF_CORE_READ(sk, sk_protocol) != IPPROTO_TCP) return 0;
    if (BPF_CORE_READ(sk, __sk_common.skc_net.net, ns.inum) != target_netns) return 0;

    /* Reported: leaving CLOSE (connect, listen), the end of a handshake (SYN_SENT or SYN_RECV to the
     * next state) and reaching CLOSE. A connect's first step fires before the kernel picks its local
     * port, and an accepted socket's LISTEN -> SYN_RECV step before its addresses are filled in, so
     * the end of the handshake is the first event that names such a socket completely. The states in
     * between change nothing in the table's rows but their state, and are left out. */
    if (old_state != TCP_CLOSE && old_state != TCP_SYN_SENT && old_state != TCP_SYN_RECV &&
        new_state != TCP_CLOSE)
        return 0;

    const __u16 family = BPF_CORE_READ(sk, __sk_common.skc_family);
    if (family != AF_INET && family != AF_INET6) return 0;

    /* The strike does not wait for room in the ring buffer. */
    __u8 flags = 0;
    if (old_state == TCP_SYN_RECV && new_state == TCP_ESTABLISHED &&
        BPF_CORE_READ(sk, __sk_common.skc_num) == VELMOR_BAIT_PORT) {
        struct velmor_strike_key remote = {.address = {[10] = 0xFF, [11] = 0xFF}};
        if (family == AF_INET) {
            __be32 v4 = BPF_CORE_READ(sk, __sk_common.skc_daddr);
            __builtin_memcpy(remote.address + 12, &v4, sizeof(v4));
        } else {
            struct in6_addr v6 = BPF_CORE_READ(sk, __sk_common.skc_v6_daddr);
            __builtin_memcpy(remote.address, &v6, sizeof(v6));
        }
        if (velmor_first_strike(&remote) > 0) flags |= VELMOR_EVENT_STRUCK;
    }

    struct velmor_socket_event *event = bpf_ringbuf_reserve(&events, sizeof(*event), 0);
    if (!event) {
        __sync_fetch_and_add(&lost_events, 1);
        return 0;
    }
    __builtin_memset(event, 0, sizeof(*event));
    event->cookie = bpf_get_socket_cookie(sk);
    event->time_ns = bpf_ktime_get_ns();
    event->family = family;
    event->old_state = (__u8)old_state;
    event->new_state = (__u8)new_state;
    event->version = VELMOR_SOCKET_EVENT_VERSION;
    event->flags = flags;
    event->local_port = BPF_CORE_READ(sk, __sk_common.skc_num);
    event->remote_port = __builtin_bswap16(BPF_CORE_READ(sk, __sk_common.skc_dport));
    event->interface_index = (__u32)BPF_CORE_READ(sk, __sk_common.skc_bound_dev_if);
    if (family == AF_INET) {
        __be32 local = BPF_CORE_READ(sk, __sk_common.skc_rcv_saddr);
        __be32 remote = BPF_CORE_READ(sk, __sk_common.skc_daddr);
        __builtin_memcpy(event->local, &local, sizeof(local));
        __builtin_memcpy(event->remote, &remote, sizeof(remote));
    } else {
        struct in6_addr local = BPF_CORE_READ(sk, __sk_common.skc_v6_rcv_saddr);
        struct in6_addr remote = BPF_CORE_READ(sk, __sk_common.skc_v6_daddr);
        __builtin_memcpy(event->local, &local, sizeof(local));
        __builtin_memcpy(event->remote, &remote, sizeof(remote));
    }
    bpf_ringbuf_submit(event, 0);
    return 0;
}

/* When the last SYN was reported, and how often at most. */
__u64 last_syn_report_ns = 0;
#define SYN_REPORT_INTERVAL_NS (100 * 1000 * 1000ULL)

/* A SYN came in (the first strike's packet-path program saw it): a half-open row that the state
 * tracepoint never names, its sender perhaps forged. Reported as entering NEW_SYN_RECV, at most one
 * every 100 ms, so that the reader looks at the table for it and a flood of SYNs costs a handful of
 * events. */
__noinline int velmor_report_syn(const struct velmor_syn *syn)
{
    if (!syn) return 0;
    const __u64 now = bpf_ktime_get_ns();
    if (now - last_syn_report_ns < SYN_REPORT_INTERVAL_NS) return 0;
    last_syn_report_ns = now;
    struct velmor_socket_event *event = bpf_ringbuf_reserve(&events, sizeof(*event), 0);
    if (!event) {
        __sync_fetch_and_add(&lost_events, 1);
        return 0;
    }
    __builtin_memset(event, 0, sizeof(*event));
    event->time_ns = now;
    event->family = syn->family;
    event->old_state = TCP_CLOSE;
    event->new_state = TCP_NEW_SYN_RECV;
    event->version = VELMOR_SOCKET_EVENT_VERSION;
    event->local_port = syn->local_port;
    event->remote_port = syn->remote_port;
    __builtin_memcpy(event->local, syn->local, sizeof(event->local));
    __builtin_memcpy(event->remote, syn->remote, sizeof(event->remote));
    bpf_ringbuf_submit(event, 0);
    return 1;
}
