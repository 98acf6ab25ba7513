/* The first strike's entry for the socket state program (first_strike.bpf.c, linked into the same
 * object). */
#pragma once

#include "velmor/guard/first_strike_layout.h"

/* Marks `remote` blocked when the strike is armed and the address is neither exempt nor a lifeline;
 * 1 when the blocked map holds it afterwards. */
int velmor_first_strike(const struct velmor_strike_key* remote);
