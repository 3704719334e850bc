// The event loop: libev's default loop, the framework's named watchers and
// their per-owner lists, and deferred calls.
//
// A watcher's callback may stop its own watcher or release the whole list
// it is on (a plug-in unloading itself). The entry is then only marked dead
// and freed by the dispatcher once the callback has returned, so nothing is
// re-armed or touched after it has been released.
#include "frame_internal.h"

#include <kerrow/log.h>

#include <ev.h>

#include <signal.h>

#include <atomic>
#include <list>
#include <string>
#include <vector>

namespace {

struct Watcher {
    int type = 0; // EV_TIMER, EV_IO or EV_STAT
    // Only the member of `type` is in use.
    ev_timer timer;
    ev_io io;
    ev_stat stat;
    int fd = -1;
    kd_frame_cb cb = nullptr;
    kd_frame_on_stat_change cb_stat = nullptr;
    void *ctx = nullptr;
    std::string name;
    std::string path; // stat watchers: libev keeps a pointer to it
    double seconds = 0;
    bool repeat = false;

    kl_watchlist *list = nullptr;
    std::list<Watcher *>::iterator pos;
    int busy = 0;      // callbacks of this watcher on the stack
    bool dead = false; // released while busy: the dispatcher frees it
};

} // namespace

struct kl_watchlist {
    std::list<Watcher *> entries; // registration order
};

namespace {

struct ev_loop *g_loop = nullptr;
kl_watchlist *g_frame_list = nullptr;
ev_timer g_alive;

// Deferred calls: one idle watcher keeps the loop from blocking while any
// call is pending, one check watcher runs them after the next poll.
struct Deferred {
    kd_frame_cb fn;
    void *ctx;
};
std::vector<Deferred> g_pending;
std::vector<Deferred> g_running;
ev_idle g_idle;
ev_check g_check;
bool g_deferred_active = false;
// A shutdown asked for before the loop runs (a plug-in's init, a "frame run"
// listener): ev_run would clear libev's own break flag, so it is kept here.
std::atomic<bool> g_stop_asked{false};

kd::AliveState g_alive_state;

const char *me() { return kd_frame_plugin_get_name(nullptr); }

void stop_ev(Watcher *w)
{
    if (!g_loop)
        return;
    switch (w->type) {
    case EV_TIMER: ev_timer_stop(g_loop, &w->timer); break;
    case EV_IO: ev_io_stop(g_loop, &w->io); break;
    case EV_STAT: ev_stat_stop(g_loop, &w->stat); break;
    default: break;
    }
}

void unlink(Watcher *w)
{
    if (w->list) {
        w->list->entries.erase(w->pos);
        w->list = nullptr;
    }
}

void release(Watcher *w)
{
    stop_ev(w);
    unlink(w);
    if (w->busy)
        w->dead = true;
    else
        delete w;
}

// Runs fn with the watcher pinned; answers false when the watcher was
// released meanwhile (and frees it if this was the outermost call).
template <typename Fn> bool dispatch(Watcher *w, Fn &&fn)
{
    ++w->busy;
    fn();
    --w->busy;
    if (w->dead) {
        if (!w->busy)
            delete w;
        return false;
    }
    return true;
}

void on_timer(struct ev_loop *loop, ev_timer *t, int)
{
    auto *w = static_cast<Watcher *>(t->data);
    if (!dispatch(w, [w] { w->cb(w->ctx); }))
        return;
    if (w->repeat) {
        ev_timer_set(t, w->seconds, 0.);
        ev_timer_start(loop, t);
    } else {
        release(w); // one-shot entries are recycled, not kept
    }
}

void on_io(struct ev_loop *, ev_io *io, int)
{
    auto *w = static_cast<Watcher *>(io->data);
    dispatch(w, [w] { w->cb(w->ctx); });
}

void on_stat(struct ev_loop *, ev_stat *st, int)
{
    auto *w = static_cast<Watcher *>(st->data);
    dispatch(w, [w, st] { w->cb_stat(w->ctx, w->path.c_str(), &st->attr); });
}

kl_watchlist *list_of(plugin_load_info *owner)
{
    return owner ? owner->watchers : g_frame_list;
}

int add(plugin_load_info *owner, Watcher *w)
{
    kl_watchlist *list = list_of(owner);
    if (!list) {
        KD_LOG(KD_LOG_ERR, "[%s] Watcher list missing for %s.\n", me(),
               kd_frame_plugin_get_name(owner));
        delete w;
        return -1;
    }
    w->list = list;
    w->pos = list->entries.insert(list->entries.end(), w);
    return 0;
}

void on_check(struct ev_loop *loop, ev_check *, int)
{
    g_running.swap(g_pending);
    g_pending.clear();
    // Calls registered while these run wait for the following poll.
    for (size_t i = 0; i < g_running.size(); ++i) {
        Deferred d = g_running[i];
        if (d.fn)
            d.fn(d.ctx);
    }
    g_running.clear();
    if (g_pending.empty() && g_deferred_active) {
        ev_idle_stop(loop, &g_idle);
        ev_check_stop(loop, &g_check);
        g_deferred_active = false;
    }
}

void on_idle(struct ev_loop *, ev_idle *, int) {}

void on_alive(struct ev_loop *, ev_timer *, int)
{
    static const kd::AliveHooks hooks{
        kd_carrier_frame_is_master,
        kd_system_request_timezone,
        kd_system_request_ntp_synchronized,
        kd_system_restart_networkd,
    };
    kd::alive_tick(g_alive_state, kd::network_restart_needed, hooks);
}

} // namespace

