// The parameter tree: nodes, keys and routes, the route index, constructors,
// insertion with reuse of placeholders, deletion and freeing.
#include "param_internal.h"

#include "../frame_internal.h"

#include <kerrow/cuvent.h>
#include <kerrow/log.h>
#include <kerrow/ref.h>

#include <cstdio>
#include <new>
#include <unordered_map>

using kd::param::ChildList;

namespace {

struct Tree {
    ChildList top; // roots and other nodes created without a parent
    // Every node and placeholder by route. Keys view the node's own route.
    std::unordered_map<std::string_view, param_context *> index;
    param_context *frame_root = nullptr;
};
std::unique_ptr<Tree> g_tree;

// Row labels are built in 100 bytes.
constexpr size_t kRowLabelMax = 99;

void emit(const char *event, param_context *p) { kd_cuvent_emit(nullptr, event, p); }

// Keys: upper case to lower case, white space to "_". A "/" would split the
// route, so it is refused, or mapped to "_" where the text is user data (row
// labels).
bool make_key(std::string_view src, bool map_slash, std::string &key)
{
    key.clear();
    key.reserve(src.size());
    bool ok = true;
    for (char c : src) {
        if (c == '/') {
            if (map_slash)
                c = '_';
            else
                ok = false; // kept: the message shows the whole key
        } else if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        } else if (c == ' ' || (c >= '\t' && c <= '\r')) {
            c = '_';
        }
        key.push_back(c);
    }
    return ok;
}

std::string make_route(const param_context *parent, std::string_view key)
{
    std::string route;
    if (parent && !parent->scope.empty()) {
        route.reserve(parent->scope.size() + 1 + key.size());
        route.append(parent->scope).push_back('/');
    }
    route.append(key);
    return route;
}

// Cuts a label to `max` bytes without splitting a UTF-8 sequence.
void cut_label(std::string &s, size_t max)
{
    if (s.size() <= max)
        return;
    size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80)
        --n;
    s.resize(n);
}

ChildList &home_for(param_context *parent) { return parent ? *parent->children : g_tree->top; }

// The node's position in its home list, or -1 when it is not there (a
// query copy, a stale pointer).
long find_pos(const param_context *p)
{
    if (!p || !p->home)
        return -1;
    const ChildList &l = *p->home;
    if (p->pos_hint < l.size() && l[p->pos_hint].get() == p)
        return static_cast<long>(p->pos_hint);
    for (size_t i = 0; i < l.size(); ++i)
        if (l[i].get() == p)
            return static_cast<long>(i);
    return -1;
}

// Takes a node out of its home list; the caller frees it.
std::unique_ptr<param_context> detach(param_context *p)
{
    long pos = find_pos(p);
    if (pos < 0)
        return nullptr;
    ChildList &l = *p->home;
    std::unique_ptr<param_context> owned = std::move(l[pos]);
    l.erase(l.begin() + pos);
    for (size_t i = static_cast<size_t>(pos); i < l.size(); ++i)
        l[i]->pos_hint = i;
    owned->home = nullptr;
    return owned;
}

void unindex(param_context *p)
{
    if (!g_tree || p->scope.empty())
        return;
    auto it = g_tree->index.find(p->scope);
    if (it != g_tree->index.end() && it->second == p)
        g_tree->index.erase(it);
}

void unindex_subtree(param_context *p)
{
    unindex(p);
    if (p->children)
        for (auto &c : *p->children)
            unindex_subtree(c.get());
}

// Frees what a node holds. The node itself stays where it is: it becomes a
// placeholder, or its owner destroys it.
void free_node(param_context *p)
{
    if (!p) {
        KD_LOG(KD_LOG_WARNING, "[%s] Tried to free NULL param.\n", kd::param::me());
        return;
    }
    emit("on_param_free", p); // still intact for the listeners
    kd::param::note_freed(p);
    if (p->children) {
        // Copies made by queries share the list; they see it empty.
        ChildList kids = std::move(*p->children);
        p->children->clear();
        for (auto &c : kids) {
            unindex(c.get());
            free_node(c.get());
        }
        p->children.reset();
    }
    p->ops = {};
    kd::param::stop_auto_notify(p);
    unindex(p);
    p->scope.clear();
    p->label.clear();
    p->help = nullptr;
    p->set_func = nullptr;
    if (p->userdata) {
        void *data = p->userdata;
        p->userdata = nullptr;
        kd_ref_free_safe(&data);
    }
    p->has_auto_notify_filter = false;
    p->auto_notify_filter.clear();
}

