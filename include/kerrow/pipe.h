/* Hand-over between threads: a fixed-entry pipe, a circular byte buffer
 * whose blocks are never split, a locked message queue drained by the loop,
 * and the set-up and join of real-time threads.
 *
 * Each object is created before the threads that share it start and
 * destroyed after they are joined. None of them allocates after creation. */
#ifndef KERROW_PIPE_H
#define KERROW_PIPE_H

#include <pthread.h>
#include <stddef.h>
#include <kerrow/export.h>

KD_BEGIN_DECLS

/* ---- pipe: fixed-size entries, one producer and one consumer ----
 * Empty when rd == wr, full when (wr + 1) % NUM_ENTRIES == rd, so at most
 * NUM_ENTRIES - 1 entries are held. rd is written by the reader only and wr
 * by the writer only; each is published with release ordering after the
 * entry copy and read by the other side with acquire ordering. */
typedef struct kd_pipe_t {
    unsigned rd;            /* next entry to read; reader publishes */
    unsigned wr;            /* next slot to write; writer publishes */
    pthread_mutex_t mutex;  /* taken by the *_locked variants only */
    unsigned char *ENTRY;   /* NUM_ENTRIES * ENTRY_SIZE bytes, zeroed at creation */
    unsigned NUM_ENTRIES;
    unsigned ENTRY_SIZE;
} kd_pipe_t;

/* null when count < 2, size is 0, or memory is short. */
KD_API kd_pipe_t *kd_pipe_ctor(unsigned count, unsigned size);
KD_API void kd_pipe_dtor(kd_pipe_t *p); /* null is ignored */
/* Copy ENTRY_SIZE bytes in / out: 0, or -1 when full / empty.
 * The unlocked pair serves exactly one writing and one reading thread and
 * takes no lock; the locked pair may be used by any threads. */
KD_API int kd_pipe_write_unlocked(kd_pipe_t *p, const void *entry);
KD_API int kd_pipe_write_locked(kd_pipe_t *p, const void *entry);
KD_API int kd_pipe_read_unlocked(kd_pipe_t *p, void *entry);
KD_API int kd_pipe_read_locked(kd_pipe_t *p, void *entry);
KD_API unsigned kd_pipe_level(kd_pipe_t *p);
KD_API unsigned kd_pipe_entries(kd_pipe_t *p);
/* Drops everything held (rd = wr); belongs to the reading side. */
KD_API void kd_pipe_clear(kd_pipe_t *p);

/* ---- circular buffer: contiguous blocks under one mutex ----
 * A block starts at the write offset and runs at most buf_max_write bytes
 * past it, into the spare area after buf_size when it starts near the end;
 * an advance that reaches buf_size returns the offset to 0. The writer
 * holds cb_mutex from kd_circbuf_get_write until its advance or unlock. */
typedef struct kd_circbuf {
    unsigned char *buf;     /* buf_size + buf_max_write bytes, zeroed */
    size_t buf_size;
    size_t buf_max_write;
    size_t buf_idx_w;
    size_t buf_idx_r;
    pthread_mutex_t cb_mutex;
} kd_circbuf;

/* null when size or max_block is 0 or memory is short. */
KD_API kd_circbuf *kd_circbuf_ctor(size_t size, size_t max_block);
KD_API int kd_circbuf_dtor(kd_circbuf *cb);
/* Lock, and answer the write (read) position. */
KD_API unsigned char *kd_circbuf_get_write(kd_circbuf *cb);
KD_API unsigned char *kd_circbuf_get_read(kd_circbuf *cb);
/* Advance by n and unlock. n > buf_max_write: kd_errno KD_ERR_OUT_OF_BOUNDS,
 * -1, no move. With check, -1 and kd_errno KD_ERR_OVERFLOWING when no more
 * than buf_max_write bytes are left free after the move (which stands). */
KD_API int kd_circbuf_inc_write(kd_circbuf *cb, size_t n, int check);
KD_API int kd_circbuf_inc_read(kd_circbuf *cb, size_t n, int check);
/* The reader has consumed up to pos (a pointer into buf, at most
 * buf + buf_size); takes and releases the lock itself. */
KD_API int kd_circbuf_set_read(kd_circbuf *cb, const unsigned char *pos, int check);
KD_API void kd_circbuf_unlock_rdwr(kd_circbuf *cb);
KD_API size_t kd_circbuf_get_max_block_size(kd_circbuf *cb);
KD_API size_t kd_circbuf_get_total(kd_circbuf *cb);

/* ---- message queue: any threads write, the loop drains ----
 * data is a malloc'ed block: a successful write hands it to the queue, which
 * frees it after on_read (or at kd_mqueue_dtor when never read). */
typedef struct kd_mqueue_entry {
    unsigned type; /* meaning chosen by the queue's user */
    void *data;
} kd_mqueue_entry;

typedef void (*kd_mqueue_on_read)(kd_mqueue_entry *e);

typedef struct kd_mqueue {
    unsigned idx_r;
    unsigned idx_w;
    kd_mqueue_entry *entries;
    unsigned entry_count; /* holds at most entry_count - 1 */
    kd_mqueue_on_read on_read;
    pthread_mutex_t mutex;
} kd_mqueue;

/* null when count < 2 or memory is short; on_read may be null. */
KD_API kd_mqueue *kd_mqueue_ctor(unsigned count, kd_mqueue_on_read on_read);
/* 0, or -1 when full (the caller keeps its data block). */
KD_API int kd_mqueue_write(kd_mqueue *q, const kd_mqueue_entry *e);
/* The oldest entry (its data now belongs to the caller): 0, or -1 when empty. */
KD_API int kd_mqueue_read(kd_mqueue *q, kd_mqueue_entry *e);
/* Loop thread: on_read for every entry until empty, then free(e->data);
 * an on_read that keeps the block sets e->data to null. */
KD_API void kd_mqueue_read_periodic(kd_mqueue *q);
KD_API void kd_mqueue_dtor(kd_mqueue *q);

/* ---- real-time threads ----
 * Called by a new thread on itself: names it (15 characters kept), then
 * SCHED_FIFO at `priority`, CPUs 0 and 1, and no RLIMIT_RTTIME/RLIMIT_CPU
 * limit. With KD_NO_RT=1 in the environment only the name is set. A step
 * the process may not take is logged and skipped. */
KD_API void rt_thread_setup(const char *name, int priority);
/* Joins *thread. null: -1; *thread == 0: 0. timeout_ns < 1 waits without
 * limit. 0 when joined (and *thread is cleared); -1 on failure. When the
 * limit passes the thread still runs and *thread is kept, so the caller can
 * try again later. */
KD_API int rt_thread_join(pthread_t *thread, int timeout_ns);

KD_END_DECLS

#endif
