// The packet pool's ring.
#include "egress/ts_pool.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t kMinEntries = 66;
constexpr uint32_t kMaxEntries = 26595;

uint32_t next(const mcastfwdr_ts_pool *p, uint32_t i) { return i + 1 == p->NUM_ENTRIES ? 0 : i + 1; }

} // namespace

extern "C" {

mcastfwdr_ts_pool *ts_pool_ctor(double bps, double ms)
{
    const double want = bps * ms / 1504000.0;
    uint32_t n = want <= kMinEntries ? kMinEntries : want >= kMaxEntries ? kMaxEntries : uint32_t(want);
    auto *p = new (std::nothrow) mcastfwdr_ts_pool;
    if (!p)
        return nullptr;
    p->ENTRY = static_cast<ts_pool_entry *>(std::calloc(n, sizeof(ts_pool_entry)));
    if (!p->ENTRY) {
        delete p;
        return nullptr;
    }
    p->NUM_ENTRIES = n;
    return p;
}

void ts_pool_dtor(mcastfwdr_ts_pool *p)
{
    if (!p)
        return;
    std::free(p->ENTRY);
    pthread_mutex_destroy(&p->mutex);
    delete p;
}

uint32_t ts_pool_entries(const mcastfwdr_ts_pool *p) { return p ? p->NUM_ENTRIES : 0; }

uint32_t ts_pool_level(const mcastfwdr_ts_pool *p)
{
    if (!p)
        return 0;
    const uint32_t wr = p->wr.load(std::memory_order_acquire), rd = p->rd.load(std::memory_order_acquire);
    return (p->NUM_ENTRIES + wr - rd) % p->NUM_ENTRIES;
}

void ts_pool_clear(mcastfwdr_ts_pool *p)
{
    if (p)
        p->rd.store(p->wr.load(std::memory_order_acquire), std::memory_order_release);
}

int ts_pool_write_unlocked(mcastfwdr_ts_pool *p, const uint8_t *pkt, uint16_t remap_pid, const void *meta,
                           unsigned meta_len)
{
    const uint32_t wr = p->wr.load(std::memory_order_relaxed);
    const uint32_t after = next(p, wr);
    if (after == p->rd.load(std::memory_order_acquire))
        return -1;
    ts_pool_entry &e = p->ENTRY[wr];
    e.tspkt = pkt;
    e.remap_pid = remap_pid;
    e.meta_len = 0;
    if (meta && meta_len > 0 && meta_len < sizeof e.meta) {
        std::memcpy(e.meta, meta, meta_len);
        e.meta_len = uint8_t(meta_len);
    }
    p->wr.store(after, std::memory_order_release);
    return 0;
}

int ts_pool_write_locked(mcastfwdr_ts_pool *p, const uint8_t *pkt, uint16_t remap_pid, const void *meta,
                         unsigned meta_len)
{
    pthread_mutex_lock(&p->mutex);
    const int rc = ts_pool_write_unlocked(p, pkt, remap_pid, meta, meta_len);
    pthread_mutex_unlock(&p->mutex);
    return rc;
}

const uint8_t *ts_pool_read_unlocked(mcastfwdr_ts_pool *p, uint16_t *remap_pid, void *meta, unsigned *meta_len)
{
    const uint32_t rd = p->rd.load(std::memory_order_relaxed);
    if (rd == p->wr.load(std::memory_order_acquire)) {
        if (remap_pid)
            *remap_pid = 0;
        if (meta_len)
            *meta_len = 0;
        return nullptr;
    }
    const ts_pool_entry &e = p->ENTRY[rd];
    const uint8_t *pkt = e.tspkt;
    if (remap_pid)
        *remap_pid = e.remap_pid;
    if (meta_len)
        *meta_len = e.meta_len;
    if (meta && e.meta_len)
        std::memcpy(meta, e.meta, e.meta_len);
    p->rd.store(next(p, rd), std::memory_order_release);
    return pkt;
}

const uint8_t *ts_pool_read_locked(mcastfwdr_ts_pool *p, uint16_t *remap_pid, void *meta, unsigned *meta_len)
{
    pthread_mutex_lock(&p->mutex);
    const uint8_t *pkt = ts_pool_read_unlocked(p, remap_pid, meta, meta_len);
    pthread_mutex_unlock(&p->mutex);
    return pkt;
}

} // extern "C"