void become_placeholder(param_context *p)
{
    if (!p || p->scope.empty() || p->type == PARAMTYPE_NONE)
        return;
    std::string label = p->label;
    std::string route = p->scope;
    unindex_subtree(p);
    emit("on_param_remove", p);
    free_node(p);
    p->label = std::move(label);
    p->scope = std::move(route);
    p->type = PARAMTYPE_NONE;
    p->readwrite = PARAMCTRL_RDONLY;
    p->manual_notify = false;
    p->row_index = 0;
    kd_param_insert_route(p);
}

// Steps common to every constructor: key, route, duplicate check, a list
// node (a placeholder's, reused in place, or a new one) with the common
// fields filled. The caller fills the kind's part and indexes it.
param_context *create(param_context *list, const char *key, const char *label, param_type type,
                      param_control rw, kd_param_helpf help, void *data, bool map_slash = false)
{
    const char *me = kd::param::me();
    if (!g_tree) {
        KD_LOG(KD_LOG_ERR, "[%s] Attempting to init a param when not initialized.\n", me);
        return nullptr;
    }
    const char *src = key ? key : (label ? label : "");
    std::string k;
    if (!make_key(src, map_slash && !key, k)) {
        KD_LOG(KD_LOG_ERR, "[%s] Invalid character '/' found in param key '%s'\n", me, k.c_str());
        return nullptr;
    }
    if (k.empty()) {
        KD_LOG(KD_LOG_ERR, "[%s] Empty param key for label '%s'\n", me, label ? label : "");
        return nullptr;
    }
    // A child goes into a list or table of the tree; a leaf, a placeholder
    // or a query copy cannot hold one.
    if (list && (!kd::param::is_container(list) || !list->children || find_pos(list) < 0)) {
        KD_LOG(KD_LOG_ERR, "[%s] Cannot add param '%s' under '%s' of type %s\n", me, k.c_str(),
               list->scope.c_str(), kd_param_get_type_name(list->type));
        return nullptr;
    }
    std::string route = make_route(list, k);
    if (route.size() > KD_PARAM_ROUTE_MAX) {
        KD_LOG(KD_LOG_ERR, "[%s] Route of param '%s' is longer than %d characters: %s\n", me,
               k.c_str(), KD_PARAM_ROUTE_MAX, route.c_str());
        return nullptr;
    }
    ChildList &home = home_for(list);
    param_context *p = nullptr;
    auto it = g_tree->index.find(route);
    if (it != g_tree->index.end()) {
        param_context *q = it->second;
        if (q->type != PARAMTYPE_NONE) {
            KD_LOG(KD_LOG_ERR, "[%s] Duplicate param exists for scope '%s' of type %s\n", me,
                   route.c_str(), kd_param_get_type_name(q->type));
            return nullptr;
        }
        if (q->home == &home) { // reuse the placeholder's place in the list
            g_tree->index.erase(it);
            p = q;
        }
    }
    if (!p) {
        home.push_back(std::make_unique<param_context>());
        p = home.back().get();
        p->home = &home;
        p->pos_hint = home.size() - 1;
    }
    p->type = type;
    p->scope = std::move(route);
    p->label = label ? label : "";
    p->readwrite = rw;
    p->manual_notify = false;
    p->has_auto_notify_filter = false;
    p->auto_notify_filter.clear();
    p->userdata = data ? kd_ref_copy_safe(data) : nullptr;
    p->row_index = 0;
    p->help = help;
    p->children.reset();
    p->ops = {};
    p->set_func = nullptr;
    p->parent = list;
    p->auto_timer = false;
    return p;
}

// Indexes a freshly made node; on failure it stays in its list unindexed.
param_context *finish(param_context *p) { return p && kd_param_insert_route(p) == 0 ? p : nullptr; }

param_context *alloc_container(param_context *list, const char *key, const char *label,
                               kd_param_helpf help, param_type type, bool map_slash = false)
{
    param_context *p = create(list, key, label, type, PARAMCTRL_RDONLY, help, nullptr, map_slash);
    if (!p)
        return nullptr;
    p->children = kd::param::ChildRef::make();
    return finish(p);
}

