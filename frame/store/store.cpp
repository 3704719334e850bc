// The JSON store.
//
// One JSON object in memory holds a section per owner. Sections are bound
// to plug-in records on first use (a counted reference in `pli->store`);
// the framework's "frame" section is looked up on every call.
//
// Durability: the file is replaced atomically (temporary file in the same
// directory, fsync, rename, fsync of the directory), so a crash or power
// cut leaves either the old or the new store on disk, never a torn one. A
// write that fails leaves the store dirty for the next tick. A file that
// does not parse is set aside under another name, never overwritten.
#include "../frame_internal.h"
#include "store_text.h"

#include <kerrow/cuvent.h>
#include <kerrow/log.h>
#include <kerrow/param.h>
#include <kerrow/path.h>
#include <kerrow/ref.h>

#include <jansson.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char *kStoreDir = "/var/local/solvera";
constexpr const char *kStoreFile = "/var/local/solvera/store.json";
constexpr const char *kFrameSection = "frame";

json_t *g_store = nullptr;
json_t *g_frame_section = nullptr; // the service's own reference
bool g_use_file_storage = false;
bool g_persist_saved = false; // dirty
bool g_firmware_reset = false;
bool g_listening = false;
// Routes whose saved value was refused by the load running now.
std::unique_ptr<std::set<std::string>> g_loading;

const char *me() { return kd_frame_plugin_get_name(nullptr); }

// Borrowed reference to the section named `name`, created when missing.
json_t *section_named(const char *name)
{
    if (!g_store)
        return nullptr;
    json_t *s = json_object_get(g_store, name);
    if (!json_is_object(s)) {
        s = json_object();
        json_object_set_new(g_store, name, s);
    }
    return s;
}

// The owner's section: bound to its record on first use.
json_t *section(plugin_load_info *pli)
{
    if (!pli)
        return section_named(kFrameSection);
    if (!pli->store) {
        json_t *s = section_named(kd_frame_plugin_get_name(pli));
        if (!s)
            return nullptr;
        pli->store = json_incref(s);
    }
    return pli->store;
}

bool make_dirs(const std::string &dir)
{
    std::string path;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        path = dir.substr(0, pos);
        if (path.empty())
            continue;
        if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

// Writes the store to the file atomically. false when any step failed.
bool write_file(size_t flags)
{
    const std::string file = kd::rooted(kStoreFile);
    const std::string dir = kd::rooted(kStoreDir);
    const std::string tmp = file + ".tmp";
    char *text = json_dumps(g_store, flags | JSON_INDENT(2));
    if (!text)
        return false;
    bool ok = false;
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ok = kd::write_all(fd, text) && kd::write_all(fd, "\n") && fsync(fd) == 0;
        ok = (close(fd) == 0) && ok;
        if (ok)
            ok = rename(tmp.c_str(), file.c_str()) == 0;
        if (ok) {
            int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (dfd >= 0) {
                fsync(dfd);
                close(dfd);
            }
        } else {
            unlink(tmp.c_str());
        }
    }
    std::free(text);
    if (!ok)
        KD_LOG(KD_LOG_ERR, "[%s] Failed to write store file %s: %s\n", me(), file.c_str(),
               std::strerror(errno));
    return ok;
}

// Puts `file` aside under a new name beside it ("<file>.damaged-<time>",
// then "-1", "-2" ... within one second): `place` moves or copies it there
// and fails with EEXIST while the name is taken. An earlier copy is never
// replaced. The name used, or empty (errno set) when none could be made.
template <typename Place> std::string set_aside(const std::string &file, Place &&place)
{
    const std::string base = file + ".damaged-" + std::to_string(std::time(nullptr));
    std::string aside = base;
    for (int n = 1; n < 1000; ++n) {
        if (place(aside) == 0)
            return aside;
        if (errno != EEXIST)
            return {};
        aside = base + "-" + std::to_string(n);
    }
    return {};
}

// The values a load left out, in the log: at most this many lines.
constexpr size_t kDroppedLines = 20;

