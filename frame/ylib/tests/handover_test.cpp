// Pipes, circular buffers, message queues and real-time thread calls.
#include <kerrow/frame.h>
#include <kerrow/pipe.h>

#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct PipeDel {
    void operator()(kd_pipe_t *p) const { kd_pipe_dtor(p); }
};
using Pipe = std::unique_ptr<kd_pipe_t, PipeDel>;

struct CbDel {
    void operator()(kd_circbuf *c) const { kd_circbuf_dtor(c); }
};
using Circbuf = std::unique_ptr<kd_circbuf, CbDel>;

struct MqDel {
    void operator()(kd_mqueue *q) const { kd_mqueue_dtor(q); }
};
using Mqueue = std::unique_ptr<kd_mqueue, MqDel>;

// ---------------------------------------------------------------- pipes

struct PipeOps {
    const char *name;
    int (*write)(kd_pipe_t *, const void *);
    int (*read)(kd_pipe_t *, void *);
};

class PipeVariants : public ::testing::TestWithParam<PipeOps> {};

TEST_P(PipeVariants, HoldsOneLessThanItsSlotsInOrder)
{
    const PipeOps ops = GetParam();
    Pipe p(kd_pipe_ctor(4, 5));
    ASSERT_TRUE(p);
    EXPECT_EQ(kd_pipe_entries(p.get()), 4u);

    auto entry = [](unsigned char v) { return std::vector<unsigned char>{v, 1, 2, 3, v}; };
    for (unsigned char i = 0; i < 3; ++i) {
        EXPECT_EQ(kd_pipe_level(p.get()), i);
        EXPECT_EQ(ops.write(p.get(), entry(i).data()), 0);
    }
    EXPECT_EQ(kd_pipe_level(p.get()), 3u);
    EXPECT_EQ(ops.write(p.get(), entry(9).data()), -1) << "fourth write into four slots";

    std::vector<unsigned char> out(5);
    ASSERT_EQ(ops.read(p.get(), out.data()), 0);
    EXPECT_EQ(out, entry(0)) << "whole entry, oldest first";
    EXPECT_EQ(ops.write(p.get(), entry(3).data()), 0) << "a read frees one slot";
    EXPECT_EQ(ops.write(p.get(), entry(4).data()), -1);

    // Wrapping around the end keeps the order.
    for (unsigned char want = 1; want <= 3; ++want) {
        ASSERT_EQ(ops.read(p.get(), out.data()), 0);
        EXPECT_EQ(out, entry(want));
    }
    EXPECT_EQ(ops.read(p.get(), out.data()), -1) << "empty";
    EXPECT_EQ(kd_pipe_level(p.get()), 0u);

    for (unsigned char i = 0; i < 3; ++i)
        ASSERT_EQ(ops.write(p.get(), entry(i).data()), 0);
    kd_pipe_clear(p.get());
    EXPECT_EQ(kd_pipe_level(p.get()), 0u);
    EXPECT_EQ(ops.read(p.get(), out.data()), -1) << "cleared";
}