// Common part of the four leaf kinds.
param_context *alloc_leaf(param_context *list, const char *key, const char *label, param_type type,
                          param_control rw, kd_param_helpf help, bool has_value, kd_param_set set,
                          void *data)
{
    param_context *p = create(list, key, label, type, rw, help, data);
    if (!p)
        return nullptr;
    p->set_func = set ? set : kd::param::generic_set;
    if (rw == PARAMCTRL_WRONLY && has_value)
        KD_LOG(KD_LOG_WARNING, "[%s] Write-only param '%s' allocated with value function.\n",
               kd::param::me(), p->scope.c_str());
    return p;
}

// Runs a constructor body, turning an allocation failure into null: nothing
// may escape into C callers.
template <typename Fn> param_context *guarded(Fn &&fn) noexcept
{
    try {
        return fn();
    } catch (const std::bad_alloc &) {
        KD_LOG(KD_LOG_ERR, "[%s] Out of memory creating a param.\n", kd::param::me());
        return nullptr;
    }
}

const char *type_name_of(const param_context *p)
{
    return kd_param_get_type_name(p ? p->type : PARAMTYPE_NONE);
}

// The kind check shared by the two list deletions.
bool deletable_list(param_context *list)
{
    if (!list) {
        KD_LOG(KD_LOG_WARNING, "[%s] Parameter passed in was null.\n", kd::param::me());
        return false;
    }
    if (!kd::param::is_container(list)) {
        KD_LOG(KD_LOG_ERR, "[%s] Parameter '%s' of type %s passed to in.\n", kd::param::me(),
               list->label.c_str(), type_name_of(list));
        return false;
    }
    return true;
}

int visit(param_context *p, kd_param_visit_cb fn, void *ctx)
{
    if (p->type == PARAMTYPE_NONE)
        return 0;
    int r = fn(p, ctx);
    if (r < 0)
        return r;
    if (p->children)
        for (size_t i = 0; p->children && i < p->children->size(); ++i)
            if ((r = visit((*p->children)[i].get(), fn, ctx)) < 0)
                return r;
    return 0;
}

} // namespace

const char *kd::param::me() { return kd_frame_plugin_get_name(nullptr); }
bool kd::param::ready() { return g_tree != nullptr; }
const ChildList &kd::param::top_list() { return g_tree->top; }

std::string kd::param::decimal(long long v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "%lld", v);
    return buf;
}

// ---- service ----

extern "C" int kd_param_init(void) noexcept
{
    if (g_tree)
        return 0;
    g_tree = std::make_unique<Tree>();
    kd::param::walk_init();
    return 0;
}

extern "C" int kd_param_fini(void) noexcept
{
    if (!g_tree)
        return 0;
    g_tree->index.clear();
    g_tree->frame_root = nullptr;
    ChildList top = std::move(g_tree->top);
    g_tree->top.clear();
    for (auto &p : top)
        free_node(p.get());
    top.clear();
    g_tree.reset();
    kd::param::walk_fini();
    return 0;
}

// ---- roots ----

extern "C" param_context *kd_param_create_cfg(plugin_load_info *pli) noexcept
{
    return guarded([pli]() -> param_context * {
        if (pli && pli->top_param)
            return pli->top_param; // made by an earlier call
        if (!pli && g_tree && g_tree->frame_root)
            return g_tree->frame_root;
        param_context *root =
            pli ? alloc_container(nullptr, nullptr, kd_frame_plugin_get_name(pli), nullptr,
                                  PARAMTYPE_LIST)
                : alloc_container(nullptr, "frame", "Frame", nullptr, PARAMTYPE_LIST);
        if (!root)
            return nullptr;
        if (pli)
            pli->top_param = root;
        else
            g_tree->frame_root = root;
        return root;
    });
}

extern "C" param_context *kd_param_get_cfg(plugin_load_info *pli) noexcept
{
    if (pli)
        return pli->top_param;
    return g_tree ? g_tree->frame_root : nullptr;
}

extern "C" void kd_param_remove_cfg(plugin_load_info *pli)
{
    if (!pli || !pli->top_param)
        return;
    param_context *root = pli->top_param;
    pli->top_param = nullptr;
    if (!g_tree)
        return; // the tree, and the root with it, is already gone
    KD_LOG(KD_LOG_INFO, "[%s] %s\n", kd::param::me(), root->scope.c_str());
    try {
        become_placeholder(root);
    } catch (const std::bad_alloc &) {
        KD_LOG(KD_LOG_ERR, "[%s] Out of memory removing %s.\n", kd::param::me(),
               kd_frame_plugin_get_name(pli));
    }
}

