// The event bus.
//
// Events live in an ordered index by name; each keeps its registrations in
// a list in registration order. One mutex guards the index and every list,
// because a data thread may emit while the loop thread registers. The lock
// is never held while a callback runs: the walk pins the record it calls,
// so a record unlinked meanwhile is only marked and erased once unpinned.
#include "../frame_internal.h"

#include <kerrow/cuvent.h>
#include <kerrow/log.h>
#include <kerrow/ref.h>

#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct Registration {
    kd_cuvent_cb cb;
    void *ctx;
    std::string owner;
    cuvent_cb_run run_times;
    cuvent_filter filter;
    bool spent = false;   // ONCE record already called (or being called)
    bool removed = false; // unlinked while pinned
    int pins = 0;         // walks currently calling it
};

struct Event {
    std::list<Registration> cbs;
};

struct Registry {
    std::map<std::string, Event, std::less<>> events;
};

std::mutex g_mutex;
std::unique_ptr<Registry> g_reg;

// A lazy emit waiting for the idle pass.
struct IdleTie {
    plugin_load_info *pli;
    char name[CUVENT_NAME_SIZE];
    void *ctx;
};
std::list<std::unique_ptr<IdleTie>> g_ties; // loop thread only

const char *me() { return kd_frame_plugin_get_name(nullptr); }

bool name_ok(const char *name)
{
    return name && strnlen(name, CUVENT_NAME_SIZE) < CUVENT_NAME_SIZE;
}

// Unlinks a record (lock held). Its context reference is handed back for
// the caller to drop once the lock is released.
void *unlink_locked(Event &ev, std::list<Registration>::iterator it)
{
    void *ctx = it->ctx;
    if (it->pins > 0) {
        it->removed = true;
        it->ctx = nullptr;
    } else {
        ev.cbs.erase(it);
    }
    return ctx;
}

void drop_ctx(void *ctx)
{
    if (ctx)
        kd_ref_free_safe(&ctx);
}

int do_register(plugin_load_info *owner, const char *name, kd_cuvent_cb cb, void *ctx,
                cuvent_filter filter, cuvent_cb_run run_times)
{
    if (!name_ok(name)) {
        KD_LOG(KD_LOG_ERR, "[%s] Error: event name too long or missing.\n", me());
        return -1;
    }
    if (!cb)
        return -1;
    std::string owner_name = kd_frame_plugin_get_name(owner);
    owner_name.resize(std::min<size_t>(owner_name.size(), CUVENT_NAME_SIZE - 1));
    {
        std::unique_lock lock(g_mutex);
        if (!g_reg) {
            lock.unlock();
            KD_LOG(KD_LOG_ERR, "[%s] Error: register called before init.\n", me());
            return -1;
        }
        Event &ev = g_reg->events[name];
        for (const auto &r : ev.cbs)
            if (!r.removed && !r.spent && r.owner == owner_name && r.cb == cb && r.ctx == ctx)
                return -1;
    }
    KD_LOG(KD_LOG_INFO, "[%s] Registering new %s callback for %s owned by %s\n", me(),
           run_times == ONCE ? "one time" : "continuous", name, owner_name.c_str());
    void *held = kd_ref_copy_safe(ctx);
    std::lock_guard lock(g_mutex);
    if (!g_reg)
        return -1;
    g_reg->events[name].cbs.push_back(Registration{cb, held, owner_name, run_times, filter});
    return 0;
}

void on_idle_emit(void *p)
{
    auto *tie = static_cast<IdleTie *>(p);
    kd_cuvent_emit(tie->pli, tie->name, tie->ctx);
    drop_ctx(tie->ctx);
    std::erase_if(g_ties, [tie](const auto &t) { return t.get() == tie; });
}

} // namespace

extern "C" void kd_cuvents_init(void)
{
    std::lock_guard lock(g_mutex);
    if (!g_reg)
        g_reg = std::make_unique<Registry>();
}

extern "C" void kd_cuvents_fini(void)
{
    // Lazy emits that never ran: cancel them and drop what they hold.
    for (auto &tie : g_ties) {
        kd::idle_cancel(on_idle_emit, tie.get());
        drop_ctx(tie->ctx);
    }
    g_ties.clear();

    std::unique_ptr<Registry> reg;
    {
        std::lock_guard lock(g_mutex);
        reg = std::move(g_reg);
    }
    if (!reg)
        return;
    for (auto &[name, ev] : reg->events)
        for (auto &r : ev.cbs)
            drop_ctx(r.ctx);
}

