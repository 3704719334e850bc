// The rows restored from the store at start: CA sessions (with their keys),
// Net inputs, KLV sources, and outputs with their services and PID remaps,
// rebuilt from the keys that say which rows exist, so that the framework's
// store load then finds a parameter for every saved value.
#include "param/mcf_param.h"
#include "param/mcf_store_keys.h"

#include "mcastfwdr.h"
#include "status_queue.h"

#include <kerrow/store.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using mcf::store::skipped;

// The text saved under `key`; false when there is none.
bool load_text(const char *key, std::string *out)
{
    char *text = nullptr;
    if (kd_store_load_string(mcf_pli, key, &text) != 0 || !text)
        return false;
    *out = text;
    std::free(text);
    return true;
}

void log_skipped(const char *key, const std::vector<skipped> &skips)
{
    for (const skipped &s : skips)
        mcf_post_log(SQ_LOG_WARN, "Skipped '%s' of store key '%s': %s", s.text().c_str(), key, s.why.c_str());
}

// The saved ids of one list key, ascending; skipped entries logged.
std::set<int> load_ids(const char *key)
{
    std::string text;
    if (!load_text(key, &text))
        return {};
    std::vector<skipped> skips;
    std::set<int> ids = mcf::store::parse_id_list(text, skips);
    log_skipped(key, skips);
    return ids;
}

void log_exists(const char *what, int id)
{
    mcf_post_log(SQ_LOG_WARN, "Skipped saved %s %d: one with that id exists", what, id);
}

// The saved values of one remap, checked as a client's set checks them.
struct saved_remap {
    std::string label;
    int32_t in = 0, out = 0;
};

bool load_remap(const std::string &base, saved_remap *r)
{
    std::string label, in, out;
    const std::string lroute = base + "/label", iroute = base + "/pid_in", oroute = base + "/pid_out";
    const std::string *missing = !load_text(lroute.c_str(), &label) ? &lroute
                                 : !load_text(iroute.c_str(), &in)  ? &iroute
                                 : !load_text(oroute.c_str(), &out) ? &oroute
                                                                    : nullptr;
    if (missing) {
        mcf_post_log(SQ_LOG_WARN, "Failed load store key '%s'", missing->c_str());
        return false;
    }
    if (!mcf::param::parse_int32(in, &r->in) || r->in < 0 || r->in > 8191) {
        mcf_post_log(SQ_LOG_WARN, "Failed load store key '%s'", iroute.c_str());
        return false;
    }
    if (!mcf::param::parse_int32(out, &r->out) || ((r->out < 1 || r->out > 8190) && r->out != r->in)) {
        mcf_post_log(SQ_LOG_WARN, "Failed load store key '%s'", oroute.c_str());
        return false;
    }
    r->label = label.substr(0, sizeof(cfg_tx_pid_map::label) - 1);
    return true;
}

} // namespace