// ---- constructors ----

extern "C" param_context *kd_param_alloc_list(param_context *list, const char *key,
                                              const char *label, kd_param_helpf help) noexcept
{
    return guarded([&] { return alloc_container(list, key, label, help, PARAMTYPE_LIST); });
}

extern "C" param_context *kd_param_alloc_table(param_context *list, const char *key,
                                               const char *label, kd_param_helpf help) noexcept
{
    return guarded([&] { return alloc_container(list, key, label, help, PARAMTYPE_TABLE); });
}

extern "C" param_context *kd_param_alloc_row(param_context *table, const char *key,
                                             const char *label) noexcept
{
    return guarded([&]() -> param_context * {
        const char *me = kd::param::me();
        if (!table || !g_tree) {
            KD_LOG(KD_LOG_ERR, "[%s] Attempting to allocate params when not initialized.\n", me);
            return nullptr;
        }
        if (table->type != PARAMTYPE_TABLE) {
            KD_LOG(KD_LOG_ERR, "[%s] Passed param of type %s to table row allocation.\n", me,
                   type_name_of(table));
            return nullptr;
        }
        std::string pattern = label ? label : "Row %d";
        size_t at = pattern.find("%d");
        if (at == std::string::npos) {
            cut_label(pattern, kRowLabelMax);
            return alloc_container(table, key, pattern.c_str(), nullptr, PARAMTYPE_LIST, true);
        }
        // The label is user text, never a format: only the first "%d" is
        // replaced, textually.
        std::string name, k;
        for (;;) {
            name = pattern.substr(0, at) + kd::param::decimal(table->row_index) +
                   pattern.substr(at + 2);
            cut_label(name, kRowLabelMax);
            ++table->row_index;
            make_key(name, true, k);
            std::string route = make_route(table, k);
            if (route.size() > KD_PARAM_ROUTE_MAX)
                break; // creation below refuses it with a message
            auto it = g_tree->index.find(route);
            if (it == g_tree->index.end() || it->second->type == PARAMTYPE_NONE)
                break;
        }
        return alloc_container(table, key, name.c_str(), nullptr, PARAMTYPE_LIST, true);
    });
}

extern "C" param_context *kd_param_alloc_number(param_context *list, const char *key,
                                                const char *label, param_control readwrite,
                                                kd_param_helpf help, kd_param_get_number value,
                                                kd_param_get_number min, kd_param_get_number max,
                                                kd_param_get_number step, kd_param_set set,
                                                void *data) noexcept
{
    return guarded([&]() -> param_context * {
        param_context *p = alloc_leaf(list, key, label, PARAMTYPE_NUMBER, readwrite, help,
                                      value != nullptr, set, data);
        if (!p)
            return nullptr;
        p->ops.number = {value, kd::param::set_wrapper, max, min, step};
        if (min && max) {
            long long lo = min(p), hi = max(p);
            if (lo > hi)
                KD_LOG(KD_LOG_WARNING, "[%s] Min > max for param %s.\n", kd::param::me(),
                       p->scope.c_str());
            // A step of 0 has no grid to land on.
            long long st = step ? step(p) : 0;
            if (st != 0 && (hi - lo) % st != 0)
                KD_LOG(KD_LOG_INFO, "[%s] Step lands outside min/max range for param %s.\n",
                       kd::param::me(), p->scope.c_str());
        }
        return finish(p);
    });
}

extern "C" param_context *kd_param_alloc_string(param_context *list, const char *key,
                                                const char *label, param_control readwrite,
                                                kd_param_helpf help, kd_param_get_string value,
                                                kd_param_set set, void *data) noexcept
{
    return guarded([&]() -> param_context * {
        param_context *p = alloc_leaf(list, key, label, PARAMTYPE_STRING, readwrite, help,
                                      value != nullptr, set, data);
        if (!p)
            return nullptr;
        if (!value && readwrite != PARAMCTRL_WRONLY)
            KD_LOG(KD_LOG_WARNING, "[%s] Readable param '%s' allocated without value function.\n",
                   kd::param::me(), p->scope.c_str());
        p->ops.string = {value, kd::param::set_wrapper};
        return finish(p);
    });
}

