// Settings profiles: the table that follows the profiles directory, and
// creating, renaming, deleting, verifying and offering profiles for
// download. Applying one is profile_apply.cpp.
#include "profile_internal.h"

#include "../frame_internal.h"

#include <kerrow/carrier.h>
#include <kerrow/cuvent.h>
#include <kerrow/frame.h>
#include <kerrow/log.h>
#include <kerrow/param.h>
#include <kerrow/path.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
const char SETTINGS_PROFILES_HTTPS_SETTINGS_PROFILES_DIR[KD_PROFILE_PATH_SIZE] = "/var/local/solvera/profiles/";
const char WEB_DOWNLOAD_DIR[KD_PROFILE_PATH_SIZE] = "/var/local/solvera/downloadprofiles/";
const char SLAVE_SETTINGS_PROFILES_DIR[KD_PROFILE_PATH_SIZE] = "/var/local/solvera/slaveprofiles/";
const char OLD_SETTINGS_PROFILES_DIR[KD_PROFILE_PATH_SIZE] = "/var/local/solvera/oldprofiles/";
const char LAST_SETTINGS_PROFILES_TEXT[KD_PROFILE_PATH_SIZE] = "/var/local/solvera/lastapplyprofilename.txt";
const char TMP_SETTINGS_PROFILES_DIR[KD_PROFILE_PATH_SIZE] = "/tmp/settings-profiles/";
const char TMP_SETTINGS_PROFILES_HTTPS_DIR[KD_PROFILE_PATH_SIZE] =
    "/tmp/settings-profiles/https-settings-profiles/";
}

