// Engine parts that join the modules: the KLV sources following the
// configuration and the interfaces, the ASI output interfaces' addresses,
// and the managers' synchronisation with the PID index rebuild it asks for.
#include "engine.h"
#include "mcastfwdr.h"
#include "router/phindex.h"
#include "router/populate.h"
#include "ingress/manager_input.h"
#include "outputs/manager_output.h"

#include <cstdio>

extern "C" {

// KLV source sockets follow the configuration and the interfaces.
void mcastfwdr_klv_sources_enable(const char *ifname)
{
    if (ifname)
        mcfcfg_rx_klv_enable_on_interface(&mcf_cfg, ifname);
    else
        mcfcfg_rx_klv_on_loaded(&mcf_cfg);
}
void mcastfwdr_klv_sources_disable(const char *ifname) { mcfcfg_rx_klv_disable_on_interface(&mcf_cfg, ifname); }

int mcastfwdr_asi_ip_address(char *buf, int output_id)
{
    // The ASI ports answer on 169.254.1.80 + n, one address per output.
    return std::snprintf(buf, 16, "169.254.1.%d", 80 + (output_id & 0x7F)) > 0 ? 0 : -1;
}

int manager_input_output_sync(int32_t force)
{
    int changed = manager_inputs_sync(&mcf_cfg);
    changed += manager_outputs_sync(&mcf_cfg);
    // An output deleted before this call and not made again changes no
    // count here, but the index must not keep routing to it.
    if (changed || force || mcf::populated_output_count() != manager_outputs_count())
        phindex_repopulate();
    return changed;
}

} // extern "C"