// Reads the store file. An empty file is a new store; one that does not
// parse is renamed aside and the device starts from defaults. Values that
// cannot be used are left out, each logged, and the file as it was is
// copied aside: the rest of the store loads, and nothing is lost;
// `cleaned` then asks for the file to be rewritten without them.
json_t *read_file(const std::string &file, bool &cleaned)
{
    std::string text;
    {
        std::ifstream in(file, std::ios::binary);
        if (!in)
            return json_object();
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (in.bad()) {
            KD_LOG(KD_LOG_ERR, "[%s] Store file %s cannot be read; starting from defaults.\n", me(), file.c_str());
            return json_object();
        }
    }
    std::vector<std::string> dropped;
    std::string why;
    if (json_t *root = kd::store_parse_text(text, dropped, why)) {
        if (dropped.empty())
            return root;
        for (size_t i = 0; i < dropped.size() && i < kDroppedLines; ++i)
            KD_LOG(KD_LOG_ERR, "[%s] Store file %s: %s, left out\n", me(), file.c_str(), dropped[i].c_str());
        if (dropped.size() > kDroppedLines)
            KD_LOG(KD_LOG_ERR, "[%s] Store file %s: %zu more values left out\n", me(), file.c_str(),
                   dropped.size() - kDroppedLines);
        const std::string aside = set_aside(file, [&](const std::string &name) {
            const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            if (fd < 0)
                return -1;
            const bool ok = kd::write_all(fd, text) && fsync(fd) == 0;
            close(fd);
            if (!ok)
                unlink(name.c_str());
            return ok ? 0 : -1;
        });
        if (aside.empty())
            KD_LOG(KD_LOG_ERR, "[%s] Store file %s could not be copied aside: %s\n", me(), file.c_str(),
                   std::strerror(errno));
        else
            KD_LOG(KD_LOG_ERR, "[%s] Store file %s as it was is kept as %s\n", me(), file.c_str(), aside.c_str());
        cleaned = true;
        return root;
    }
    const std::string aside = set_aside(file, [&](const std::string &name) {
        return renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE);
    });
    if (!aside.empty())
        KD_LOG(KD_LOG_ERR, "[%s] Store file %s %s; kept as %s, starting from defaults.\n", me(), file.c_str(),
               why.c_str(), aside.c_str());
    else
        KD_LOG(KD_LOG_ERR, "[%s] Store file %s %s and could not be set aside: %s\n", me(), file.c_str(),
               why.c_str(), std::strerror(errno));
    return json_object();
}

bool is_leaf(param_type t)
{
    return t == PARAMTYPE_NUMBER || t == PARAMTYPE_CHOICE || t == PARAMTYPE_STRING ||
           t == PARAMTYPE_SET;
}

// Visits the read-write leaves of a subtree; lists and tables are
// descended whatever their access, placeholders skipped.
template <typename Fn> void for_each_rdwr_leaf(param_context *p, Fn &&fn)
{
    kd_param_visit(p, [](param_context *n, void *ctx) {
        param_type t = kd_param_get_type(n);
        if (is_leaf(t) && kd_param_get_readwrite(n) == PARAMCTRL_RDWR)
            (*static_cast<Fn *>(ctx))(n, t);
        return 0;
    }, &fn);
}

// The value as the store keeps it ("" when the owner gives none).
std::string value_text(param_context *p)
{
    char *text = kd_param_get_value_text(p);
    std::string out = text ? text : "";
    std::free(text);
    return out;
}

param_set_result set_text(param_context *p, param_type t, const char *text)
{
    switch (t) {
    case PARAMTYPE_NUMBER: return kd_param_get_number_ops(p)->set(p, text);
    case PARAMTYPE_STRING: return kd_param_get_string_ops(p)->set(p, text);
    case PARAMTYPE_CHOICE: return kd_param_get_choice_ops(p)->set(p, text);
    case PARAMTYPE_SET: return kd_param_get_set_ops(p)->set(p, text);
    default: return PARAM_SET_FAILURE;
    }
}

void on_param_update(cuvent_wrapper *w)
{
    auto *p = static_cast<param_context *>(w->emit_ctx);
    if (!p || kd_param_get_readwrite(p) != PARAMCTRL_RDWR)
        return;
    const char *route = kd_param_get_scope(p);
    if (!route)
        return;
    std::string_view r(route);
    std::string owner(r.substr(0, r.find('/')));
    plugin_load_info *pli = kd_plugin_get_pli_by_name(owner.c_str());
    kd_store_save_params(pli, p);
}

char **key_array(const std::vector<std::string> &keys)
{
    auto **arr = static_cast<char **>(std::calloc(keys.size() + 1, sizeof(char *)));
    if (!arr)
        return nullptr;
    for (size_t i = 0; i < keys.size(); ++i)
        arr[i] = strdup(keys[i].c_str());
    return arr;
}

void drop_bound_section(plugin_load_info *pli, void *) { kd::store_release_section(pli); }

} // namespace

void kd::store_release_section(plugin_load_info *pli)
{
    if (pli && pli->store) {
        json_decref(pli->store);
        pli->store = nullptr;
    }
}

