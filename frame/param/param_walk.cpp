// Walks: a subtree reported to a front end in passes of at most
// max_param_prints nodes, the rest continued at the loop's idle passes.
//
// Between passes the loop serves other work and the tree may change, so a
// walk remembers where to go on by route, never by node pointer: a subtree
// deleted meanwhile is simply not found (or found as a placeholder) and
// skipped.
#include "param_internal.h"

#include <kerrow/cuvent.h>
#include <kerrow/log.h>
#include <kerrow/ref.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <new>
#include <unordered_set>

int max_param_prints = 3000;

namespace {

constexpr const char *kOverloadEvent = "on_param_write_overload";

// Where a pass stopped: the node at `route`, its children from `child` on,
// and the node itself first when `print` is set.
struct ResumePoint {
    std::string route;
    size_t child;
    bool print;
    param_depth depth;
};

struct WalkState {
    param_void_depth_cb cb;
    param_void_depth_cb footer;
    param_finish_cb finish;
    void *ctx;
    int count = 0;                     // nodes reported in this pass
    std::vector<ResumePoint> recorded; // where this pass stopped, innermost first
    std::deque<ResumePoint> pending;   // what later passes still have to do
};

// Walks waiting for their next pass. The overload event is public, so its
// payload is checked against this before it is trusted.
std::unordered_set<WalkState *> g_walks;

struct Visit {
    int answer;
    bool stopped; // the pass ended inside; resume points were recorded
};

Visit visit(WalkState &w, param_context *p, param_depth depth, size_t start, bool print)
{
    if (print) {
        if (++w.count > std::max(max_param_prints, 1)) { // a pass always makes progress
            w.recorded.push_back({p->scope, 0, true, depth});
            return {0, true};
        }
        if (w.cb)
            w.cb(p, w.ctx, depth);
        if (!kd::param::is_container(p))
            return {w.footer ? w.footer(p, w.ctx, depth) : 0, false};
    } else if (!kd::param::is_container(p)) {
        return {0, false};
    }
    if (depth != PARAM_DEPTH_NONE) {
        param_depth child_depth = depth == PARAM_DEPTH_ONE ? PARAM_DEPTH_NONE : PARAM_DEPTH_ALL;
        // Re-read on every step: a callback may have changed the list.
        for (size_t i = start; p->children && i < p->children->size(); ++i) {
            Visit v = visit(w, (*p->children)[i].get(), child_depth, 0, true);
            if (v.stopped) {
                w.recorded.push_back({p->scope, i + 1, false, depth});
                return {0, true};
            }
        }
    }
    return {w.footer ? w.footer(p, w.ctx, depth) : 0, false};
}

void release_state(void *ptr)
{
    auto *w = static_cast<WalkState *>(ptr);
    g_walks.erase(w);
    w->~WalkState(); // the registry frees the block
}

// The state travels through a deferred event: registered with the
// reference registry, it lives as long as an emit that carries it.
void defer(WalkState *w)
{
    for (auto it = w->recorded.rbegin(); it != w->recorded.rend(); ++it)
        w->pending.push_front(std::move(*it));
    w->recorded.clear();
    kd_cuvent_emit_lazy(nullptr, kOverloadEvent, w);
}

void drop(WalkState *w)
{
    void *ref = w;
    kd_ref_free_safe(&ref);
}

void on_overload(cuvent_wrapper *wrapper)
{
    auto *w = static_cast<WalkState *>(wrapper->emit_ctx);
    if (!w) {
        KD_LOG(KD_LOG_ERR, "[%s] Error: Loading NULL param save state.\n", kd::param::me());
        return;
    }
    if (!g_walks.contains(w)) {
        KD_LOG(KD_LOG_ERR, "[%s] Error: Unknown param save state %p.\n", kd::param::me(),
               (void *)w);
        return;
    }
    try {
        w->count = 0;
        while (!w->pending.empty()) {
            ResumePoint pt = std::move(w->pending.front());
            w->pending.pop_front();
            param_context *n = kd_param_get_by_route(pt.route.c_str());
            if (!n || n->type == PARAMTYPE_NONE)
                continue; // deleted since the last pass
            if (visit(*w, n, pt.depth, pt.child, pt.print).stopped) {
                defer(w);
                return;
            }
        }
    } catch (const std::bad_alloc &) {
        KD_LOG(KD_LOG_ERR, "[%s] Out of memory walking params.\n", kd::param::me());
    }
    g_walks.erase(w); // finished: the emit that carried it drops the last count
    if (w->finish)
        w->finish(w->ctx);
}

int first_pass(WalkState *w, param_context *p, param_depth depth)
{
    if (!kd::param::is_query_result(p)) {
        Visit v = visit(*w, p, depth, 0, true);
        return v.stopped ? 1 : (v.answer < 0 ? -1 : 0);
    }
    // A query result is not reported itself; each member is a walk of its
    // own, and members after the one that filled the pass wait their turn.
    bool stopped = false;
    for (size_t i = 0; p->children && i < p->children->size(); ++i) {
        param_context *m = (*p->children)[i].get();
        if (stopped) {
            w->recorded.push_back({m->scope, 0, true, depth});
            continue;
        }
        Visit v = visit(*w, m, depth, 0, true);
        if (v.stopped)
            stopped = true;
        else if (v.answer < 0)
            return -1;
    }
    return stopped ? 1 : 0;
}

} // namespace

void kd::param::walk_init()
{
    kd_cuvent_register_cb(nullptr, kOverloadEvent, on_overload, nullptr, CUVFLT_NONE);
}

void kd::param::walk_fini()
{
    // Walks still waiting are released with the deferred emits that carry
    // them; their finish callbacks do not run.
}

extern "C" int kd_param_print_params(param_context *p, param_depth depth, param_void_depth_cb cb,
                                     param_void_depth_cb cb_footer, param_finish_cb cb_finish,
                                     void *ctx) noexcept
{
    if (!p || !kd::param::ready())
        return -1;
    void *block = std::malloc(sizeof(WalkState));
    if (!block)
        return -1;
    auto *w = new (block) WalkState{cb, cb_footer, cb_finish, ctx, 0, {}, {}};
    kd_ref_init_ptr(w, release_state);
    g_walks.insert(w);
    int r;
    try {
        r = first_pass(w, p, depth);
    } catch (const std::bad_alloc &) {
        r = -1;
    }
    if (r > 0) {
        defer(w); // the pending emit takes its own count
        drop(w);
        return 0;
    }
    g_walks.erase(w);
    drop(w);
    if (r < 0)
        return -1;
    if (cb_finish)
        cb_finish(ctx);
    return 0;
}
