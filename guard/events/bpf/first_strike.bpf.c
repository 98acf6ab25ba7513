// SPDX-License-Identifier: GPL-2.0-or-later
/* The first strike: a handshake completed on the bait marks its remote address blocked in the same
 * softirq that completed it (velmor_first_strike, called by the socket state program), and the
 * programs on the packet path of every interface of the namespace (tc clsact ingress and egress) drop
 * what comes from a blocked address or goes to it before any socket sees it. The guard keeps the
 * blocked map equal to its nftables sets, the exempt trie to what its client spares, and arms the
 * strike only while a client with automatic blocking asks for it. */

#include "vmlinux.h"

#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>

#include "first_strike.bpf.h"
#include "velmor/guard/first_strike_layout.h"

#define ETH_P_IP 0x0800
#define ETH_P_IPV6 0x86DD
#define PROTOCOL_TCP 6
#define TCP_FLAG_SYN 0x02
#define TCP_FLAG_RST 0x04
#define TCP_FLAG_ACK 0x10
#define AF_INET 2
#define AF_INET6 10
#define TC_ACT_UNSPEC (-1)
#define TC_ACT_SHOT 2

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __uint(max_entries, VELMOR_STRIKE_MAX_BLOCKED);
    __type(key, struct velmor_strike_key);
    __type(value, struct velmor_strike_entry);
} strike_blocked SEC(".maps");

/* What the client spares: its allowed rules, its lifelines (resolvers included) and trusted ranges. */
struct {
    __uint(type, BPF_MAP_TYPE_LPM_TRIE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __uint(max_entries, VELMOR_STRIKE_MAX_EXEMPT);
    __type(key, struct velmor_strike_prefix);
    __type(value, __u8);
} strike_exempt SEC(".maps");

/* What the guard spares whoever asks: its namespace's addresses and default gateways. */
struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, VELMOR_STRIKE_MAX_LIFELINES);
    __type(key, struct velmor_strike_key);
    __type(value, __u8);
} strike_lifeline SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct velmor_strike_config);
} strike_config SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct velmor_strike_counts);
} strike_counts SEC(".maps");

static __always_inline struct velmor_strike_counts *counts(void)
{
    __u32 zero = 0;
    return bpf_map_lookup_elem(&strike_counts, &zero);
}

/* Loopback (127.0.0.0/8 in its mapped form, ::1) and the unspecified address are never struck. */
static __always_inline int never_struck(const __u8 *a)
{
    __u64 high, low;
    __builtin_memcpy(&high, a, 8);
    __builtin_memcpy(&low, a + 8, 8);
    if (high != 0) return 0;
    if (low == 0) return 1;
    if (low == bpf_cpu_to_be64(1)) return 1;
    return a[8] == 0 && a[9] == 0 && a[10] == 0xFF && a[11] == 0xFF && a[12] == 127;
}

__noinline int velmor_first_strike(const struct velmor_strike_key *remote)
{
    if (!remote) return 0;
    __u32 zero = 0;
    const struct velmor_strike_config *config = bpf_map_lookup_elem(&strike_config, &zero);
    if (!config || !config->armed) return 0;
    struct velmor_strike_counts *count = counts();
    struct velmor_strike_key key;
    __builtin_memcpy(&key, remote, sizeof key);
    struct velmor_strike_prefix exact = {.prefix_length = 128};
    __builtin_memcpy(exact.address, key.address, sizeof exact.address);
    if (never_struck(key.address) || bpf_map_lookup_elem(&strike_lifeline, &key) ||
        bpf_map_lookup_elem(&strike_exempt, &exact)) {
        if (count) count->spared++;
        return 0;
    }
    struct velmor_strike_entry entry = {
        .since_ns = bpf_ktime_get_ns(),
        .origin = VELMOR_STRIKE_BY_KERNEL,
    };
    const long error = bpf_map_update_elem(&strike_blocked, &key, &entry, BPF_NOEXIST);
    /* Already there: the sets hold it (its packets reached the bait on a path that drops nothing). */
    if (error == -17 /* EEXIST */) return 1;
    if (error) {
        if (count) count->full++;
        return 0;
    }
    if (count) count->struck++;
    return 1;
}

