// The plug-in manager: finds "libsv-NAME.so" files on the search path,
// loads them on request (init entry, saved values, "NAME_parms_loaded"),
// and unloads them, retrying a fini entry that defers from idle passes.
//
// A plug-in's resources are released by owner: its event registrations,
// its watch list and its parameter tree go before its library is closed.
#include "../frame_internal.h"

#include <kerrow/cuvent.h>
#include <kerrow/log.h>
#include <kerrow/param.h>
#include <kerrow/ref.h>

#include <dlfcn.h>
#include <glob.h>

#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int kPluginNameLen = 30;
constexpr const char *kDefaultSearchPath = "../plugins";
void *const kSimulatedHandle = reinterpret_cast<void *>(99);

const char *me() { return kd_frame_plugin_get_name(nullptr); }

cuvent_action default_fini() { return CUVACT_SUCCESS; }
void default_init(plugin_load_info *) {}

// Owns the C record and its malloc'd texts.
struct Record {
    plugin_load_info pli{};
    Record(const std::string &name, const std::string &path)
    {
        pli.name = strdup(name.c_str());
        pli.path = strdup(path.c_str());
        pli.init = default_init;
        pli.fini = default_fini;
    }
    ~Record()
    {
        std::free(pli.name);
        std::free(pli.path);
    }
    Record(const Record &) = delete;
    Record &operator=(const Record &) = delete;
};

bool g_ready = false;
std::list<std::unique_ptr<Record>> g_records; // discovery order

// The name is the file's base name between "libsv-" and ".so".
std::string name_from_path(std::string_view path)
{
    auto slash = path.rfind('/');
    std::string_view base = slash == std::string_view::npos ? path : path.substr(slash + 1);
    constexpr std::string_view prefix = "libsv-", suffix = ".so";
    if (!base.starts_with(prefix) || !base.ends_with(suffix) ||
        base.size() <= prefix.size() + suffix.size())
        return {};
    return std::string(base.substr(prefix.size(), base.size() - prefix.size() - suffix.size()));
}

void glob_into(const std::string &pattern, std::vector<std::string> &out)
{
    glob_t g{};
    if (glob(pattern.c_str(), 0, nullptr, &g) == 0) {
        for (size_t i = 0; i < g.gl_pathc; ++i)
            out.emplace_back(g.gl_pathv[i]);
    }
    globfree(&g);
}

void discover()
{
    const char *env = std::getenv("SV_PLUGINS_PATH");
    std::string search = env ? env : "";
    if (!env) {
        KD_LOG(KD_LOG_INFO, "[%s] No search path in environment, using %s\n", me(), kDefaultSearchPath);
        search = kDefaultSearchPath;
    }
    std::vector<std::string> found;
    size_t start = 0;
    while (start <= search.size()) {
        size_t end = search.find(':', start);
        if (end == std::string::npos)
            end = search.size();
        std::string dir = search.substr(start, end - start);
        if (!dir.empty()) {
            KD_LOG(KD_LOG_INFO, "[%s] searching for plugins in %s\n", me(), dir.c_str());
            glob_into(dir + "/libsv-*.so", found);
            glob_into(dir + "/*/libsv-*.so", found);
        }
        start = end + 1;
    }
    KD_LOG(KD_LOG_INFO, "[%s] Found %zd plugins\n", me(), static_cast<ssize_t>(found.size()));
    int i = 0;
    for (const auto &path : found) {
        std::string name = name_from_path(path);
        KD_LOG(KD_LOG_INFO, "[%s] [%d] %s name: %s\n", me(), i++, path.c_str(), name.c_str());
        if (name.empty())
            continue;
        // A longer name would not fit the entry-point buffers: refuse it
        // rather than resolve a cut name.
        if (name.size() > kPluginNameLen) {
            KD_LOG(KD_LOG_ERR, "[%s] Plugin name too long (max %d): %s\n", me(), kPluginNameLen,
                   path.c_str());
            continue;
        }
        g_records.push_back(std::make_unique<Record>(name, path));
    }
}

