// The control side's access to the four configuration lists: adding
// records with their ids, removing, finding and comparing them, and the
// port and route tests of the managers and routes.
#include "mcf_cfg.h"
#include "mcf_limits.h"
#include "mcf_services.h"
#include "status_queue.h"

#include <kerrow/cuvent.h>
#include <kerrow/dataset.h>

#include <cstring>

namespace {

template <class T, class Pred> T *find_if(const mcf_list *l, Pred pred)
{
    for (T &r : mcf::records<T>(l))
        if (pred(r))
            return &r;
    return nullptr;
}

// `id` when it lies in the range, or for -1 the smallest id of the range
// that no record of the list has; -1 when there is none.
template <class T, class Id> int id_in(const mcf_list *l, int id, mcf::limits::id_range range, Id id_of)
{
    if (id >= 0)
        return range.holds(id) ? id : -1;
    for (id = range.first; id <= range.last; ++id)
        if (!find_if<T>(l, [&](const T &r) { return id_of(r) == id; }))
            return id;
    return -1;
}

template <class T> int cmp3(T a, T b) { return a < b ? -1 : a > b; }

int rx_id(const cfg_rx &r) { return r.ingress_id; }
int tx_id(const cfg_tx &r) { return r.dest_id; }
int klv_id(const cfg_rx_klv &r) { return r.id; }
int ca_id(const cfg_ca &r) { return r.id; }

cfg_rx *append_rx(int id, ingress_type type, int routable)
{
    auto *rx = static_cast<cfg_rx *>(mcf_list_append(mcf_cfg.rules_rx));
    if (!rx)
        return nullptr;
    rx->ingress_id = id;
    rx->ingress_is_routable = routable;
    cfg_rx_init(rx, type);
    return rx;
}

cfg_tx *append_tx(mcastfwdr_cfg *cfg, int id, egress_types type)
{
    if (!cfg || (id = id_in<cfg_tx>(cfg->rules_tx, id, mcf::limits::kOutputs, tx_id)) < 0)
        return nullptr;
    auto *tx = static_cast<cfg_tx *>(mcf_list_append(cfg->rules_tx));
    if (!tx)
        return nullptr;
    tx->dest_id = id;
    cfg_tx_init(tx, type);
    return tx;
}

bool same_text(const char *a, const char *b) { return a && b && std::strcmp(a, b) == 0; }

} // namespace

