// The packet pool: sizing, one slot kept empty, what an entry carries, and
// millions of entries between two threads in order.
#include "egress/ts_pool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace {

TEST(TsPool, SizeFollowsRateAndTimeWithinItsLimits)
{
    struct Case {
        double bps, ms;
        uint32_t entries;
    } cases[] = {
        {10e6, 100, 664}, {1e6, 100, 66}, {100e3, 100, 66}, {1e9, 100, 26595}, {400e6, 100, 26595}, {0, 100, 66},
    };
    for (const Case &c : cases) {
        mcastfwdr_ts_pool *p = ts_pool_ctor(c.bps, c.ms);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(ts_pool_entries(p), c.entries) << c.bps;
        ts_pool_dtor(p);
    }
}

TEST(TsPool, EntriesCarryPidAndShortScramblingData)
{
    mcastfwdr_ts_pool *p = ts_pool_ctor(1e6, 100); // 66 slots
    uint8_t pkt[188] = {0x47};
    uint8_t meta[64];
    for (int i = 0; i < 64; ++i)
        meta[i] = uint8_t(i);
    for (uint32_t i = 0; i < 65; ++i)
        ASSERT_EQ(ts_pool_write_unlocked(p, pkt, uint16_t(i), meta, i % 2 ? 44 : 64), 0) << i;
    EXPECT_EQ(ts_pool_write_locked(p, pkt, 1, nullptr, 0), -1); // N slots take N - 1
    EXPECT_EQ(ts_pool_level(p), 65u);
    uint16_t pid = 0;
    unsigned len = 0;
    uint8_t out[64] = {};
    EXPECT_EQ(ts_pool_read_locked(p, &pid, out, &len), pkt);
    EXPECT_EQ(len, 0u); // 64 bytes do not fit
    EXPECT_EQ(ts_pool_read_unlocked(p, &pid, out, &len), pkt);
    EXPECT_EQ(pid, 1);
    EXPECT_EQ(len, 44u);
    EXPECT_EQ(std::memcmp(out, meta, 44), 0);
    ts_pool_clear(p);
    EXPECT_EQ(ts_pool_level(p), 0u);
    pid = 7;
    len = 7;
    EXPECT_EQ(ts_pool_read_unlocked(p, &pid, out, &len), nullptr);
    EXPECT_EQ(pid, 0);
    EXPECT_EQ(len, 0u);
    ts_pool_dtor(p);
}

TEST(TsPool, TwoThreadsCarryEveryEntryInOrder)
{
#ifdef __SANITIZE_THREAD__
    constexpr uint32_t kCount = 1000000;
#else
    constexpr uint32_t kCount = 10000000;
#endif
    mcastfwdr_ts_pool *p = ts_pool_ctor(10e6, 100);
    std::thread writer([p] {
        for (uint32_t i = 1; i <= kCount;) {
            const uint32_t meta = i * 2654435761u;
            if (ts_pool_write_unlocked(p, reinterpret_cast<const uint8_t *>(uintptr_t(i)), uint16_t(i), &meta,
                                       sizeof meta) == 0)
                ++i;
            else
                std::this_thread::yield();
        }
    });
    uint32_t bad = 0;
    for (uint32_t want = 1; want <= kCount;) {
        uint16_t pid;
        unsigned len;
        uint32_t meta = 0;
        const uint8_t *pkt = ts_pool_read_unlocked(p, &pid, &meta, &len);
        if (!pkt) {
            std::this_thread::yield();
            continue;
        }
        bad += uintptr_t(pkt) != want || pid != uint16_t(want) || len != 4 || meta != want * 2654435761u;
        ++want;
    }
    writer.join();
    EXPECT_EQ(bad, 0u);
    EXPECT_EQ(ts_pool_level(p), 0u);
    ts_pool_dtor(p);
}

} // namespace