// Choices and sets differ only in what their table lists.
static param_context *alloc_listed(param_type type, param_context *list, const char *key,
                                   const char *label, param_control readwrite, kd_param_helpf help,
                                   kd_param_get_string value, kd_param_get_strtable table,
                                   kd_param_set set, void *data) noexcept
{
    return guarded([&]() -> param_context * {
        param_context *p =
            alloc_leaf(list, key, label, type, readwrite, help, value != nullptr, set, data);
        if (!p)
            return nullptr;
        if (!table)
            table = kd::param::empty_table;
        if (type == PARAMTYPE_CHOICE)
            p->ops.choice = {value, kd::param::set_wrapper, table};
        else
            p->ops.set = {value, kd::param::set_wrapper, table};
        return finish(p);
    });
}

extern "C" param_context *kd_param_alloc_choice(param_context *list, const char *key,
                                                const char *label, param_control readwrite,
                                                kd_param_helpf help, kd_param_get_string value,
                                                kd_param_get_strtable choices, kd_param_set set,
                                                void *data) noexcept
{
    return alloc_listed(PARAMTYPE_CHOICE, list, key, label, readwrite, help, value, choices, set,
                        data);
}

extern "C" param_context *kd_param_alloc_set(param_context *list, const char *key,
                                             const char *label, param_control readwrite,
                                             kd_param_helpf help, kd_param_get_string value,
                                             kd_param_get_strtable options, kd_param_set set,
                                             void *data) noexcept
{
    return alloc_listed(PARAMTYPE_SET, list, key, label, readwrite, help, value, options, set,
                        data);
}

extern "C" int kd_param_insert_route(param_context *p) noexcept
{
    if (!g_tree || !p || p->scope.empty())
        return -1;
    auto &index = g_tree->index;
    auto it = index.find(p->scope);
    if (it != index.end()) {
        param_context *q = it->second;
        if (q == p)
            return 0;
        if (q->type != PARAMTYPE_NONE) {
            KD_LOG(KD_LOG_ERR, "[%s] Route exists %s type %s\n", kd::param::me(), p->scope.c_str(),
                   type_name_of(q));
            return -1;
        }
        // A placeholder elsewhere: the new node takes over its route, and
        // the placeholder leaves its list for good.
        index.erase(it);
        index.emplace(p->scope, p);
        std::unique_ptr<param_context> gone = detach(q);
        free_node(q);
    } else {
        index.emplace(p->scope, p);
    }
    emit("on_param_insert", p);
    return 0;
}

// ---- deletion ----

extern "C" void kd_param_delete(param_context *p) noexcept
{
    // Only a node of the tree, in the list its parent says: not a query
    // copy, not a node whose parent was deleted.
    const ChildList *expected =
        !g_tree || !p ? nullptr : (p->parent ? p->parent->children.get() : &g_tree->top);
    if (!expected || p->home != expected || find_pos(p) < 0) {
        KD_LOG(KD_LOG_ERR, "[%s] Cannot delete param %s - not found\n", kd::param::me(),
               p ? p->label.c_str() : "(null)");
        return;
    }
    become_placeholder(p);
}

extern "C" void kd_param_list_delete_index(param_context *list, unsigned int index) noexcept
{
    if (!deletable_list(list))
        return;
    size_t n = list->children ? list->children->size() : 0;
    if (index >= n) {
        KD_LOG(KD_LOG_ERR, "[%s] Attempting to delete row index %d from '%s'. Current size: %zd\n",
               kd::param::me(), static_cast<int>(index), list->label.c_str(),
               static_cast<ssize_t>(n));
        return;
    }
    if (list->type == PARAMTYPE_TABLE && index < list->row_index)
        list->row_index = index;
    become_placeholder((*list->children)[index].get());
}

extern "C" void kd_param_list_delete_children(param_context *list) noexcept
{
    if (!deletable_list(list))
        return;
    for (size_t i = 0; list->children && i < list->children->size(); ++i) {
        param_context *c = (*list->children)[i].get();
        KD_LOG(KD_LOG_INFO, "[%s] Deleting idx %zu of %zu with scope %s\n", kd::param::me(), i,
               list->children->size(), c->scope.c_str());
        become_placeholder(c);
    }
    if (list->type == PARAMTYPE_TABLE)
        list->row_index = 0;
}

// ---- navigation and plain accessors ----

