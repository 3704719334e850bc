// Control checks the configuration setters call before a change is
// applied: endpoint uniqueness, SRT address correction, the bridge limit,
// per-record alarms, and the manager changes around one input.
#include "engine.h"
#include "mcastfwdr.h"
#include "mcf_utils.h"
#include "mmsg.h"
#include "outputs/manager_output.h"

#include <kerrow/alarm.h>
#include <kerrow/remote.h>

#include <cstdio>
#include <cstring>

namespace {

// One endpoint's address text and port, when its IP fields are complete.
struct endpoint {
    const char *node;
    int port;
    bool same(const endpoint &o) const { return port == o.port && std::strcmp(node, o.node) == 0; }
};

bool complete(const char *node, int port) { return std::strcmp(node, MCF_ADDR_UNSET) != 0 && port != -1; }

// Two receivers on one port coexist only when both are multicast, or both
// are not, and their addresses differ.
bool receivers_conflict(const endpoint &a, const endpoint &b)
{
    if (a.port != b.port)
        return false;
    const bool ma = mcastfwdr_ip_addr_is_multicast(a.node), mb = mcastfwdr_ip_addr_is_multicast(b.node);
    return ma != mb || std::strcmp(a.node, b.node) == 0;
}

// A receiving endpoint (Net input or KLV source) against every other
// receiver and every output destination; `self` is skipped.
bool receiver_is_unique(const endpoint &e, const void *self)
{
    for (const cfg_rx &rx : mcf::records<cfg_rx>(mcf_cfg.rules_rx))
        if (&rx != self && rx.ingress_type == INGRTYPE_NET && !cfg_rx_ip_fields_incomplete(&rx) &&
            receivers_conflict(e, {rx.ingress_node, rx.ingress_port}))
            return false;
    for (const cfg_rx_klv &k : mcf::records<cfg_rx_klv>(mcf_cfg.rules_rx_klv))
        if (&k != self && !cfg_rx_klv_ip_fields_incomplete(&k) && receivers_conflict(e, {k.node, k.port}))
            return false;
    for (const cfg_tx &tx : mcf::records<cfg_tx>(mcf_cfg.rules_tx)) {
        if (complete(tx.dest_node, tx.dest_port) && e.same({tx.dest_node, tx.dest_port}))
            return false;
        if (complete(tx.redundant_node, tx.redundant_port) && e.same({tx.redundant_node, tx.redundant_port}))
            return false;
    }
    return true;
}

// An output's main (redundant false) or second destination.
bool sender_is_unique(const cfg_tx *self, bool redundant)
{
    const endpoint e = redundant ? endpoint{self->redundant_node, self->redundant_port}
                                 : endpoint{self->dest_node, self->dest_port};
    const endpoint other = redundant ? endpoint{self->dest_node, self->dest_port}
                                     : endpoint{self->redundant_node, self->redundant_port};
    if (complete(other.node, other.port) && e.same(other))
        return false;
    for (const cfg_rx &rx : mcf::records<cfg_rx>(mcf_cfg.rules_rx))
        if (rx.ingress_type == INGRTYPE_NET && !cfg_rx_ip_fields_incomplete(&rx) &&
            e.same({rx.ingress_node, rx.ingress_port}))
            return false;
    for (const cfg_rx_klv &k : mcf::records<cfg_rx_klv>(mcf_cfg.rules_rx_klv))
        if (!cfg_rx_klv_ip_fields_incomplete(&k) && e.same({k.node, k.port}))
            return false;
    for (const cfg_tx &tx : mcf::records<cfg_tx>(mcf_cfg.rules_tx)) {
        if (&tx == self)
            continue;
        const endpoint t = redundant ? endpoint{tx.redundant_node, tx.redundant_port} : endpoint{tx.dest_node, tx.dest_port};
        if (complete(t.node, t.port) && e.same(t))
            return false;
    }
    return true;
}

template <size_t N> int correct_srt_address(char (&node)[N], const char *addr, srt_connect mode, const char *what, int id)
{
    if (!addr)
        return 0;
    if (mode == SRT_LISTENER) {
        if (std::strcmp(addr, "0.0.0.0") == 0)
            return 0;
        std::snprintf(node, N, "%s", "0.0.0.0");
        return 1;
    }
    if (!mcastfwdr_ip_addr_is_multicast(addr) && std::strcmp(addr, "0.0.0.0") != 0)
        return 0;
    mcf_post_log(SQ_LOG_DEBUG, "%s %d %s address: %s forcing to %s", what, id,
                 std::strcmp(what, "SRT Input") == 0 ? "is mcast or 0" : "is multicast or 0", addr, MCF_ADDR_UNSET);
    std::snprintf(node, N, "%s", MCF_ADDR_UNSET);
    return 1;
}

int register_joined(const char *label, const char *base)
{
    struct alarm_text {
        const char *label, *description;
    };
    static const alarm_text texts[] = {
        {"Service data exceeds TMR",
         "Triggered when output TMR is less than the aggregate rate of service data received from multiplexed "
         "sources. Cleared when TMR is set higher, the number of sources is reduced, or source rates are reduced."},
        {"PCR Lost Lock",
         "Triggered when the PCR received from multiplexed sources is discontinuous or inaccurate. Cleared when "
         "subsequent PCRs are restored. Possible causes are inaccurate input TMR or input service data loss."},
        {"CC Errors",
         "Triggered when CC errors occur on streams flowing through an interface. Cleared when no further CC errors "
         "are found. Data loss may come from origination or from inaccurate data rates."},
        {"SRT Fail",
         "Triggered when normal SRT operations fail unexpectedly. Cleared when transmit is toggled or any other IP "
         "option is changed.  This will reset and restart the output."},
    };
    char joined[64];
    std::snprintf(joined, sizeof joined, "%s: %s", label, base);
    for (const alarm_text &t : texts)
        if (std::strcmp(t.label, base) == 0)
            return kd_alarm_register(joined, t.description);
    return -1;
}

} // namespace

