// Applying a settings profile: the master splits it into one part per card,
// every card checks that its part is of its own kind (encoder or decoder)
// and installs it, and the master reboots once every card succeeded.
//
// The master installs its own part last, after every card reported valid,
// so a refused apply leaves its store as it was.
#include "profile_internal.h"

#include "../system/system_internal.h"

#include <kerrow/carrier.h>
#include <kerrow/cuvent.h>
#include <kerrow/frame.h>
#include <kerrow/log.h>
#include <kerrow/path.h>
#include <kerrow/store.h>

#include <jansson.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace kd::profile {

namespace {

std::string part_path(int ui)
{
    const std::string dir = kd::rooted(SLAVE_SETTINGS_PROFILES_DIR);
    return ui == kMasterUi ? dir + "master.pfl" : dir + "slot" + std::to_string(ui) + ".pfl";
}

std::string marker(int ui) { return ui == kMasterUi ? "master" : "slot" + std::to_string(ui); }

void fail_apply()
{
    Module &m = mod();
    m.applying = false;
    m.staged_part.clear();
    set_apply_state(1);
}

// Writes every present card's part; false (parts removed) when the
// profile cannot be read or lacks a present card's part: such an apply
// could never complete.
bool split_parts(const std::string &profile)
{
    std::string text;
    if (!read_file(profile, text)) {
        KD_LOG(KD_LOG_ERR, "[%s] Error opening file %s !\n", me(), profile.c_str());
        return false;
    }
    const auto parts = split_profile(text);
    std::vector<std::string> written;
    bool ok = true;
    for (int ui = 1; ui <= kMasterUi && ok; ++ui) {
        if (!slot_has_card(ui)) {
            KD_LOG(KD_LOG_NOTICE, "[%s] Slot: %d Is Empty\n", me(), ui);
            continue;
        }
        const auto it = parts.find(marker(ui));
        if (it == parts.end()) {
            KD_LOG(KD_LOG_ERR, "[%s] Can not find slot %d profile!\n", me(), ui);
            ok = false;
        } else if (!write_file_atomic(part_path(ui), it->second)) {
            KD_LOG(KD_LOG_ERR, "[%s] Error opening slot %d profile!\n", me(), ui);
            ok = false;
        } else {
            written.push_back(part_path(ui));
        }
    }
    if (!ok)
        for (const auto &w : written)
            unlink(w.c_str());
    return ok;
}

// Replaces this card's store by its part, keeping the card's own settings;
// the store on disk is whole before and after. false on any failure.
bool install_part(const std::string &path)
{
    std::string part, current;
    if (!read_file(path, part)) {
        KD_LOG(KD_LOG_ERR, "[%s] %s read failed!\n", me(), path.c_str());
        return false;
    }
    if (!current_store_text(current)) {
        KD_LOG(KD_LOG_ERR, "[%s] Error opening file current store.json!\n", me());
        return false;
    }
    json_t *old_store = parse_store_text(current);
    json_t *store = merge_store(part, old_store);
    json_decref(old_store);
    if (!store) {
        KD_LOG(KD_LOG_ERR, "[%s] Error opening file %s !\n", me(), path.c_str());
        return false;
    }
    char *text = json_dumps(store, JSON_INDENT(4));
    const bool saved = text && write_file_atomic(kd::rooted("/var/local/solvera/store.json"), std::string(text) + "\n");
    std::free(text);
    if (!saved) {
        KD_LOG(KD_LOG_ERR, "[%s] Error saving  store.json!\n", me());
        json_decref(store);
        return false;
    }
    set_store(store);
    json_decref(store);
    if (unlink(path.c_str()) != 0)
        KD_LOG(KD_LOG_ERR, "[%s] Delete media profile %s failed\n", me(), path.c_str());
    return true;
}

// CHECK_VALID when the part is of this card's kind (and, on the master, a
// store it can install), else CHECK_INVALID.
int check_part(const std::string &path)
{
    std::string current, part;
    if (!current_store_text(current)) {
        KD_LOG(KD_LOG_ERR, "[%s] Error opening file %s !\n", me(), kd::rooted("/var/local/solvera/store.json").c_str());
        return CHECK_INVALID;
    }
    if (!read_file(path, part)) {
        KD_LOG(KD_LOG_ERR, "[%s] Error opening file %s !\n", me(), path.c_str());
        return CHECK_INVALID;
    }
    const int mine = store_kind(current), theirs = store_kind(part);
    if (mine != theirs) {
        KD_LOG(KD_LOG_ERR, "[%s] Type is not the same! Apply_profile is invalid! %d %d\n", me(), mine, theirs);
        return CHECK_INVALID;
    }
    KD_LOG(KD_LOG_NOTICE, "[%s] Type is the same! Apply_profile is valid! %d %d\n", me(), mine, theirs);
    json_t *j = parse_store_text(part);
    const bool object = json_is_object(j);
    json_decref(j);
    if (!object) {
        KD_LOG(KD_LOG_ERR, "[%s] Error opening file %s !\n", me(), path.c_str());
        return CHECK_INVALID;
    }
    return CHECK_VALID;
}

void reboot_now(void *) { reboot_after_apply(); }

void finish_apply()
{
    Module &m = mod();
    const std::string staged = m.staged_part;
    if (staged.empty() || !install_part(staged)) {
        fail_apply();
        return;
    }
    m.applying = false;
    m.staged_part.clear();
    const std::string last = kd::rooted(LAST_SETTINGS_PROFILES_TEXT);
    if (!write_file_atomic(last, m.apply_name))
        KD_LOG(KD_LOG_ERR, "[%s] Failed to write to file %s!\n", me(), last.c_str());
    KD_LOG(KD_LOG_NOTICE, "[%s] Rebooting master!\n", me());
    kd_cuvent_emit(nullptr, "profile reboot requested", nullptr);
    // A second for the proxy to pass the request on to the slaves.
    kd_frame_timeout_register("settings profile reboot", reboot_now, nullptr, 1.0, 0, nullptr);
}

// Looks at every card's result; reboots when all are valid.
void collect()
{
    Module &m = mod();
    if (!m.applying)
        return;
    for (int ui = kMasterUi; ui >= 1; --ui) {
        if (!slot_has_card(ui)) {
            KD_LOG(KD_LOG_NOTICE, "[%s] Slot: %d Is Empty\n", me(), ui);
            continue;
        }
        if (m.check_state[ui] == CHECK_INVALID) {
            KD_LOG(KD_LOG_ERR, "[%s] Slot: %d profile invalid!\n", me(), ui);
            KD_LOG(KD_LOG_ERR, "[%s] Settings profile is invalid!\n", me());
            fail_apply();
            return;
        }
    }
    for (int ui = kMasterUi; ui >= 1; --ui) {
        if (slot_has_card(ui) && m.check_state[ui] == CHECK_NOT_FINISH) {
            KD_LOG(KD_LOG_NOTICE, "[%s] Slot: %d profile check is not finished!\n", me(), ui);
            KD_LOG(KD_LOG_NOTICE, "[%s] Wait for salves to check profiles\n", me());
            return;
        }
    }
    finish_apply();
}

void on_check_type(cuvent_wrapper *w) noexcept
{
    const char *path = static_cast<const char *>(w->emit_ctx);
    if (!path || !*path) {
        KD_LOG(KD_LOG_ERR, "[%s] Profile check without a part\n", me());
        return;
    }
    static int result;
    if (!kd_carrier_frame_is_master()) {
        result = check_part(path);
        if (result == CHECK_VALID && !install_part(path))
            result = CHECK_INVALID;
        kd_cuvent_emit(nullptr, "check_settings_profile_flag", &result);
        return;
    }
    Module &m = mod();
    if (!m.applying) {
        KD_LOG(KD_LOG_WARNING, "[%s] Profile part %s with no apply in progress, ignored\n", me(), path);
        return;
    }
    result = check_part(path);
    if (result == CHECK_VALID)
        m.staged_part = path;
    m.check_state[kMasterUi] = result;
    collect();
}

void on_slaves_apply_state(cuvent_wrapper *w) noexcept
{
    Module &m = mod();
    const int *v = static_cast<const int *>(w->emit_ctx);
    if (!v || *v < 0 || *v / 10 < 1 || *v / 10 >= kMasterUi || *v % 10 > CHECK_INVALID) {
        KD_LOG(KD_LOG_ERR, "[%s] Bad profile apply state report\n", me());
        return;
    }
    if (!m.applying) {
        KD_LOG(KD_LOG_WARNING, "[%s] Slot: %d profile check state %d with no apply in progress, ignored\n", me(),
               *v / 10, *v % 10);
        return;
    }
    m.check_state[*v / 10] = *v % 10;
    collect();
}

} // namespace

