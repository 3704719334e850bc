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
#include <optional>
#include <string>
#include <vector>

namespace {

using mcf::store::id_rule;
using mcf::store::skipped;
namespace limits = mcf::limits;

// What each list of the store may hold.
constexpr id_rule kNetInputIds{limits::kNetInputs};
constexpr id_rule kKlvSourceIds{limits::kKlvSources};
constexpr id_rule kCaSessionIds{limits::kCaSessions};
constexpr id_rule kOutputIds{limits::kOutputs};
constexpr id_rule kServiceIds{limits::kServices};
constexpr id_rule kRemapIds{limits::kRemaps};

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

// The refusals met in one store key: the first few are logged one line
// each, the rest counted into one line at the end, so that a damaged text
// cannot flood the journal.
class refusals {
public:
    explicit refusals(std::string key) : key_(std::move(key)) {}
    ~refusals()
    {
        if (more_)
            mcf_post_log(SQ_LOG_WARN, "Skipped %zu more entries of store key '%s'", more_, key_.c_str());
    }
    refusals(const refusals &) = delete;
    refusals &operator=(const refusals &) = delete;

    const char *key() const { return key_.c_str(); }
    // Whether this refusal gets its own line.
    bool due()
    {
        if (logged_ < kLines) {
            ++logged_;
            return true;
        }
        ++more_;
        return false;
    }
    void skipped_entry(const skipped &s)
    {
        if (!due())
            return;
        // A log line holds 119 characters: a long entry is shown by its start.
        std::string entry = s.entry.size() > 24 ? s.entry.substr(0, 20) + "..." : s.entry;
        if (!s.member.empty())
            entry += ": " + s.member.substr(0, 12);
        mcf_post_log(SQ_LOG_WARN, "Skipped '%s' of store key '%s': %s", entry.c_str(), key(), s.why.c_str());
    }

private:
    static constexpr size_t kLines = 20;
    std::string key_;
    size_t logged_ = 0, more_ = 0;
};

// The list saved under `key`, as far as its whole entries lie within `max`
// bytes (the longest text such a list is saved as); none when there is no
// such key, or its value is no text.
std::optional<std::string> load_list(const char *key, size_t max, char sep)
{
    if (kd_store_test_key(mcf_pli, key) != 1)
        return std::nullopt;
    std::string text;
    if (!load_text(key, &text)) {
        mcf_post_log(SQ_LOG_WARN, "Store key '%s' refused: its value is not a text", key);
        return std::nullopt;
    }
    if (text.size() > max) {
        mcf_post_log(SQ_LOG_WARN, "Store key '%s' refused past byte %zu of %zu: longer than such a list can be", key,
                     max, text.size());
        text.resize(mcf::store::head_of(text, max, sep).size());
    }
    return text;
}

// The saved ids of one list key, ascending; skipped entries logged.
std::set<int> load_ids(const char *key, const id_rule &rule)
{
    const std::optional<std::string> text = load_list(key, mcf::store::list_text_max(rule), ',');
    if (!text)
        return {};
    std::vector<skipped> skips;
    std::set<int> ids = mcf::store::parse_id_list(*text, skips, rule);
    refusals r(key);
    for (const skipped &s : skips)
        r.skipped_entry(s);
    return ids;
}

// The entries of a keyed list key ("id[ids];..."); entries that are not of
// that form logged with `malformed` (a format with the entry), the other
// skipped entries as any list's.
std::vector<mcf::store::keyed_ids> load_keyed(const char *key, const std::string &text, const id_rule &keys,
                                              const id_rule &members, const char *malformed)
{
    std::vector<skipped> skips;
    auto out = mcf::store::parse_keyed_lists(text, skips, keys, members);
    refusals r(key);
    for (const skipped &s : skips) {
        if (s.why != mcf::store::kMalformed)
            r.skipped_entry(s);
        else if (r.due())
            mcf_post_log(SQ_LOG_WARN, malformed, s.entry.c_str());
    }
    return out;
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
    for (int id : load_ids("mcastfwdr/ca_session_ids", kCaSessionIds)) {
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
    for (int id : load_ids("mcastfwdr/input_net_keys", kNetInputIds)) {
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
    for (int id : load_ids("mcastfwdr/klv_source_keys", kKlvSourceIds)) {
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
    if (kd_store_test_key(mcf_pli, key) != 1) {
        mcf_post_log(SQ_LOG_WARN, "No outputs exist for '%s'", key);
        return -1;
    }
    const std::optional<std::string> text = load_list(key, mcf::store::keyed_text_max(kOutputIds, kServiceIds), ';');
    if (!text)
        return -1;
    if (text->empty()) {
        mcf_post_log(SQ_LOG_INFO, "Empty outputs. output_keys_str: '%s'", text->c_str());
        return -1;
    }
    const auto outputs = load_keyed(key, *text, kOutputIds, kServiceIds, "Failed to grab output info from '%.48s'");
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
            if (mcastfwdr_add_row_out_input_(tx, sid) != 0) // the list is saved once, below
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
    const std::optional<std::string> text =
        load_list(key.c_str(), mcf::store::keyed_text_max(kServiceIds, kRemapIds), ';');
    if (!text || text->empty())
        return 0;
    const auto services =
        load_keyed(key.c_str(), *text, kServiceIds, kRemapIds, "Failed to parse pid map info from '%.48s'");
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
