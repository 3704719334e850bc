// The version plug-in's engine (see version_internal.h).
#include "version_internal.h"

#include <kerrow/carrier.h>
#include <kerrow/command.h>
#include <kerrow/cuvent.h>
#include <kerrow/frame.h>
#include <kerrow/log.h>
#include <kerrow/path.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>
#include <string_view>
#include <vector>

namespace version {

const char *const task_state_str[] = {"Initializing", "Ready", "FwPkgAdding", "Installing",
                                      "Uninstalling", "Selecting", nullptr};
const vtmode_entry vtmode_table[] = {
    {"firmware select", "-n"}, {"delete installed", "-d"}, {"install file", "-x"}};

version_config version_cfg;
version_config *const version_cfg_p = &version_cfg;

namespace {

namespace fs = std::filesystem;

const char *file_choices[] = {"Install", "Delete", nullptr};
const char *install_choices[] = {"Select", "Delete", nullptr};
const char *argsREBOOT[] = {"Yes", nullptr};

constexpr const char *kVersionFormat = "kerrow/solvera/";
constexpr size_t kVersionArgMax = 255;

// The one tool run in flight. Kept here rather than freed at stop: a
// stopped plug-in's running task still writes into it until the framework
// has waited for it.
std::unique_ptr<version_task_data> g_task;
bool g_active = false;

const char *me() { return kd_frame_plugin_get_name(version_cfg.pli); }
version_config &cfg() { return version_cfg; }

bool busy(task_state s)
{
    return s == TASKSTATE_PKG_ADD || s == TASKSTATE_INSTALLING || s == TASKSTATE_UNINSTALLING ||
           s == TASKSTATE_SELECTING;
}

int choice_index(const char *const *table, const char *text)
{
    if (!text)
        return -1;
    for (int i = 0; table[i]; ++i)
        if (std::strcmp(table[i], text) == 0)
            return i;
    return -1;
}

const char **file_choices_fn(param_context *) { return file_choices; }
const char **install_choices_fn(param_context *) { return install_choices; }
const char **reboot_choices_fn(param_context *) { return argsREBOOT; }
const char **state_choices_fn(param_context *) { return const_cast<const char **>(task_state_str); }
const char *state_value_fn(param_context *) { return task_state_str[cfg().state]; }
const char *banner_value_fn(param_context *) { return cfg().banner.c_str(); }

void emit(const char *name, void *payload) { kd_cuvent_emit(cfg().pli, name, payload); }

// ---- reboot ----

void reboot_now(void *)
{
    cfg().reboot_pending = false;
    kd::command_opts opts;
    opts.quiet = true;
    if (kd::run_command({"reboot"}, opts) != 0)
        KD_LOG(KD_LOG_ERR, "[%s] Reboot failed\n", me());
}

void schedule_reboot()
{
    if (cfg().reboot_pending)
        return;
    if (kd_frame_timeout_register("version reboot", reboot_now, nullptr, 1.0, 0, cfg().pli) != 0) {
        KD_LOG(KD_LOG_ERR, "[%s] Cannot schedule the reboot\n", me());
        return;
    }
    cfg().reboot_pending = true;
}

param_set_result on_reboot_set(param_context *, const char *text)
{
    if (choice_index(argsREBOOT, text) != 0) {
        KD_LOG(KD_LOG_WARNING, "[%s] Invalid reboot value '%s'\n", me(), text ? text : "(null)");
        return PARAM_SET_FAILURE;
    }
    emit("version reboot requested", nullptr);
    schedule_reboot();
    return PARAM_SET_SUCCESS;
}

// ---- tasks ----

bool start_task(vtmode mode, std::string arg)
{
    auto data = version_task_data_ctor(mode, std::move(arg));
    if (!kd_worker_create_task(cfg().pli, version_task, data.get(), version_task_done)) {
        KD_LOG(KD_LOG_ERR, "[%s] Cannot start the %s task\n", me(), vtmode_table[mode].description);
        return false;
    }
    g_task = std::move(data);
    return true;
}

bool refuse_when_busy()
{
    if (cfg().state == TASKSTATE_READY)
        return false;
    KD_LOG(KD_LOG_WARNING, "[%s] Cannot take action. Task in progress: %s\n", me(),
           task_state_str[cfg().state]);
    return true;
}

// ---- rows ----

void delete_row(param_context *&row)
{
    if (row)
        kd_param_delete(row);
    row = nullptr;
}

param_set_result on_file_action(param_context *p, const char *text);
void request_sync();
param_set_result on_installed_action(param_context *p, const char *text);

// A row whose name another row already holds (names that differ only in
// case, or packages of two suffixes) stays unlisted until that row goes.
bool make_file_row(version_file &f, param_context *table, bool quiet)
{
    f.param = kd_param_alloc_row(table, nullptr, f.name.c_str());
    if (!f.param) {
        if (!quiet)
            KD_LOG(KD_LOG_ERR, "[%s] Cannot list %s: the row %s is taken\n", me(), f.path.c_str(),
                   f.name.c_str());
        return false;
    }
    f.action = kd_param_alloc_choice(f.param, nullptr, "Action", PARAMCTRL_WRONLY, nullptr, nullptr,
                                     file_choices_fn, on_file_action, &f);
    return true;
}

bool make_installed_row(version_installed &v, bool quiet)
{
    const std::string label = v.current ? v.name + " (** Current Selection **)" : v.name;
    v.param = kd_param_alloc_row(cfg().installed_param, nullptr, label.c_str());
    if (!v.param) {
        if (!quiet)
            KD_LOG(KD_LOG_ERR, "[%s] Cannot list version %s: the row is taken\n", me(), v.name.c_str());
        return false;
    }
    if (v.current) {
        if (cfg().banner.empty()) {
            cfg().banner = v.name;
            cfg().banner_param = kd_param_alloc_string(kd_param_get_cfg(cfg().pli), nullptr, "Banner",
                                                       PARAMCTRL_RDONLY, nullptr, banner_value_fn,
                                                       nullptr, nullptr);
        }
    } else {
        v.action = kd_param_alloc_choice(v.param, nullptr, "Action", PARAMCTRL_WRONLY, nullptr, nullptr,
                                         install_choices_fn, on_installed_action, &v);
    }
    return true;
}

void retry_file_rows(std::list<version_file> &list, param_context *table)
{
    for (version_file &f : list)
        if (!f.param)
            make_file_row(f, table, true);
}

// ---- actions ----

param_set_result on_file_action(param_context *p, const char *text)
{
    auto *f = static_cast<version_file *>(kd_param_get_userdata(p));
    const int act = choice_index(file_choices, text);
    if (!f || act < 0) {
        KD_LOG(KD_LOG_WARNING, "[%s] Invalid file action '%s'\n", me(), text ? text : "(null)");
        return PARAM_SET_FAILURE;
    }
    if (refuse_when_busy())
        return PARAM_SET_FAILURE;
    if (act == FILEACT_INSTALL) {
        if (f->ftype != VERFTYPE_VORPT)
            return PARAM_SET_SUCCESS;
        KD_LOG(KD_LOG_INFO, "[%s] INSTALL FILE %s\n", me(), f->path.c_str());
        if (!start_task(VTMODE_INSTALL, f->path))
            return PARAM_SET_FAILURE;
        version_cfg_set_state(TASKSTATE_INSTALLING);
        cfg().task_completed_at_local = 0;
        cfg().task_completed_at_remote = 0;
        emit("version firmware package extracting", p);
        return PARAM_SET_SUCCESS;
    }
    KD_LOG(KD_LOG_NOTICE, "[%s] DELETE FILE %s\n", me(), f->path.c_str());
    emit("version firmware package delete", p);
    emit("version other file delete", const_cast<char *>(f->path.c_str()));
    if (::unlink(f->path.c_str()) != 0) {
        KD_LOG(KD_LOG_ERR, "[%s] Failed to delete file %s, (%s)\n", me(), f->path.c_str(),
               std::strerror(errno));
        return PARAM_SET_FAILURE;
    }
    // Its row goes at the next sync, even when the directory's watcher
    // cannot tell this change from the last one it saw (same second).
    request_sync();
    return PARAM_SET_SUCCESS;
}

param_set_result on_installed_action(param_context *p, const char *text)
{
    auto *v = static_cast<version_installed *>(kd_param_get_userdata(p));
    const int act = choice_index(install_choices, text);
    if (!v || act < 0) {
        KD_LOG(KD_LOG_WARNING, "[%s] Invalid version action '%s'\n", me(), text ? text : "(null)");
        return PARAM_SET_FAILURE;
    }
    if (refuse_when_busy())
        return PARAM_SET_FAILURE;
    std::string arg = kVersionFormat + v->name;
    if (arg.size() > kVersionArgMax)
        arg.resize(kVersionArgMax);
    if (act == 0) {
        KD_LOG(KD_LOG_INFO, "[%s] SELECT %s\n", me(), v->name.c_str());
        if (v->current) {
            KD_LOG(KD_LOG_WARNING, "[%s] Cannot select current firmware %s\n", me(), v->name.c_str());
            return PARAM_SET_FAILURE;
        }
        if (!start_task(VTMODE_SELECT, std::move(arg)))
            return PARAM_SET_FAILURE;
        version_cfg_set_state(TASKSTATE_SELECTING);
        emit("version firmware select", p);
        return PARAM_SET_SUCCESS;
    }
    KD_LOG(KD_LOG_INFO, "[%s] DELETE %s\n", me(), v->name.c_str());
    if (!start_task(VTMODE_UNINSTALL, std::move(arg)))
        return PARAM_SET_FAILURE;
    version_cfg_set_state(TASKSTATE_UNINSTALLING);
    cfg().task_completed_at_local = 0;
    cfg().task_completed_at_remote = 0;
    emit("version firmware delete", p);
    return PARAM_SET_SUCCESS;
}

// ---- watchers and events ----

void sync_media() { version_cfg_sync_files(kd::rooted(kMediaDir)); }

void request_sync();

// The directory's watcher compares stat records whose times count whole
// seconds: after it last looked, a change in that same second shows it
// nothing new. While the directory changed in the current second, one more
// sync a second later finds what such a change brought.
void resync_if_changed_this_second()
{
    struct stat st {};
    if (::stat(kd::rooted(kMediaDir).c_str(), &st) == 0 && st.st_mtime == std::time(nullptr))
        request_sync();
}

void on_delayed_sync(void *)
{
    cfg().pending_sync = false;
    sync_media();
    resync_if_changed_this_second();
}

void request_sync()
{
    if (cfg().pending_sync)
        return;
    if (kd_frame_timeout_register("version delayed sync", on_delayed_sync, nullptr, 1.0, 0, cfg().pli) == 0)
        cfg().pending_sync = true;
}

void on_media_change(void *, const char *path, const struct stat *attr)
{
    if (!attr || attr->st_nlink == 0) {
        KD_LOG(KD_LOG_ERR, "[%s] %s does not exist!\n", me(), path);
        return;
    }
    KD_LOG(KD_LOG_INFO, "[%s] %s something changed!\n", me(), path);
    request_sync();
}

void on_oem_change(void *, const char *path, const struct stat *)
{
    KD_LOG(KD_LOG_INFO, "[%s] %s changed!\n", me(), path);
    version_cfg_sync_installed(kd::rooted(kFirmwareDir));
}

void on_frame_run(cuvent_wrapper *)
{
    KD_LOG(KD_LOG_INFO, "[%s] Syncing...\n", me());
    const std::string media = kd::rooted(kMediaDir);
    const std::string firmware = kd::rooted(kFirmwareDir);
    version_cfg_sync_files(media);
    version_cfg_sync_installed(firmware);
    kd_frame_start_stat_watcher(cfg().pli, "media dir", media.c_str(), on_media_change, nullptr);
    kd_frame_start_stat_watcher(cfg().pli, "oem dir", firmware.c_str(), on_oem_change, nullptr);
    resync_if_changed_this_second();
    KD_LOG(KD_LOG_INFO, "[%s] request_publish_dir share/sv-version\n", me());
    emit("request_publish_dir", const_cast<char *>(kPublishDir));
    version_cfg_set_state(TASKSTATE_READY);
}

void on_set_state(cuvent_wrapper *) { version_cfg_set_state(TASKSTATE_READY); }

void on_task_slaves_complete(cuvent_wrapper *)
{
    const task_state s = cfg().state;
    if (s != TASKSTATE_PKG_ADD && s != TASKSTATE_INSTALLING && s != TASKSTATE_UNINSTALLING) {
        KD_LOG(KD_LOG_ERR, "[%s] Invalid state when task completed on slaves: %s\n", me(), task_state_str[s]);
        return;
    }
    if (cfg().task_completed_at_local) {
        KD_LOG(KD_LOG_INFO, "[%s] Task complete on both local and remote: %s\n", me(), task_state_str[s]);
        version_cfg_set_state(TASKSTATE_READY);
        cfg().task_completed_at_local = 0;
        sync_media();
        return;
    }
    KD_LOG(KD_LOG_INFO, "[%s] Task complete on remote. Waiting for local: %s\n", me(), task_state_str[s]);
    cfg().task_completed_at_remote = 1;
}

void on_all_slaves_connected(cuvent_wrapper *)
{
    if (cfg().master_has_slaves)
        return;
    cfg().master_has_slaves = 1;
    kd_cuvent_register_cb(cfg().pli, "on_proxy_version_task_slaves_complete", on_task_slaves_complete,
                          nullptr, CUVFLT_NONE);
}

// The regular files of a directory not beginning with "." (sorted, so rows
// come in a stable order) and every entry name; false when it cannot be read.
bool list_dir(const std::string &dir, std::vector<std::string> &candidates, std::set<std::string> &names,
              bool dirs_too)
{
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec)
        return false;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        names.insert(name);
        std::error_code tec;
        if (name[0] != '.' && (dirs_too || it->is_regular_file(tec)))
            candidates.push_back(name);
    }
    if (ec)
        return false;
    std::sort(candidates.begin(), candidates.end());
    return true;
}

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

} // namespace