void apply_profile(Profile &p)
{
    Module &m = mod();
    set_apply_state(0);
    std::fill(std::begin(m.check_state), std::end(m.check_state), CHECK_NOT_FINISH);
    m.applying = false;
    m.staged_part.clear();
    const std::string dir = kd::rooted(SLAVE_SETTINGS_PROFILES_DIR);
    if (!make_dirs(dir)) {
        KD_LOG(KD_LOG_ERR, "[%s] Mkdir:%s error\n", me(), dir.c_str());
        fail_apply();
        return;
    }
    if (!split_parts(p.path)) {
        fail_apply();
        return;
    }
    // Set before the requests: the reports may come back inside them.
    m.apply_name = p.name;
    m.applying = true;
    kd_cuvent_emit(nullptr, "master send profile to slaves", nullptr);
    kd_cuvent_emit(nullptr, "master_apply_settings_profile_requested", nullptr);
}

void reboot_after_apply()
{
    // A reboot that does not come leaves no apply hanging "in progress".
    if (kd::sys::reboot_machine() != 0)
        set_apply_state(1);
}

void register_apply_listeners()
{
    kd_cuvent_register_cb(nullptr, "proxy_on_profile_check_type", on_check_type, nullptr, CUVFLT_NONE);
    kd_cuvent_register_cb(nullptr, "settings profile slaves apply state", on_slaves_apply_state, nullptr,
                          CUVFLT_NONE);
}

} // namespace kd::profile