Record *find(const char *name)
{
    if (!name)
        return nullptr;
    for (auto &r : g_records)
        if (std::strcmp(r->pli.name, name) == 0)
            return r.get();
    return nullptr;
}

void *resolve(void *handle, const char *name, const char *suffix)
{
    char sym[50];
    std::snprintf(sym, sizeof sym, "%s%s", name, suffix);
    dlerror();
    return dlsym(handle, sym);
}

void load(Record &r)
{
    plugin_load_info *pli = &r.pli;
    if (pli->handle)
        return;
    pli->shutdown = 0;
    void *handle = dlopen(pli->path, RTLD_LAZY);
    if (!handle) {
        KD_LOG(KD_LOG_ERR, "[%s] %s\n", me(), dlerror());
        return;
    }
    // Both entries must be there before anything of the plug-in runs; a
    // plug-in missing one is refused and its library closed again.
    void *init = resolve(handle, pli->name, "_init");
    if (!init) {
        KD_LOG(KD_LOG_ERR, "[%s] init_sym err: %s, plugin: %s\n", me(), dlerror(), pli->name);
        dlclose(handle);
        return;
    }
    void *fini = resolve(handle, pli->name, "_fini");
    if (!fini) {
        KD_LOG(KD_LOG_ERR, "[%s] fini sym err: %s, plugin: %s\n", me(), dlerror(), pli->name);
        dlclose(handle);
        return;
    }
    pli->handle = handle;
    pli->init = reinterpret_cast<kd_frame_plugin_init>(init);
    pli->fini = reinterpret_cast<kd_frame_plugin_fini>(fini);
    pli->watchers = kd_frame_watchlist_new();
    KD_LOG(KD_LOG_INFO, "[%s] Calling init for %s\n", me(), pli->name);
    pli->init(pli);
    if (pli->top_param)
        kd_store_load_params(pli, pli->top_param);
    char event[50];
    std::snprintf(event, sizeof event, "%s_parms_loaded", pli->name);
    kd_cuvent_emit(nullptr, event, nullptr);
}

// Everything of the plug-in that lives on the loop thread.
void release_resources(plugin_load_info *pli)
{
    KD_LOG(KD_LOG_INFO, "[%s] Unloading %s\n", me(), pli->name);
    kd_worker_release_owner(pli);
    kd_cuvent_unregister_cb_owner(pli);
    if (pli->watchers) {
        kd_frame_release_watchers(pli->watchers);
        pli->watchers = nullptr;
    }
    kd_param_remove_cfg(pli);
    pli->init = default_init;
    pli->fini = default_fini;
}

void unload_again(void *ctx);

// `loop_running` is false at shutdown: a deferring fini is then not asked
// again, and its library stays open for the threads still winding down.
void unload(Record &r, bool loop_running)
{
    plugin_load_info *pli = &r.pli;
    if (!pli->handle)
        return;
    if (pli->fini && pli->fini() == CUVACT_DEFER) {
        pli->shutdown = 1;
        if (loop_running) {
            kd_frame_idle_register(pli, unload_again);
            return;
        }
        release_resources(pli);
        kd::store_release_section(pli);
        return; // handle kept: never closed under a running thread
    }
    release_resources(pli);
    if (pli->handle != kSimulatedHandle && dlclose(pli->handle) != 0)
        KD_LOG(KD_LOG_ERR, "[%s] Failed to close plugin handle. Message: %s\n", me(), dlerror());
    kd::store_release_section(pli);
    pli->handle = nullptr;
    pli->shutdown = 0;
}

void unload_again(void *ctx)
{
    for (auto &r : g_records)
        if (&r->pli == ctx) {
            unload(*r, true);
            return;
        }
}

void op_load(const char *name)
{
    if (!g_ready) {
        KD_LOG(KD_LOG_ERR, "[%s] Cannot load plugin. Manager not initialized.\n", me());
        return;
    }
    Record *r = find(name);
    if (!r) {
        KD_LOG(KD_LOG_ERR, "[%s] Plugin '%s' not found.\n", me(), name ? name : "");
        return;
    }
    load(*r);
}

