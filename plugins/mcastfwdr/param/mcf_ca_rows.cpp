// CA session rows and their key rows: appliers, entitling and revoking
// receiver keys on the outputs, and adding and removing sessions with
// their rows, key files and store keys.
#include "param/mcf_param.h"
#include "param/mcf_store_keys.h"

#include "cfg/ca_key_table.h"
#include "mcastfwdr.h"

#include <kerrow/frame.h>
#include <kerrow/path.h>
#include <kerrow/store.h>

#include <jansson.h>
#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

using mcf::param::leaf;

const char *const kNoYes[] = {"No", "Yes", nullptr};
const char *const kYes[] = {"Yes", nullptr};
const char *const kTypes[] = {"BISS2-1", "BISS2-E", "BISS2-CA", nullptr};

cfg_ca &ca_of(void *rec) { return *static_cast<cfg_ca *>(rec); }
bool loaded() { return mcf_ctrl_plane_configuration_is_loaded != 0; }

using mcf::write_lock;

void rebuild_tables(const cfg_ca &ca)
{
    write_lock lock;
    manager_outputs_update_program_tables_for_ca_session(ca.id);
}

int apply_type(void *rec, int idx, const char *)
{
    cfg_ca &ca = ca_of(rec);
    if (int(ca.type) == idx)
        return 0;
    return cfg_ca_set_type(&ca, static_cast<encrypt_type>(idx));
}

int apply_esid(void *rec, int32_t esid)
{
    cfg_ca &ca = ca_of(rec);
    if (cfg_ca_set_biss2ca_esid(&ca, esid) != 0)
        return -1;
    if (loaded()) {
        mcf_post_log(SQ_LOG_INFO, "Restarting outputs to get CA session %d ESID", ca.id);
        rebuild_tables(ca);
    }
    return 0;
}

int apply_key_period(void *rec, int32_t seconds)
{
    // The engine reads the period at its next key change.
    return seconds < 0 ? -1 : cfg_ca_set_biss2ca_key_period(&ca_of(rec), unsigned(seconds));
}

template <bool Emm> int apply_pid(void *rec, int32_t pid)
{
    cfg_ca &ca = ca_of(rec);
    const unsigned cur = Emm ? ca.biss2ca_emm_pid : ca.biss2ca_ecm_pid;
    if (pid < 0 || unsigned(pid) == cur)
        return pid < 0 ? -1 : 0;
    if ((Emm ? cfg_ca_set_biss2ca_emm_pid : cfg_ca_set_biss2ca_ecm_pid)(&ca, unsigned(pid)) != 0)
        return -1;
    if (loaded()) {
        mcf_post_log(SQ_LOG_INFO, "Restarting outputs to get CA session %d %s PID", ca.id, Emm ? "EMM" : "ECM");
        rebuild_tables(ca);
    }
    return 0;
}

uint8_t flag_byte(const cfg_ca &ca)
{
    return uint8_t((ca.prevent_descrambled_forward ? 128 : 0) | (ca.prevent_decoded_forward ? 64 : 0) |
                   (ca.insert_watermark ? 32 : 0));
}

struct flag_kind {
    bool cfg_ca::*field;
    int (*set)(cfg_ca *, bool);
    const char *what;
};
constexpr flag_kind kDescrambled{&cfg_ca::prevent_descrambled_forward, cfg_ca_set_prevent_descrambled_forward,
                                 "prevent descrambled forward"};
constexpr flag_kind kDecoded{&cfg_ca::prevent_decoded_forward, cfg_ca_set_prevent_decoded_forward,
                             "prevent decoded forward"};
constexpr flag_kind kWatermark{&cfg_ca::insert_watermark, cfg_ca_set_insert_watermark, "insert watermark"};

template <const flag_kind &F> int apply_flag(void *rec, int idx, const char *text)
{
    cfg_ca &ca = ca_of(rec);
    const bool on = idx != 0;
    if (ca.*F.field == on)
        return 0;
    if (F.set(&ca, on) != 0)
        return -1;
    if (loaded()) {
        mcf_post_log(SQ_LOG_INFO, "CA session %d %s (%s)", ca.id, F.what, text);
        write_lock lock;
        manager_outputs_update_flags_for_ca_session(ca.id, flag_byte(ca));
    }
    return 0;
}

