// One output manager: build and teardown, distinct inputs, rates, and the
// BISS-CA transmitter and receiver of the output.
#include "outputs/manager_output.h"

#include "ingress/manager_input.h"
#include "ingress/routes.h"
#include "klv/klv.h"
#include "mcastfwdr.h"
#include "tables/virtual_input.h"

#include <kerrow/alarm.h>
#include <kerrow/dataset.h>
#include <kerrow/param.h>
#include <kerrow/path.h>
#include <kerrow/remote.h>

#include <biss2ca_ekid.h>

#include <algorithm>
#include <cerrno>
#include "cfg/ca_key_table.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr const char *kTmrAlarm = "Service data exceeds TMR";

bool g_records_only = false; // loop thread

bool intf_is_up(const char *ifname) { return g_records_only || mcastfwdr_eth_intf_is_operational(ifname); }

struct dataset_ptr {
    kd_dataset *s;
    explicit dataset_ptr(size_t n) : s(kd_dataset_ctor(n, 0)) {}
    ~dataset_ptr() { kd_dataset_dtor(s); }
    dataset_ptr(const dataset_ptr &) = delete;
    dataset_ptr &operator=(const dataset_ptr &) = delete;
    size_t size() const { return s ? kd_dataset_get_length(s) : 0; }
    int at(size_t i) const
    {
        int v = -1;
        kd_dataset_get_num(s, i, &v);
        return v;
    }
};

bool input_is_routable(int input_id)
{
    const cfg_rx *rx = mcfcfg_rx_find_by_id(input_id);
    return !rx || rx->ingress_is_routable;
}

void copy_local_string(local_string &dst, const char *src, size_t max)
{
    const size_t n = strnlen(src, max);
    std::memcpy(dst.string, src, n);
    dst.string[n] = '\0';
    dst.len = int32_t(n);
}

void update_unique_inputs(manager_output *mo, const cfg_tx *tx)
{
    mo->unique_inputs.clear();
    for (const cfg_tx_input &s : mcf::records<cfg_tx_input>(tx->dest_services)) {
        if (s.input_id == -1 || s.input_prog_num == -1 || !input_is_routable(s.input_id))
            continue;
        out_services *os = out_service_find(&mo->unique_inputs, s.input_id);
        if (!os) {
            mo->unique_inputs.push_back(out_services{s.input_id, {}});
            os = &mo->unique_inputs.back();
        }
        routed_pgm_cfg p{};
        p.source_id = s.source_id;
        p.pnu = s.input_prog_num;
        p.major_channel_number = s.major_channel_number;
        p.minor_channel_number = s.minor_channel_number;
        p.modulation_mode = s.modulation_mode;
        p.service_type = s.service_type;
        p.carrier_frequency = s.carrier_frequency;
        p.overwrite_pnu_out = s.overwrite_prog_num;
        p.klv_source_id = s.klv_source_id;
        copy_local_string(p.name, s.overwrite_service_name, sizeof s.overwrite_service_name);
        copy_local_string(p.provider, s.overwrite_service_provider, sizeof s.overwrite_service_provider);
        for (const cfg_tx_pid_map &m : mcf::records<cfg_tx_pid_map>(s.list_pid_maps)) {
            if (m.in_pid == m.out_pid || p.num_pid_maps >= MO_PID_MAPS_MAX)
                continue;
            p.pid_maps[p.num_pid_maps++] = pid_map{m.in_pid, m.out_pid};
        }
        p.pid_maps_ver = s.version_pid_maps;
        p.ca_session_id = s.ca_session_id;
        p.orig_network_id = s.orig_network_id;
        os->services.push_back(p);
    }
}

