// Thread pool bound to a libev loop.
//
// Crossing points: `lock` guards both queues and the counters; finished
// items go back to the loop thread through `async` only. Work and done
// functions run without the lock. Pool threads are detached; evtp_destroy
// waits on die_cond until the last one has left the pool for good.
#include "evtp.h"

#include <ev.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <initializer_list>
#include <mutex>

namespace {

std::atomic<kd::evtp_spawn_fn> g_spawn{pthread_create};

struct evtp_queue_t {
    evtp_work *first = nullptr;
    evtp_work *last = nullptr;

    bool empty() const { return first == nullptr; }
    void push(evtp_work *w)
    {
        w->next = nullptr;
        if (last)
            last->next = w;
        else
            first = w;
        last = w;
    }
    evtp_work *pop()
    {
        evtp_work *w = first;
        first = w->next;
        if (!first)
            last = nullptr;
        w->next = nullptr;
        return w;
    }
    // Unlinks w if queued here.
    bool remove(evtp_work *w)
    {
        evtp_work *prev = nullptr;
        for (evtp_work *it = first; it; prev = it, it = it->next) {
            if (it != w)
                continue;
            (prev ? prev->next : first) = it->next;
            if (last == it)
                last = prev;
            it->next = nullptr;
            return true;
        }
        return false;
    }
    evtp_work *take_all()
    {
        evtp_work *w = first;
        first = last = nullptr;
        return w;
    }
};

} // namespace

struct evtp {
    std::mutex lock;
    std::condition_variable cond;     // work arrived, or a thread must exit
    std::condition_variable die_cond; // a thread exited
    std::condition_variable finished; // an item reached `results`
    evtp_queue_t work;                // submitted, not started
    evtp_queue_t results;             // finished, done function pending
    int maxthreads = 0;
    int threads = 0; // alive
    int idle = 0;    // waiting on cond
    int kill = 0;    // asked to exit
    ev_async async;  // data: the pool; ro after create
    struct ev_loop *loop = nullptr;
};

namespace {

void *evtp_thread(void *arg) noexcept
{
    auto *tp = static_cast<evtp *>(arg);
    std::unique_lock lk(tp->lock);
    while (tp->kill <= 0) {
        while (!tp->work.empty() && tp->kill <= 0) {
            evtp_work *w = tp->work.pop();
            lk.unlock();
            w->work_func(w);
            lk.lock();
            tp->results.push(w);
            tp->finished.notify_all();
            ev_async_send(tp->loop, &tp->async);
        }
        if (tp->kill > 0)
            break;
        ++tp->idle;
        tp->cond.wait(lk);
        --tp->idle;
    }
    if (tp->kill-- > 1)
        tp->cond.notify_one(); // pass the exit on to the next thread
    tp->die_cond.notify_all();
    --tp->threads;
    lk.unlock(); // from here on the pool may be gone
    return nullptr;
}

// Starts one detached thread with every signal blocked (lock held).
// 0, or the thread library's error.
int start_thread(evtp *tp)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_t id;
    int rc = g_spawn.load()(&id, &attr, evtp_thread, tp);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
    if (rc == 0)
        ++tp->threads;
    return rc;
}

void evtp_async(struct ev_loop *loop, ev_async *a, int) noexcept
{
    auto *tp = static_cast<evtp *>(a->data);
    // One at a time, in completion order: a done function may cancel items
    // still waiting here (a plug-in unloaded from it), or free its own.
    for (;;) {
        evtp_work *w;
        {
            std::lock_guard lk(tp->lock);
            if (tp->results.empty())
                return;
            w = tp->results.pop();
        }
        if (w->done_func)
            w->done_func(w);
        ev_unref(loop);
    }
}

} // namespace

void kd::evtp_set_spawn(evtp_spawn_fn fn) { g_spawn = fn ? fn : pthread_create; }

evtp_t *evtp_create(struct ev_loop *loop, int maxthreads)
{
    if (!loop || maxthreads < 1)
        return nullptr;
    auto *tp = new evtp;
    tp->loop = loop;
    tp->maxthreads = maxthreads;
    ev_async_init(&tp->async, evtp_async);
    tp->async.data = tp;
    ev_async_start(loop, &tp->async);
    ev_unref(loop); // an idle pool does not keep the loop alive
    return tp;
}

int evtp_submit(evtp_work_t *work, evtp_t *tp, evtp_func_t work_func, evtp_func_t done_func)
{
    if (!work || !tp || !work_func) {
        errno = EINVAL;
        return -1;
    }
    std::unique_lock lk(tp->lock);
    work->work_func = work_func;
    work->done_func = done_func;
    int result = 1;
    if (tp->idle <= tp->kill) {
        if (tp->threads - tp->kill >= tp->maxthreads) {
            // at the limit: the item waits for a busy thread
        } else if (tp->kill > 0) {
            --tp->kill; // a thread about to exit stays for this item
        } else if (int rc = start_thread(tp)) {
            if (tp->threads == 0) {
                lk.unlock();
                errno = rc;
                return -1;
            }
            result = 0;
        }
    }
    tp->work.push(work);
    ev_ref(tp->loop); // given back when its done function has run
    if (tp->idle)
        tp->cond.notify_one();
    return result;
}

int evtp_maxthreads(evtp_t *tp, int maxthreads)
{
    if (!tp || maxthreads < 1)
        return -1;
    std::lock_guard lk(tp->lock);
    tp->maxthreads = maxthreads;
    if (tp->threads > maxthreads) {
        tp->kill = tp->threads - maxthreads;
        if (tp->idle)
            tp->cond.notify_one();
    }
    for (evtp_work *w = tp->work.first; w && tp->threads - tp->kill < maxthreads; w = w->next) {
        if (tp->kill > 0)
            --tp->kill;
        else if (start_thread(tp) != 0)
            return -1;
    }
    return 1;
}

int evtp_cancel(evtp_t *tp, evtp_work_t *work, int wait)
{
    if (!tp || !work)
        return 0;
    {
        std::unique_lock lk(tp->lock);
        if (!tp->work.remove(work) && !tp->results.remove(work)) {
            if (!wait)
                return 0;
            // Running: its thread files it under results when done.
            tp->finished.wait(lk, [&] { return tp->results.remove(work); });
        }
    }
    ev_unref(tp->loop); // the reference its completion would have given back
    return 1;
}

int evtp_destroy(evtp_t *tp, int force)
{
    if (!tp)
        return -1;
    int abandoned = 0;
    {
        std::unique_lock lk(tp->lock);
        if (!force && (!tp->work.empty() || !tp->results.empty()))
            return -1;
        tp->kill = tp->threads;
        tp->cond.notify_all();
        tp->die_cond.wait(lk, [tp] { return tp->threads == 0; });
        for (evtp_queue_t *q : {&tp->work, &tp->results})
            for (evtp_work *w = q->take_all(); w; w = w->next)
                ++abandoned;
    }
    // Items that never complete give back their loop references too.
    while (abandoned-- > 0)
        ev_unref(tp->loop);
    ev_ref(tp->loop);
    ev_async_stop(tp->loop, &tp->async);
    delete tp;
    return 1;
}