// The session's entries from its `from`th on (appended in table order).
std::vector<const ca_key_entry *> entries_from(const cfg_ca &ca, int from)
{
    std::vector<const ca_key_entry *> out;
    int i = 0;
    for (const ca_key_entry &e : mcf::records<ca_key_entry>(ca.biss2ca_rxrs ? ca.biss2ca_rxrs->entries : nullptr))
        if (i++ >= from)
            out.push_back(&e);
    return out;
}

int apply_keys_file(void *rec, const char *file)
{
    cfg_ca &ca = ca_of(rec);
    const int before = ca_key_table_get_length(ca.biss2ca_rxrs);
    mcf_post_log(SQ_LOG_INFO, "CA session %d start rx count %d", ca.id, before);
    if (cfg_ca_append_keys_file(&ca, file, true) != 0)
        return -1;
    mcf_post_log(SQ_LOG_INFO, "CA session %d end rx count %d", ca.id, ca_key_table_get_length(ca.biss2ca_rxrs));
    if (loaded()) {
        write_lock lock;
        for (const ca_key_entry *e : entries_from(ca, before))
            manager_outputs_entitle_key_for_ca_session(ca.id, e->key_pem);
    }
    return 0;
}

int apply_entitle(void *rec, const char *pem)
{
    cfg_ca &ca = ca_of(rec);
    const int before = ca_key_table_get_length(ca.biss2ca_rxrs);
    if (cfg_ca_append_key_entry(&ca, nullptr, pem) != 0) {
        mcf_post_log(SQ_LOG_WARN, "CA session %d: failed to add key", ca.id);
        return -1;
    }
    write_lock lock;
    for (const ca_key_entry *e : entries_from(ca, before))
        manager_outputs_entitle_key_for_ca_session(ca.id, e->key_pem);
    return 0;
}

template <auto Field> int read_int(void *rec) { return static_cast<int>(ca_of(rec).*Field); }
template <auto Field> int read_flag(void *rec) { return ca_of(rec).*Field ? 1 : 0; }

const std::array kSessionLeaves = {
    leaf{.label = "ID", .max = 20, .number = read_int<&cfg_ca::id>},
    leaf{.label = "Type", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .choices = kTypes,
         .index = read_int<&cfg_ca::type>, .apply_choice = apply_type},
    leaf{.label = "BISS CA Entitlement Session ID", .rw = PARAMCTRL_RDWR, .min = -1, .max = 65535,
         .number = read_int<&cfg_ca::biss2ca_esid>, .apply_number = apply_esid},
    leaf{.label = "BISS CA Key Period", .rw = PARAMCTRL_RDWR, .max = 600,
         .number = read_int<&cfg_ca::biss2ca_key_period>, .apply_number = apply_key_period},
    leaf{.label = "BISS CA EMM PID", .rw = PARAMCTRL_RDWR, .min = 20, .max = 8191,
         .number = read_int<&cfg_ca::biss2ca_emm_pid>, .apply_number = apply_pid<true>},
    leaf{.label = "BISS CA ECM PID", .rw = PARAMCTRL_RDWR, .min = 20, .max = 8191,
         .number = read_int<&cfg_ca::biss2ca_ecm_pid>, .apply_number = apply_pid<false>},
    leaf{.label = "Prevent Descrambled Forward", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .choices = kNoYes,
         .index = read_flag<&cfg_ca::prevent_descrambled_forward>, .apply_choice = apply_flag<kDescrambled>},
    leaf{.label = "Prevent Decoded Forward", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .choices = kNoYes,
         .index = read_flag<&cfg_ca::prevent_decoded_forward>, .apply_choice = apply_flag<kDecoded>},
    leaf{.label = "Insert Watermark", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_RDWR, .choices = kNoYes,
         .index = read_flag<&cfg_ca::insert_watermark>, .apply_choice = apply_flag<kWatermark>},
    leaf{.label = "BISS CA Receiver Keys File", .type = PARAMTYPE_STRING, .rw = PARAMCTRL_WRONLY,
         .apply_text = apply_keys_file},
    leaf{.label = "BISS CA Entitle Receiver", .type = PARAMTYPE_STRING, .rw = PARAMCTRL_WRONLY, .secret = true,
         .apply_text = apply_entitle},
};
constexpr auto kSessionCb = mcf::param::callbacks_of<kSessionLeaves>();

