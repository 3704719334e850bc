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

#include "egress/ts_validation.h"
#include "test_support.h"

#include <vector>

namespace {

// Counters as a table of packets on one PID: the first is the reference,
// one duplicate and a flagged discontinuity are no error.
TEST(TsValidation, FollowsTheInputSideRule)
{
    kdtest::LogCapture log;
    struct Pkt {
        unsigned cc;
        bool payload;
        bool discontinuity;
        int pid;
    };
    const std::vector<Pkt> seq = {
        {9, true, false, 0x100},   // first: the reference, whatever its counter
        {10, true, false, 0x100},  //
        {10, true, false, 0x100},  // one duplicate
        {10, true, false, 0x100},  // a second one is an error (1)
        {11, true, false, 0x100},  //
        {11, false, false, 0x100}, // no payload: the same counter
        {3, true, true, 0x100},    // flagged jump
        {5, true, false, 0x100},   // a jump (2)
        {0, true, false, 0x12},    // not checked
        {7, true, false, 8191},    // null packets are not checked
        {2, true, false, 0x200},   // another PID starts from its own first packet
    };
    std::vector<uint8_t> buf;
    for (const Pkt &p : seq) {
        uint8_t b[188] = {0x47, uint8_t(p.pid >> 8), uint8_t(p.pid), 0};
        b[3] = uint8_t((p.payload ? 0x10 : 0) | (p.discontinuity ? 0x20 : 0) | p.cc);
        if (p.discontinuity) {
            b[4] = 1;
            b[5] = 0x80;
        }
        buf.insert(buf.end(), b, b + 188);
    }
    ts_validation *v = ts_validation_ctor(1, 3, 1);
    EXPECT_EQ(ts_validation_check_cc(v, buf.data(), buf.size()), 0);
    EXPECT_EQ(ts_validation_get_error_counter(v), 2u);
    EXPECT_EQ(log.count("Output 3: expected cc 11 but found 10 for pid  256"), 1);
    EXPECT_EQ(log.count("expected cc"), 1); // the log limit
    ts_validation_reset_error_counter(v);
    EXPECT_EQ(ts_validation_get_error_counter(v), 0u);
    EXPECT_EQ(ts_validation_check_cc(v, buf.data(), 187), -1);
    EXPECT_EQ(log.count("buflen not a multiple of 188! buflen: 187, stream: 'Output 3'"), 1);
    ts_validation_dtor(v);
}

} // namespace