// ---- task data ----

std::unique_ptr<version_task_data> version_task_data_ctor(vtmode mode, std::string arg)
{
    auto d = std::make_unique<version_task_data>();
    d->mode = mode;
    d->arg = std::move(arg);
    return d;
}

void version_task_data_dtor(std::unique_ptr<version_task_data> &data) { data.reset(); }

void version_task(kd_worker_task *task)
{
    auto *d = static_cast<version_task_data *>(kd_worker_get_task_data(task));
    kd::command_end end = kd::command_end::exited;
    kd::command_opts opts;
    opts.quiet = true;
    opts.env = {"LD_LIBRARY_PATH=/usr/local/lib"};
    opts.end = &end;
    const int rc = kd::run_command({kTool, vtmode_table[d->mode].option, d->arg}, opts);
    if (rc == 0)
        return;
    if (rc > 0) {
        d->status = rc;
        d->task_errno = KD_ERR_SPAWN_STATUS;
        return;
    }
    switch (end) {
    case kd::command_end::wait_failed: d->task_errno = KD_ERR_SPAWN_WAIT; break;
    case kd::command_end::signalled: d->task_errno = KD_ERR_SPAWN_NO_EXIT; break;
    default: d->task_errno = KD_ERR_SPAWN; break;
    }
}

