/* Bridging over XSB: bridged inputs leave as "LINK" frames; flows of other
 * cards are announced ("internal_ts") and withdrawn ("internal_ts_clear"),
 * become XSB inputs and are mapped onto this card's bridge port. The maps
 * are written on the loop thread under the control write lock and read by
 * the multiplexer under the read lock. */
#ifndef MCF_XSB_BRIDGE_H
#define MCF_XSB_BRIDGE_H

#include <stddef.h>
#include <stdint.h>

#include "ingress/ingress.h"
#include "cfg/mcf_services.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { XSB_LINK_INDEXES = 55, XSB_BAYS = 8 };

/* The "internal_ts" payload (20 bytes) and the "internal_ts_clear" one (12). */
typedef struct internal_ts_info {
    char src[4]; /* sender's bridge-port address text; character 1 is its bay */
    char dst[4]; /* sender's allocated TS address text */
    uint32_t index;
    uint32_t routable;
    uint32_t rate;
} internal_ts_info;

/* Sends one LINK frame of an input (id 100 to 154): 0, or -1. */
int mcastfwdr_ingress_send_ts_data_into_ring(const uint8_t *data, size_t len, int input_id);
int mcastfwdr_ingress_notify_internal_ts(int bps, int input_id);
int mcastfwdr_ingress_notify_internal_ts_clear(int input_id);
/* Maps every recorded flow address onto the bridge port (end of the start-up delay). */
void mcastfwdr_ingress_set_ts_flow_vmaps(void);
manager_input *mcastfwdr_ingress_get_xsb_input_map(const ingress_to_mux_item *e);
unsigned mcastfwdr_ingress_get_xsb_unr_input_id(unsigned bay, unsigned low_nibble);
const char *mcastfwdr_ingress_get_local_bridge_src_addr(void);

#ifdef __cplusplus
}

namespace mcf {
// The bridge state at the ingress start and stop (loop thread).
void xsb_bridge_init();
void xsb_bridge_fini();
} // namespace mcf
#endif

#endif