void compute_intervals(manager_output *mo, int bps)
{
    const double p = double(bps) / 8 / 188;
    mo->PTKS_PER_SDT = uint32_t(p);
    mo->PTKS_PER_CAT = uint32_t(0.5 * p);
    mo->PKTS_PER_STT = uint32_t(0.5 * p);
    mo->PTKS_PER_PMT = uint32_t(0.25 * p);
    mo->PKTS_PER_EIT = uint32_t(0.25 * p);
    mo->PTKS_PER_PAT = uint32_t(0.1 * p);
    mo->PKTS_PER_MGT = uint32_t(p * 0.07142857142857142);
    mo->PKTS_PER_VCT = uint32_t(0.2 * p);
    mo->PKTS_PER_RRT = uint32_t(59 * p);
    const double d = bps <= 39999999 ? 53.0 : double(bps / 752000);
    mo->PTKS_PER_SYS = uint32_t(p / d);
}

// Encoder check: false when the output's lone encoder program is disabled.
bool encoder_allows(const manager_output *mo, const cfg_tx *tx, const ip_stop_sdi_status *enc)
{
    int count = 0, last_pnu = 0;
    bool ip_input = false;
    for (const cfg_tx_input &s : mcf::records<cfg_tx_input>(tx->dest_services)) {
        ++count;
        ip_input = ip_input || s.input_id == 100;
        last_pnu = s.input_prog_num;
    }
    if (count == 0) {
        mcf_post_log(SQ_LOG_INFO, "Output %d have one program or none input...", mo->id);
        return true;
    }
    if (last_pnu > 32)
        return true;
    if (count > 1) {
        mcf_post_log(SQ_LOG_INFO, "Output %d have more than 2 programs...", mo->id);
        return true;
    }
    mcf_post_log(SQ_LOG_INFO, "Output %d have one program or none input...", mo->id);
    if (ip_input) {
        mcf_post_log(SQ_LOG_INFO, "Output %d have a IP Input Service, will create output!", mo->id);
        return true;
    }
    if (last_pnu <= 0)
        return true;
    const ip_stop_sdi_status st = enc ? enc[last_pnu - 1] : ENC_IP_OUTPUT_DEFAULT;
    mcf_post_log(SQ_LOG_INFO, "Output %d will check none SDI mode... flag is %d", mo->id, int(st));
    if (st == ENC_IP_OUTPUT_DISABLE) {
        mcf_post_log(SQ_LOG_INFO, "Output %d will stop create SDI output socket", mo->id);
        return false;
    }
    return true;
}

void set_ttl(int fd, const remote_addr *ra, int ttl, int id)
{
    const bool mcast = kd_remote_addr_is_mcast(ra);
    const int rc = mcast ? setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl)
                         : setsockopt(fd, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);
    if (rc != 0)
        mcf_post_log(SQ_LOG_WARN, "Created Tx socket (%d) for Output %d TTL error: %s", fd, id, std::strerror(errno));
}

int open_net_sockets(manager_output *mo, cfg_tx *tx, int bps)
{
    mo->socket_id = -1;
    const int bufsize = int(bps / 8 * 0.5);
    if (!intf_is_up(tx->dest_intf)) {
        mcf_post_log(SQ_LOG_ERROR, "%s link is down, failed to create tx socket: %s:%d", tx->dest_intf, tx->dest_node,
                     tx->dest_port);
        return -1;
    }
    if (tx->dest_protocol == PROTOCOL_SRT) {
        mcf_route_tx_add(mo, tx);
        mcf_post_log(SQ_LOG_DEBUG, "SRT socket for Output %d", mo->id);
    } else {
        mcf_route_tx_add(mo, tx);
        const int fd = kd_remote_register_client_dgram_ra(&tx->ra, nullptr, nullptr, bufsize);
        if (fd < 0) {
            mcf_post_log(SQ_LOG_ERROR, "Failed to create Tx socket: %s/%d/%s (fd: %d)", tx->dest_node, tx->dest_port,
                         tx->dest_intf, fd);
            mcf_route_tx_delete(mo);
            return -1;
        }
        mo->socket_id = fd;
        set_ttl(fd, &tx->ra, tx->dest_ip_ttl, mo->id);
    }
    if (tx->redundant_transmit == REDUNDANT_XMIT_ON && tx->dest_protocol == PROTOCOL_RTP) {
        mo->redundant_socket_id = -1;
        if (!intf_is_up(tx->redundant_intf)) {
            mcf_post_log(SQ_LOG_ERROR, "%s link is down, failed to create tx socket: %s:%d", tx->redundant_intf,
                         tx->redundant_node, tx->redundant_port);
            return -1;
        }
        mcf_redundant_route_tx_add(mo, tx);
        const int fd = kd_remote_register_client_dgram_ra(&tx->redundant_ra, nullptr, nullptr, bufsize);
        if (fd < 0) {
            mcf_post_log(SQ_LOG_ERROR, "Failed to create Tx socket: %s/%d/%s (fd: %d)", tx->redundant_node,
                         tx->redundant_port, tx->redundant_intf, fd);
            mcf_route_tx_delete(mo);
            return -1;
        }
        mo->redundant_socket_id = fd;
        set_ttl(fd, &tx->redundant_ra, tx->dest_ip_ttl, mo->id);
        mcf_post_log(SQ_LOG_DEBUG, "Created Redundant Tx socket (%d) for Output %d with TTL %d", fd, mo->id,
                     tx->dest_ip_ttl);
    }
    mcf_post_log(SQ_LOG_DEBUG, "Created Tx socket (%d) for Output %d with TTL %d", mo->socket_id, mo->id,
                 tx->dest_ip_ttl);
    return 0;
}

