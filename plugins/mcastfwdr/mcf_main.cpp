// The plug-in entries and the control state they create and free.
#include "engine.h"
#include "mcastfwdr.h"
#include "mmsg.h"
#include "router/phindex.h"
#include "srt/srt_helper.h"

#include <kerrow/alarm.h>
#include <kerrow/carrier.h>
#include <kerrow/frame.h>

#include <mpegts_log.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

// ---- control state (loop thread unless marked) ----
extern "C" {
plugin_load_info *mcf_pli = nullptr;
mcastfwdr_cfg mcf_cfg{};
// Writers first: a steady stream of data-thread readers must not starve the
// loop's changes. Nobody takes the read side twice.
pthread_rwlock_t ctrl_data_lock = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
kd_circbuf *circbuf = nullptr;
mcastfwdr_totals totals;
uint32_t mcf_ctrl_plane_configuration_is_loaded = 0;
uint32_t mcf_ctrl_plane_external_systems_connected = 0;
uint32_t mcf_ctrl_plane_ingress_bps_exceeded_alarm_is_set = 0;
uint8_t startup_time_current = 0;
}

namespace {

constexpr const char *kIngressAlarm = "Mux Ingress rate exceeded";
constexpr const char *kIngressAlarmText =
    "Triggered when the total ingress rate of all inputs exceeds maximum limit. Cleared when the number of inputs "
    "is reduced, or input rates are reduced.";

bool g_active = false; // from the start's list creation to the end of fini

// The fixed build switches, logged at start.
struct build_switch {
    const char *name;
    int value;
};
constexpr build_switch kSwitches[] = {
    {"MCASTFWDR_USE_DRIFT_COMPENSATION", 1},   {"MCASTFWDR_USE_MMSG_RECV_SEND_COPY", 0},
    {"MCASTFWDR_CHECK_CC_OF_RX_PKTS", 1},      {"MCASTFWDR_CHECK_CC_OF_TX_PKTS", 1},
    {"MCASTFWDR_INTRODUCE_CC_ERRORS", 0},      {"MCASTFWDR_INTRODUCE_PTS_PCR_DRIFT", 0},
    {"MCASTFWDR_PARSE_PTS", 0},                {"MCASTFWDR_USE_GPG", 0},
    {"MCASTFWDR_USE_IN_PLACE_ENCRYPTION", 1},  {"MCASTFWDR_RUN_ENCRYPTION_THROUGHPUT_TEST", 0},
    {"MCASTFWDR_THROTTLE_SEND", 0},            {"MCASTFWDR_MONITOR_UDP_RX_QUEUE", 0},
    {"MCASTFWDR_PID_ROUTE_TABLE_DEBUG", 0},    {"MCASTFWDR_RUN_CORRUPT_PKTS_TEST", 0},
    {"MCASTFWDR_KLV_RECV_TIMESTAMP", 1},       {"MCASTFWDR_INGRESS_RECV_TIMESTAMP", 1},
    {"MCASTFWDR_INGRESS_MINIMIZE_SOCKS", 1},   {"MCASTFWDR_MONITOR_OUTBOUND_PIDS", 0},
    {"MCASTFWDR_DEBUG_ASI_INPUT", 0},          {"MCF_ASI_INPUT_RATE_DETECT", 0},
    {"MCASTFWDR_BISS2_DEBUG", 0},              {"MCF_DL_THREADS", 0},
};
static_assert(sizeof kSwitches / sizeof kSwitches[0] == 22);

// The decoder test is worked out once per load.
int g_decoder_cached = -1;

// MPEG-TS library messages: its levels run the other way round.
void on_mpegts_log(void *, mpegts_log_level level, const char *fmt, ...)
{
    char text[MCF_LOG_TEXT_SIZE];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    const size_t n = std::strlen(text);
    if (n && text[n - 1] == '\n')
        text[n - 1] = '\0';
    const int lvl = level >= MPEGTS_LOG_DEBUG && level <= MPEGTS_LOG_ERR ? 3 - int(level) : SQ_LOG_DEBUG;
    mcf_post_log(lvl, "%s", text);
}

void on_tick(void *) { mcf::maintenance_pass(); }

} // namespace