extern "C" int kd_cuvent_register_cb(plugin_load_info *owner, const char *name, kd_cuvent_cb cb,
                                     void *ctx, cuvent_filter filter)
{
    return do_register(owner, name, cb, ctx, filter, ALWAYS);
}

extern "C" int kd_cuvent_register_onetime_cb(plugin_load_info *owner, const char *name,
                                             kd_cuvent_cb cb, void *ctx, cuvent_filter filter)
{
    return do_register(owner, name, cb, ctx, filter, ONCE);
}

extern "C" void kd_cuvent_emit(plugin_load_info *emitter, const char *name, void *ctx)
{
    std::unique_lock lock(g_mutex);
    if (!g_reg) {
        lock.unlock();
        KD_LOG(KD_LOG_ERR, "[%s] Error: emit called before init.\n", me());
        return;
    }
    if (!name_ok(name))
        return;
    auto found = g_reg->events.find(std::string_view(name));
    if (found == g_reg->events.end())
        return;
    Event &ev = found->second;
    const char *emitter_name = kd_frame_plugin_get_name(emitter);
    cuvent_wrapper wrapper{name, nullptr, ctx};

    // The end of the list is read afresh at every step, so a registration
    // appended by a callback is called by this same emit.
    for (auto it = ev.cbs.begin(); it != ev.cbs.end();) {
        Registration &r = *it;
        if (r.removed || r.spent ||
            (r.filter == CUVFLT_IGNORE_OWN && r.owner == emitter_name)) {
            ++it;
            continue;
        }
        if (r.run_times == ONCE)
            r.spent = true; // before the call: a nested emit must not run it again
        ++r.pins;
        kd_cuvent_cb cb = r.cb;
        wrapper.cb_ctx = r.ctx;
        lock.unlock();
        cb(&wrapper);
        lock.lock();
        --r.pins;
        auto next = std::next(it);
        void *to_drop = nullptr;
        if (r.removed) {
            if (r.pins == 0)
                ev.cbs.erase(it);
        } else if (r.run_times == ONCE) {
            to_drop = unlink_locked(ev, it);
        }
        it = next;
        if (to_drop) {
            lock.unlock();
            drop_ctx(to_drop);
            lock.lock();
        }
    }
}

extern "C" void kd_cuvent_emit_lazy(plugin_load_info *emitter, const char *name, void *ctx)
{
    {
        std::lock_guard lock(g_mutex);
        if (!g_reg) {
            KD_LOG(KD_LOG_ERR, "[%s] Error: emit lazy called before init.\n", me());
            return;
        }
    }
    if (!name_ok(name))
        return;
    KD_LOG(KD_LOG_INFO, "[%s] kd_cuvent_emit_lazy: %s\n", me(), name);
    auto tie = std::make_unique<IdleTie>();
    tie->pli = emitter;
    std::strncpy(tie->name, name, sizeof tie->name - 1);
    tie->name[sizeof tie->name - 1] = '\0';
    tie->ctx = kd_ref_copy_safe(ctx);
    if (kd_frame_idle_register(tie.get(), on_idle_emit) != 0) {
        drop_ctx(tie->ctx);
        return;
    }
    g_ties.push_back(std::move(tie));
}

extern "C" void kd_cuvent_unregister_cb_owner(plugin_load_info *owner)
{
    std::string owner_name = kd_frame_plugin_get_name(owner);
    owner_name.resize(std::min<size_t>(owner_name.size(), CUVENT_NAME_SIZE - 1));
    struct Dropped {
        std::string event;
        void *ctx;
    };
    std::vector<Dropped> dropped;
    {
        std::unique_lock lock(g_mutex);
        if (!g_reg) {
            lock.unlock();
            KD_LOG(KD_LOG_ERR, "[%s] Error: unregister called before init.\n", me());
            return;
        }
        for (auto &[name, ev] : g_reg->events) {
            for (auto it = ev.cbs.begin(); it != ev.cbs.end();) {
                auto next = std::next(it);
                if (!it->removed && it->owner == owner_name)
                    dropped.push_back({name, unlink_locked(ev, it)});
                it = next;
            }
        }
    }
    for (auto &d : dropped) {
        KD_LOG(KD_LOG_INFO, "[%s] Unregistered cuvent '%s', owned by %s\n", me(), d.event.c_str(),
               owner_name.c_str());
        drop_ctx(d.ctx);
    }
}