extern "C" int kd_store_init(void)
{
    KD_LOG(KD_LOG_INFO, "[%s] Starting\n", me());
    json_decref(g_store);
    g_store = nullptr;
    g_use_file_storage = false;
    g_persist_saved = false;
    if (!kd_frame_is_running_native()) {
        const std::string file = kd::rooted(kStoreFile);
        const std::string dir = kd::rooted(kStoreDir);
        // The directory first: the file cannot be created without it.
        if (!make_dirs(dir))
            KD_LOG(KD_LOG_WARNING, "[%s] Failed to create store directory: '%s'\n", me(), dir.c_str());
        // Opened as for appending: a file that cannot be written (a read-only
        // file system, no permission) means memory only for this run, not a
        // failed write every few seconds. The atomic replace also needs the
        // directory writable.
        int fd = open(file.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0 && access(dir.c_str(), W_OK) != 0) {
            close(fd);
            fd = -1;
        }
        if (fd < 0) {
            KD_LOG(KD_LOG_WARNING, "[%s] Not using file storage due to permissions.\n", me());
        } else {
            close(fd);
            if (g_firmware_reset) {
                g_store = json_object();
                g_firmware_reset = false;
            } else {
                bool cleaned = false;
                g_store = read_file(file, cleaned);
                g_persist_saved = cleaned; // what was left out leaves the file at the next tick
            }
            g_use_file_storage = true;
        }
    }
    if (!g_store)
        g_store = json_object();
    g_frame_section = json_incref(section_named(kFrameSection));
    if (g_use_file_storage)
        kd_frame_timeout_register("store", kd_store_check_persist, nullptr, 3.0, 1, nullptr);
    if (!g_listening)
        g_listening = kd_cuvent_register_cb(nullptr, "on_param_update", on_param_update, nullptr,
                                            CUVFLT_NONE) == 0;
    KD_LOG(KD_LOG_INFO, "[%s] Started\n", me());
    return 0;
}

extern "C" int kd_store_fini(void)
{
    KD_LOG(KD_LOG_INFO, "[%s] Stopping\n", me());
    if (g_firmware_reset) {
        json_decref(g_store);
        g_store = json_object();
    }
    if (g_use_file_storage && g_store)
        write_file(JSON_SORT_KEYS);
    g_firmware_reset = false;
    json_decref(g_frame_section);
    g_frame_section = nullptr;
    json_decref(g_store);
    g_store = nullptr;
    g_use_file_storage = false;
    g_persist_saved = false;
    g_listening = false; // the bus goes after the store and takes the listener with it
    KD_LOG(KD_LOG_INFO, "[%s] Stopped\n", me());
    return 0;
}

extern "C" void kd_store_check_persist(void *)
{
    if (!g_persist_saved || !g_use_file_storage)
        return;
    KD_LOG(KD_LOG_INFO, "[%s] Persisting configuration to file.\n", me());
    if (write_file(0))
        g_persist_saved = false;
}

extern "C" int kd_store_test_key(plugin_load_info *pli, const char *key)
{
    json_t *s = section(pli);
    return (s && key && json_object_get(s, key)) ? 1 : 0;
}

extern "C" int kd_store_load_string(plugin_load_info *pli, const char *key, char **val)
{
    json_t *s = section(pli);
    json_t *v = (s && key) ? json_object_get(s, key) : nullptr;
    if (!json_is_string(v) || !val)
        return -1;
    *val = strdup(json_string_value(v));
    return *val ? 0 : -1;
}

extern "C" int kd_store_save_string(plugin_load_info *pli, const char *key, const char *val)
{
    json_t *s = section(pli);
    if (!s || !key || !val)
        return -1;
    // The key only: values include secrets (passphrases, password digests)
    // that must not reach the journal.
    KD_LOG(KD_LOG_INFO, "[%s] %s: %s\n", me(), "kd_store_save_string", key);
    json_object_set_new(s, key, json_string(val));
    g_persist_saved = true;
    return 0;
}

extern "C" int kd_store_load_int(plugin_load_info *pli, const char *key, int *val)
{
    char *text = nullptr;
    if (kd_store_load_string(pli, key, &text) != 0)
        return -1;
    // A text that is no int is refused, never cut to one: a caller's
    // arithmetic must not meet a value it could not have saved.
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    const bool ok = end != text && *end == '\0' && errno == 0 && v >= INT_MIN && v <= INT_MAX;
    if (!ok)
        KD_LOG(KD_LOG_ERR, "[%s] Stored value of '%s' is not a number in range; not used\n", me(), key);
    else if (val)
        *val = static_cast<int>(v);
    std::free(text);
    return ok ? 0 : -1;
}

extern "C" int kd_store_save_int(plugin_load_info *pli, const char *key, int val)
{
    return kd_store_save_string(pli, key, std::to_string(val).c_str());
}

extern "C" char **kd_store_get_keys(plugin_load_info *pli)
{
    std::vector<std::string> keys;
    if (json_t *s = section(pli)) {
        const char *k;
        json_t *v;
        json_object_foreach(s, k, v) keys.emplace_back(k);
    }
    return key_array(keys);
}