// ---- key rows ----

ca_key_entry &entry_of(void *rec) { return *static_cast<ca_key_entry *>(rec); }

// The deferred removal names the session and the key by id, so that it
// finds nothing when either went meanwhile.
static_assert(sizeof(void *) >= sizeof(uint64_t), "the ids travel in the idle context");
void *revoke_context(int session_id, unsigned key_id)
{
    return reinterpret_cast<void *>(uintptr_t(uint64_t(uint32_t(session_id)) << 32 | key_id));
}

void finish_revoke(void *ctx)
{
    const auto v = uint64_t(reinterpret_cast<uintptr_t>(ctx));
    cfg_ca *ca = mcfcfg_ca_session_find_by_id(int(uint32_t(v >> 32)));
    const unsigned key_id = unsigned(v & 0xffffffffu);
    const ca_key_entry *e = ca ? ca_key_table_get_entry_by_id(ca->biss2ca_rxrs, key_id) : nullptr;
    if (!e)
        return;
    mcf_post_log(SQ_LOG_INFO, "CA session %d: revoking key %s", ca->id, e->key_id_str);
    cfg_ca_remove_key_entry(ca, key_id);
}

int apply_revoke(void *rec, int, const char *)
{
    const ca_key_entry &e = entry_of(rec);
    cfg_ca *ca = mcfcfg_ca_session_find_by_id(e.ca_id);
    if (!ca)
        return 0;
    const std::string pem(e.key_pem, strnlen(e.key_pem, sizeof e.key_pem - 1));
    // The row goes only after its own set has returned.
    if (kd_frame_idle_register(revoke_context(ca->id, e.id), finish_revoke) != 0)
        mcf_post_log(SQ_LOG_ERROR, "CA session %d: key %s stays listed (no idle pass)", ca->id, e.key_id_str);
    mcf_post_log(SQ_LOG_INFO, "CA session %d: Updating active outputs", ca->id);
    write_lock lock;
    manager_outputs_revoke_key_for_ca_session(ca->id, pem.c_str());
    return 0;
}

const std::array kKeyLeaves = {
    leaf{.label = "ID", .key = "id", .type = PARAMTYPE_STRING, .help = "An identifier for the BISS CA receiver key.",
         .text = [](void *r) -> const char * { return entry_of(r).key_id_str; }},
    leaf{.label = "Revoke", .type = PARAMTYPE_CHOICE, .rw = PARAMCTRL_WRONLY, .choices = kYes,
         .apply_choice = apply_revoke},
};
constexpr auto kKeyCb = mcf::param::callbacks_of<kKeyLeaves>();

int same_record(void *data, void *key) { return data == key ? 0 : 1; }

constexpr const char *kSessionIdsKey = "mcastfwdr/ca_session_ids";

// The session ids the store file lists, once the store has been written
// now (its own timer would take up to three seconds). None when the store
// keeps no file: its settings, sessions among them, live for this run only.
std::optional<std::set<int>> session_ids_on_disk()
{
    kd_store_check_persist(nullptr);
    const std::string file = kd::rooted("/var/local/solvera/store.json");
    struct stat st{};
    if (::stat(file.c_str(), &st) != 0)
        return std::nullopt;
    std::set<int> ids; // a file that cannot be read proves nothing
    std::unique_ptr<json_t, void (*)(json_t *)> root(json_load_file(file.c_str(), 0, nullptr), json_decref);
    const json_t *text = json_object_get(json_object_get(root.get(), kd_frame_plugin_get_name(mcf_pli)), kSessionIdsKey);
    if (json_is_string(text)) {
        std::vector<mcf::store::skipped> skips;
        ids = mcf::store::parse_id_list(json_string_value(text), skips);
    }
    return ids;
}

} // namespace

