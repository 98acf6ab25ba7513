/* The first strike's entry for the socket state program (first_strike.bpf.c, linked into the same
 * object). */
#pragma once

#include "velmor/guard/first_strike_layout.h"

/* Marks `remote` blocked when the strike is armed and the address is neither exempt nor a lifeline;
 * 1 when the blocked map holds it afterwards. */
int velmor_first_strike(const struct velmor_strike_key* remote);

/* A SYN that came in, as the socket event program reports it (addresses as in its records: IPv4 in
 * the first four bytes; ports in host order). */
struct velmor_syn {
    __u8 local[16];
    __u8 remote[16];
    __u16 local_port;
    __u16 remote_port;
    __u16 family;
    __u16 reserved;
};

/* Reports a SYN that came in, at most one every 100 ms (socket_events.bpf.c). */
int velmor_report_syn(const struct velmor_syn* syn);
