/* Host routes of multicast groups: one route per (group, interface), set
 * by the first owner and removed by the last. Loop thread only. */
#ifndef MCF_ROUTES_H
#define MCF_ROUTES_H

#include <stdbool.h>

#include "cfg/mcf_services.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Adds (is_add) or deletes the host route of `addr` (dotted quad) through
 * `intf` (eth0 to eth9 or lo) with route netlink. -1 when the pair does not
 * form a valid route ("Command format invalid" logged), else 0, also when
 * the kernel refused (logged as a warning). */
int mcf_route_apply_rule(const char *addr, const char *intf, bool is_add);

/* Whether this process may change routes and neighbours: always on the
 * card; off it only inside a named network namespace (a test's). */
bool mcf_route_may_change(void);

/* Route of an input manager from its record; nothing for a unicast input. */
void mcf_route_rx_add(manager_input *mi, const cfg_rx *rx);
void mcf_route_rx_delete(manager_input *mi);
/* A KLV source's route (none for "0.0.0.0"; -1 then and when shared). */
int mcf_route_rx_klv_add(cfg_rx_klv *klv);
int mcf_route_rx_klv_delete(cfg_rx_klv *klv);

#ifdef __cplusplus
}
#endif

#endif