namespace kd::profile {

namespace {

Module g_mod;

constexpr const char *kMedia = "/media/hd0/media/";
constexpr const char *kActions[] = {"ProfileDelete", "ProfileDownload", "ProfileApply", nullptr};

std::string profiles_dir() { return kd::rooted(SETTINGS_PROFILES_HTTPS_SETTINGS_PROFILES_DIR); }
std::string media_part(int ui) { return kd::rooted(kMedia) + "slot" + std::to_string(ui) + ".pfl"; }

Profile *profile_of(param_context *p)
{
    // Leaves of a row carry the profile record as user data.
    return static_cast<Profile *>(kd_param_get_userdata(p));
}

bool parse_state(const char *text, int max, int &out)
{
    if (!text || !*text)
        return false;
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno || *end || v < 0 || v > max)
        return false;
    out = int(v);
    return true;
}

// ---- the table ----

void remove_row(Profile &p)
{
    if (p.row)
        kd_param_delete(p.row);
    p.row = nullptr;
}

param_set_result rename_set(param_context *param, const char *text);
param_set_result action_set(param_context *param, const char *text);
const char **action_choices(param_context *) { return const_cast<const char **>(kActions); }

void add_row(Profile &p)
{
    Module &m = g_mod;
    p.row = kd_param_alloc_row(m.files_param, nullptr, p.name.c_str());
    if (!p.row) {
        KD_LOG(KD_LOG_ERR, "[%s] No table row for profile %s\n", me(), p.name.c_str());
        return;
    }
    kd_param_alloc_choice(p.row, nullptr, "Action", PARAMCTRL_WRONLY, nullptr, nullptr, action_choices, action_set,
                          &p);
    kd_param_alloc_string(p.row, nullptr, "RenameProfile", PARAMCTRL_WRONLY, nullptr, nullptr, rename_set, &p);
}

bool is_profile_entry(const std::string &dir, const dirent *e, std::string &name)
{
    const std::string_view entry(e->d_name);
    if (entry.empty() || entry[0] == '.' || !entry.ends_with(".pfl") || entry.size() == 4)
        return false;
    bool regular = e->d_type == DT_REG;
    if (e->d_type == DT_UNKNOWN) {
        struct stat st;
        regular = stat((dir + e->d_name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
    }
    if (!regular)
        return false;
    name = std::string(entry.substr(0, entry.size() - 4));
    return true;
}

// ---- watching the directory ----

void delayed_sync(void *)
{
    g_mod.pending_sync = false;
    sync_profiles();
}

void on_dir_change(void *, const char *path, const struct stat *attr)
{
    if (!attr || attr->st_nlink == 0) {
        KD_LOG(KD_LOG_ERR, "[%s] %s does not exist!\n", me(), path);
        return;
    }
    KD_LOG(KD_LOG_INFO, "[%s] %s something changed!\n", me(), path);
    if (g_mod.pending_sync)
        return;
    g_mod.pending_sync = true;
    kd_frame_timeout_register("settings profile delayed sync", delayed_sync, nullptr, 1.0, 0, nullptr);
}

void on_frame_run(cuvent_wrapper *) noexcept
{
    static std::string dir; // the watcher's path
    dir = profiles_dir();
    if (!make_dirs(dir))
        KD_LOG(KD_LOG_ERR, "[%s] Mkdir:%s error\n", me(), dir.c_str());
    kd_frame_start_stat_watcher(nullptr, "profiles dir", dir.c_str(), on_dir_change, nullptr);
    sync_profiles();
}

// ---- verifying an upload ----

void on_verify(cuvent_wrapper *w) noexcept
{
    static unsigned char valid;
    const char *name = static_cast<const char *>(w->emit_ctx);
    const std::string_view n = name ? name : "";
    // The name comes from the web front end: it must name a file in the
    // upload directory and nothing else, or nothing is deleted.
    if (n.empty() || n.find('/') != std::string_view::npos || n == "." || n == "..") {
        KD_LOG(KD_LOG_ERR, "[%s] Invalid file name for settings profile: %s\n", me(), name ? name : "(null)");
        valid = 0;
        kd_cuvent_emit(nullptr, "verify_settings_profile", &valid);
        return;
    }
    const size_t dot = n.rfind('.');
    if (dot != std::string_view::npos && n.substr(dot) == ".pfl") {
        KD_LOG(KD_LOG_NOTICE, "[%s] Valid file extension for: %s\n", me(), name);
        valid = 1;
    } else {
        KD_LOG(KD_LOG_ERR, "[%s] Invalid file extension for: %s\n", me(), name);
        unlink((kd::rooted(TMP_SETTINGS_PROFILES_HTTPS_DIR) + name).c_str());
        valid = 0;
    }
    kd_cuvent_emit(nullptr, "verify_settings_profile", &valid);
}

// ---- creating ----

// Joins the slaves' stores and the master's into the profile file. The
// file appears under its name only once whole.
void write_profile()
{
    Module &m = g_mod;
    m.adding = false;
    std::string text, part;
    std::vector<std::string> consumed;
    for (int ui = 1; ui < kMasterUi; ++ui) {
        if (!slot_has_card(ui))
            continue;
        const std::string media = media_part(ui);
        if (!read_file(media, part)) {
            KD_LOG(KD_LOG_ERR, "[%s] Error opening slot %d profile!\n", me(), ui);
            return;
        }
        const std::string s = "slot" + std::to_string(ui);
        text += s + "start\n" + part + "\n" + s + "end\n";
        consumed.push_back(media);
    }
    if (!current_store_text(part)) {
        KD_LOG(KD_LOG_ERR, "[%s] Error opening master profile!\n", me());
        return;
    }
    text += "masterstart\n" + part + "\nmasterend\n";
    if (!write_file_atomic(m.add_path, text)) {
        KD_LOG(KD_LOG_ERR, "[%s] Error opening %s !\n", me(), m.add_path.c_str());
        return;
    }
    KD_LOG(KD_LOG_NOTICE, "[%s] Settings profile %s created\n", me(), m.add_name.c_str());
    // The slaves' copies go only once the profile holds them.
    for (const auto &media : consumed)
        if (unlink(media.c_str()) != 0)
            KD_LOG(KD_LOG_ERR, "[%s] Delete media profile %s failed\n", me(), media.c_str());
}

// Writes the profile once every present slave has sent its store.
void add_progress()
{
    Module &m = g_mod;
    if (!m.adding)
        return;
    for (int ui = 1; ui < kMasterUi; ++ui) {
        if (!slot_has_card(ui)) {
            KD_LOG(KD_LOG_NOTICE, "[%s] Slot: %d Is Empty\n", me(), ui);
            continue;
        }
        if (m.add_state[ui] == CHECK_INVALID) {
            KD_LOG(KD_LOG_ERR, "[%s] Slot: %d profile add failed!\n", me(), ui);
            KD_LOG(KD_LOG_ERR, "[%s] Settings profile add failed!\n", me());
            m.adding = false;
            return;
        }
    }
    for (int ui = 1; ui < kMasterUi; ++ui) {
        if (slot_has_card(ui) && m.add_state[ui] == CHECK_NOT_FINISH) {
            KD_LOG(KD_LOG_NOTICE, "[%s] Slot: %d profile add is not finished!\n", me(), ui);
            KD_LOG(KD_LOG_NOTICE, "[%s] Wait for salves to add profiles\n", me());
            return;
        }
    }
    write_profile();
}

void on_add_state(cuvent_wrapper *w) noexcept
{
    Module &m = g_mod;
    const int *v = static_cast<const int *>(w->emit_ctx);
    if (!v || *v / 10 < 1 || *v / 10 >= kMasterUi || *v % 10 > CHECK_INVALID || *v < 0) {
        KD_LOG(KD_LOG_ERR, "[%s] Bad profile add state report\n", me());
        return;
    }
    if (!m.adding) {
        // A late or repeated report: the profile it belonged to is finished.
        KD_LOG(KD_LOG_WARNING, "[%s] Slot: %d profile add state %d with no add in progress, ignored\n", me(),
               *v / 10, *v % 10);
        return;
    }
    m.add_state[*v / 10] = *v % 10;
    add_progress();
}

param_set_result add_name_set(param_context *, const char *text)
{
    Module &m = g_mod;
    if (!text || !profile_name_ok(text)) {
        KD_LOG(KD_LOG_ERR, "[%s] Invalid settings profile name '%s'\n", me(), text ? text : "(null)");
        return PARAM_SET_FAILURE;
    }
    std::fill(std::begin(m.add_state), std::end(m.add_state), CHECK_NOT_FINISH);
    const std::string dir = profiles_dir();
    if (!make_dirs(dir)) {
        KD_LOG(KD_LOG_ERR, "[%s] Mkdir:%s error\n", me(), dir.c_str());
        return PARAM_SET_FAILURE;
    }
    m.add_name = text;
    m.add_path = profile_path(text);
    m.adding = true;
    kd_cuvent_emit(nullptr, "add settings profile requested", nullptr);
    // A chassis without slaves has nobody to wait for.
    add_progress();
    return PARAM_SET_SUCCESS;
}

// ---- renaming, deleting, download ----

param_set_result rename_set(param_context *param, const char *text)
{
    Profile *p = profile_of(param);
    if (!p)
        return PARAM_SET_FAILURE;
    if (!text || !profile_name_ok(text) || p->name == text) {
        KD_LOG(KD_LOG_ERR, "[%s] Invalid new name '%s' for profile %s\n", me(), text ? text : "(null)",
               p->name.c_str());
        return PARAM_SET_FAILURE;
    }
    const std::string to = profile_path(text);
    // No-replace: another profile of that name stays as it is.
    if (renameat2(AT_FDCWD, p->path.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
        KD_LOG(KD_LOG_ERR, "[%s] Rename profile %s to %s failed: %s\n", me(), p->name.c_str(), text,
               std::strerror(errno));
        return PARAM_SET_FAILURE;
    }
    const std::string link = download_path(p->name);
    unlink(link.c_str());
    KD_LOG(KD_LOG_NOTICE, "[%s] Remove profile %s, Unlink profile %s\n", me(), p->path.c_str(), link.c_str());
    return PARAM_SET_SUCCESS;
}

void delete_profile(Profile &p)
{
    const std::string file = profile_path(p.name);
    if (unlink(file.c_str()) != 0)
        KD_LOG(KD_LOG_ERR, "[%s] Delete profile %s failed\n", me(), file.c_str());
    const std::string link = download_path(p.name);
    if (unlink(link.c_str()) != 0 && errno != ENOENT)
        KD_LOG(KD_LOG_ERR, "[%s] Unlink profile %s failed\n", me(), link.c_str());
}

void download_profile(Profile &p)
{
    set_download_state(SETTINGS_NEW_PROFILE_UNKNOWN);
    p.download_state = 1;
    const std::string dl_dir = kd::rooted(WEB_DOWNLOAD_DIR);
    make_dirs(profiles_dir());
    make_dirs(dl_dir);
    const std::string link = download_path(p.name);
    const std::string target = profile_path(p.name);
    // A fresh link under a temporary name replaces the old one in one step.
    const std::string tmp = dl_dir + "." + p.name + ".txt.tmp";
    unlink(tmp.c_str());
    if (symlink(target.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), link.c_str()) != 0) {
        KD_LOG(KD_LOG_ERR, "[%s] Create Link %s failed error: %s\n", me(), link.c_str(), std::strerror(errno));
        unlink(tmp.c_str());
        set_download_state(SETTINGS_NEW_PROFILE_GENERATION_FAILED);
        return;
    }
    KD_LOG(KD_LOG_NOTICE, "[%s] Create Link %s -> %s Successfully\n", me(), link.c_str(), target.c_str());
    set_download_state(SETTINGS_NEW_PROFILE_CREATED);
}

param_set_result action_set(param_context *param, const char *text)
{
    Profile *p = profile_of(param);
    const std::string_view a = text ? text : "";
    if (!p)
        return PARAM_SET_FAILURE;
    if (a == "ProfileDelete")
        delete_profile(*p);
    else if (a == "ProfileDownload")
        download_profile(*p);
    else if (a == "ProfileApply")
        apply_profile(*p);
    else
        return PARAM_SET_FAILURE;
    return PARAM_SET_SUCCESS;
}

// ---- the add list's leaves ----

const char *last_apply_value(param_context *)
{
    static std::string shown;
    std::string text;
    if (!read_file(kd::rooted(LAST_SETTINGS_PROFILES_TEXT), text)) {
        shown = "NULL";
        return shown.c_str();
    }
    shown = text.substr(0, std::min<size_t>(63, text.find('\0')));
    KD_LOG(KD_LOG_INFO, "[%s] Last apply settings profile name is %s\n", me(), shown.c_str());
    return shown.c_str();
}

int zero(param_context *) { return 0; }
int one(param_context *) { return 1; }
int three(param_context *) { return 3; }
int download_state_value(param_context *) { return g_mod.download_state_num; }
int apply_state_value(param_context *) { return g_mod.apply_state; }

param_set_result download_state_set(param_context *, const char *text)
{
    int v = 0;
    if (!parse_state(text, 3, v))
        return PARAM_SET_FAILURE;
    set_download_state(v);
    return PARAM_SET_SUCCESS;
}

param_set_result apply_state_set(param_context *, const char *text)
{
    int v = 0;
    if (!parse_state(text, 1, v))
        return PARAM_SET_FAILURE;
    set_apply_state(v);
    return PARAM_SET_SUCCESS;
}

} // namespace

Module &mod() { return g_mod; }
const char *me() { return kd_frame_plugin_get_name(nullptr); }

bool profile_name_ok(std::string_view name)
{
    return !name.empty() && name.size() <= 63 && name[0] != '.' && name.find('/') == std::string_view::npos;
}

std::string profile_path(std::string_view name) { return profiles_dir() + std::string(name) + ".pfl"; }

std::string download_path(std::string_view name)
{
    return kd::rooted(WEB_DOWNLOAD_DIR) + std::string(name) + ".txt";
}

bool slot_has_card(int ui_slot)
{
    return ui_slot == kMasterUi || (ui_slot >= 1 && ui_slot < kMasterUi && kd_carrier_get_node(unsigned(ui_slot)));
}

void notify_table()
{
    if (g_mod.tbl_add)
        kd_cuvent_emit(nullptr, "on_param_update", g_mod.tbl_add);
}

void set_apply_state(int state)
{
    Module &m = g_mod;
    KD_LOG(KD_LOG_INFO, "[%s] apply_profile_state changed from %d to %d\n", me(), m.apply_state, state);
    m.apply_state = state;
    notify_table();
}

void set_download_state(int state)
{
    Module &m = g_mod;
    KD_LOG(KD_LOG_INFO, "[%s] download_profile_state_num changed from %d to %d\n", me(), m.download_state_num,
           state);
    m.download_state_num = state;
    notify_table();
}

void sync_profiles()
{
    Module &m = g_mod;
    ++m.syncs;
    const std::string dir = profiles_dir();
    DIR *d = opendir(dir.c_str());
    if (!d) {
        KD_LOG(KD_LOG_ERR, "[%s] Could not open search directory\n", me());
        return;
    }
    std::vector<std::string> present; // profile names found
    while (const dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        KD_LOG(KD_LOG_INFO, "[%s] Search candidate %s\n", me(), e->d_name);
        std::string name;
        if (is_profile_entry(dir, e, name))
            present.push_back(std::move(name));
    }
    closedir(d);
    std::sort(present.begin(), present.end());

    bool changed = false;
    for (auto it = m.files.begin(); it != m.files.end();) {
        if (std::binary_search(present.begin(), present.end(), it->name)) {
            ++it;
            continue;
        }
        KD_LOG(KD_LOG_INFO, "[%s] File deleted %s\n", me(), it->name.c_str());
        remove_row(*it);
        it = m.files.erase(it);
        changed = true;
    }
    for (const auto &name : present) {
        if (std::any_of(m.files.begin(), m.files.end(), [&](const Profile &p) { return p.name == name; }))
            continue;
        KD_LOG(KD_LOG_INFO, "[%s] New file found: %s\n", me(), (name + ".pfl").c_str());
        Profile &p = m.files.emplace_back();
        p.name = name;
        p.path = profile_path(name);
        add_row(p);
        changed = true;
    }
    if (changed)
        notify_table();
}

} // namespace kd::profile

using namespace kd::profile;

extern "C" void setup_settings_profile(void)
{
    Module &m = g_mod;
    m = Module{}; // parameters and listeners of an earlier run went with it
    param_context *root = kd_param_create_cfg(nullptr);
    m.files_param = kd_param_alloc_table(root, nullptr, "Settings Profiles", nullptr);
    m.tbl_add = kd_param_alloc_list(root, nullptr, "Settings Profiles Add", nullptr);
    kd_param_alloc_string(m.tbl_add, nullptr, "Settings Profiles Add Name", PARAMCTRL_WRONLY, nullptr, nullptr,
                          add_name_set, nullptr);
    kd_param_alloc_string(m.tbl_add, nullptr, "Settings Profiles Last Apply", PARAMCTRL_RDONLY, nullptr,
                          last_apply_value, nullptr, nullptr);
    kd_param_alloc_number(m.tbl_add, nullptr, "DownloadProfileState", PARAMCTRL_RDWR, nullptr, download_state_value,
                          zero, three, one, download_state_set, nullptr);
    kd_param_alloc_number(m.tbl_add, nullptr, "ApplyProfileState", PARAMCTRL_RDWR, nullptr, apply_state_value, zero,
                          one, one, apply_state_set, nullptr);

    kd_cuvent_register_onetime_cb(nullptr, "frame run", on_frame_run, nullptr, CUVFLT_NONE);
    kd_cuvent_register_cb(nullptr, "settings profile verify", on_verify, nullptr, CUVFLT_NONE);
    kd_cuvent_register_cb(nullptr, "settings_profile_slaves_add_state", on_add_state, nullptr, CUVFLT_NONE);
    register_apply_listeners();
}
