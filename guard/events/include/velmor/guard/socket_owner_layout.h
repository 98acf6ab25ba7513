#pragma once

/* The records of the kernel program that says who owns a TCP socket: the process that connected,
 * listened or accepted it, taken in that process's own context, and a socket's last byte counts when
 * it closes. Shared by the BPF program and user space as socket_event_layout.h is; user space reads
 * the fields at these offsets and never casts ring-buffer bytes to the struct. */

#ifndef __VMLINUX_H__
#include <linux/types.h>
#endif

#define VELMOR_SOCKET_OWNER_VERSION 1

#define VELMOR_OWNER_CONNECT 1 /* connect(): the socket left CLOSE for SYN_SENT */
#define VELMOR_OWNER_LISTEN 2  /* listen(): the socket left CLOSE for LISTEN */
#define VELMOR_OWNER_ACCEPT 3  /* accept() returned the socket */
#define VELMOR_OWNER_CLOSE 4   /* the socket reached CLOSE having moved bytes; its last counts */

/* The process behind a socket, as the owner map keeps it per socket cookie. */
struct velmor_owner {
    __u64 start_ns; /* when the thread group started: its leader's start_boottime */
    __u32 tgid;
    __u32 uid;     /* the caller's real user */
    char comm[16]; /* the thread group's name (its leader's comm), NUL-terminated */
};

struct velmor_owner_record {
    __u64 cookie;         /* socket cookie, the one sock_diag reports as idiag_cookie */
    __u64 bytes_received; /* VELMOR_OWNER_CLOSE: tcp_sock's bytes_received */
    __u64 bytes_acked;    /* VELMOR_OWNER_CLOSE: tcp_sock's bytes_acked */
    struct velmor_owner owner;
    __u8 local[16]; /* as in velmor_socket_event */
    __u8 remote[16];
    __u16 local_port; /* host byte order; 0 at connect, before the kernel picks it */
    __u16 remote_port;
    __u16 family;     /* AF_INET or AF_INET6 */
    __u8 kind;        /* VELMOR_OWNER_* */
    __u8 has_owner;   /* 1 when `owner` is set (a CLOSE record of a socket nobody was seen to own: 0) */
    __u8 version;     /* VELMOR_SOCKET_OWNER_VERSION */
    __u8 reserved[7]; /* zero */
};
