// Copy tasks: rsync moves firmware packages and settings-profile parts
// between the cards on the framework's worker pool. The main function runs
// on a pool thread and touches only its task data; the done function runs
// on the loop thread.
#include "proxy_internal.h"

#include <kerrow/command.h>
#include <kerrow/frame.h>
#include <kerrow/log.h>
#include <kerrow/worker.h>

#include <list>
#include <memory>

namespace proxy {

namespace {

constexpr const char *kRsync = "/usr/bin/rsync";

// Task data lives here until its done function ran (loop thread only): a
// task the pool drops without calling its done function leaks nothing.
std::list<std::unique_ptr<proxy_task_data>> g_tasks;

void task_main(kd_worker_task *task)
{
    proxy_task_run(*static_cast<proxy_task_data *>(kd_worker_get_task_data(task)));
}

void task_done(kd_worker_task *task)
{
    auto *t = static_cast<proxy_task_data *>(kd_worker_get_task_data(task));
    auto it = std::find_if(g_tasks.begin(), g_tasks.end(), [t](const auto &p) { return p.get() == t; });
    if (it == g_tasks.end())
        return;
    const std::unique_ptr<proxy_task_data> data = std::move(*it);
    g_tasks.erase(it);
    if (data->epoch != st().epoch)
        return; // queued by an earlier run of the plug-in
    // Either an error or a status means the copy did not happen.
    const bool ok = data->task_errno == 0 && data->status == 0;
    // What each kind logs on success and on failure.
    static constexpr const char *kLines[][2] = {
        {"[%s] Sync success\n", "[%s] Sync fail %s (%d)\n"},
        {"[%s] Master send profile to salve success\n", "[%s] Master send profile to salve fail %s (%d)\n"},
        {"[%s] Slave send profile to master success\n", "[%s] Slave send profile to master fail %s (%d)\n"},
    };
    const auto &lines = kLines[size_t(data->kind)];
    if (ok)
        KD_LOG(KD_LOG_NOTICE, lines[0], me());
    else
        KD_LOG(KD_LOG_ERR, lines[1], me(), kd_frame_strerror(data->task_errno), data->status);
    try {
        proxy_task_finished(*data, ok);
    } catch (...) {
        KD_LOG(KD_LOG_ERR, "[%s] Out of memory finishing a copy\n", me());
    }
}

} // namespace

void proxy_task_run(proxy_task_data &t)
{
    kd::command_end end = kd::command_end::exited;
    // The variable comes on top of the inherited environment: rsync keeps
    // its PATH and locale.
    const int rc = kd::run_command({kRsync, "-c", t.source, t.destination},
                                   {.quiet = true, .env = {"LD_LIBRARY_PATH=/usr/local/lib"}, .end = &end});
    t.status = 0;
    t.task_errno = 0;
    switch (end) {
    case kd::command_end::exited:
        if (rc != 0) {
            t.status = rc;
            t.task_errno = KD_ERR_SPAWN_STATUS;
        }
        break;
    case kd::command_end::wait_failed: t.task_errno = KD_ERR_SPAWN_WAIT; break;
    case kd::command_end::signalled: t.task_errno = KD_ERR_SPAWN_NO_EXIT; break;
    case kd::command_end::not_started:
    case kd::command_end::refused: t.task_errno = KD_ERR_SPAWN; break;
    }
}

bool proxy_task_start(task_kind kind, const std::string &addr, const std::string &path, int slot)
{
    state &s = st();
    auto t = std::make_unique<proxy_task_data>();
    t->kind = kind;
    t->slave_ipaddr = addr;
    t->fwpath = path;
    t->slave_slot = slot;
    t->epoch = s.epoch;
    t->source = path;
    t->destination = kind == task_kind::slave_send_profile ? addr + "::media/slot" + std::to_string(slot) + ".pfl"
                                                           : addr + "::media";
    KD_LOG(KD_LOG_INFO, "[%s] (task): %s %s %s %s\n", me(), kRsync, "-c", t->source.c_str(), t->destination.c_str());
    proxy_task_data *raw = t.get();
    g_tasks.push_back(std::move(t));
    if (!kd_worker_create_task(s.pli, task_main, raw, task_done)) {
        KD_LOG(KD_LOG_ERR, "[%s] Cannot queue the copy of %s\n", me(), path.c_str());
        g_tasks.pop_back();
        return false;
    }
    return true;
}

} // namespace proxy