extern "C" {

// ---- outputs ----
cfg_tx *mcfcfg_tx_add_net(mcastfwdr_cfg *cfg, int id) { return append_tx(cfg, id, EGRTYPE_NET); }
cfg_tx *mcfcfg_tx_add_asi(mcastfwdr_cfg *cfg, int id) { return append_tx(cfg, id, EGRTYPE_ASI); }
cfg_tx *mcfcfg_tx_add_dec(mcastfwdr_cfg *cfg, int id) { return append_tx(cfg, id, EGRTYPE_DEC); }

int mcfcfg_tx_rem(cfg_tx *tx)
{
    if (tx && mcf_list_remove(mcf_cfg.rules_tx, tx) == 0)
        cfg_tx_fini(tx); // the node is pooled; its contents are still ours to release
    return 0;
}

cfg_tx *mcfcfg_tx_find_by_id(int id)
{
    return find_if<cfg_tx>(mcf_cfg.rules_tx, [id](const cfg_tx &r) { return r.dest_id == id; });
}
int mcfcfg_tx_cmp_id(const cfg_tx *a, const cfg_tx *b) { return cmp3(a->dest_id, b->dest_id); }

int mcfcfg_tx_get_dest_bps_for_routing_mode(const cfg_tx *tx)
{
    int bps = tx->dest_bps;
    if (tx->dest_single_input_mode == DEST_SIM_ON && tx->dest_single_input_id != 0) {
        const cfg_rx *rx = mcfcfg_rx_find_by_id(tx->dest_single_input_id);
        if (rx && rx->ingress_is_routable)
            bps = tx->egress_type == EGRTYPE_ASI ? mcastfwdr_asi_calculate_actual_bps(rx->ingress_bps, 0, 0)
                                                 : rx->ingress_bps;
    }
    mcf_post_log(SQ_LOG_DEBUG, "MCF: CfgTx %d target BPS is: %d", tx->dest_id, bps);
    return bps;
}

void mcfcfg_tx_input_update_klv_source_params(mcastfwdr_cfg *cfg)
{
    for (cfg_tx &tx : mcf::records<cfg_tx>(cfg ? cfg->rules_tx : nullptr))
        for (cfg_tx_input &s : mcf::records<cfg_tx_input>(tx.dest_services))
            if (s.param_klv_source)
                kd_cuvent_emit(mcf_pli, "on_param_update", s.param_klv_source);
}

void mcfcfg_tx_input_update_ca_session_params(mcastfwdr_cfg *cfg)
{
    for (cfg_tx &tx : mcf::records<cfg_tx>(cfg ? cfg->rules_tx : nullptr))
        for (cfg_tx_input &s : mcf::records<cfg_tx_input>(tx.dest_services))
            if (s.param_ca_session)
                kd_cuvent_emit(mcf_pli, "on_param_update", s.param_ca_session);
}

void mcfcfg_tx_input_clear_ca_session(mcastfwdr_cfg *cfg, int session_id)
{
    for (cfg_tx &tx : mcf::records<cfg_tx>(cfg ? cfg->rules_tx : nullptr))
        for (cfg_tx_input &s : mcf::records<cfg_tx_input>(tx.dest_services)) {
            if (s.ca_session_id != session_id)
                continue;
            s.ca_session_id = -1;
            if (s.param_ca_session)
                kd_cuvent_emit(mcf_pli, "on_param_update", s.param_ca_session);
        }
}

// ---- inputs ----
cfg_rx *mcfcfg_rx_add_net(int id)
{
    // The ids of inputs of every type count as taken.
    id = id_in<cfg_rx>(mcf_cfg.rules_rx, id, mcf::limits::kNetInputs, rx_id);
    return id < 0 ? nullptr : append_rx(id, INGRTYPE_NET, 1);
}

cfg_rx *mcfcfg_rx_add_asi(int port_index)
{
    if (port_index < 0)
        return nullptr;
    cfg_rx *rx = append_rx(150 + port_index, INGRTYPE_ASIIN, 1);
    if (rx)
        mcf_post_log(SQ_LOG_DEBUG, "MCF: CfgRx %d type ASI (%d)", rx->ingress_id, port_index);
    return rx;
}

cfg_rx *mcfcfg_rx_add_xsb(int ui_slot, int index, int routable)
{
    const int id = routable ? 1000 + 100 * ui_slot + index : 10 * ui_slot + index;
    return append_rx(id, INGRTYPE_XSB, routable ? 1 : 0);
}

cfg_rx *mcfcfg_rx_add_virt(void) { return append_rx(0, INGRTYPE_VIRT, 1); }

int mcfcfg_rx_rem(cfg_rx *rx)
{
    if (rx && mcf_list_remove(mcf_cfg.rules_rx, rx) == 0)
        cfg_rx_fini(rx);
    return 0;
}

cfg_rx *mcfcfg_rx_find_by_id(int id)
{
    return find_if<cfg_rx>(mcf_cfg.rules_rx, [id](const cfg_rx &r) { return r.ingress_id == id; });
}
cfg_rx *mcfcfg_rx_find_by_port(int port)
{
    return find_if<cfg_rx>(mcf_cfg.rules_rx, [port](const cfg_rx &r) { return r.ingress_port == port; });
}
cfg_rx *mcfcfg_rx_find_by_ui_label(const char *label)
{
    return find_if<cfg_rx>(mcf_cfg.rules_rx, [label](const cfg_rx &r) { return same_text(r.ingress_ui_label, label); });
}
int mcfcfg_rx_cmp_id(const cfg_rx *a, const cfg_rx *b) { return cmp3(a->ingress_id, b->ingress_id); }

bool mcfcfg_port_used_in_net_inputs(const mcastfwdr_cfg *cfg, int port)
{
    return cfg && find_if<cfg_rx>(cfg->rules_rx, [port](const cfg_rx &r) {
               return !cfg_rx_ip_fields_incomplete(&r) && r.ingress_port == port;
           });
}

// ---- KLV sources ----
cfg_rx_klv *mcfcfg_add_klv_source(int id)
{
    if ((id = id_in<cfg_rx_klv>(mcf_cfg.rules_rx_klv, id, mcf::limits::kKlvSources, klv_id)) < 0)
        return nullptr;
    auto *k = static_cast<cfg_rx_klv *>(mcf_list_append(mcf_cfg.rules_rx_klv));
    if (k)
        cfg_rx_klv_init(k, id);
    return k;
}

int mcfcfg_remove_klv_source(cfg_rx_klv *klv)
{
    if (klv && mcf_list_remove(mcf_cfg.rules_rx_klv, klv) == 0)
        cfg_rx_klv_fini(klv);
    return 0;
}

cfg_rx_klv *mcfcfg_rx_klv_find_by_id(int id)
{
    return find_if<cfg_rx_klv>(mcf_cfg.rules_rx_klv, [id](const cfg_rx_klv &r) { return r.id == id; });
}
cfg_rx_klv *mcfcfg_rx_klv_find_by_sockfd(int fd)
{
    return find_if<cfg_rx_klv>(mcf_cfg.rules_rx_klv, [fd](const cfg_rx_klv &r) { return r.sockfd == fd; });
}
cfg_rx_klv *mcfcfg_rx_klv_find_by_lastpkt(const uint8_t *pkt)
{
    return find_if<cfg_rx_klv>(mcf_cfg.rules_rx_klv, [pkt](const cfg_rx_klv &r) { return r.last_pkt == pkt; });
}
cfg_rx_klv *mcfcfg_rx_klv_find_by_ui_label(const char *label)
{
    return find_if<cfg_rx_klv>(mcf_cfg.rules_rx_klv, [label](const cfg_rx_klv &r) { return same_text(r.ui_label, label); });
}
int mcfcfg_rx_klv_cmp_id(const cfg_rx_klv *a, const cfg_rx_klv *b) { return cmp3(a->id, b->id); }
int mcfcfg_rx_klv_cmp_ui_label(const cfg_rx_klv *a, const cfg_rx_klv *b)
{
    const int c = std::strcmp(a->ui_label, b->ui_label);
    return c < 0 ? -1 : c > 0;
}

unsigned mcfcfg_rx_klv_collect_socket_ids(kd_dataset *set)
{
    unsigned n = 0;
    for (const cfg_rx_klv &k : mcf::records<cfg_rx_klv>(mcf_cfg.rules_rx_klv))
        if (k.sockfd >= 0 && set && kd_dataset_insert(set, k.sockfd) == 0)
            ++n;
    return n;
}

bool mcfcfg_rx_klv_member_has_unique_route(const mcastfwdr_cfg *cfg, const cfg_rx_klv *klv)
{
    return !cfg || !find_if<cfg_rx_klv>(cfg->rules_rx_klv, [klv](const cfg_rx_klv &r) {
               return &r != klv && std::strcmp(r.route_id, klv->route_id) == 0;
           });
}

bool mcfcfg_route_exists_in_klv_sources(const mcastfwdr_cfg *cfg, const char *route_id)
{
    if (!cfg || !route_id)
        return false;
    mcf_post_log(SQ_LOG_DEBUG, "search klv sources for route %s", route_id);
    return find_if<cfg_rx_klv>(cfg->rules_rx_klv, [route_id](const cfg_rx_klv &r) {
        return !cfg_rx_klv_ip_fields_incomplete(&r) && std::strcmp(r.route_id, route_id) == 0;
    });
}

bool mcfcfg_port_used_in_klv_sources(const mcastfwdr_cfg *cfg, int port)
{
    return cfg && find_if<cfg_rx_klv>(cfg->rules_rx_klv, [port](const cfg_rx_klv &r) {
               return !cfg_rx_klv_ip_fields_incomplete(&r) && r.port == port;
           });
}

// ---- CA sessions ----
cfg_ca *mcfcfg_add_ca_session(int id)
{
    if ((id = id_in<cfg_ca>(mcf_cfg.ca_sessions, id, mcf::limits::kCaSessions, ca_id)) < 0)
        return nullptr;
    auto *ca = static_cast<cfg_ca *>(mcf_list_append(mcf_cfg.ca_sessions));
    if (ca)
        cfg_ca_init(ca, id);
    return ca;
}

int mcfcfg_remove_ca_session(cfg_ca *ca)
{
    if (ca && mcf_list_remove(mcf_cfg.ca_sessions, ca) == 0)
        cfg_ca_fini(ca);
    return 0;
}

cfg_ca *mcfcfg_ca_session_find_by_id(int id)
{
    return find_if<cfg_ca>(mcf_cfg.ca_sessions, [id](const cfg_ca &r) { return r.id == id; });
}
cfg_ca *mcfcfg_ca_session_find_by_ui_label(const char *label)
{
    return find_if<cfg_ca>(mcf_cfg.ca_sessions, [label](const cfg_ca &r) { return same_text(r.ui_label, label); });
}
int mcfcfg_ca_session_cmp_id(const cfg_ca *a, const cfg_ca *b) { return cmp3(a->id, b->id); }

} // extern "C"