void kd::loop_init()
{
    g_loop = ev_default_loop(0);
    // The default loop reaps every child on SIGCHLD, but the command runner
    // waits for its own programs, also on worker threads (copies, version
    // tasks), and would lose their exit status to it. No watcher here
    // follows children through the loop.
    struct sigaction dfl{};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGCHLD, &dfl, nullptr);
    g_stop_asked = false;
    g_alive_state = {};
    ev_timer_init(&g_alive, on_alive, 2., 2.);
    ev_timer_start(g_loop, &g_alive);
    g_frame_list = new kl_watchlist;
    g_pending.clear();
    g_deferred_active = false;
    ev_idle_init(&g_idle, on_idle);
    ev_check_init(&g_check, on_check);
}

void kd::loop_fini()
{
    if (!g_loop)
        return;
    kd_frame_release_watchers(g_frame_list);
    g_frame_list = nullptr;
    if (g_deferred_active) {
        ev_idle_stop(g_loop, &g_idle);
        ev_check_stop(g_loop, &g_check);
        g_deferred_active = false;
    }
    g_pending.clear();
    ev_timer_stop(g_loop, &g_alive);
    ev_loop_destroy(g_loop);
    g_loop = nullptr;
}

bool kd::loop_ready() { return g_loop != nullptr; }

void kd::idle_cancel(kd_frame_cb fn, void *ctx)
{
    std::erase_if(g_pending, [&](const Deferred &d) { return d.fn == fn && d.ctx == ctx; });
    for (auto &d : g_running)
        if (d.fn == fn && d.ctx == ctx)
            d.fn = nullptr;
}

extern "C" kl_watchlist_t kd_frame_watchlist_new(void) { return new kl_watchlist; }

extern "C" int kd_frame_timeout_register(const char *name, kd_frame_cb fn, void *ctx, double seconds,
                                         int repeat, plugin_load_info *owner)
{
    if (!g_loop) {
        KD_LOG(KD_LOG_ERR, "[%s] Failed to start custom timeout watcher. Event loop not initialized.\n",
               me());
        return 1;
    }
    if (!fn)
        return -1;
    auto *w = new Watcher;
    w->type = EV_TIMER;
    w->cb = fn;
    w->ctx = ctx;
    w->name = name ? name : "";
    w->seconds = seconds;
    w->repeat = repeat != 0;
    auto &t = w->timer;
    ev_timer_init(&t, on_timer, w->repeat ? 0. : seconds, 0.);
    t.data = w;
    if (add(owner, w) < 0)
        return -1;
    ev_timer_start(g_loop, &t);
    return 0;
}