void version_task_done(kd_worker_task *task)
{
    auto *d = static_cast<version_task_data *>(kd_worker_get_task_data(task));
    if (!g_active || d != g_task.get())
        return; // a task of an earlier start
    const char *desc = vtmode_table[d->mode].description;
    // A tool that did not start, could not be waited for or was killed has
    // failed too, whatever its (unset) exit code says.
    const bool ok = d->status == 0 && d->task_errno == 0;
    if (!ok)
        KD_LOG(KD_LOG_ERR, "[%s] %s %s (%d)\n", me(), desc, kd_frame_strerror(d->task_errno), d->status);
    else
        KD_LOG(KD_LOG_NOTICE, "[%s] %s success\n", me(), desc);
    version_task_data_dtor(g_task);

    const task_state s = cfg().state;
    const bool master = kd_carrier_frame_is_master();
    if (master && cfg().master_has_slaves && (s == TASKSTATE_INSTALLING || s == TASKSTATE_UNINSTALLING)) {
        if (cfg().task_completed_at_remote) {
            KD_LOG(KD_LOG_INFO, "[%s] Task complete on both local and remote: %s\n", me(), task_state_str[s]);
            version_cfg_set_state(TASKSTATE_READY);
            cfg().task_completed_at_remote = 0;
            sync_media();
        } else {
            KD_LOG(KD_LOG_INFO, "[%s] Task complete on local. Waiting for remote: %s\n", me(),
                   task_state_str[s]);
            cfg().task_completed_at_local = 1;
        }
        return;
    }
    KD_LOG(KD_LOG_INFO, "[%s] Task complete: %s\n", me(), task_state_str[s]);
    version_cfg_set_state(TASKSTATE_READY);
    if (master) {
        sync_media();
    } else if (s == TASKSTATE_INSTALLING) {
        emit("version_task_completed_install", nullptr);
    } else if (s == TASKSTATE_UNINSTALLING) {
        emit("version_task_completed_uninstall", nullptr);
    }
    if (s == TASKSTATE_SELECTING) {
        // The running version is still the old one: nothing to reboot into.
        if (!ok) {
            KD_LOG(KD_LOG_ERR, "[%s] Not rebooting: the firmware select failed\n", me());
            return;
        }
        KD_LOG(KD_LOG_NOTICE, "[%s] Rebooting after software SELECT....\n", me());
        schedule_reboot();
    }
}

