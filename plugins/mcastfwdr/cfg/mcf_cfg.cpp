// Defaults and small consistency operations of the configuration records.
#include "ca_key_table.h"
#include "mcf_cfg.h"
#include "mcf_limits.h"
#include "mcf_services.h"
#include "mcf_srt_stats.h"

#include <kerrow/carrier.h>

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

template <size_t N> void copy_text(char (&dst)[N], const char *src)
{
    std::snprintf(dst, N, "%s", src ? src : "");
}

unsigned own_slot() { return kd_carrier_get_slot(kd_carrier_get_self()); }

// The lowest id of the range that no record of the list has; -1 when
// every one is taken.
template <class T, class Id> int lowest_free_id(const mcf_list *l, mcf::limits::id_range range, Id id_of)
{
    for (int id = range.first; id <= range.last; ++id) {
        bool used = false;
        for (const T &r : mcf::records<T>(l))
            used = used || id_of(r) == id;
        if (!used)
            return id;
    }
    return -1;
}

// A row's number as its label shows it (ids count from 0, labels from 1),
// computed wide so that no id can overflow it.
long long one_based(int id) { return static_cast<long long>(id) + 1; }

template <class Rec> void srt_defaults(Rec &r)
{
    r.srt_rcv_latency = 120;
    r.srt_min_version = SRT_1_3_0;
    r.srt_tsbpdmode = SRT_DEFAULT;
    r.srt_tlpktdrop = SRT_DEFAULT;
    r.srt_nakreport = SRT_DEFAULT;
    r.srt_peer_latency = 0;
    r.srt_lossmaxttl = 0;
    r.srt_encrypt = SRT_ENCRYPT_OFF;
    r.srt_pbkeylen = SRT_PBKEYLEN_0;
    r.srt_log_level = SRT_LOG_OFF;
    copy_text(r.srt_passphrase, MCF_SRT_NO_PASSPHRASE);
    mcf::clear_srt_stats(r);
}

void release_pid_maps(cfg_tx_input &svc)
{
    mcf_list_dtor(svc.list_pid_maps);
    svc.list_pid_maps = nullptr;
}

} // namespace