extern "C" {

int store_ca_sessions_load_params(void)
{
    for (int id : load_ids("mcastfwdr/ca_session_ids")) {
        if (mcfcfg_ca_session_find_by_id(id)) {
            log_exists("CA session", id);
            continue;
        }
        cfg_ca *ca = mcfcfg_add_ca_session(id);
        if (!ca)
            continue;
        // Read from the store, so the list on disk names it.
        ca->listed_on_disk = true;
        mcastfwdr_allocate_rule_ca_session(mcf_cfg.tbl_ca_sessions, ca);
        cfg_ca_load_keys(ca);
    }
    cfg_ca_remove_orphan_key_files();
    // The list as it now stands: damaged entries do not come back.
    store_ca_sessions_save_params();
    return 0;
}

int store_inputs_net_load_params(void)
{
    for (int id : load_ids("mcastfwdr/input_net_keys")) {
        if (mcfcfg_rx_find_by_id(id)) {
            log_exists("Net input", id);
            continue;
        }
        cfg_rx *rx = mcfcfg_rx_add_net(id);
        if (!rx)
            continue;
        mcastfwdr_allocate_rule_input(mcf_cfg.tbl_inputs, rx);
        mcf_rx_register_alarms(rx);
    }
    store_inputs_net_save_params();
    return 0;
}

int store_klv_sources_load_params(void)
{
    for (int id : load_ids("mcastfwdr/klv_source_keys")) {
        if (mcfcfg_rx_klv_find_by_id(id)) {
            log_exists("KLV source", id);
            continue;
        }
        cfg_rx_klv *klv = nullptr;
        {
            // The receive thread walks the sources under the read lock.
            mcf::write_lock lock;
            klv = mcfcfg_add_klv_source(id);
        }
        if (klv)
            mcastfwdr_allocate_rule_klv_source(mcf_cfg.tbl_klv_sources, klv);
    }
    store_klv_sources_save_params();
    return 0;
}

int store_outputs_load_params(void)
{
    // A decoder card's outputs are its decoder channels, made by the engine.
    if (mcf_decoder_exists())
        return 0;
    const char *key = "mcastfwdr/output_keys";
    std::string text;
    if (!load_text(key, &text)) {
        mcf_post_log(SQ_LOG_WARN, "No outputs exist for '%s'", key);
        return -1;
    }
    if (text.empty()) {
        mcf_post_log(SQ_LOG_INFO, "Empty outputs. output_keys_str: '%s'", text.c_str());
        return -1;
    }
    std::vector<skipped> skips;
    const auto outputs = mcf::store::parse_keyed_lists(text, skips);
    for (const skipped &s : skips) {
        if (s.why == mcf::store::kMalformed)
            mcf_post_log(SQ_LOG_WARN, "Failed to grab output info from '%s'", s.entry.c_str());
        else
            log_skipped(key, {s});
    }
    for (const auto &o : outputs) {
        cfg_tx *tx = mcfcfg_tx_find_by_id(o.id);
        if (!tx) {
            tx = mcfcfg_tx_add_net(&mcf_cfg, o.id);
            if (!tx)
                continue;
            mcastfwdr_allocate_rule_output(mcf_cfg.tbl_outputs, tx);
            mcf_tx_register_alarms(tx);
        }
        for (int sid : o.ids) {
            if (cfg_tx_input_find_by_id(tx, sid)) {
                log_exists("service", sid);
                continue;
            }
            if (mcastfwdr_add_row_out_input(tx, sid, 0) != 0)
                mcf_post_log(SQ_LOG_WARN, "Failed to restore service %d of output %d", sid, o.id);
        }
        store_outputs_load_pid_map_keys(o.id);
    }
    store_outputs_save_params();
    return 0;
}

int store_outputs_load_pid_map_keys(int output_id)
{
    cfg_tx *tx = mcfcfg_tx_find_by_id(output_id);
    if (!tx) {
        mcf_post_log(SQ_LOG_ERROR, "Expected cfg_tx at id %u", unsigned(output_id));
        return -1;
    }
    const std::string key = mcf::param::pid_map_key(output_id);
    std::string text;
    if (!load_text(key.c_str(), &text) || text.empty())
        return 0;
    std::vector<skipped> skips;
    const auto services = mcf::store::parse_keyed_lists(text, skips);
    for (const skipped &s : skips) {
        if (s.why == mcf::store::kMalformed)
            mcf_post_log(SQ_LOG_WARN, "Failed to parse pid map info from '%s'", s.entry.c_str());
        else
            log_skipped(key.c_str(), {s});
    }
    for (const auto &s : services) {
        cfg_tx_input *svc = cfg_tx_input_find_by_id(tx, s.id);
        if (!svc) {
            mcf_post_log(SQ_LOG_ERROR, "Expected cfg_tx_input (under cfg_tx %u) at id %d", unsigned(output_id), s.id);
            continue;
        }
        for (int rid : s.ids) {
            char base[160];
            std::snprintf(base, sizeof base, "mcastfwdr/rules/outputs/output_%u/input_refs/service_%u/remaps/remap_%u",
                          unsigned(output_id), unsigned(s.id), unsigned(rid));
            saved_remap r;
            if (cfg_tx_pid_map_find_by_id(svc, rid)) {
                log_exists("PID remap", rid);
                continue;
            }
            if (!load_remap(base, &r)) {
                kd_store_remove_key(mcf_pli, base); // no row to apply them to
                continue;
            }
            if (mcastfwdr_add_row_out_svc_pid_map(svc, rid, r.label.c_str(), r.in) != 0) {
                mcf_post_log(SQ_LOG_ERROR, "Expected pid map (at id %d) svc id %u", rid, unsigned(s.id));
                continue;
            }
            cfg_tx_pid_map *map = cfg_tx_pid_map_find_by_id(svc, rid);
            if (!map) {
                mcf_post_log(SQ_LOG_ERROR, "Expected pid map (at id %d) svc id %u", rid, unsigned(s.id));
                continue;
            }
            map->in_pid = r.in;
            map->out_pid = r.out;
            for (const char *leafkey : {"label", "pid_in", "pid_out"})
                mcf::param::announce(kd_param_get_by_route((std::string(base) + "/" + leafkey).c_str()));
        }
    }
    // Remaps that did not come back leave the key.
    store_outputs_save_pid_map_keys(output_id);
    return 0;
}

} // extern "C"