// ---- state ----

plugin_load_info *version_cfg_get_pli() { return cfg().pli; }
task_state version_cfg_get_state() { return cfg().state; }
unsigned version_cfg_master_has_slaves() { return cfg().master_has_slaves; }
unsigned version_cfg_task_completed_at_remote() { return cfg().task_completed_at_remote; }
void version_cfg_set_task_completed_at_remote(unsigned v) { cfg().task_completed_at_remote = v; }
unsigned version_cfg_task_completed_at_local() { return cfg().task_completed_at_local; }
void version_cfg_set_task_completed_at_local(unsigned v) { cfg().task_completed_at_local = v; }

int version_cfg_set_state(task_state next)
{
    const task_state cur = cfg().state;
    const bool allowed = cur == TASKSTATE_READY ? busy(next) : next == TASKSTATE_READY;
    if (!allowed) {
        KD_LOG(KD_LOG_ERR, "[%s] Invalid state transition %s ==> %s\n", me(), task_state_str[cur],
               task_state_str[next]);
        return -1;
    }
    KD_LOG(KD_LOG_INFO, "[%s] State change: %s ==> %s\n", me(), task_state_str[cur], task_state_str[next]);
    cfg().state = next;
    emit("on_param_update", cfg().state_param);
    return 0;
}