extern "C" {

const char *const mcf_pid_map_labels[7] = {"Other", "PMT", "Audio", "Video", "Splice", "Smpte2038", "PCR"};

int cfg_rx_init(cfg_rx *rx, ingress_type type)
{
    const unsigned slot = own_slot();
    const int id = rx->ingress_id;
    rx->ingress_type = type;
    switch (type) {
    case INGRTYPE_NET:
        std::snprintf(rx->ingress_ui_label, sizeof rx->ingress_ui_label, "Input IP %u-%d", slot, id % 100 + 1);
        rx->ingress_is_routable = 1;
        copy_text(rx->ingress_intf, "eth1");
        break;
    case INGRTYPE_ASIIN:
        std::snprintf(rx->ingress_ui_label, sizeof rx->ingress_ui_label, "Input ASI %u-%lld", slot, one_based(id) - 150);
        rx->ingress_is_routable = 1;
        copy_text(rx->ingress_intf, "eth2");
        break;
    case INGRTYPE_VIRT:
        copy_text(rx->ingress_ui_label, "Input Virtual");
        rx->ingress_is_routable = 1;
        copy_text(rx->ingress_intf, "eth2");
        break;
    default:
        if (rx->ingress_is_routable)
            std::snprintf(rx->ingress_ui_label, sizeof rx->ingress_ui_label, "Input Internal %u-%u",
                          unsigned(id % 1000 / 100), unsigned(id % 100 + 1));
        else
            std::snprintf(rx->ingress_ui_label, sizeof rx->ingress_ui_label, "Input Internal %u", unsigned(id / 10));
        copy_text(rx->ingress_intf, "eth2");
        break;
    }
    rx->ingress_is_bridged = 0;
    rx->ingress_bay = -1;
    copy_text(rx->ingress_node, MCF_ADDR_UNSET);
    rx->ingress_port = -1;
    kd_remote_addr_init(&rx->ra, rx->ingress_node, nullptr);
    rx->ingress_bps_detected = 0;
    rx->ingress_bps = 10000000;
    rx->ingress_pids[0] = '\0';
    rx->ingress_dvb_per_ip = 0;
    rx->ingress_stream_detected = 0;
    rx->ingress_ts_packets_rx = 0;
    rx->ingress_is_rtp = 0;
    rx->param_services = nullptr;
    rx->ingress_pgm_status_count = 0;
    rx->srt_ingress_enabled = 0;
    rx->srt_connect = SRT_LISTENER;
    srt_defaults(*rx);
    return 0;
}

int cfg_rx_fini(cfg_rx *rx)
{
    kd_remote_addr_fini(&rx->ra);
    return 0;
}

bool cfg_rx_ip_fields_incomplete(const cfg_rx *rx)
{
    return std::strcmp(rx->ingress_node, MCF_ADDR_UNSET) == 0 || rx->ingress_port == -1;
}

int cfg_tx_init(cfg_tx *tx, egress_types type)
{
    const unsigned slot = own_slot();
    const long long num = one_based(tx->dest_id);
    tx->egress_type = type;
    switch (type) {
    case EGRTYPE_ASI:
        std::snprintf(tx->dest_ui_label, sizeof tx->dest_ui_label, "Output ASI %u-%lld", slot, num);
        mcastfwdr_asi_ip_address(tx->dest_node, tx->dest_id);
        tx->dest_port = 2000;
        copy_text(tx->dest_intf, "eth2");
        tx->dest_bps = 16000000;
        tx->dest_transmit = DEST_XMIT_OFF;
        break;
    case EGRTYPE_DEC:
        std::snprintf(tx->dest_ui_label, sizeof tx->dest_ui_label, "Decoder %u-%lld", slot, num);
        copy_text(tx->dest_node, MCF_ADDR_UNSET);
        tx->dest_port = -1;
        tx->dest_intf[0] = '\0';
        tx->dest_bps = 100000000;
        tx->dest_transmit = DEST_XMIT_ON;
        break;
    default:
        std::snprintf(tx->dest_ui_label, sizeof tx->dest_ui_label, "Output IP %u-%lld", slot, num);
        copy_text(tx->dest_node, MCF_ADDR_UNSET);
        tx->dest_port = -1;
        copy_text(tx->dest_intf, "eth1");
        tx->dest_bps = 16000000;
        tx->dest_transmit = DEST_XMIT_OFF;
        break;
    }
    tx->dest_mirror_id = tx->dest_id == 0 ? 1 : 0;
    tx->redundant_transmit = REDUNDANT_XMIT_OFF;
    copy_text(tx->redundant_node, MCF_ADDR_UNSET);
    tx->redundant_port = -1;
    copy_text(tx->redundant_intf, "eth1");
    kd_remote_addr_init(&tx->ra, tx->dest_node, nullptr);
    kd_remote_addr_init(&tx->redundant_ra, tx->redundant_node, nullptr);
    tx->dest_dvb_per_ip = 7;
    tx->dest_ip_ttl = 128;
    tx->dest_xmit_buffer_ms = 0;
    tx->dest_buf_lvl = 0;
    tx->dest_services = mcf_list_ctor(sizeof(cfg_tx_input));
    tx->dest_single_input_mode = DEST_SIM_OFF;
    tx->dest_single_input_id = 0;
    tx->dest_protocol = PROTOCOL_UDP;
    tx->priv_key_file[0] = tx->ekid[0] = '\0';
    tx->param_key_table_file = tx->param_key_table_idx = tx->param_rem_output_service = nullptr;
    tx->param_services = tx->ip_addr_changed = tx->param_single_input_select = nullptr;
    tx->param_single_input_id = tx->param_ekid = nullptr;
    tx_table_states &t = tx->tx_tbl_state;
    t.pat_ver = t.sdt_ver = t.rrt_ver = t.vct_ver = t.mgt_ver = -1;
    for (int32_t &v : t.eit_ver)
        v = -1;
    t.tx_pmt_count = 0;
    for (tx_pmt &p : t.tx_pmts)
        p = {-1, -1};
    tx->srt_connect = SRT_CALLER;
    srt_defaults(*tx);
    tx->dest_tables_type = TABLES_TYPE_DVB;
    tx->dest_asi_output_type = BURST;
    tx->ts_id = 1;
    tx->orig_network_id = 1;
    return 0;
}

int cfg_tx_fini(cfg_tx *tx)
{
    for (cfg_tx_input &svc : mcf::records<cfg_tx_input>(tx->dest_services))
        release_pid_maps(svc);
    mcf_list_dtor(tx->dest_services);
    tx->dest_services = nullptr;
    kd_remote_addr_fini(&tx->ra);
    kd_remote_addr_fini(&tx->redundant_ra);
    return 0;
}

bool cfg_tx_ip_fields_incomplete(const cfg_tx *tx)
{
    return std::strcmp(tx->dest_node, MCF_ADDR_UNSET) == 0 || tx->dest_port == -1;
}

bool cfg_tx_has_services(const cfg_tx *tx) { return mcf_list_count(tx->dest_services) > 0; }

int cfg_tx_find_prior_pmt_version(const cfg_tx *tx, int pmt_pid)
{
    const tx_table_states &t = tx->tx_tbl_state;
    const int n = t.tx_pmt_count < 0 ? 0 : (t.tx_pmt_count > MCF_TX_PMT_MAX ? MCF_TX_PMT_MAX : t.tx_pmt_count);
    for (int i = 0; i < n; ++i)
        if (t.tx_pmts[i].pid == pmt_pid)
            return t.tx_pmts[i].version;
    return -1;
}

cfg_tx_input *cfg_tx_input_add(cfg_tx *tx)
{
    if (!tx->dest_services && !(tx->dest_services = mcf_list_ctor(sizeof(cfg_tx_input))))
        return nullptr;
    const int id = lowest_free_id<cfg_tx_input>(tx->dest_services, mcf::limits::kServices,
                                                 [](const cfg_tx_input &s) { return s.service_id; });
    if (id < 0)
        return nullptr;
    mcf_list *maps = mcf_list_ctor(sizeof(cfg_tx_pid_map));
    auto *svc = maps ? static_cast<cfg_tx_input *>(mcf_list_append(tx->dest_services)) : nullptr;
    if (!svc) {
        mcf_list_dtor(maps);
        return nullptr;
    }
    svc->service_id = id;
    svc->dest_id = tx->dest_id;
    svc->input_id = svc->input_prog_num = svc->minor_channel_number = svc->klv_source_id = -1;
    svc->modulation_mode = VCT_MODULATION_MODE_SCTEMODE_2;
    svc->service_type = ATSC_DIGITAL_TELEVISION;
    svc->list_pid_maps = maps;
    svc->orig_network_id = tx->orig_network_id;
    svc->version_pid_maps = 0;
    svc->is_durable_remaps = 1;
    svc->ca_session_id = -1;
    return svc;
}

cfg_tx_input *cfg_tx_input_find_by_id(const cfg_tx *tx, int service_id)
{
    for (cfg_tx_input &s : mcf::records<cfg_tx_input>(tx->dest_services))
        if (s.service_id == service_id)
            return &s;
    return nullptr;
}

int cfg_tx_input_cmp_id(const cfg_tx_input *a, const cfg_tx_input *b)
{
    return a->service_id < b->service_id ? -1 : a->service_id > b->service_id;
}

bool cfg_tx_input_has_pid_remaps(const cfg_tx_input *svc)
{
    for (const cfg_tx_pid_map &m : mcf::records<cfg_tx_pid_map>(svc->list_pid_maps))
        if (m.in_pid != m.out_pid)
            return true;
    return false;
}

int cfg_tx_input_rem(cfg_tx *tx, cfg_tx_input *svc)
{
    if (!svc || mcf_list_remove(tx->dest_services, svc) != 0)
        return -1;
    release_pid_maps(*svc); // the node is in the pool now; its fields are still ours to release
    return 0;
}

cfg_tx_pid_map *cfg_tx_pid_map_add(cfg_tx_input *svc, const char *label, int in_pid)
{
    if (!svc->list_pid_maps && !(svc->list_pid_maps = mcf_list_ctor(sizeof(cfg_tx_pid_map))))
        return nullptr;
    const int id =
        lowest_free_id<cfg_tx_pid_map>(svc->list_pid_maps, mcf::limits::kRemaps, [](const cfg_tx_pid_map &m) { return m.id; });
    if (id < 0)
        return nullptr;
    auto *m = static_cast<cfg_tx_pid_map *>(mcf_list_append(svc->list_pid_maps));
    if (!m)
        return nullptr;
    m->id = id;
    m->in_use = 1;
    if (label)
        copy_text(m->label, label);
    m->in_pid = m->out_pid = in_pid;
    m->service = svc;
    return m;
}

int cfg_tx_pid_map_rem(cfg_tx_input *svc, cfg_tx_pid_map *map)
{
    return mcf_list_remove(svc->list_pid_maps, map) == 0 ? 0 : -1;
}

cfg_tx_pid_map *cfg_tx_pid_map_find_by_id(const cfg_tx_input *svc, int id)
{
    for (cfg_tx_pid_map &m : mcf::records<cfg_tx_pid_map>(svc->list_pid_maps))
        if (m.id == id)
            return &m;
    return nullptr;
}

cfg_tx_pid_map *cfg_tx_pid_map_find_by_pid(const cfg_tx_input *svc, int in_pid)
{
    for (cfg_tx_pid_map &m : mcf::records<cfg_tx_pid_map>(svc->list_pid_maps))
        if (m.in_pid == in_pid)
            return &m;
    return nullptr;
}

int cfg_tx_pid_map_cmp_id(const cfg_tx_pid_map *a, const cfg_tx_pid_map *b)
{
    return a->id < b->id ? -1 : a->id > b->id;
}

int cfg_tx_pid_map_find_type(int stream_type, int es_info_len, const uint8_t *es_info)
{
    switch (stream_type) {
    case 0x02: // MPEG-2 video
    case 0x1B: // H.264
    case 0x24: // HEVC
        return MAP_PID_TYPE_VIDEO;
    case 0x03: // MPEG-1 audio
    case 0x04: // MPEG-2 audio
    case 0x0F: // AAC ADTS
    case 0x11: // AAC LATM
    case 0x81: // AC-3 (ATSC A/52)
        return MAP_PID_TYPE_AUDIO;
    case 0x86: // SCTE 35 splice information
        return MAP_PID_TYPE_SPLCE;
    case 0x06: { // private PES: SMPTE ST 2038 announces itself with a "VANC" registration descriptor
        static const uint8_t vanc[6] = {0x05, 0x04, 'V', 'A', 'N', 'C'};
        if (es_info && es_info_len >= 6 && std::memcmp(es_info, vanc, 6) == 0)
            return MAP_PID_TYPE_S2038;
        return MAP_PID_TYPE_AUDIO;
    }
    default:
        return MAP_PID_TYPE_OTHER;
    }
}

int cfg_rx_klv_init(cfg_rx_klv *klv, int id)
{
    klv->id = id;
    copy_text(klv->node, MCF_ADDR_UNSET);
    klv->port = 3000;
    copy_text(klv->intf, "eth1");
    klv->detected = false;
    klv->pid = 40;
    klv->rate = 200000;
    klv->pkts_rx = klv->errs_packetizing = klv->errs_overflow = 0;
    std::snprintf(klv->ui_label, sizeof klv->ui_label, "KLV Source %u-%lld", own_slot(), one_based(id));
    klv->last_tstamp = {};
    klv->last_pkt = nullptr;
    klv->sockfd = -1;
    klv->cc = 5;
    return 0;
}

int cfg_rx_klv_fini(cfg_rx_klv *klv)
{
    return cfg_rx_klv_socket_destroy(klv);
}

bool cfg_rx_klv_ip_fields_incomplete(const cfg_rx_klv *klv)
{
    return std::strcmp(klv->node, MCF_ADDR_UNSET) == 0 || klv->port == -1;
}

int cfg_ca_init(cfg_ca *ca, int id)
{
    ca->id = id;
    std::snprintf(ca->ui_label, sizeof ca->ui_label, "CA Session %d-%lld", int(own_slot()), one_based(id));
    ca->type = ECRTYPE_BISS2_CA;
    std::memset(ca->biss2m1_csw, 0, sizeof ca->biss2m1_csw);
    std::memset(ca->biss2me_esw, 0, sizeof ca->biss2me_esw);
    std::memset(ca->biss2me_aid, 0, sizeof ca->biss2me_aid);
    ca->biss2ca_esid = 4386;
    ca->biss2ca_key_period = 30;
    ca->biss2ca_emm_pid = 64;
    ca->biss2ca_ecm_pid = 65;
    ca->prevent_descrambled_forward = ca->prevent_decoded_forward = ca->insert_watermark = false;
    ca->biss2ca_rxrs = ca_key_table_ctor();
    ca->param_entitlements = nullptr;
    ca->key_file_fd = -1;
    ca->key_file_path[0] = '\0';
    ca->batch_mode = false;
    ca->listed_on_disk = false;
    return 0;
}

int cfg_ca_fini(cfg_ca *ca)
{
    ca->param_entitlements = nullptr;
    ca_key_table_dtor(ca->biss2ca_rxrs);
    ca->biss2ca_rxrs = nullptr;
    if (ca->key_file_fd >= 0)
        ::close(ca->key_file_fd);
    ca->key_file_fd = -1;
    return 0;
}

int mcastfwdr_cfg_init(mcastfwdr_cfg *cfg)
{
    *cfg = mcastfwdr_cfg{};
    cfg->rules_rx = mcf_list_ctor(sizeof(cfg_rx));
    cfg->rules_tx = mcf_list_ctor(sizeof(cfg_tx));
    cfg->rules_rx_klv = mcf_list_ctor(sizeof(cfg_rx_klv));
    cfg->ca_sessions = mcf_list_ctor(sizeof(cfg_ca));
    if (cfg->rules_rx && cfg->rules_tx && cfg->rules_rx_klv && cfg->ca_sessions)
        return 0;
    mcastfwdr_cfg_fini(cfg);
    return -1;
}

void mcastfwdr_cfg_fini(mcastfwdr_cfg *cfg)
{
    for (cfg_tx &tx : mcf::records<cfg_tx>(cfg->rules_tx))
        cfg_tx_fini(&tx);
    for (cfg_rx &rx : mcf::records<cfg_rx>(cfg->rules_rx))
        cfg_rx_fini(&rx);
    for (cfg_rx_klv &k : mcf::records<cfg_rx_klv>(cfg->rules_rx_klv))
        cfg_rx_klv_fini(&k);
    for (cfg_ca &c : mcf::records<cfg_ca>(cfg->ca_sessions))
        cfg_ca_fini(&c);
    mcf_list_dtor(cfg->rules_tx);
    mcf_list_dtor(cfg->rules_rx);
    mcf_list_dtor(cfg->rules_rx_klv);
    mcf_list_dtor(cfg->ca_sessions);
    *cfg = mcastfwdr_cfg{};
}

} // extern "C"