extern "C" int kd_frame_start_custom_watcher(const char *name, int fd, kd_frame_cb cb, void *ctx,
                                             plugin_load_info *owner)
{
    if (!g_loop) {
        KD_LOG(KD_LOG_ERR, "[%s] Failed to start custom io watcher. Even loop not initialized.\n",
               me());
        return 1;
    }
    if (!cb || fd < 0)
        return -1;
    auto *w = new Watcher;
    w->type = EV_IO;
    w->fd = fd;
    w->cb = cb;
    w->ctx = ctx;
    w->name = name ? name : "";
    auto &io = w->io;
    ev_io_init(&io, on_io, fd, EV_READ);
    io.data = w;
    if (add(owner, w) < 0)
        return -1;
    KD_LOG(KD_LOG_INFO, "[%s] fd: %d name: %s\n", me(), fd, w->name.c_str());
    ev_io_start(g_loop, &io);
    return 0;
}

extern "C" int kd_frame_start_stat_watcher(plugin_load_info *owner, const char *name,
                                           const char *path, kd_frame_on_stat_change cb, void *ctx)
{
    if (!g_loop) {
        KD_LOG(KD_LOG_ERR, "[%s] Failed to start custom stat watcher. Even loop not initialized.\n",
               me());
        return 1;
    }
    if (!cb || !path)
        return -1;
    auto *w = new Watcher;
    w->type = EV_STAT;
    w->cb_stat = cb;
    w->ctx = ctx;
    w->name = name ? name : "";
    w->path = path; // a private copy: callers need not keep theirs
    auto &st = w->stat;
    ev_stat_init(&st, on_stat, w->path.c_str(), 0.);
    st.data = w;
    if (add(owner, w) < 0)
        return -1;
    KD_LOG(KD_LOG_INFO, "[%s] Starting stat watcher: %s\n", me(), w->name.c_str());
    ev_stat_start(g_loop, &st);
    return 0;
}

extern "C" int kd_frame_stop_watcher(const char *name, plugin_load_info *owner)
{
    kl_watchlist *list = list_of(owner);
    if (!list) {
        KD_LOG(KD_LOG_ERR, "[%s] Watcher release called before init.\n", me());
        return -1;
    }
    std::string_view want = name ? name : "";
    for (Watcher *w : list->entries) {
        if (w->name == want) {
            release(w);
            return 0;
        }
    }
    return -1;
}

extern "C" void kd_frame_release_watchers(kl_watchlist_t list)
{
    if (!list) {
        KD_LOG(KD_LOG_ERR, "[%s] Attempting to release NULL watchlist.\n", me());
        return;
    }
    while (!list->entries.empty()) {
        Watcher *w = list->entries.front();
        if (w->type != EV_TIMER && w->type != EV_IO && w->type != EV_STAT)
            KD_LOG(KD_LOG_ERR, "[%s] Unknown watcher type %d.\n", me(), w->type);
        release(w);
    }
    delete list;
}

extern "C" int kd_frame_idle_register(void *ctx, kd_frame_cb fn)
{
    if (!g_loop || !fn)
        return -1;
    if (!g_deferred_active) {
        ev_idle_start(g_loop, &g_idle);
        ev_check_start(g_loop, &g_check);
        g_deferred_active = true;
    }
    g_pending.push_back({fn, ctx});
    return 0;
}

extern "C" struct ev_loop *kd_frame_get_loop(void) { return g_loop; }

extern "C" double kd_frame_now(void) { return g_loop ? ev_now(g_loop) : 0.0; }

extern "C" int kd_shutdown(void)
{
    g_stop_asked = true;
    if (g_loop)
        ev_break(g_loop, EVBREAK_ALL);
    return 0;
}

void kd::loop_run()
{
    if (g_loop && !g_stop_asked.exchange(false))
        ev_run(g_loop, 0);
    g_stop_asked = false;
}