// ---- syncs ----

std::string version_get_current_from_oem()
{
    const std::string link = kd::rooted(kOemLink);
    KD_LOG(KD_LOG_NOTICE, "[%s] Readlink %s\n", me(), link.c_str());
    std::vector<char> buf(4097);
    const ssize_t n = ::readlink(link.c_str(), buf.data(), buf.size() - 1);
    if (n < 0) {
        KD_LOG(KD_LOG_WARNING, "[%s] Failed to read oem link\n", me());
        return {};
    }
    const std::string target(buf.data(), static_cast<size_t>(n));
    const size_t slash = target.rfind('/');
    if (slash == std::string::npos) {
        KD_LOG(KD_LOG_WARNING, "[%s] Unexpected oem link val '%s'\n", me(), target.c_str());
        return {};
    }
    const std::string current = target.substr(slash + 1);
    KD_LOG(KD_LOG_NOTICE, "[%s] Current %s\n", me(), current.c_str());
    return current;
}

std::string package_row_name(const std::string &file)
{
    for (const char *suffix : {"unsigned.vorpt.tgz", ".vorpt.tgz", ".unsigned.vorpt.tar.gz", ".vorpt.tar.gz"}) {
        const size_t at = file.find(suffix);
        if (at != std::string::npos)
            return at > 0 ? file.substr(0, at) : file;
    }
    return file;
}

