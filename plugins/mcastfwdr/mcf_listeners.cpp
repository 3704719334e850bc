// The plug-in's event listeners. All run on the loop thread, except the two
// decoder-channel listeners, which the decoder plug-in may call from inside
// the multiplexer's "ccset"/"ccclear" emits: off the loop they only queue
// the change and wake the loop, which carries it out.
#include "engine.h"
#include "mcastfwdr.h"

#include <kerrow/cuvent.h>
#include <kerrow/frame.h>
#include <kerrow/param.h>
#include <kerrow/system.h>

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr const char *kDecoderWatcher = "mcastfwdr-decoder-channel";

// Decoder-channel changes waiting for the loop: (channel, enable).
std::mutex g_dec_mutex;
std::vector<std::pair<int, bool>> g_dec_pending;
int g_dec_fd = -1; // eventfd that wakes the loop; loop thread owns it

int32_t g_prev_pgm_status_count = 0; // the "input_output_sync" memory

bool is_eth01(const char *name) { return std::strcmp(name, "eth0") == 0 || std::strcmp(name, "eth1") == 0; }

void on_all_slaves_connected(cuvent_wrapper *)
{
    mcf_post_log(SQ_LOG_DEBUG, "MCF: External systems are connected.");
    mcf_ctrl_plane_external_systems_connected = 1;
    proxy_cuvent_info ts{"internal_ts", 20};
    kd_cuvent_emit(mcf_pli, "register_proxy_cuvent", &ts);
    proxy_cuvent_info clear{"internal_ts_clear", 12};
    kd_cuvent_emit(mcf_pli, "register_proxy_cuvent", &clear);
    mcastfwdr_ingress_notify_bridged_inputs();
}

void on_parms_loaded(cuvent_wrapper *)
{
    mcf_post_log(SQ_LOG_INFO, "MCF: Configuration is loaded.");
    mcf_ctrl_plane_configuration_is_loaded = 1;
    mcastfwdr_asi_apply_initial_hw_cfg();
    mcf::write_lock lock;
    manager_input_output_sync(0);
    mcastfwdr_klv_sources_enable(nullptr);
}

void on_link_change(cuvent_wrapper *w)
{
    const auto *d = static_cast<const system_link_change_data *>(w->emit_ctx);
    if (!d || !is_eth01(d->device_name))
        return;
    mcf_post_log(SQ_LOG_INFO, "MCF: link change detected %s %s", d->device_name, d->up ? "up" : "down");
    mcf::write_lock lock;
    if (mcastfwdr_eth_intf_is_operational(d->device_name)) {
        manager_input_output_sync(0);
        mcastfwdr_klv_sources_enable(d->device_name);
        return;
    }
    const int disabled = manager_inputs_disable_on_intf(d->device_name) + manager_outputs_disable_on_intf(d->device_name);
    if (disabled)
        phindex_repopulate();
    mcastfwdr_klv_sources_disable(d->device_name);
}

void on_address_change(cuvent_wrapper *w)
{
    const auto *d = static_cast<const system_address_change_data *>(w->emit_ctx);
    if (!d || !is_eth01(d->device_name))
        return;
    mcf_post_log(SQ_LOG_INFO, "MCF: address change detected %s %s", d->device_name, d->address);
    mcf::write_lock lock;
    int changed = manager_inputs_disable_on_intf(d->device_name) + manager_outputs_disable_on_intf(d->device_name);
    mcastfwdr_klv_sources_disable(d->device_name);
    if (mcastfwdr_eth_intf_is_operational(d->device_name)) {
        changed += manager_input_output_sync(0);
        mcastfwdr_klv_sources_enable(d->device_name);
    }
    if (changed)
        phindex_repopulate();
}

// Loop thread: the decoder channel's output follows the decoder.
void apply_decoder_channel(int channel, bool enable)
{
    cfg_tx *tx = mcfcfg_tx_find_by_id(channel);
    if (!tx || tx->egress_type != EGRTYPE_DEC)
        return;
    if (enable ? tx->dest_transmit == DEST_XMIT_ON : tx->dest_transmit == DEST_XMIT_OFF)
        return;
    tx->dest_transmit = enable ? DEST_XMIT_ON : DEST_XMIT_OFF;
    mcf::write_lock lock;
    manager_input_output_sync(0);
}

void on_decoder_channel(cuvent_wrapper *w, bool enable)
{
    if (!w->emit_ctx)
        return;
    const int channel = int(*static_cast<const uint32_t *>(w->emit_ctx));
    if (mcf_on_ctrl_thread()) {
        apply_decoder_channel(channel, enable);
        return;
    }
    // Another thread (maybe holding the read side of ctrl_data_lock): hand
    // the change to the loop and wake it.
    {
        std::lock_guard lock(g_dec_mutex);
        g_dec_pending.emplace_back(channel, enable);
    }
    if (g_dec_fd >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(g_dec_fd, &one, sizeof one);
    }
}
void on_decoder_enabled(cuvent_wrapper *w) { on_decoder_channel(w, true); }
void on_decoder_disabled(cuvent_wrapper *w) { on_decoder_channel(w, false); }