extern "C" char **kd_store_search_keys(plugin_load_info *pli, const char *key_prefix)
{
    std::vector<std::string> keys;
    std::string_view prefix = key_prefix ? key_prefix : "";
    if (json_t *s = section(pli)) {
        const char *k;
        json_t *v;
        json_object_foreach(s, k, v) if (std::string_view(k).starts_with(prefix)) keys.emplace_back(k);
    }
    std::sort(keys.begin(), keys.end());
    return key_array(keys);
}

extern "C" int kd_store_remove_key(plugin_load_info *pli, const char *key)
{
    json_t *s = section(pli);
    if (!s || !key)
        return 0;
    KD_LOG(KD_LOG_INFO, "[%s] %s: %s\n", me(), "kd_store_remove_key", key);
    // The key and what lies under it ("key/..."), never a mere text prefix:
    // removing input_1 must leave input_10 alone.
    std::string_view base(key);
    std::vector<std::string> doomed;
    const char *k;
    json_t *v;
    json_object_foreach(s, k, v)
    {
        std::string_view kv(k);
        if (kv == base || (kv.size() > base.size() && kv.starts_with(base) && kv[base.size()] == '/'))
            doomed.emplace_back(k);
    }
    for (const auto &d : doomed)
        json_object_del(s, d.c_str());
    if (!doomed.empty())
        g_persist_saved = true;
    return 0;
}

extern "C" int kd_store_rename(plugin_load_info *pli, const char *old_key, const char *new_key)
{
    json_t *s = section(pli);
    if (!s || !old_key || !new_key)
        return 1;
    json_t *old_v = json_object_get(s, old_key);
    if (!old_v || json_object_get(s, new_key))
        return 1;
    json_object_set(s, new_key, old_v); // the value moves as it is
    json_object_del(s, old_key);
    g_persist_saved = true; // reaches the file at the next tick
    return 0;
}

extern "C" int kd_store_load_params(plugin_load_info *pli, param_context *p)
{
    if (!p) {
        KD_LOG(KD_LOG_WARNING, "[%s] Tried to load NULL param.\n", me());
        return -1;
    }
    json_t *s = section(pli);
    if (!s)
        return 0;
    // A saved value its setter refuses keeps its saved text: the update
    // that follows the set, or one another leaf's set causes during this
    // load, would otherwise replace it with the current value, and a value
    // refused only for now (a row not built yet, older firmware's range)
    // would be lost for good.
    const bool outer = !g_loading;
    if (outer)
        g_loading = std::make_unique<std::set<std::string>>();
    for_each_rdwr_leaf(p, [s](param_context *leaf, param_type t) {
        const char *route = kd_param_get_scope(leaf);
        json_t *v = route ? json_object_get(s, route) : nullptr;
        if (!json_is_string(v))
            return;
        // The setter gets its own copy: the update it causes rewrites this
        // key. The route is copied too: a setter may delete its own leaf.
        std::string text = json_string_value(v);
        std::string key = route;
        if (set_text(leaf, t, text.c_str()) != PARAM_SET_SUCCESS) {
            KD_LOG(KD_LOG_WARNING, "[%s] Saved value of '%s' refused; kept in the store\n", me(), key.c_str());
            json_object_set_new(s, key.c_str(), json_string(text.c_str()));
            g_loading->insert(std::move(key));
        }
    });
    if (outer)
        g_loading.reset();
    return 0;
}

extern "C" int kd_store_save_params(plugin_load_info *pli, param_context *p)
{
    if (!p) {
        KD_LOG(KD_LOG_WARNING, "[%s] Tried to save NULL param.\n", me());
        return -1;
    }
    json_t *s = section(pli);
    if (!s)
        return -1;
    g_persist_saved = true;
    for_each_rdwr_leaf(p, [s](param_context *leaf, param_type) {
        const char *route = kd_param_get_scope(leaf);
        if (route && !(g_loading && g_loading->contains(route)))
            json_object_set_new(s, route, json_string(value_text(leaf).c_str()));
    });
    return 0;
}

extern "C" void kd_store_firmware_reset(void) { g_firmware_reset = true; }

extern "C" void set_store(json_t *store)
{
    if (!json_is_object(store))
        return;
    // Bound sections belong to the old store: drop them so that later saves
    // reach the new one.
    kd::plugin_for_each(drop_bound_section, nullptr);
    json_decref(g_frame_section);
    json_t *old = g_store;
    g_store = json_incref(store);
    json_decref(old);
    g_frame_section = json_incref(section_named(kFrameSection));
    g_persist_saved = true;
}
