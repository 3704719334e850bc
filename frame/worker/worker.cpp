// The worker service: tasks on the framework's pool, done on the loop.
//
// Everything here but a task's `started` flag belongs to the loop thread.
// The taskref list owns every task (and its pool item) from creation until
// its done step, so tasks abandoned at fini are freed with it.
#include "../frame_internal.h"
#include "evtp.h"

#include <kerrow/worker.h>

#include <algorithm>
#include <atomic>
#include <list>
#include <memory>
#include <vector>

namespace {

struct kd_worker_pool {
    plugin_load_info *owner; // null: the framework's pool
    evtp_t *tp;
};

struct taskref {
    double submitted; // loop time at creation
    plugin_load_info *owner;
    std::unique_ptr<kd_worker_task> task;
    std::unique_ptr<evtp_work_t> work;
};

struct Service {
    std::vector<kd_worker_pool> pools;
    std::list<taskref> tasks;
};
std::unique_ptr<Service> g_svc;

constexpr int kFramePoolThreads = 2;

evtp_t *pool_for(plugin_load_info *owner)
{
    for (const kd_worker_pool &p : g_svc->pools)
        if (p.owner == owner)
            return p.tp;
    return g_svc->pools.empty() ? nullptr : g_svc->pools.front().tp; // the framework's
}

// Pool thread.
void task_start(evtp_work_t *w) noexcept
{
    auto *task = static_cast<kd_worker_task *>(w->data);
    std::atomic_ref<sig_atomic_t>(const_cast<sig_atomic_t &>(task->started))
        .store(1, std::memory_order_relaxed);
    task->taskmain(task);
}

// Loop thread.
void task_done(evtp_work_t *w) noexcept
{
    auto *task = static_cast<kd_worker_task *>(w->data);
    if (!g_svc)
        return;
    auto it = std::find_if(g_svc->tasks.begin(), g_svc->tasks.end(),
                           [task](const taskref &r) { return r.task.get() == task; });
    if (it == g_svc->tasks.end())
        return;
    taskref ref = std::move(*it);
    g_svc->tasks.erase(it);
    if (task->taskdone)
        task->taskdone(task);
    // ref goes out of scope: task and item are freed.
}

} // namespace

extern "C" int kd_worker_init(struct ev_loop *loop)
{
    if (g_svc)
        return 0;
    evtp_t *tp = evtp_create(loop, kFramePoolThreads);
    if (!tp)
        return -1;
    g_svc = std::make_unique<Service>();
    g_svc->pools.push_back({nullptr, tp});
    return 0;
}

extern "C" void kd_worker_fini(void)
{
    if (!g_svc)
        return;
    // Running main functions are waited for; queued tasks and pending done
    // functions are abandoned and freed with the taskref list.
    for (kd_worker_pool &p : g_svc->pools)
        evtp_destroy(p.tp, 1);
    g_svc.reset();
}

// Before a plug-in's library is closed, none of its code may run later:
// its queued tasks are dropped, its running ones waited for, and none of
// their done functions is called.
extern "C" void kd_worker_release_owner(plugin_load_info *owner)
{
    if (!g_svc || !owner)
        return;
    // Queued ones first, so that none of them starts while waiting for the
    // running ones.
    for (int wait = 0; wait <= 1; ++wait) {
        std::erase_if(g_svc->tasks, [owner, wait](taskref &r) {
            return r.owner == owner && evtp_cancel(pool_for(owner), r.work.get(), wait) == 1;
        });
    }
}

extern "C" kd_worker_task *kd_worker_create_task(plugin_load_info *owner,
                                                 kd_worker_task_func taskmain, void *taskdata,
                                                 kd_worker_task_func taskdone)
{
    if (!g_svc || !taskmain)
        return nullptr;
    evtp_t *tp = pool_for(owner);
    if (!tp)
        return nullptr;
    auto task = std::make_unique<kd_worker_task>();
    task->taskmain = taskmain;
    task->taskdata = taskdata;
    task->taskdone = taskdone;
    auto work = std::make_unique<evtp_work_t>();
    work->data = task.get();
    task->work = work.get();
    kd_worker_task *handle = task.get();
    auto &ref = g_svc->tasks.emplace_back(
        taskref{kd_frame_now(), owner, std::move(task), std::move(work)});
    if (evtp_submit(ref.work.get(), tp, task_start, task_done) < 0) {
        // Neither function will ever run: report the failure, keep nothing.
        g_svc->tasks.pop_back();
        return nullptr;
    }
    return handle;
}

extern "C" void *kd_worker_get_task_data(kd_worker_task *task) { return task ? task->taskdata : nullptr; }