void on_decoder_wakeup(void *)
{
    uint64_t n;
    while (::read(g_dec_fd, &n, sizeof n) < 0 && errno == EINTR) {
    }
    mcf::drain_decoder_channel_changes();
}

void on_input_output_sync(cuvent_wrapper *w)
{
    const char *text = static_cast<const char *>(w->emit_ctx);
    mcf::write_lock lock;
    mcf_post_log(SQ_LOG_INFO, "MCF: start Input_output Sync!");
    mcf::apply_encoder_state(text, false);
}

void on_param_update(cuvent_wrapper *w)
{
    param_context *p = static_cast<param_context *>(w->emit_ctx);
    const char *scope = kd_param_get_scope(p);
    if (!scope || std::strcmp(scope, "frame/fips_140-3_mode") != 0)
        return;
    const char *mode = fips_mode ? "ENABLED" : "DISABLED";
    mcf_post_log(SQ_LOG_INFO, "FIPS 140-3 Mode changed to %s, restarting all SRT connections", mode);
    if (!mcf_cfg.rules_rx || !mcf_cfg.rules_tx) {
        mcf_post_log(SQ_LOG_WARN, "FIPS mode change: configuration not fully initialized");
        return;
    }
    unsigned restarted = 0;
    {
        mcf::write_lock lock;
        for (cfg_rx &rx : mcf::records<cfg_rx>(mcf_cfg.rules_rx)) {
            if (!rx.srt_ingress_enabled)
                continue;
            const int n = mcastfwdr_delete_input_and_outputs_using_it(&rx);
            if (n > 0)
                mcf_post_log(SQ_LOG_INFO, "Input %s: Restarted %u manager(s) for FIPS mode %s", rx.ingress_ui_label,
                             unsigned(n), mode);
            else
                mcf_post_log(SQ_LOG_DEBUG, "Input %s: No active managers to restart for FIPS mode %s",
                             rx.ingress_ui_label, mode);
            restarted += unsigned(n > 0 ? n : 0);
            mcfcfg_rx_set_all_program_status_inactive(&rx);
        }
        for (cfg_tx &tx : mcf::records<cfg_tx>(mcf_cfg.rules_tx)) {
            if (tx.dest_protocol != PROTOCOL_SRT)
                continue;
            if (manager_outputs_delete(tx.dest_id)) {
                mcf_post_log(SQ_LOG_INFO, "Output %s: Restarted for FIPS mode %s", tx.dest_ui_label, mode);
                ++restarted;
            } else {
                mcf_post_log(SQ_LOG_DEBUG, "Output %s: No active manager to restart for FIPS mode %s",
                             tx.dest_ui_label, mode);
            }
        }
        if (restarted)
            manager_input_output_sync(int32_t(restarted));
    }
    mcf_post_log(SQ_LOG_INFO, "FIPS 140-3 Mode update: %u manager(s) restarted", restarted);
}

// The number after the last occurrence of prefix that is followed by one
// ("encoder_status" is not an encoder). A number too large for a long reads
// as LONG_MAX, which no range accepts.
bool number_after_last(const std::string &route, const char *prefix, long *out)
{
    bool found = false;
    for (size_t at = route.find(prefix); at != std::string::npos; at = route.find(prefix, at + 1)) {
        const char *start = route.c_str() + at + std::strlen(prefix);
        char *end = nullptr;
        errno = 0;
        const long v = std::strtol(start, &end, 10);
        if (end == start)
            continue;
        *out = errno == ERANGE ? LONG_MAX : v;
        found = true;
    }
    return found;
}

// Whether a program's status entry names carrier n and encoder m, and its number.
bool find_encoder_program(long n, long m, int32_t *pgm_num_out)
{
    for (const cfg_rx &rx : mcf::records<cfg_rx>(mcf_cfg.rules_rx)) {
        const int count = rx.ingress_pgm_status_count < MCF_PGM_STATUS_MAX ? rx.ingress_pgm_status_count : MCF_PGM_STATUS_MAX;
        for (int i = 0; i < count; ++i) {
            const in_pgm_status &p = rx.ingress_pgm_status[i];
            if (p.slot_num == n && p.vid_index == m) {
                *pgm_num_out = p.pgm_num;
                return true;
            }
        }
    }
    return false;
}

// Deletes the outputs whose services carry program `pgm` and syncs again.
void resync_program_outputs(int pgm)
{
    int deleted = 0;
    for (cfg_tx &tx : mcf::records<cfg_tx>(mcf_cfg.rules_tx)) {
        for (const cfg_tx_input &s : mcf::records<cfg_tx_input>(tx.dest_services)) {
            if (s.input_id == 100)
                break;
            if (s.input_prog_num == pgm) {
                deleted += manager_outputs_delete(tx.dest_id);
                break;
            }
        }
    }
    manager_input_output_sync(deleted);
}

} // namespace

