// Locked message queue: any thread writes, the loop drains.
#include "ylib_internal.h"

#include <kerrow/pipe.h>

#include <cstdlib>
#include <mutex>

namespace {

unsigned next_index(const kd_mqueue *q, unsigned i) { return i + 1 == q->entry_count ? 0 : i + 1; }

} // namespace

extern "C" kd_mqueue *kd_mqueue_ctor(unsigned count, kd_mqueue_on_read on_read)
{
    // One slot always stays free: fewer than 2 could never hold anything.
    if (count < 2)
        return nullptr;
    auto *q = kd::calloc_record(&kd_mqueue::entries, count);
    if (!q)
        return nullptr;
    q->entry_count = count;
    q->on_read = on_read;
    pthread_mutex_init(&q->mutex, nullptr);
    return q;
}

extern "C" int kd_mqueue_write(kd_mqueue *q, const kd_mqueue_entry *e)
{
    if (!q || !e)
        return -1;
    kd::pthread_lock m{q->mutex};
    std::lock_guard lock(m);
    unsigned next = next_index(q, q->idx_w);
    if (next == q->idx_r)
        return -1;
    q->entries[q->idx_w] = *e;
    q->idx_w = next;
    return 0;
}

extern "C" int kd_mqueue_read(kd_mqueue *q, kd_mqueue_entry *e)
{
    if (!q || !e)
        return -1;
    kd::pthread_lock m{q->mutex};
    std::lock_guard lock(m);
    if (q->idx_r == q->idx_w)
        return -1;
    *e = q->entries[q->idx_r];
    q->entries[q->idx_r] = {};
    q->idx_r = next_index(q, q->idx_r);
    return 0;
}

extern "C" void kd_mqueue_read_periodic(kd_mqueue *q)
{
    if (!q || !q->on_read)
        return;
    // The lock is not held while on_read runs; entries written meanwhile
    // are drained in this pass too.
    kd_mqueue_entry e;
    while (kd_mqueue_read(q, &e) == 0) {
        q->on_read(&e);
        free(e.data);
    }
}

extern "C" void kd_mqueue_dtor(kd_mqueue *q)
{
    if (!q)
        return;
    for (unsigned i = q->idx_r; i != q->idx_w; i = next_index(q, i))
        free(q->entries[i].data);
    pthread_mutex_destroy(&q->mutex);
    free(q->entries);
    free(q);
}
