#pragma once

/* The maps of the first strike, shared by its BPF programs and the guard that keeps them: the keys
 * and values as both compilers lay them out. IPv4 addresses are keyed in their IPv4-mapped IPv6 form
 * (::ffff:a.b.c.d), so one map holds both families and a dual-stack socket's IPv4 peer finds the
 * same entry as an IPv4 packet. */

#ifndef __VMLINUX_H__
#include <linux/types.h>
#endif

/* The bait: a handshake completed on this local port proves its remote address an intruder. */
#define VELMOR_BAIT_PORT 80

/* Room for every address Velmor blocks (the sets mirrored) and the strikes of a flood beside them;
 * entries are allocated as they come, so the room costs nothing until it is used. */
#define VELMOR_STRIKE_MAX_BLOCKED (256 * 1024)
/* Addresses with an allowed rule, lifelines and trusted ranges: 100,000 allowed rules and more. */
#define VELMOR_STRIKE_MAX_EXEMPT (256 * 1024)
/* The guard's own lifelines: the namespace's addresses and its default gateways. */
#define VELMOR_STRIKE_MAX_LIFELINES 4096

/* Who put an address into the blocked map. */
#define VELMOR_STRIKE_BY_KERNEL 1 /* the handshake on the bait */
#define VELMOR_STRIKE_BY_GUARD 2  /* the blocked sets, as a client asked */

/* In a socket event: the kernel struck the remote address when this handshake completed. */
#define VELMOR_EVENT_STRUCK 0x01

struct velmor_strike_key {
    __u8 address[16];
};

struct velmor_strike_entry {
    __u64 since_ns;      /* CLOCK_MONOTONIC when it was struck or put in */
    __u64 first_drop_ns; /* the first packet dropped for it; 0 while none was */
    __u32 origin;        /* VELMOR_STRIKE_BY_KERNEL or VELMOR_STRIKE_BY_GUARD */
    __u32 reserved;
};

/* A range of the exempt trie: the prefix length counts the bits of the 16-byte form (an IPv4 /24 is
 * 96 + 24). */
struct velmor_strike_prefix {
    __u32 prefix_length;
    __u8 address[16];
};

struct velmor_strike_config {
    __u32 armed; /* strike only while a client asked for it */
    __u32 reserved;
};

/* Per CPU, summed by the guard. */
struct velmor_strike_counts {
    __u64 struck;      /* addresses marked by a handshake on the bait */
    __u64 spared;      /* bait handshakes of exempt addresses and lifelines */
    __u64 full;        /* handshakes that found the blocked map full */
    __u64 dropped_in;  /* packets dropped from blocked addresses */
    __u64 dropped_out; /* packets dropped to them */
};
