#pragma once

/* The record the kernel program writes into the ring buffer, one per socket entering or leaving the
 * TCP table. Shared by the BPF program (which includes vmlinux.h for its types) and user space (which
 * takes them from <linux/types.h>); kept in C so both compilers read the same layout. User space
 * never casts ring-buffer bytes to it: the decoder reads the fields at these offsets. */

#ifndef __VMLINUX_H__
#include <linux/types.h>
#endif

#define VELMOR_SOCKET_EVENT_VERSION 1

struct velmor_socket_event {
    __u64 cookie;   /* socket cookie, the one sock_diag reports as idiag_cookie */
    __u64 time_ns;  /* CLOCK_MONOTONIC when the state changed */
    __u8 local[16]; /* IPv4 in the first four bytes; IPv6 (or IPv4-mapped) in all sixteen */
    __u8 remote[16];
    __u32 interface_index; /* the device the socket is bound to, 0 for none */
    __u16 local_port;      /* host byte order */
    __u16 remote_port;     /* host byte order */
    __u16 family;          /* AF_INET or AF_INET6 */
    __u8 old_state;        /* Linux TCP states (TCP_ESTABLISHED = 1 ... TCP_CLOSING = 11) */
    __u8 new_state;
    __u8 version;     /* VELMOR_SOCKET_EVENT_VERSION */
    __u8 flags;       /* VELMOR_EVENT_STRUCK (first_strike_layout.h) */
    __u8 reserved[2]; /* zero */
};