void format_srt_status_zero(manager_output *mo)
{
    srt_helper_format_duration(mo->status_srt_duration, 0);
    srt_helper_format_rtt(mo->status_srt_rtt, 0.0);
    srt_helper_format_mbps_rate(mo->status_srt_mbps_send_rate, 0.0);
    srt_helper_format_buffer_avail(mo->status_srt_buffer_avail, 0.0);
    srt_helper_format_period_packet_loss_pct(mo->status_srt_period_packet_loss_pct, 0.0);
}

void set_alarm(const manager_output *mo, alarm_state st)
{
    char label[KD_ALARM_LABEL_SIZE];
    std::snprintf(label, sizeof label, "%s: %s", mo->configured_label, kTmrAlarm);
    kd_alarm_detected_in_worker_thread(label, st);
}

void rebuild_fill(manager_output *mo, int bps_in, int bps_out)
{
    mcastfwdr_fill *f = mcastfwdr_fill_ctor(uint32_t(mo->id), bps_in, bps_out);
    if (!f)
        return; // the old engine stays
    mcastfwdr_fill_dtor(mo->fill);
    mo->fill = f;
}

int fill_bps_in(const manager_output *mo)
{
    const mcastfwdr_tmr *tmr = mo->fill ? mcastfwdr_fill_get_tmr(mo->fill) : nullptr;
    return tmr ? mcastfwdr_tmr_get_bps_in(tmr) : 0;
}

// The receiver's key file: at most MO_RX_KEY_FILE_MAX bytes of PEM text.
// A longer file is refused (a cut PEM text would not parse).
int read_key_file(const char *path, std::string *out)
{
    const std::string full = kd::rooted(path);
    const int fd = ::open(full.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char buf[MO_RX_KEY_FILE_MAX + 1];
    size_t got = 0;
    ssize_t n = 0;
    while (got < sizeof buf && (n = ::read(fd, buf + got, sizeof buf - got)) > 0)
        got += size_t(n);
    ::close(fd);
    if (n < 0 || got == 0 || got > MO_RX_KEY_FILE_MAX)
        return -2;
    out->assign(buf, got);
    return 0;
}

} // namespace

