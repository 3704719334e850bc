// An output's packet pool: a ring of fixed entries between the multiplexer
// (writer) and the output's egress thread (reader). One entry stays empty:
// N slots hold N - 1 packets. The indexes are atomics; an entry is
// published by the release store of `wr` and handed back by that of `rd`.
// The packets themselves stay in the packet ring or a receive area.
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>

struct ts_pool_entry {
    const uint8_t *tspkt; // the 188-byte packet
    uint16_t remap_pid;   // output PID, 0 = keep the packet's
    uint8_t meta_len;     // 0 = no scrambling data
    uint8_t meta[64];
};
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(ts_pool_entry) == 72, "pool entries are 72 bytes on the card");
#endif

struct mcastfwdr_ts_pool {
    std::atomic<uint32_t> rd{0};
    std::atomic<uint32_t> wr{0};
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER; // taken by the *_locked forms
    ts_pool_entry *ENTRY = nullptr;
    uint32_t NUM_ENTRIES = 0;
};

extern "C" {
// Entries for `ms` milliseconds at `bps`: bps x ms / 1,504,000, truncated,
// kept within 66 to 26,595. Null when memory is short.
mcastfwdr_ts_pool *ts_pool_ctor(double bps, double ms);
void ts_pool_dtor(mcastfwdr_ts_pool *p);
uint32_t ts_pool_entries(const mcastfwdr_ts_pool *p);
uint32_t ts_pool_level(const mcastfwdr_ts_pool *p);
void ts_pool_clear(mcastfwdr_ts_pool *p); // reader side
// 0, or -1 when full. Scrambling data is kept when it is shorter than 64
// bytes and not null; otherwise the entry carries none.
int ts_pool_write_unlocked(mcastfwdr_ts_pool *p, const uint8_t *pkt, uint16_t remap_pid, const void *meta,
                           unsigned meta_len);
int ts_pool_write_locked(mcastfwdr_ts_pool *p, const uint8_t *pkt, uint16_t remap_pid, const void *meta,
                         unsigned meta_len);
// The next packet with its output PID and scrambling data copied out
// (meta must hold 64 bytes), or null when empty (PID and length then 0).
const uint8_t *ts_pool_read_unlocked(mcastfwdr_ts_pool *p, uint16_t *remap_pid, void *meta, unsigned *meta_len);
const uint8_t *ts_pool_read_locked(mcastfwdr_ts_pool *p, uint16_t *remap_pid, void *meta, unsigned *meta_len);
}