int version_cfg_sync_installed(const std::string &dir)
{
    std::vector<std::string> entries;
    std::set<std::string> names;
    if (!list_dir(dir, entries, names, true)) {
        KD_LOG(KD_LOG_ERR, "[%s] Could not open firmware directory\n", me());
        return -1;
    }
    auto &list = cfg().installed;
    for (auto it = list.begin(); it != list.end();) {
        if (names.count(it->name)) {
            ++it;
            continue;
        }
        delete_row(it->param);
        it = list.erase(it);
    }
    for (version_installed &v : list)
        if (!v.param)
            make_installed_row(v, true);
    const std::string current = version_get_current_from_oem();
    for (const std::string &name : entries) {
        if (std::any_of(list.begin(), list.end(), [&](const version_installed &v) { return v.name == name; }))
            continue;
        version_installed &v = list.emplace_back();
        v.name = name;
        v.current = !current.empty() && name == current;
        KD_LOG(KD_LOG_INFO, "[%s] [%d] %s\n", me(), 0, name.c_str());
        make_installed_row(v, false);
    }
    return 0;
}

int version_cfg_sync_files(const std::string &dir)
{
    if (busy(cfg().state))
        return 0;
    std::vector<std::string> candidates;
    std::set<std::string> names;
    if (!list_dir(dir, candidates, names, false)) {
        KD_LOG(KD_LOG_ERR, "[%s] Could not open search directory\n", me());
        return -1;
    }
    for (auto *list : {&cfg().files, &cfg().other_files}) {
        for (auto it = list->begin(); it != list->end();) {
            if (names.count(it->file)) {
                ++it;
                continue;
            }
            KD_LOG(KD_LOG_INFO, "[%s] File deleted %s\n", me(), it->path.c_str());
            delete_row(it->param);
            it = list->erase(it);
        }
    }
    // Rows that were taken by a file now gone are given to their waiters.
    retry_file_rows(cfg().files, cfg().files_param);
    retry_file_rows(cfg().other_files, cfg().other_files_param);

    auto listed = [](const std::list<version_file> &l, const std::string &file) {
        return std::any_of(l.begin(), l.end(), [&](const version_file &f) { return f.file == file; });
    };
    for (const std::string &file : candidates) {
        const std::string path = dir + "/" + file;
        KD_LOG(KD_LOG_INFO, "[%s] Search candidate %s\n", me(), path.c_str());
        version_file *added = nullptr;
        if (contains(file, ".vorpt.tgz") || contains(file, ".vorpt.tar.gz")) {
            if (listed(cfg().files, file))
                continue;
            KD_LOG(KD_LOG_INFO, "[%s] New file found: %s\n", me(), path.c_str());
            added = &cfg().files.emplace_back();
            added->name = package_row_name(file);
            added->ftype = VERFTYPE_VORPT;
        } else if (contains(file, ".pub.csv") || contains(file, ".pem")) {
            if (listed(cfg().other_files, file))
                continue;
            KD_LOG(KD_LOG_INFO, "[%s] New other file found: %s\n", me(), path.c_str());
            added = &cfg().other_files.emplace_back();
            added->name = file;
            added->ftype = contains(file, ".pub.csv") ? VERFTYPE_PUBCSV : VERFTYPE_PEM;
        } else {
            continue;
        }
        added->file = file;
        added->path = path;
        const bool package = added->ftype == VERFTYPE_VORPT;
        make_file_row(*added, package ? cfg().files_param : cfg().other_files_param, false);
        if (!package)
            emit("version other file add", const_cast<char *>(added->path.c_str()));
        if (cfg().state == TASKSTATE_INIT)
            continue;
        if (kd_carrier_frame_is_master() && cfg().master_has_slaves) {
            // One copy to the slaves at a time; the rest is found by the
            // sync that follows its completion.
            version_cfg_set_state(TASKSTATE_PKG_ADD);
            cfg().task_completed_at_local = 1;
            cfg().task_completed_at_remote = 0;
            emit("version firmware package add", const_cast<char *>(added->path.c_str()));
            return 0;
        }
        KD_LOG(KD_LOG_INFO, "[%s] Task complete: %s\n", me(), task_state_str[TASKSTATE_PKG_ADD]);
        emit("version_task_completed_fwpkgadd", const_cast<char *>(added->path.c_str()));
    }
    return 0;
}

