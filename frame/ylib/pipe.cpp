// Fixed-entry pipe between one producer and one consumer.
//
// The record is a plain C struct, so the two indices are plain words; every
// access goes through std::atomic_ref. The side that owns an index reads it
// relaxed and publishes it with release after its copy; the other side reads
// it with acquire before touching the slot. The locked variants take the
// pipe's mutex around the same code, so they can be mixed with one unlocked
// peer on the other side.
#include "ylib_internal.h"

#include <kerrow/pipe.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

using index_ref = std::atomic_ref<unsigned>;
static_assert(alignof(unsigned) >= index_ref::required_alignment);

unsigned char *slot(kd_pipe_t *p, unsigned i) { return p->ENTRY + size_t(i) * p->ENTRY_SIZE; }

int write_entry(kd_pipe_t *p, const void *entry) noexcept
{
    if (!p || !entry)
        return -1;
    unsigned wr = index_ref(p->wr).load(std::memory_order_relaxed);
    unsigned next = wr + 1 == p->NUM_ENTRIES ? 0 : wr + 1;
    if (next == index_ref(p->rd).load(std::memory_order_acquire))
        return -1; // full
    memcpy(slot(p, wr), entry, p->ENTRY_SIZE);
    index_ref(p->wr).store(next, std::memory_order_release);
    return 0;
}

int read_entry(kd_pipe_t *p, void *entry) noexcept
{
    if (!p || !entry)
        return -1;
    unsigned rd = index_ref(p->rd).load(std::memory_order_relaxed);
    if (rd == index_ref(p->wr).load(std::memory_order_acquire))
        return -1; // empty
    memcpy(entry, slot(p, rd), p->ENTRY_SIZE);
    index_ref(p->rd).store(rd + 1 == p->NUM_ENTRIES ? 0 : rd + 1, std::memory_order_release);
    return 0;
}

} // namespace

extern "C" kd_pipe_t *kd_pipe_ctor(unsigned count, unsigned size)
{
    // One slot always stays free: fewer than 2 slots could never hold anything.
    if (count < 2 || size == 0)
        return nullptr;
    auto *p = kd::calloc_record(&kd_pipe_t::ENTRY, count, size);
    if (!p)
        return nullptr;
    pthread_mutex_init(&p->mutex, nullptr);
    p->NUM_ENTRIES = count;
    p->ENTRY_SIZE = size;
    return p;
}

extern "C" void kd_pipe_dtor(kd_pipe_t *p)
{
    if (!p)
        return;
    pthread_mutex_destroy(&p->mutex);
    free(p->ENTRY);
    free(p);
}

extern "C" int kd_pipe_write_unlocked(kd_pipe_t *p, const void *entry) { return write_entry(p, entry); }

extern "C" int kd_pipe_read_unlocked(kd_pipe_t *p, void *entry) { return read_entry(p, entry); }

extern "C" int kd_pipe_write_locked(kd_pipe_t *p, const void *entry)
{
    if (!p)
        return -1;
    kd::pthread_lock m{p->mutex};
    std::lock_guard lock(m);
    return write_entry(p, entry);
}

extern "C" int kd_pipe_read_locked(kd_pipe_t *p, void *entry)
{
    if (!p)
        return -1;
    kd::pthread_lock m{p->mutex};
    std::lock_guard lock(m);
    return read_entry(p, entry);
}

extern "C" unsigned kd_pipe_level(kd_pipe_t *p)
{
    if (!p)
        return 0;
    unsigned rd = index_ref(p->rd).load(std::memory_order_acquire);
    unsigned wr = index_ref(p->wr).load(std::memory_order_acquire);
    return (p->NUM_ENTRIES + wr - rd) % p->NUM_ENTRIES;
}

extern "C" unsigned kd_pipe_entries(kd_pipe_t *p) { return p ? p->NUM_ENTRIES : 0; }

extern "C" void kd_pipe_clear(kd_pipe_t *p)
{
    if (!p)
        return;
    index_ref(p->rd).store(index_ref(p->wr).load(std::memory_order_acquire),
                           std::memory_order_release);
}