extern "C" {

bool mcf_decoder_exists(void)
{
    if (g_decoder_cached < 0) {
        carrier_node *self = kd_carrier_get_self();
        if (!self)
            return false; // asked again once a carrier is known
        char label[64] = {};
        g_decoder_cached = kd_carrier_is_compatible(self, "KT-3300") &&
                           kd_carrier_get_function_label(self, label, sizeof label) >= 0 &&
                           std::strcmp(label, "decode") == 0;
    }
    return g_decoder_cached == 1;
}

bool mcastfwdr_asi_exists(void)
{
    carrier_node *self = kd_carrier_get_self();
    return self && kd_carrier_get_port_index(self, 1, carrier_portid(9)) >= 0;
}

void mcastfwdr_init(plugin_load_info *pli) noexcept
{
    try {
        mcf_pli = pli;
        carrier_node *self = kd_carrier_get_self();
        if (!self)
            return;
        if (kd_carrier_is_compatible(self, "KT-3300") && !kd_carrier_frame_is_master() && !mcf_decoder_exists() &&
            !mcastfwdr_asi_exists()) {
            mcf_post_log(SQ_LOG_DEBUG, "Started Idle");
            return;
        }
        mcf_post_log(SQ_LOG_DEBUG, "Starting..");
        for (const build_switch &s : kSwitches) {
            char name[64];
            std::snprintf(name, sizeof name, "%s:", s.name);
            mcf_post_log(SQ_LOG_DEBUG, "%-53s%d", name, s.value);
        }

        // From here on a failed step returns with what fini undoes.
        g_active = true;
        if (mcastfwdr_cfg_init(&mcf_cfg) != 0) {
            mcf_post_log(SQ_LOG_ERROR, "MCF: Failed to create the configuration lists");
            return;
        }
        mcastfwdr_maintainer_init();
        mcastfwdr_statistics_init();
        mcf_status_queue_init(pthread_self());
        if (!circbuf && !(circbuf = kd_circbuf_ctor(MCF_CIRCBUF_SIZE, MCF_CIRCBUF_MAX_WRITE))) {
            mcf_post_log(SQ_LOG_ERROR, "MCF: Failed to create the packet ring");
            return;
        }
        mmsg_list_tx_ctor();
        manager_inputs_init();
        manager_outputs_init();
        phindex_init(mcastfwdr_phindex_populate, mcastfwdr_phindex_depopulate);
        mcastfwdr_setup_params(&mcf_cfg, pli);
        mcastfwdr_virtual_inputs_init();
        mcastfwdr_asi_init();
        mcastfwdr_asi_carrier_init();
        mcastfwdr_decoder_link_init();
        store_ca_sessions_load_params();
        store_inputs_net_load_params();
        store_klv_sources_load_params();
        store_outputs_load_params();
        mcastfwdr_ingress_init();
        mcastfwdr_klv_init(pli);
        mcastfwdr_mux_init();
        kd_frame_timeout_register(kd_frame_plugin_get_name(pli), on_tick, nullptr, 1.0, 1, pli);
        mcf::register_listeners(pli);
        kd_alarm_register(kIngressAlarm, kIngressAlarmText);
        mpegts_set_on_log(on_mpegts_log, nullptr);
        mcf_post_log(SQ_LOG_DEBUG, "Started Active");
    } catch (...) {
        mcf_post_log(SQ_LOG_ERROR, "MCF: start failed");
    }
}

cuvent_action mcastfwdr_fini(void) noexcept
{
    mcf_post_log(SQ_LOG_DEBUG, "Stopping");
    if (!g_active) {
        mcf_post_log(SQ_LOG_DEBUG, "Stopped");
        mcf_pli = nullptr;
        g_decoder_cached = -1;
        return CUVACT_SUCCESS;
    }
    // The library's hook must not outlive this code.
    mpegts_set_on_log(nullptr, nullptr);
    if (mcf_ctrl_plane_ingress_bps_exceeded_alarm_is_set) {
        kd_alarm_detected(kIngressAlarm, ALARM_INACTIVE);
        mcf_ctrl_plane_ingress_bps_exceeded_alarm_is_set = 0;
    }
    mcastfwdr_mux_fini();
    mcastfwdr_klv_fini();
    mcf::release_listeners();
    kd_frame_stop_watcher(kd_frame_plugin_get_name(mcf_pli), mcf_pli);
    mcastfwdr_virtual_inputs_fini();
    phindex_fini();
    manager_outputs_fini();
    // The outputs' pools point into the ingress receive areas: the ingress
    // goes once their egress threads have ended.
    mcastfwdr_ingress_fini();
    manager_inputs_fini();
    if (circbuf) {
        kd_circbuf_dtor(circbuf);
        circbuf = nullptr;
    }
    mcastfwdr_asi_carrier_fini();
    mcastfwdr_asi_fini();
    mcastfwdr_decoder_link_fini();
    mcastfwdr_statistics_fini();
    mcastfwdr_maintainer_fini();
    // Every SRT session is closed and nothing drives them any more: the
    // library's threads end before this code may be unloaded.
    srt_lib_fini();
    // Every thread that posts is joined now: the queue can go, with its
    // log lines written.
    mcf_status_queue_fini();
    mmsg_list_tx_dtor();
    mcastfwdr_cfg_fini(&mcf_cfg);
    for (auto *c : {&totals.ip_packets_rx, &totals.ip_packets_tx, &totals.ts_packets_rx, &totals.ts_packets_tx,
                    &totals.total_rate_rx})
        c->store(0, std::memory_order_relaxed);
    mcf_ctrl_plane_configuration_is_loaded = 0;
    mcf_ctrl_plane_external_systems_connected = 0;
    startup_time_current = 0;
    g_active = false;
    g_decoder_cached = -1;
    mcf_post_log(SQ_LOG_DEBUG, "Stopped");
    mcf_pli = nullptr;
    return CUVACT_SUCCESS;
}

} // extern "C"