extern "C" param_type kd_param_get_type(param_context *p) noexcept
{
    return p ? p->type : PARAMTYPE_NONE;
}
extern "C" const char *kd_param_get_scope(param_context *p) noexcept
{
    return p ? p->scope.c_str() : nullptr;
}
extern "C" const char *kd_param_get_label(param_context *p) noexcept
{
    return p ? p->label.c_str() : nullptr;
}

extern "C" param_control kd_param_get_readwrite(param_context *p) noexcept
{
    return p ? p->readwrite : PARAMCTRL_RDONLY;
}

extern "C" const char *kd_param_get_readwrite_string(param_context *p) noexcept
{
    switch (p ? static_cast<int>(p->readwrite) : -1) {
    case PARAMCTRL_RDONLY: return "Read Only";
    case PARAMCTRL_WRONLY: return "Write Only";
    case PARAMCTRL_RDWR: return "Read Write";
    case PARAMCTRL_RDWR_NOPERSIST: return "Read Write No Persist";
    default: return "";
    }
}

extern "C" void *kd_param_get_userdata(param_context *p) noexcept
{
    return p ? p->userdata : nullptr;
}

extern "C" const char *kd_param_get_help(param_context *p) noexcept
{
    return p && p->help ? p->help(p) : nullptr;
}

extern "C" const char *kd_param_get_type_name(param_type type) noexcept
{
    static const char *const names[] = {"None",   "List",   "Table", "Number",
                                        "Choice", "String", "Set"};
    int t = static_cast<int>(type);
    return t >= 0 && t < static_cast<int>(std::size(names)) ? names[t] : "Unknown";
}

extern "C" param_context *kd_param_get_by_route(const char *route) noexcept
{
    if (!g_tree || !route)
        return nullptr;
    auto it = g_tree->index.find(std::string_view(route));
    return it == g_tree->index.end() ? nullptr : it->second;
}

extern "C" size_t kd_param_list_count(param_context *p) noexcept
{
    if (!kd::param::is_container(p) || !p->children)
        return static_cast<size_t>(-1);
    return p->children->size();
}

extern "C" param_context *kd_param_list_index(param_context *p, int i) noexcept
{
    if (!kd::param::is_container(p) || !p->children)
        return nullptr;
    const ChildList &l = *p->children;
    long n = static_cast<long>(l.size());
    long at = i < 0 ? n + i : i;
    return at >= 0 && at < n ? l[static_cast<size_t>(at)].get() : nullptr;
}

extern "C" size_t kd_param_paramtable_row_count(param_context *table) noexcept
{
    return kd_param_list_count(table);
}

extern "C" param_context *kd_param_paramtable_row(param_context *table, size_t row) noexcept
{
    size_t n = kd_param_list_count(table);
    if (n == static_cast<size_t>(-1) || row >= n)
        return nullptr;
    return (*table->children)[row].get();
}

extern "C" size_t kd_param_paramtable_col_count(param_context *table, size_t row) noexcept
{
    return kd_param_list_count(kd_param_paramtable_row(table, row));
}

extern "C" param_context *kd_param_paramtable_cell(param_context *table, size_t row,
                                                   size_t col) noexcept
{
    param_context *r = kd_param_paramtable_row(table, row);
    size_t n = kd_param_list_count(r);
    if (n == static_cast<size_t>(-1) || col >= n)
        return nullptr;
    return (*r->children)[col].get();
}

extern "C" int kd_param_is_related(param_context *parent, param_context *child) noexcept
{
    if (!parent)
        return 1;
    for (param_context *a = child ? child->parent : nullptr; a; a = a->parent)
        if (a == parent)
            return 1;
    return 0;
}

extern "C" void kd_param_print_sizes(void) noexcept
{
    std::printf("%s sizeof(struct param_context) is %lu\n", kd::param::me(),
                static_cast<unsigned long>(sizeof(param_context)));
    std::printf("%s sizeof(struct param_key_t) is %lu\n", kd::param::me(),
                static_cast<unsigned long>(sizeof(std::pair<std::string_view, param_context *>)));
}

extern "C" int kd_param_visit(param_context *p, kd_param_visit_cb fn, void *ctx) noexcept
{
    if (!g_tree || !fn)
        return -1;
    if (p)
        return visit(p, fn, ctx);
    for (size_t i = 0; i < g_tree->top.size(); ++i) {
        int r = visit(g_tree->top[i].get(), fn, ctx);
        if (r < 0)
            return r;
    }
    return 0;
}