namespace mcf {

void manager_outputs_records_only(bool on) { g_records_only = on; }
bool manager_outputs_are_records_only() { return g_records_only; }

// Control side, write lock held: the CA transmitter from the record's lowest CA session.
int sync_ca_tx_session(manager_output *mo, const cfg_tx *tx);
int sync_ca_rx_session(manager_output *mo, cfg_tx *tx);
// Step 6 of the build (output_tables.cpp).
void build_tables(manager_output *mo, cfg_tx *tx);
void free_table_readers(manager_output *mo);

int sync_ca_tx_session(manager_output *mo, const cfg_tx *tx)
{
    mcf_post_log(SQ_LOG_DEBUG, "Calling %s on Output %d", "__sync_ca_tx_session", mo->id);
    std::set<int> ids;
    for (const cfg_tx_input &s : mcf::records<cfg_tx_input>(tx->dest_services))
        if (s.ca_session_id != -1 && (ids.size() < MO_CA_SESSIONS_MAX || ids.count(s.ca_session_id)))
            ids.insert(s.ca_session_id);
    if (ids.empty()) {
        mcf_post_log(SQ_LOG_DEBUG, "Output %d CA session INACTIVE.", mo->id);
        biss2ca_tx_dtor(mo->biss2ca_tx);
        mo->biss2ca_tx = nullptr;
        __manager_output_init_cat(mo);
        return -1;
    }
    const int id = *ids.begin();
    const cfg_ca *ca = mcfcfg_ca_session_find_by_id(id);
    if (!ca || ca->type != ECRTYPE_BISS2_CA)
        return 0;
    biss2ca_tx_dtor(mo->biss2ca_tx);
    mo->biss2ca_tx = biss2ca_tx_ctor(uint16_t(ca->biss2ca_esid), uint16_t(tx->orig_network_id), uint32_t(tx->dest_bps));
    if (!mo->biss2ca_tx) {
        mcf_post_log(SQ_LOG_WARN, "Output %d Failed construct BISS CA tx %d %d", mo->id, ca->biss2ca_esid,
                     tx->orig_network_id);
        __manager_output_init_cat(mo);
        return -1;
    }
    mcf_post_log(SQ_LOG_DEBUG, "Output %d CA session ACTIVE (%d).", mo->id, id);
    biss2ca_tx_set_ecm_pid(mo->biss2ca_tx, uint16_t(ca->biss2ca_ecm_pid));
    biss2ca_tx_set_emm_pid(mo->biss2ca_tx, uint16_t(ca->biss2ca_emm_pid));
    uint8_t flags = 0;
    if (ca->prevent_descrambled_forward)
        flags |= 128;
    if (ca->prevent_decoded_forward)
        flags |= 64;
    if (ca->insert_watermark)
        flags |= 32;
    biss2ca_tx_set_flags(mo->biss2ca_tx, flags);
    const int n = ca_key_table_get_length(ca->biss2ca_rxrs);
    for (int i = 0; i < n; ++i)
        if (const char *pem = ca_key_entry_get_key_pem(ca_key_table_get_entry(ca->biss2ca_rxrs, i)); pem && *pem)
            biss2ca_tx_entitle_rx_key(mo->biss2ca_tx, pem);
    __manager_output_init_cat(mo);
    mo->biss2ca_key_age = 0;
    mo->emm_prepare_due = true;
    return 0;
}

int sync_ca_rx_session(manager_output *mo, cfg_tx *tx)
{
    mcf_post_log(SQ_LOG_DEBUG, "Calling %s on Output %d", "__sync_ca_rx_session", mo->id);
    if (!tx->priv_key_file[0])
        return 0;
    mcf_post_log(SQ_LOG_DEBUG, "Output %d CA RX session loading key.", mo->id);
    char path[sizeof tx->priv_key_file + 1];
    std::snprintf(path, sizeof path, "%.*s", int(sizeof tx->priv_key_file), tx->priv_key_file);
    std::string pem;
    const int rc = read_key_file(path, &pem);
    if (rc == -1) {
        mcf_post_log(SQ_LOG_WARN, "Output %d Failed open BISS CA rx key file", mo->id);
        return -1;
    }
    if (rc != 0) {
        mcf_post_log(SQ_LOG_WARN, "Output %d Failed read BISS CA rx key file", mo->id);
        return -1;
    }
    biss2ca_rx_dtor(mo->biss2ca_rx);
    mo->biss2ca_rx = biss2ca_rx_ctor(pem.c_str());
    if (!mo->biss2ca_rx) {
        mcf_post_log(SQ_LOG_WARN, "Output %d Failed construct BISS CA rx", mo->id);
        return -1;
    }
    uint8_t kid[8];
    biss2ca_rx_get_key_id(mo->biss2ca_rx, kid);
    char text[BISS2CA_EKID_TEXT_SIZE] = {};
    biss2ca_ekid_to_string(text, sizeof text, kid);
    std::snprintf(tx->ekid, sizeof tx->ekid, "%s", text);
    if (tx->param_ekid)
        kd_param_notify(tx->param_ekid);
    mcf_post_log(SQ_LOG_DEBUG, "Output %d CA RX session ACTIVE (%s).", mo->id, tx->ekid);
    return 0;
}

} // namespace mcf