/* The remote address of a packet (its source coming in, its destination going out) and its TCP
 * flags (0 for another protocol); -1 for a packet that is neither IPv4 nor IPv6. A SYN coming in
 * fills `syn` too. */
static __always_inline int remote_of(struct __sk_buff *skb, int ingress, struct velmor_strike_key *key,
                                     __u8 *tcp_flags, struct velmor_syn *syn)
{
    __u8 protocol;
    __u32 transport;
    __u16 family;
    if (skb->protocol == bpf_htons(ETH_P_IP)) {
        struct iphdr ip;
        if (bpf_skb_load_bytes_relative(skb, 0, &ip, sizeof ip, BPF_HDR_START_NET)) return -1;
        __builtin_memset(key->address, 0, 10);
        key->address[10] = 0xFF;
        key->address[11] = 0xFF;
        const __be32 remote = ingress ? ip.saddr : ip.daddr;
        __builtin_memcpy(key->address + 12, &remote, 4);
        protocol = ip.protocol;
        transport = (__u32)ip.ihl * 4;
        family = AF_INET;
        if (ingress) {
            __builtin_memcpy(syn->local, &ip.daddr, 4);
            __builtin_memcpy(syn->remote, &ip.saddr, 4);
        }
    } else if (skb->protocol == bpf_htons(ETH_P_IPV6)) {
        struct ipv6hdr ip6;
        if (bpf_skb_load_bytes_relative(skb, 0, &ip6, sizeof ip6, BPF_HDR_START_NET)) return -1;
        if (ingress)
            __builtin_memcpy(key->address, &ip6.saddr, 16);
        else
            __builtin_memcpy(key->address, &ip6.daddr, 16);
        protocol = ip6.nexthdr;
        transport = sizeof ip6;
        family = AF_INET6;
        if (ingress) {
            __builtin_memcpy(syn->local, &ip6.daddr, 16);
            __builtin_memcpy(syn->remote, &ip6.saddr, 16);
        }
    } else {
        return -1;
    }
    *tcp_flags = 0;
    if (protocol != PROTOCOL_TCP) return 0;
    /* The ports, then the flags in the 14th byte of the TCP header. */
    __u8 head[14];
    if (bpf_skb_load_bytes_relative(skb, transport, head, sizeof head, BPF_HDR_START_NET)) return 0;
    *tcp_flags = head[13];
    if (ingress) {
        syn->family = family;
        syn->remote_port = (__u16)(head[0] << 8 | head[1]);
        syn->local_port = (__u16)(head[2] << 8 | head[3]);
    }
    return 0;
}

static __always_inline int packet_verdict(struct __sk_buff *skb, int ingress)
{
    struct velmor_strike_key key;
    struct velmor_syn syn = {};
    __u8 tcp_flags = 0;
    if (remote_of(skb, ingress, &key, &tcp_flags, &syn) != 0) return TC_ACT_UNSPEC;
    struct velmor_strike_entry *entry = bpf_map_lookup_elem(&strike_blocked, &key);
    if (!entry) {
        /* A SYN let in may leave a half-open row: news for the reader of the table. */
        if (ingress && (tcp_flags & (TCP_FLAG_SYN | TCP_FLAG_ACK)) == TCP_FLAG_SYN) velmor_report_syn(&syn);
        return TC_ACT_UNSPEC;
    }
    /* The reset of a connection the guard tears down still leaves: the intruder learns the connection
     * is gone, as it did before; nothing it sends is let in to answer. */
    if (!ingress && (tcp_flags & TCP_FLAG_RST)) return TC_ACT_UNSPEC;
    if (entry->first_drop_ns == 0) entry->first_drop_ns = bpf_ktime_get_ns();
    struct velmor_strike_counts *count = counts();
    if (count) {
        if (ingress)
            count->dropped_in++;
        else
            count->dropped_out++;
    }
    return TC_ACT_SHOT;
}

/* UNSPEC hands a packet on to the next filter of the interface, so a filter of someone else's after
 * this one still sees everything that is not dropped here. */
SEC("tc")
int velmor_strike_in(struct __sk_buff *skb)
{
    return packet_verdict(skb, 1);
}

SEC("tc")
int velmor_strike_out(struct __sk_buff *skb)
{
    return packet_verdict(skb, 0);
}