extern "C" {

bool mcastfwdr_is_in_startup_delay(void) { return startup_time_current <= 9; }

int mcf_rx_net_ip_port_pair_is_unique(const cfg_rx *rx)
{
    return receiver_is_unique({rx->ingress_node, rx->ingress_port}, rx) ? 1 : 0;
}

int mcf_rx_klv_net_ip_port_pair_is_unique(const cfg_rx_klv *klv)
{
    return receiver_is_unique({klv->node, klv->port}, klv) ? 1 : 0;
}

int mcf_tx_ip_port_pair_is_unique(const cfg_tx *tx) { return sender_is_unique(tx, false) ? 1 : 0; }
int mcf_tx_redundant_ip_port_pair_is_unique(const cfg_tx *tx) { return sender_is_unique(tx, true) ? 1 : 0; }

int mcf_rx_net_bridge_is_at_limit_in_rx(const cfg_rx *rx)
{
    int bridged = 0;
    for (const cfg_rx &r : mcf::records<cfg_rx>(mcf_cfg.rules_rx))
        bridged += &r != rx && r.ingress_type == INGRTYPE_NET && r.ingress_is_bridged;
    return bridged >= MCF_BRIDGE_LIMIT ? 1 : 0;
}

int mcf_rx_validate_and_udpate_srt_ip_addr(cfg_rx *rx, const char *addr)
{
    if (!rx || !rx->srt_ingress_enabled)
        return 0;
    return correct_srt_address(rx->ingress_node, addr, rx->srt_connect, "SRT Input", rx->ingress_id);
}

int mcf_tx_validate_and_udpate_srt_ip_addr(cfg_tx *tx, const char *addr)
{
    if (!tx || tx->dest_protocol != PROTOCOL_SRT)
        return 0;
    return correct_srt_address(tx->dest_node, addr, tx->srt_connect, "SRT Output", tx->dest_id);
}

int mcf_rx_register_alarms(const cfg_rx *rx)
{
    int rc = 0;
    for (const char *base : {"PCR Lost Lock", "CC Errors", "SRT Fail"})
        rc |= register_joined(rx->ingress_ui_label, base);
    return rc;
}

int mcf_tx_register_alarms(const cfg_tx *tx)
{
    int rc = 0;
    for (const char *base : {"Service data exceeds TMR", "CC Errors", "SRT Fail"})
        rc |= register_joined(tx->dest_ui_label, base);
    return rc;
}

int mcastfwdr_delete_input_and_outputs_using_it(cfg_rx *rx)
{
    if (!rx || rx->ingress_type == INGRTYPE_VIRT) {
        mcf_post_log(SQ_LOG_ERROR, "Invalid use of function: %s", __func__);
        return 0;
    }
    return manager_inputs_delete(rx->ingress_id) + manager_outputs_delete_using_input(rx->ingress_id);
}

int mcastfwdr_update_input_bps_and_outputs_using_it(cfg_rx *rx, int32_t prev_bps)
{
    if (!rx || rx->ingress_type == INGRTYPE_VIRT) {
        mcf_post_log(SQ_LOG_ERROR, "Invalid use of function: %s", __func__);
        return -1;
    }
    // A routable input's rate reaches the outputs only while its manager
    // streams (the record's copy of that flag lags a second behind); a
    // silent one hands the new rate over when its data comes back.
    const bool streaming = manager_input_set_bps(rx->ingress_id, rx->ingress_bps);
    if (rx->ingress_is_routable && !streaming)
        mcf_post_log(SQ_LOG_INFO, "Input %d rate change. Outputs pending update until input streaming.", rx->ingress_id);
    else
        manager_outputs_update_input_rate(rx, prev_bps);
    if (rx->ingress_is_routable)
        mcf_post_routable_input_bps_changed_event(rx->ingress_id);
    return 0;
}

int mcastfwdr_kd_remote_close(int fd)
{
    mmsg_list_tx_remove(fd);
    kd_remote_close(fd);
    return 0;
}

} // extern "C"
