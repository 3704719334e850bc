// A small thread pool bound to a libev loop. Work functions run on pool
// threads; done functions run on the loop thread, handed back through one
// async watcher. Internal to the framework: only the worker service uses it.
#pragma once

#include <pthread.h>

struct ev_loop;

struct evtp_work;
typedef struct evtp_work evtp_work_t;
typedef void (*evtp_func_t)(evtp_work_t *work);

// One unit of work, owned by its submitter.
struct evtp_work {
    void *data;
    evtp_func_t work_func; // pool thread
    evtp_func_t done_func; // loop thread, after work_func
    evtp_work *next;       // the pool's queues
};

struct evtp;
typedef struct evtp evtp_t;

// A pool of at most maxthreads threads (made on demand). An idle pool does
// not keep the loop running; each outstanding item does.
evtp_t *evtp_create(struct ev_loop *loop, int maxthreads);
// Loop thread. 1: queued; 0: queued though no new thread could be started;
// -1: no thread exists and none could be started (errno set, not queued).
int evtp_submit(evtp_work_t *work, evtp_t *tp, evtp_func_t work_func, evtp_func_t done_func);
// 1, or -1 when a thread needed for queued work could not be started.
int evtp_maxthreads(evtp_t *tp, int maxthreads);
// Loop thread. Takes back `work`, an item submitted to tp whose done
// function has not run, so that neither of its functions runs later: a
// queued or finished item is dropped at once; a running one, with `wait`,
// as soon as its work function returns. 1 when taken back, 0 when it is
// running and `wait` is 0 (or for a null argument).
int evtp_cancel(evtp_t *tp, evtp_work_t *work, int wait);
// Without force: -1 while work or results are queued. Otherwise stops every
// thread (waiting for running work functions), drops queued items without
// calling them, frees the pool and answers 1.
int evtp_destroy(evtp_t *tp, int force);

namespace kd {
// Test seam: how pool threads are started (pthread_create by default).
using evtp_spawn_fn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
void evtp_set_spawn(evtp_spawn_fn fn);
} // namespace kd