extern "C" {

out_services *out_service_find(out_services_list *list, int input_id)
{
    if (!list)
        return nullptr;
    for (out_services &s : *list)
        if (s.input_id == input_id)
            return &s;
    return nullptr;
}

int manager_output_get_pcr_pid(const out_services *, int) { return -1; }

unsigned manager_output_can_xmit_data(const cfg_tx *tx)
{
    if (!tx || !mcf_ctrl_plane_configuration_is_loaded)
        return 0;
    if (tx->egress_type == EGRTYPE_DEC)
        return 1;
    if (!intf_is_up(tx->dest_intf) || cfg_tx_ip_fields_incomplete(tx))
        return 0;
    if (tx->dest_single_input_mode == DEST_SIM_ON) {
        if (tx->dest_single_input_id == 0 || !manager_inputs_find_by_id(tx->dest_single_input_id))
            return 0;
        const cfg_rx *rx = mcfcfg_rx_find_by_id(tx->dest_single_input_id);
        return rx && rx->ingress_is_routable ? 1 : 0;
    }
    const int virt = virtual_input_get_ingress_id();
    unsigned usable = 0;
    for (const cfg_tx_input &s : mcf::records<cfg_tx_input>(tx->dest_services)) {
        if (s.input_id == -1 || s.input_prog_num == -1 || s.input_id == virt)
            continue;
        const manager_input *mi = manager_inputs_find_by_id(s.input_id);
        if (!mi || !mi->is_routable)
            return 0;
        ++usable;
    }
    return usable ? 1 : 0;
}

int manager_output_get_total_incoming_bps(const manager_output *mo)
{
    if (!mo)
        return 0;
    dataset_ptr set(MO_INPUT_SET_MAX);
    unsigned not_streaming = 0;
    const int virt = virtual_input_get_ingress_id();
    for (const out_services &os : mo->unique_inputs) {
        if (os.input_id == virt) {
            for (const routed_pgm_cfg &p : os.services)
                virtual_input_collect_raw_inputs_under_program(p.pnu, set.s);
            continue;
        }
        const manager_input *mi = manager_inputs_find_by_id(os.input_id);
        if (!mi)
            continue;
        if (mi->streaming.load(std::memory_order_relaxed))
            kd_dataset_insert(set.s, os.input_id);
        else
            ++not_streaming;
    }
    int total = 0;
    for (size_t i = 0; i < set.size(); ++i) {
        const int id = set.at(i);
        if (const cfg_rx *rx = mcfcfg_rx_find_by_id(id)) {
            mcf_post_log(SQ_LOG_DEBUG, "Output %d rx bps including Input %d (bps %d)", mo->id, id, rx->ingress_bps);
            total += rx->ingress_bps;
        }
    }
    mcf_post_log(SQ_LOG_DEBUG, "Output %d aggregate rx bps: %d. Inputs: %u. Not streaming: %u", mo->id, total,
                 unsigned(set.size()), not_streaming);
    return total;
}

int manager_output_ctor(manager_output *mo, cfg_tx *tx, const ip_stop_sdi_status *enc_status)
{
    if (!mo || !tx)
        return -1;
    const int bps = mcfcfg_tx_get_dest_bps_for_routing_mode(tx);
    // 1. identity and intervals
    mo->id = tx->dest_id;
    mo->type = tx->egress_type;
    mo->socket_id = -1;
    mo->redundant_socket_id = -1;
    mo->route_id[0] = mo->redundant_route_id[0] = '\0';
    mo->redundant_transmit = tx->redundant_transmit;
    mo->biss2ca_tx = nullptr;
    mo->biss2ca_rx = nullptr;
    mo->configured_tables_type = tx->dest_tables_type;
    mo->configured_asi_out_type = tx->dest_asi_output_type;
    std::snprintf(mo->configured_label, sizeof mo->configured_label, "%.*s", int(sizeof tx->dest_ui_label) - 1,
                  tx->dest_ui_label);
    compute_intervals(mo, bps);
    // 2. distinct inputs
    update_unique_inputs(mo, tx);
    // 3. encoder check
    if (!encoder_allows(mo, tx, enc_status)) {
        mo->unique_inputs.clear();
        return -1;
    }
    // 4. sockets
    switch (tx->egress_type) {
    case EGRTYPE_ASI:
        mo->socket_id = mcastfwdr_asi_get_socket_id(mo->id);
        std::snprintf(mo->route_id, sizeof mo->route_id, "%.118s %.7s", tx->dest_node, tx->dest_intf);
        break;
    case EGRTYPE_DEC:
        mo->socket_id = mcf_decoder_get_socket_id(mo->id);
        break;
    default:
        if (!g_records_only && open_net_sockets(mo, tx, bps) != 0) {
            mo->unique_inputs.clear();
            return -1;
        }
        break;
    }
    // 5. CA
    mcf::sync_ca_tx_session(mo, tx);
    mcf::sync_ca_rx_session(mo, tx);
    // 6. tables
    mcf::build_tables(mo, tx);
    // 7. engines
    if (!g_records_only) {
        mo->egress = mcastfwdr_egress_ctor(tx, mo->socket_id, mo->redundant_socket_id, &mo->ts_pkts_tx);
        if (!mo->egress)
            return -1;
    }
    mo->pcrs = pcr_windows_ctor();
    mo->fill = mcastfwdr_fill_ctor(uint32_t(mo->id), manager_output_get_total_incoming_bps(mo), bps);
    mo->pcr_pts_services = pcr_pts_services_ctor();
    mo->pcr_pts_history = pcr_pts_history_ctor();
    mo->inject_ts_queue = ts_pool_ctor(1000000, 100);
    if (!mo->pcrs || !mo->fill || !mo->pcr_pts_services || !mo->pcr_pts_history || !mo->inject_ts_queue)
        return -1;
    mo->table_injection_is_failing = 0;
    mo->tmr_too_low_alarm_is_set = 0;
    mo->pcr_drift_err_cnt = 0;
    mo->ts_pkts_rx = 0;
    mo->ts_pkts_tx = 0;
    mo->inject_errors_counter = 0;
    mo->biss2ca_rx_ts_pkts = 0;
    mo->status_ts_buf_lvl = 0;
    mo->status_srt_status = 0;
    format_srt_status_zero(mo);
    // 8. ASI queue monitor and the settings built with
    mcastfwdr_asi_queue_monitor_init(mo->id, &mo->monitor, bps);
    mo->configured_dest_bps = bps;
    mo->cfg_single_input_rtg_id = uint32_t(tx->dest_single_input_id);
    mo->cfg_single_input_rtg_enabled = tx->dest_single_input_mode != DEST_SIM_OFF;
    return 0;
}

int manager_output_dtor(manager_output *mo)
{
    if (!mo)
        return 0;
    biss2ca_tx_dtor(mo->biss2ca_tx);
    mo->biss2ca_tx = nullptr;
    mcastfwdr_egress_dtor(mo->egress);
    mo->egress = nullptr;
    pcr_windows_dtor(mo->pcrs);
    mo->pcrs = nullptr;
    mcastfwdr_fill_dtor(mo->fill);
    mo->fill = nullptr;
    pcr_pts_services_dtor(mo->pcr_pts_services);
    mo->pcr_pts_services = nullptr;
    pcr_pts_history_dtor(mo->pcr_pts_history);
    mo->pcr_pts_history = nullptr;
    mcf::klv::release_queue(mo->inject_ts_queue); // hand back the KLV packets it still holds
    ts_pool_dtor(mo->inject_ts_queue);
    mo->inject_ts_queue = nullptr;
    mo->unique_inputs.clear();
    mcf::free_table_readers(mo);
    biss2ca_rx_dtor(mo->biss2ca_rx);
    mo->biss2ca_rx = nullptr;
    if (mo->socket_id >= 0) {
        if (mo->type == EGRTYPE_NET) {
            mcastfwdr_kd_remote_close(mo->socket_id);
            mcf_post_log(SQ_LOG_DEBUG, "Closed Tx socket (%d) for Output %d", mo->socket_id, mo->id);
            if (mo->redundant_socket_id > 0) {
                mcastfwdr_kd_remote_close(mo->redundant_socket_id);
                mcf_post_log(SQ_LOG_DEBUG, "Closed Redundant Tx socket (%d) for Output %d", mo->redundant_socket_id,
                             mo->id);
            }
            mo->socket_id = mo->redundant_socket_id = -1;
            mcf_route_tx_delete(mo);
        } else {
            mo->socket_id = -1;
            mo->route_id[0] = '\0';
        }
    } else if (mo->type == EGRTYPE_NET) {
        // A build that failed after opening the redundant socket or adding routes.
        if (mo->redundant_socket_id > 0)
            mcastfwdr_kd_remote_close(mo->redundant_socket_id);
        mo->redundant_socket_id = -1;
        mcf_route_tx_delete(mo);
    }
    if (mo->tmr_too_low_alarm_is_set) {
        set_alarm(mo, ALARM_INACTIVE);
        mo->tmr_too_low_alarm_is_set = 0;
    }
    return 0;
}

int manager_output_sync_unique_inputs(manager_output *mo)
{
    if (!mo)
        return -1;
    const cfg_tx *tx = mcfcfg_tx_find_by_id(mo->id);
    if (!tx)
        return -1;
    update_unique_inputs(mo, tx);
    return 0;
}

bool manager_output_uses_input(const manager_output *mo, int input_id)
{
    if (!mo)
        return false;
    for (const out_services &os : mo->unique_inputs)
        if (os.input_id == input_id)
            return true;
    return false;
}

bool manager_output_uses_klv_source(const manager_output *mo, int klv_source_id)
{
    if (!mo)
        return false;
    for (const out_services &os : mo->unique_inputs)
        for (const routed_pgm_cfg &p : os.services)
            if (p.klv_source_id == klv_source_id)
                return true;
    return false;
}

bool manager_output_uses_ca_session(const manager_output *mo, int ca_session_id)
{
    if (!mo)
        return false;
    for (const out_services &os : mo->unique_inputs)
        for (const routed_pgm_cfg &p : os.services)
            if (p.ca_session_id == ca_session_id)
                return true;
    return false;
}

int manager_output_collect_ca_ids(const manager_output *mo, kd_dataset *set)
{
    if (!mo || !set)
        return -1;
    const int virt = virtual_input_get_ingress_id();
    for (const out_services &os : mo->unique_inputs)
        if (os.input_id == virt)
            for (const routed_pgm_cfg &p : os.services)
                if (p.ca_session_id != -1)
                    kd_dataset_insert(set, p.ca_session_id);
    return int(kd_dataset_get_length(set));
}

int manager_output_update_ecm(manager_output *mo)
{
    if (!mo || !mo->biss2ca_tx)
        return -1;
    // The word in play-out changes: keep the data path out meanwhile.
    mcf::write_lock lock;
    return biss2ca_tx_change_sw(mo->biss2ca_tx, nullptr) == 0 ? 0 : -1;
}

pcr_window_info *manager_output_find_pcr_window(manager_output *mo, int input_id, int pcr_pid)
{
    if (!mo || !mo->pcrs)
        return nullptr;
    return pcr_windows_find(mo->pcrs, input_id, pcr_pid);
}

int manager_output_update_input_rate(manager_output *mo, int input_id, int new_bps, int prev_bps)
{
    const int total = fill_bps_in(mo) + new_bps - prev_bps;
    if (total != fill_bps_in(mo)) // an engine for the same rates would only start its counts afresh
        rebuild_fill(mo, total, mo->configured_dest_bps);
    if (prev_bps == 0)
        mcf_post_log(SQ_LOG_DEBUG, "Output %d adding Input %u (bps %u) to aggregate input bps which is now %u", mo->id,
                     unsigned(input_id), unsigned(new_bps), unsigned(total));
    pcr_windows_update_bps_rx(mo->pcrs, input_id, new_bps, mo->configured_dest_bps);
    return 0;
}

int manager_output_update_on_input_stream_loss(manager_output *mo, int input_id, int input_bps)
{
    const int current = fill_bps_in(mo);
    if (current < 0)
        return -1;
    if (current == 0)
        return 0;
    const int now = std::max(0, current - input_bps);
    mcf_post_log(SQ_LOG_DEBUG, "Output %d removing Input %u (bps %u) from aggregate input bps which is now %u", mo->id,
                 unsigned(input_id), unsigned(input_bps), unsigned(now));
    if (now != current)
        rebuild_fill(mo, now, mo->configured_dest_bps);
    return 0;
}

int manager_output_rebuild_fill_engine(manager_output *mo)
{
    const int total = manager_output_get_total_incoming_bps(mo);
    if (total != fill_bps_in(mo))
        rebuild_fill(mo, total, mo->configured_dest_bps);
    return 0;
}

int manager_output_adjust_output_rate(manager_output *mo, cfg_tx *tx, int new_bps)
{
    mcf_post_log(SQ_LOG_DEBUG, "MCF: Output %d rate adjusting %u ==> %u (bps).", mo->id,
                 unsigned(mo->configured_dest_bps), unsigned(new_bps));
    mo->configured_dest_bps = new_bps;
    if (mo->cfg_single_input_rtg_enabled) {
        mcastfwdr_asi_hw_cfg_bitrate(tx, new_bps, 0);
        return 0;
    }
    rebuild_fill(mo, fill_bps_in(mo), new_bps);
    pcr_windows_adjust_bps_tx(mo->pcrs, new_bps);
    return 0;
}

int manager_output_prepare_emm(manager_output *mo)
{
    if (!mo || !mo->biss2ca_tx)
        return 0;
    std::lock_guard<std::mutex> guard(mo->ca_tx_mutex);
    mo->emm_prepare_due = false;
    return biss2ca_tx_prepare_emm(mo->biss2ca_tx);
}

bool manager_output_ca_tx_try_lock(manager_output *mo) { return mo && mo->ca_tx_mutex.try_lock(); }

void manager_output_ca_tx_unlock(manager_output *mo)
{
    if (mo)
        mo->ca_tx_mutex.unlock();
}

} // extern "C"

// Settings the output rows copy into a running output (write lock held by
// the caller); the tables are regenerated afterwards.
extern "C" void manager_output_set_tables_type(manager_output *mo, tables_type type)
{
    if (!mo || mo->configured_tables_type == type)
        return;
    mo->configured_tables_type = type;
    output_table_config_t &t = mo->tables;
    if (type != TABLES_TYPE_DVB) {
        t.sdt_info.num_service_info = 0;
        if (t.sdt_rdr)
            section_reader_clear(t.sdt_rdr);
    }
    t.vct_pkts_used = 0;
    for (int32_t &n : t.eit_pkts)
        n = 0;
    t.mgt_build_info.eit_len[1] = 0;
}

extern "C" void manager_output_set_asi_output_type(manager_output *mo, asi_output_type type)
{
    if (mo)
        mo->configured_asi_out_type = type;
}

extern "C" void manager_output_set_transport_stream_id(manager_output *mo, int ts_id)
{
    if (mo)
        mo->tables.pat_ts_id = ts_id;
}

extern "C" void manager_output_reset_klv_latency_pid(manager_output *mo)
{
    if (mo && mo->egress)
        mo->egress->klv_latency.pid.store(0, std::memory_order_relaxed);
}