extern "C" {

void mcastfwdr_allocate_rule_ca_key(param_context *entitlements, ca_key_entry *entry)
{
    char key[32], label[32];
    std::snprintf(key, sizeof key, "ca_key_%u", entry->id);
    std::snprintf(label, sizeof label, "CA Key %u", entry->id);
    param_context *row = kd_param_alloc_row(entitlements, key, label);
    if (!row)
        return;
    for (const leaf &l : kKeyLeaves)
        mcf::param::make_leaf(row, l, kKeyCb, entry);
}

void mcastfwdr_allocate_rule_ca_session(param_context *tbl_ca_sessions, cfg_ca *ca)
{
    char key[32];
    std::snprintf(key, sizeof key, "ca_session_%d", ca->id);
    param_context *row = kd_param_alloc_row(tbl_ca_sessions, key, ca->ui_label);
    if (!row)
        return;
    for (const leaf &l : kSessionLeaves)
        mcf::param::make_leaf(row, l, kSessionCb, ca);
    ca->param_entitlements = kd_param_alloc_table(row, nullptr, "Entitlements", nullptr);
    for (ca_key_entry &e : mcf::records<ca_key_entry>(ca->biss2ca_rxrs ? ca->biss2ca_rxrs->entries : nullptr))
        mcastfwdr_allocate_rule_ca_key(ca->param_entitlements, &e);
    store_ca_sessions_save_params();
}

int mcastfwdr_add_ca_session_row(int id)
{
    cfg_ca *ca = mcfcfg_add_ca_session(id);
    if (!ca) {
        mcf::param::log_not_added("CA session", id, mcf::limits::kCaSessions);
        return -1;
    }
    // A file an earlier session left under this id (its removal cut short)
    // is not this session's.
    if (cfg_ca_delete_keys_file(ca->id) != 0) {
        mcfcfg_remove_ca_session(ca);
        return -1;
    }
    mcastfwdr_allocate_rule_ca_session(mcf_cfg.tbl_ca_sessions, ca);
    // Saved at once, so that its keys can be kept from the first one on.
    if (!mcf_ca_session_listed_on_disk(ca))
        mcf_post_log(SQ_LOG_ERROR, "CA session %d: the session list could not be saved", ca->id);
    mcf::param::announce(mcf_cfg.tbl_rem_ca_session);
    mcfcfg_tx_input_update_ca_session_params(&mcf_cfg);
    return 0;
}

int mcastfwdr_rem_ca_session_row(cfg_ca *ca)
{
    if (!ca)
        return -1;
    const int id = ca->id;
    mcastfwdr_param_delete(mcf_pli, mcf_cfg.tbl_ca_sessions, ca, same_record, 0);
    mcfcfg_tx_input_clear_ca_session(&mcf_cfg, id);
    {
        write_lock lock;
        mcfcfg_remove_ca_session(ca);
        manager_outputs_update_program_tables_for_ca_session(id);
    }
    mcfcfg_tx_input_update_ca_session_params(&mcf_cfg);
    store_ca_sessions_save_params();
    // The key file goes once the list on disk no longer names the session;
    // until then a restart brings the session back with its keys, and
    // after it the next start removes a file left behind.
    const std::optional<std::set<int>> saved = session_ids_on_disk();
    if (!saved || !saved->count(id))
        cfg_ca_delete_keys_file(id);
    else
        mcf_post_log(SQ_LOG_ERROR, "CA session %d: the session list could not be saved, its key file stays", id);
    return 0;
}

bool mcf_ca_session_listed_on_disk(cfg_ca *ca)
{
    if (ca && !ca->listed_on_disk) {
        const std::optional<std::set<int>> saved = session_ids_on_disk();
        ca->listed_on_disk = !saved || saved->count(ca->id);
    }
    return ca && ca->listed_on_disk;
}

int store_ca_sessions_save_params(void)
{
    std::vector<int> ids;
    for (const cfg_ca &c : mcf::records<cfg_ca>(mcf_cfg.ca_sessions))
        ids.push_back(c.id);
    return mcf::param::save_id_list(kSessionIdsKey, ids);
}

} // extern "C"