void op_unload(const char *name)
{
    if (!g_ready) {
        KD_LOG(KD_LOG_ERR, "[%s] Cannot unload plugin. Manager not initialized.\n", me());
        return;
    }
    Record *r = find(name);
    if (!r) {
        KD_LOG(KD_LOG_ERR, "[%s] Plugin '%s' not found.\n", me(), name ? name : "");
        return;
    }
    if (r->pli.shutdown)
        return; // an unload is already waiting for its fini
    unload(*r, true);
}

void op_destroy()
{
    if (!g_ready) {
        KD_LOG(KD_LOG_ERR, "[%s] Cannot destroy plugin manager. Manager not initialized.\n", me());
        return;
    }
    for (auto &r : g_records) {
        // An unload still waiting for its fini gets one last call: the loop
        // no longer runs to ask again.
        kd::idle_cancel(unload_again, &r->pli);
        unload(*r, false);
        // Also a record never loaded may have had its section bound (a
        // save under its name): the record goes, so does its reference.
        kd::store_release_section(&r->pli);
    }
    g_records.clear();
    g_ready = false;
}

int op_max_name_length() { return kPluginNameLen; }

char **names(bool active_only, const char *not_ready_msg)
{
    std::vector<const char *> list;
    if (!g_ready) {
        KD_LOG(KD_LOG_ERR, "%s", not_ready_msg);
    } else {
        for (auto &r : g_records)
            if (!active_only || (r->pli.handle && !r->pli.shutdown))
                list.push_back(r->pli.name);
    }
    auto **arr = static_cast<char **>(std::calloc(list.size() + 1, sizeof(char *)));
    if (!arr)
        return nullptr;
    for (size_t i = 0; i < list.size(); ++i)
        arr[i] = const_cast<char *>(list[i]);
    kd_ref_init_ptr(arr, nullptr);
    return arr;
}

char **op_active()
{
    return names(true, "[frame] No active plugins. Manager not initialized.\n");
}
char **op_available()
{
    return names(false, "[frame] No available plugins. Manager not initialized.\n");
}

plugin_manager g_table{op_load, op_unload, op_destroy, op_max_name_length, op_active, op_available};

plugin_load_info *insert_simulated(const char *name, const char *path, bool active)
{
    if (!g_ready) {
        KD_LOG(KD_LOG_ERR, "[%s] Cannot insert plugin. Manager not initialized.\n", me());
        return nullptr;
    }
    auto rec = std::make_unique<Record>(name ? name : "", path ? path : "");
    if (active) {
        rec->pli.handle = kSimulatedHandle;
        rec->pli.watchers = kd_frame_watchlist_new();
        rec->pli.fini = nullptr;
        rec->pli.init = nullptr;
    }
    g_records.push_back(std::move(rec));
    return &g_records.back()->pli;
}

} // namespace

extern "C" plugin_manager *kd_plugin_init_manager(void)
{
    if (g_ready) {
        KD_LOG(KD_LOG_WARNING, "[%s] Plugin manager init called when manager is already initialized.\n",
               me());
        return &g_table;
    }
    g_records.clear();
    discover();
    g_ready = true;
    return &g_table;
}

extern "C" plugin_load_info *kd_plugin_get_pli_by_name(const char *name)
{
    if (!g_ready)
        return nullptr;
    Record *r = find(name);
    return r ? &r->pli : nullptr;
}

void kd::plugin_for_each(void (*fn)(plugin_load_info *, void *), void *ctx)
{
    for (auto &r : g_records)
        fn(&r->pli, ctx);
}

extern "C" plugin_load_info *__test_insert_available_plugin(const char *name, const char *path)
{
    return insert_simulated(name, path, false);
}

extern "C" plugin_load_info *__test_insert_active_plugin(const char *name, const char *path)
{
    return insert_simulated(name, path, true);
}

extern "C" void __test_set_plugin_inactive(const char *name)
{
    Record *r = find(name);
    if (!r || r->pli.handle != kSimulatedHandle)
        return;
    r->pli.handle = nullptr;
    if (r->pli.watchers) {
        kd_frame_release_watchers(r->pli.watchers);
        r->pli.watchers = nullptr;
    }
    kd::store_release_section(&r->pli);
}
