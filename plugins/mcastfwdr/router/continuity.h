/* The continuity rule shared by the input and output checks (ISO/IEC
 * 13818-1 2.4.3.3): a packet with payload advances the counter, one without
 * repeats it, one duplicate of a packet is allowed, and a set
 * discontinuity_indicator accepts any counter. The first packet of a PID is
 * the reference. Reads the header in place; no state beyond the caller's. */
#ifndef MCF_CONTINUITY_H
#define MCF_CONTINUITY_H

#include <stdint.h>

/* last_cc: the counter of the PID's last packet, -1 before the first;
 * dup_seen: whether a duplicate was just allowed. Both are updated. */
static inline int mcf_cc_ok(int *last_cc, int *dup_seen, const uint8_t *b)
{
    const unsigned afc = b[3] >> 4 & 3, cc = b[3] & 15;
    const int prev = *last_cc;
    int ok;
    *last_cc = (int)cc;
    if (prev < 0) {
        ok = 1;
    } else if ((afc & 2) && b[4] > 0 && (b[5] & 0x80)) { /* discontinuity_indicator */
        ok = 1;
    } else if (!(afc & 1)) {
        return cc == (unsigned)prev;
    } else if (cc == (((unsigned)prev + 1) & 15)) {
        ok = 1;
    } else if (cc == (unsigned)prev && !*dup_seen) {
        *dup_seen = 1;
        return 1;
    } else {
        ok = 0;
    }
    *dup_seen = 0;
    return ok;
}

#endif