namespace mcf {

bool apply_encoder_state(const char *text, bool from_cache)
{
    if (!text)
        return false;
    const char *colon = std::strchr(text, ':');
    if (!colon) {
        mcf_post_log(SQ_LOG_ERROR, "Error: No colon found in string");
        return false;
    }
    const std::string route(text, size_t(colon - text));
    const std::string value(colon + 1);
    long n = 0, m = 0;
    const bool has_n = number_after_last(route, "carrier_", &n);
    const bool has_m = number_after_last(route, "encoder_", &m);
    // The text comes from another card: only carriers 1-8 and encoders
    // 0-3 may index the tables.
    if (!has_n || n <= 0 || n > 8 || !has_m || m < 0 || m > 3) {
        mcf_post_log(SQ_LOG_ERROR, "MCF: Input_output Sync ignored, no such encoder: %.60s", text);
        return false;
    }
    const ip_stop_sdi_status state = value == "1" ? ENC_IP_OUTPUT_DISABLE : ENC_IP_OUTPUT_ALLOW;
    const int cache_index = int(4 * (n - 1) + m);
    int32_t pgm_num = 0;
    const bool found = find_encoder_program(n, m, &pgm_num);
    if (found && (pgm_num < 1 || pgm_num > MCF_ENC_STATUS_COUNT)) {
        mcf_post_log(SQ_LOG_ERROR, "MCF: Input_output Sync ignored, program %d out of range", int(pgm_num));
        return false;
    }
    const int index = found ? pgm_num - 1 : -1;
    if (index < 0 && from_cache)
        return false;
    if (index < 0) {
        mcf_cfg.param_str_cache[cache_index] = state;
    } else {
        if (from_cache)
            mcf_post_log(SQ_LOG_INFO, "MCF: maintain find cache ... %s", text);
        mcf_cfg.enc_prog_enc_status[index] = state;
        mcf_cfg.param_str_cache[cache_index] = ENC_IP_OUTPUT_DEFAULT;
    }
    // The count of the last input's programs, as the outputs saw it last.
    int32_t count = 0;
    for (const cfg_rx &rx : mcf::records<cfg_rx>(mcf_cfg.rules_rx))
        count = rx.ingress_pgm_status_count;
    if (index >= 0)
        resync_program_outputs(index + 1);
    g_prev_pgm_status_count = count;
    return index >= 0;
}

void register_listeners(plugin_load_info *pli)
{
    kd_cuvent_register_cb(pli, "on_proxy_all_slaves_connected", on_all_slaves_connected, nullptr, CUVFLT_NONE);
    char loaded[50];
    std::snprintf(loaded, sizeof loaded, "%s_parms_loaded", kd_frame_plugin_get_name(pli));
    kd_cuvent_register_onetime_cb(pli, loaded, on_parms_loaded, nullptr, CUVFLT_NONE);
    kd_cuvent_register_cb(pli, "system_link_change", on_link_change, nullptr, CUVFLT_NONE);
    kd_cuvent_register_cb(pli, "system_address_change", on_address_change, nullptr, CUVFLT_NONE);
    g_dec_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (g_dec_fd >= 0)
        kd_frame_start_custom_watcher(kDecoderWatcher, g_dec_fd, on_decoder_wakeup, nullptr, pli);
    kd_cuvent_register_cb(pli, "decoder_channel_enabled", on_decoder_enabled, nullptr, CUVFLT_NONE);
    kd_cuvent_register_cb(pli, "decoder_channel_disabled", on_decoder_disabled, nullptr, CUVFLT_NONE);
    kd_cuvent_register_cb(pli, "input_output_sync", on_input_output_sync, nullptr, CUVFLT_NONE);
    // Ours, so that unloading the plug-in removes it with the others.
    kd_cuvent_register_cb(pli, "on_param_update", on_param_update, nullptr, CUVFLT_NONE);
    g_prev_pgm_status_count = 0;
}

void release_listeners()
{
    // Registrations go with the plug-in's unload; the listeners must not
    // act on freed state in between, and the wake-up descriptor is ours.
    kd_cuvent_unregister_cb_owner(mcf_pli);
    if (g_dec_fd >= 0) {
        kd_frame_stop_watcher(kDecoderWatcher, mcf_pli);
        ::close(g_dec_fd);
        g_dec_fd = -1;
    }
    std::lock_guard lock(g_dec_mutex);
    g_dec_pending.clear();
}

void drain_decoder_channel_changes()
{
    std::vector<std::pair<int, bool>> pending;
    {
        std::lock_guard lock(g_dec_mutex);
        pending.swap(g_dec_pending);
    }
    for (const auto &[channel, enable] : pending)
        apply_decoder_channel(channel, enable);
}

} // namespace mcf
