/* The worker service: blocking jobs off the loop thread.
 *
 * A task's main function runs on one of the framework pool's threads (two
 * of them); its done function runs afterwards on the loop thread, where it
 * may touch parameters, events and the store. The service frees the task
 * after its done function; neither function may keep the task pointer. */
#ifndef KERROW_WORKER_H
#define KERROW_WORKER_H

#include <signal.h>
#include <kerrow/types.h>

KD_BEGIN_DECLS

struct evtp_work;
typedef struct kd_worker_task kd_worker_task;
typedef void (*kd_worker_task_func)(kd_worker_task *task);

struct kd_worker_task {
    volatile sig_atomic_t started; /* 1 once taskmain has begun; written by the pool thread */
    struct evtp_work *work;        /* the pool's record of this task */
    kd_worker_task_func taskmain;  /* runs on a pool thread */
    void *taskdata;                /* the creator's data */
    kd_worker_task_func taskdone;  /* runs on the loop thread; may be null */
};

/* Loop thread. Queues the task; null (and nothing queued) when it cannot
 * be submitted, or before the framework is initialised. */
KD_API kd_worker_task *kd_worker_create_task(plugin_load_info *owner, kd_worker_task_func taskmain,
                                             void *taskdata, kd_worker_task_func taskdone);
/* The taskdata given at creation; for main and done functions. */
KD_API void *kd_worker_get_task_data(kd_worker_task *task);

KD_END_DECLS

#endif