// ---- start and stop ----

void init(plugin_load_info *pli)
{
    version_cfg = {};
    version_cfg.pli = pli;
    g_active = true;
    KD_LOG(KD_LOG_INFO, "[%s] Starting..\n", me());
    param_context *top = kd_param_create_cfg(pli);
    cfg().installed_param = kd_param_alloc_table(top, nullptr, "Installed Firmware Versions", nullptr);
    cfg().files_param = kd_param_alloc_table(top, nullptr, "Available Firmware Versions", nullptr);
    cfg().other_files_param = kd_param_alloc_table(top, nullptr, "Other Files", nullptr);
    cfg().state_param = kd_param_alloc_choice(top, nullptr, "State", PARAMCTRL_RDONLY, nullptr, state_value_fn,
                                              state_choices_fn, nullptr, nullptr);
    const bool master = kd_carrier_frame_is_master();
    if (master)
        cfg().reboot_param = kd_param_alloc_choice(top, nullptr, "Reboot", PARAMCTRL_WRONLY, nullptr, nullptr,
                                                   reboot_choices_fn, on_reboot_set, nullptr);
    kd_cuvent_register_onetime_cb(pli, "frame run", on_frame_run, nullptr, CUVFLT_NONE);
    kd_cuvent_register_cb(pli, "version_task_set_state", on_set_state, nullptr, CUVFLT_NONE);
    if (master)
        kd_cuvent_register_onetime_cb(pli, "on_proxy_all_slaves_connected", on_all_slaves_connected, nullptr,
                                      CUVFLT_NONE);
}

cuvent_action fini()
{
    plugin_load_info *pli = cfg().pli;
    kd_frame_stop_watcher("oem dir", pli);
    kd_frame_stop_watcher("media dir", pli);
    if (cfg().pending_sync)
        kd_frame_stop_watcher("version delayed sync", pli);
    if (cfg().reboot_pending)
        kd_frame_stop_watcher("version reboot", pli);
    kd_cuvent_unregister_cb_owner(pli);
    for (version_installed &v : cfg().installed)
        delete_row(v.param);
    for (auto *list : {&cfg().files, &cfg().other_files})
        for (version_file &f : *list)
            delete_row(f.param);
    for (param_context **p : {&cfg().installed_param, &cfg().files_param, &cfg().other_files_param,
                              &cfg().state_param, &cfg().reboot_param, &cfg().banner_param})
        delete_row(*p);
    // A tool run still going keeps its data (g_task) until the framework has
    // waited for it; its completion is ignored from now on.
    g_active = false;
    version_cfg = {};
    return CUVACT_SUCCESS;
}

} // namespace version