INSTANTIATE_TEST_SUITE_P(Pipe, PipeVariants,
                         ::testing::Values(PipeOps{"unlocked", kd_pipe_write_unlocked,
                                                   kd_pipe_read_unlocked},
                                           PipeOps{"locked", kd_pipe_write_locked,
                                                   kd_pipe_read_locked}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Pipe, RefusesShapesThatCanHoldNothing)
{
    EXPECT_EQ(kd_pipe_ctor(0, 64), nullptr);
    EXPECT_EQ(kd_pipe_ctor(1, 64), nullptr);
    EXPECT_EQ(kd_pipe_ctor(4, 0), nullptr);
    kd_pipe_dtor(nullptr);
    Pipe p(kd_pipe_ctor(2, 1));
    ASSERT_TRUE(p);
    unsigned char b = 7;
    EXPECT_EQ(kd_pipe_write_unlocked(p.get(), &b), 0);
    EXPECT_EQ(kd_pipe_write_unlocked(p.get(), &b), -1);
}

// One writer and one reader on the unlocked pair: ten million 64-byte
// entries arrive whole and in strict order.
TEST(Pipe, TenMillionEntriesCrossTwoThreadsInOrder)
{
    constexpr uint64_t kCount = 10'000'000;
    struct Entry {
        uint64_t seq;
        unsigned char fill[48];
        uint64_t check;
    };
    static_assert(sizeof(Entry) == 64);
    Pipe p(kd_pipe_ctor(3799, sizeof(Entry)));
    ASSERT_TRUE(p);

    std::thread writer([&] {
        Entry e{};
        for (uint64_t i = 0; i < kCount; ++i) {
            e.seq = i;
            memset(e.fill, int(i & 0xff), sizeof e.fill);
            e.check = ~i;
            while (kd_pipe_write_unlocked(p.get(), &e) != 0)
                std::this_thread::yield();
        }
    });
    uint64_t bad = 0, first_bad = 0;
    Entry e;
    for (uint64_t want = 0; want < kCount; ++want) {
        while (kd_pipe_read_unlocked(p.get(), &e) != 0)
            std::this_thread::yield();
        bool ok = e.seq == want && e.check == ~want && e.fill[0] == (want & 0xff) &&
                  e.fill[47] == (want & 0xff);
        if (!ok && bad++ == 0)
            first_bad = want;
    }
    writer.join();
    EXPECT_EQ(bad, 0u) << "first wrong entry at " << first_bad;
    EXPECT_EQ(kd_pipe_level(p.get()), 0u);
}

// Several writers on the locked pair: nothing lost, each writer's order kept.
TEST(Pipe, LockedWritersFromSeveralThreads)
{
    constexpr unsigned kWriters = 4, kEach = 50'000;
    struct Entry {
        uint32_t writer, seq;
    };
    Pipe p(kd_pipe_ctor(64, sizeof(Entry)));
    ASSERT_TRUE(p);
    std::vector<std::thread> writers;
    for (unsigned w = 0; w < kWriters; ++w)
        writers.emplace_back([&, w] {
            for (uint32_t i = 0; i < kEach; ++i) {
                Entry e{w, i};
                while (kd_pipe_write_locked(p.get(), &e) != 0)
                    std::this_thread::yield();
            }
        });
    std::vector<uint32_t> next(kWriters, 0);
    unsigned misordered = 0;
    for (unsigned n = 0; n < kWriters * kEach; ++n) {
        Entry e;
        while (kd_pipe_read_unlocked(p.get(), &e) != 0)
            std::this_thread::yield();
        ASSERT_LT(e.writer, kWriters);
        misordered += e.seq != next[e.writer];
        next[e.writer] = e.seq + 1;
    }
    for (auto &t : writers)
        t.join();
    EXPECT_EQ(misordered, 0u);
    for (unsigned w = 0; w < kWriters; ++w)
        EXPECT_EQ(next[w], kEach);
}

// ---------------------------------------------------------------- circular buffer

struct CircbufTest : ::testing::Test {
    Circbuf cb{kd_circbuf_ctor(100, 10)};
    size_t w() const { return cb->buf_idx_w; }
    // One block of n bytes written at the write position.
    int write_block(size_t n, int check, unsigned char v = 0xab)
    {
        unsigned char *at = kd_circbuf_get_write(cb.get());
        memset(at, v, n > 10 ? 10 : n);
        return kd_circbuf_inc_write(cb.get(), n, check);
    }
    int read_block(size_t n, int check)
    {
        kd_circbuf_get_read(cb.get());
        return kd_circbuf_inc_read(cb.get(), n, check);
    }
};

TEST_F(CircbufTest, AdvanceWrapsAndRefusesOversizedBlocks)
{
    ASSERT_TRUE(cb);
    EXPECT_EQ(kd_circbuf_get_total(cb.get()), 100u);
    EXPECT_EQ(kd_circbuf_get_max_block_size(cb.get()), 10u);
    for (int i = 1; i <= 10; ++i) {
        EXPECT_EQ(write_block(10, 0), 0);
        EXPECT_EQ(w(), size_t(i % 10) * 10);
    }
    EXPECT_EQ(w(), 0u);

    kd_errno = 0;
    EXPECT_EQ(write_block(11, 0), -1);
    EXPECT_EQ(kd_errno, KD_ERR_OUT_OF_BOUNDS);
    EXPECT_EQ(w(), 0u) << "a refused advance does not move";

    // A block that starts near the end runs on into the spare area; the
    // advance past the end returns the offset to 0.
    for (int i = 0; i < 19; ++i)
        ASSERT_EQ(write_block(5, 0), 0);
    EXPECT_EQ(w(), 95u);
    unsigned char *at = kd_circbuf_get_write(cb.get());
    memset(at, 0x5a, 10); // whole block, contiguous
    EXPECT_EQ(kd_circbuf_inc_write(cb.get(), 10, 0), 0);
    EXPECT_EQ(w(), 0u);
    EXPECT_EQ(cb->buf[104], 0x5a);
}

TEST_F(CircbufTest, CheckedAdvanceReportsOverflowButNotAnEmptyRing)
{
    ASSERT_TRUE(cb);
    // Reader at 0: after 80 bytes 20 are free, after 90 only 10 (<= a block).
    for (int i = 0; i < 8; ++i)
        ASSERT_EQ(write_block(10, 1), 0);
    kd_errno = 0;
    EXPECT_EQ(write_block(10, 1), -1);
    EXPECT_EQ(kd_errno, KD_ERR_OVERFLOWING);
    EXPECT_EQ(w(), 90u) << "the advance stands";

    // The reader consumes everything: an empty ring has all its room free.
    kd_errno = 0;
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(read_block(10, 1), 0);
    EXPECT_EQ(read_block(10, 1), 0) << "reader caught up: empty, not overflowing";
    EXPECT_EQ(kd_errno, 0);
    EXPECT_EQ(kd_circbuf_set_read(cb.get(), cb->buf + 90, 1), 0);

    // A writer that catches up with the reader has filled the ring.
    for (int i = 0; i < 9; ++i)
        write_block(10, 0);
    EXPECT_EQ(w(), 80u);
    EXPECT_EQ(write_block(10, 1), -1);
    EXPECT_EQ(kd_errno, KD_ERR_OVERFLOWING);
}

TEST_F(CircbufTest, SetReadTakesPositionsInsideTheRingOnly)
{
    ASSERT_TRUE(cb);
    kd_errno = 0;
    EXPECT_EQ(kd_circbuf_set_read(cb.get(), cb->buf + 101, 0), -1);
    EXPECT_EQ(kd_errno, KD_ERR_OUT_OF_BOUNDS);
    EXPECT_EQ(kd_circbuf_set_read(cb.get(), cb->buf - 1, 0), -1);
    EXPECT_EQ(kd_circbuf_set_read(cb.get(), nullptr, 0), -1);

    EXPECT_EQ(kd_circbuf_set_read(cb.get(), cb->buf + 40, 0), 0);
    EXPECT_EQ(cb->buf_idx_r, 40u);
    EXPECT_EQ(kd_circbuf_set_read(cb.get(), cb->buf + 100, 0), 0);
    EXPECT_EQ(cb->buf_idx_r, 0u) << "the end is the start";
    // The lock was released: the writer can still take it.
    EXPECT_NE(kd_circbuf_get_write(cb.get()), nullptr);
    kd_circbuf_unlock_rdwr(cb.get());
}

TEST(Circbuf, RefusesEmptyShapes)
{
    EXPECT_EQ(kd_circbuf_ctor(0, 10), nullptr);
    EXPECT_EQ(kd_circbuf_ctor(100, 0), nullptr);
    EXPECT_EQ(kd_circbuf_dtor(nullptr), 0);
}

// The reader's set_read waits while a block is being written.
TEST_F(CircbufTest, SetReadWaitsForTheWriter)
{
    ASSERT_TRUE(cb);
    kd_circbuf_get_write(cb.get());
    std::atomic<bool> done{false};
    std::thread reader([&] {
        kd_circbuf_set_read(cb.get(), cb->buf + 10, 0);
        done = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(done.load());
    kd_circbuf_inc_write(cb.get(), 10, 0);
    reader.join();
    EXPECT_TRUE(done.load());
}

// ---------------------------------------------------------------- message queue

struct Drained {
    std::vector<std::pair<unsigned, int>> got; // type, first int of data
    kd_mqueue *requeue_into = nullptr;
};
Drained *g_drained = nullptr;

void on_read(kd_mqueue_entry *e)
{
    g_drained->got.emplace_back(e->type, e->data ? *static_cast<int *>(e->data) : -1);
    if (g_drained->requeue_into && e->type == 1) {
        int *d = static_cast<int *>(malloc(sizeof(int)));
        *d = 99;
        kd_mqueue_entry again{2, d};
        kd_mqueue_write(g_drained->requeue_into, &again);
    }
}

kd_mqueue_entry make_entry(unsigned type, int v)
{
    int *d = static_cast<int *>(malloc(sizeof(int)));
    *d = v;
    return {type, d};
}

TEST(Mqueue, HoldsOneLessThanItsSlotsAndDrainsInOrder)
{
    Drained drained;
    g_drained = &drained;
    Mqueue q(kd_mqueue_ctor(3, on_read));
    ASSERT_TRUE(q);
    kd_mqueue_entry a = make_entry(5, 10), b = make_entry(6, 20), c = make_entry(7, 30);
    EXPECT_EQ(kd_mqueue_write(q.get(), &a), 0);
    EXPECT_EQ(kd_mqueue_write(q.get(), &b), 0);
    EXPECT_EQ(kd_mqueue_write(q.get(), &c), -1) << "three slots hold two";
    free(c.data); // refused: still the caller's

    kd_mqueue_read_periodic(q.get()); // frees both blocks (ASan would see a leak)
    EXPECT_EQ(drained.got, (std::vector<std::pair<unsigned, int>>{{5, 10}, {6, 20}}));
    kd_mqueue_entry out;
    EXPECT_EQ(kd_mqueue_read(q.get(), &out), -1);

    // Entries written while draining are drained in the same pass.
    drained = {};
    drained.requeue_into = q.get();
    kd_mqueue_entry d = make_entry(1, 1);
    kd_mqueue_write(q.get(), &d);
    kd_mqueue_read_periodic(q.get());
    EXPECT_EQ(drained.got, (std::vector<std::pair<unsigned, int>>{{1, 1}, {2, 99}}));

    // Unread blocks go with the queue.
    kd_mqueue_entry e = make_entry(3, 3);
    kd_mqueue_write(q.get(), &e);
    q.reset();
    g_drained = nullptr;
}

TEST(Mqueue, ReadHandsTheBlockToTheCallerAndNoReaderMeansNoDrain)
{
    Mqueue q(kd_mqueue_ctor(4, nullptr));
    ASSERT_TRUE(q);
    kd_mqueue_entry a = make_entry(8, 80);
    ASSERT_EQ(kd_mqueue_write(q.get(), &a), 0);
    kd_mqueue_read_periodic(q.get()); // no on_read: nothing happens
    kd_mqueue_entry out{};
    ASSERT_EQ(kd_mqueue_read(q.get(), &out), 0);
    EXPECT_EQ(out.type, 8u);
    EXPECT_EQ(*static_cast<int *>(out.data), 80);
    free(out.data);
    EXPECT_EQ(kd_mqueue_ctor(1, nullptr), nullptr);
    EXPECT_EQ(kd_mqueue_ctor(0, nullptr), nullptr);
    kd_mqueue_dtor(nullptr);
}

std::vector<std::vector<int>> *g_per_writer = nullptr;
void on_read_per_writer(kd_mqueue_entry *e) { (*g_per_writer)[e->type].push_back(*static_cast<int *>(e->data)); }

TEST(Mqueue, WritersOnSeveralThreadsWhileTheLoopDrains)
{
    constexpr unsigned kWriters = 4;
    constexpr int kEach = 20'000;
    std::vector<std::vector<int>> per_writer(kWriters);
    g_per_writer = &per_writer;
    Mqueue q(kd_mqueue_ctor(400, on_read_per_writer));
    ASSERT_TRUE(q);
    std::atomic<unsigned> finished{0};
    std::vector<std::thread> writers;
    for (unsigned w = 0; w < kWriters; ++w)
        writers.emplace_back([&, w] {
            for (int i = 0; i < kEach; ++i) {
                kd_mqueue_entry e = make_entry(w, i);
                while (kd_mqueue_write(q.get(), &e) != 0)
                    std::this_thread::yield();
            }
            ++finished;
        });
    while (finished.load() < kWriters)
        kd_mqueue_read_periodic(q.get());
    for (auto &t : writers)
        t.join();
    kd_mqueue_read_periodic(q.get());
    for (unsigned w = 0; w < kWriters; ++w) {
        ASSERT_EQ(per_writer[w].size(), size_t(kEach));
        for (int i = 0; i < kEach; ++i)
            ASSERT_EQ(per_writer[w][i], i) << "writer " << w;
    }
    g_per_writer = nullptr;
}

// ---------------------------------------------------------------- threads

TEST(RtThread, JoinWithALimitKeepsTheHandleOfARunningThread)
{
    std::atomic<bool> release{false};
    pthread_t t;
    ASSERT_EQ(pthread_create(
                  &t, nullptr,
                  [](void *arg) -> void * {
                      auto *r = static_cast<std::atomic<bool> *>(arg);
                      while (!r->load())
                          std::this_thread::sleep_for(1ms);
                      return nullptr;
                  },
                  &release),
              0);
    pthread_t handle = t;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(rt_thread_join(&handle, 100'000'000), -1);
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, 95ms);
    EXPECT_LT(waited, 2s);
    EXPECT_TRUE(pthread_equal(handle, t)) << "kept for a later try";

    release = true;
    EXPECT_EQ(rt_thread_join(&handle, 1'000'000'000), 0);
    EXPECT_EQ(handle, pthread_t(0));
}

TEST(RtThread, JoinEdgeCases)
{
    EXPECT_EQ(rt_thread_join(nullptr, 0), -1);
    pthread_t none = 0;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(rt_thread_join(&none, 100'000'000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 50ms);

    pthread_t t;
    ASSERT_EQ(pthread_create(&t, nullptr, [](void *) -> void * { return nullptr; }, nullptr), 0);
    EXPECT_EQ(rt_thread_join(&t, 0), 0) << "no limit";
    EXPECT_EQ(t, pthread_t(0));
}

struct SetupResult {
    char name[16];
    int policy;
    int priority;
};

SetupResult setup_in_thread(const char *name, int priority)
{
    SetupResult r{};
    std::thread th([&] {
        rt_thread_setup(name, priority);
        pthread_getname_np(pthread_self(), r.name, sizeof r.name);
        sched_param sp{};
        pthread_getschedparam(pthread_self(), &r.policy, &sp);
        r.priority = sp.sched_priority;
    });
    th.join();
    return r;
}

TEST(RtThread, SetupNamesTheThreadAndHonoursNoRt)
{
    ASSERT_STREQ(getenv("KD_NO_RT"), "1") << "set for every test";
    SetupResult r = setup_in_thread("SVM:ingress-xsb-long-name", 89);
    EXPECT_STREQ(r.name, "SVM:ingress-xsb") << "cut to the kernel's 15 characters";
    EXPECT_EQ(r.policy, SCHED_OTHER);
}

TEST(RtThread, SetupAppliesFifoOrLogsWhyNot)
{
    kdtest::LogCapture log;
    unsetenv("KD_NO_RT");
    SetupResult r = setup_in_thread("rt-test", 1);
    setenv("KD_NO_RT", "1", 1);
    EXPECT_STREQ(r.name, "rt-test");
    if (r.policy == SCHED_FIFO)
        EXPECT_EQ(r.priority, 1);
    else
        EXPECT_EQ(log.count("SCHED_FIFO priority 1 refused"), 1);
}

} // namespace
