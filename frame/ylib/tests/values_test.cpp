// Datasets, timers and the stat helper.
#include <kerrow/dataset.h>

#include "test_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

struct SetDel {
    void operator()(kd_dataset *s) const { kd_dataset_dtor(s); }
};
using Set = std::unique_ptr<kd_dataset, SetDel>;

std::vector<int> values(kd_dataset *s)
{
    std::vector<int> v;
    int x;
    for (size_t i = 0; kd_dataset_get_num(s, i, &x) == 0; ++i)
        v.push_back(x);
    return v;
}

// Slots past nums_len read 0 whatever happened before.
void expect_tail_zero(kd_dataset *s)
{
    for (size_t i = s->nums_len; i < s->nums_size; ++i)
        EXPECT_EQ(s->nums[i], 0) << "slot " << i;
}

TEST(Dataset, InsertKeepsOrderAndRefusesDuplicatesAndOverflow)
{
    Set s(kd_dataset_ctor(3, 0));
    ASSERT_TRUE(s);
    struct Step {
        int v, rc;
    };
    for (Step st : {Step{5, 0}, {1, 0}, {5, -1}, {3, 0}, {9, -1}})
        EXPECT_EQ(kd_dataset_insert(s.get(), st.v), st.rc) << st.v;
    EXPECT_EQ(values(s.get()), (std::vector<int>{1, 3, 5}));
    EXPECT_EQ(kd_dataset_get_length(s.get()), 3u);
    EXPECT_EQ(kd_dataset_get_size(s.get()), 3u);
    int out;
    EXPECT_EQ(kd_dataset_get_num(s.get(), 3, &out), -1);
    EXPECT_EQ(kd_dataset_get_num(s.get(), 0, nullptr), -1);

    for (int v : {1, 3, 5})
        EXPECT_EQ(kd_dataset_exists(s.get(), v), 1);
    for (int v : {0, 2, 4, 6, INT_MIN, INT_MAX})
        EXPECT_EQ(kd_dataset_exists(s.get(), v), 0);

    EXPECT_EQ(kd_dataset_remove(s.get(), 3), 0);
    EXPECT_EQ(kd_dataset_remove(s.get(), 3), -1);
    EXPECT_EQ(values(s.get()), (std::vector<int>{1, 5}));
    expect_tail_zero(s.get());
    EXPECT_EQ(kd_dataset_clear(s.get()), 0);
    EXPECT_EQ(kd_dataset_get_length(s.get()), 0u);
    expect_tail_zero(s.get());
}

TEST(Dataset, DuplicatesAndExtremeValues)
{
    Set s(kd_dataset_ctor(8, 1));
    ASSERT_TRUE(s);
    for (int v : {7, INT_MAX, -3, 7, INT_MIN, 0})
        ASSERT_EQ(kd_dataset_insert(s.get(), v), 0);
    EXPECT_EQ(values(s.get()), (std::vector<int>{INT_MIN, -3, 0, 7, 7, INT_MAX}));
    EXPECT_EQ(kd_dataset_remove(s.get(), 7), 0);
    EXPECT_EQ(values(s.get()), (std::vector<int>{INT_MIN, -3, 0, 7, INT_MAX}));
    // A held INT_MAX survives removing something else.
    EXPECT_EQ(kd_dataset_remove(s.get(), -3), 0);
    EXPECT_EQ(values(s.get()), (std::vector<int>{INT_MIN, 0, 7, INT_MAX}));
    expect_tail_zero(s.get());
}

// The same results as appending and re-sorting, for a long random run.
TEST(Dataset, MatchesAReferenceSortedVector)
{
    Set s(kd_dataset_ctor(300, 1));
    ASSERT_TRUE(s);
    std::vector<int> ref;
    unsigned seed = 12345;
    auto rnd = [&] { return int((seed = seed * 1103515245 + 12345) >> 16) % 50; };
    for (int i = 0; i < 5000; ++i) {
        int v = rnd();
        if (rnd() % 3 == 0) {
            auto it = std::find(ref.begin(), ref.end(), v);
            EXPECT_EQ(kd_dataset_remove(s.get(), v), it == ref.end() ? -1 : 0);
            if (it != ref.end())
                ref.erase(it);
        } else {
            bool room = ref.size() < 300;
            EXPECT_EQ(kd_dataset_insert(s.get(), v), room ? 0 : -1);
            if (room) {
                ref.push_back(v);
                std::sort(ref.begin(), ref.end());
            }
        }
    }
    EXPECT_EQ(values(s.get()), ref);
    expect_tail_zero(s.get());
}

TEST(Dataset, InsertAll)
{
    Set a(kd_dataset_ctor(4, 0)), b(kd_dataset_ctor(3, 0));
    for (int v : {4, 2, 8})
        kd_dataset_insert(a.get(), v);
    kd_dataset_insert(b.get(), 2);
    EXPECT_EQ(kd_dataset_insert_all(b.get(), a.get()), 0);
    EXPECT_EQ(values(b.get()), (std::vector<int>{2, 4, 8})) << "duplicate 2 ignored, full at 3";

    Set d(kd_dataset_ctor(8, 1));
    for (int v : {1, 5})
        kd_dataset_insert(d.get(), v);
    kd_dataset_insert_all(d.get(), d.get());
    EXPECT_EQ(values(d.get()), (std::vector<int>{1, 1, 5, 5}));
}

TEST(Dataset, FromString)
{
    struct Case {
        const char *text;
        size_t len;
        size_t dups;
        std::vector<int> held_before;
        std::vector<int> want;
    };
    const Case cases[] = {
        {"10,20;x;30 30", 100, 0, {}, {10, 20, 30}},
        {"10,20;x;30 30", 100, 1, {}, {10, 20, 30, 30}},
        {"  ,,1__2::3;; ", 100, 0, {}, {1, 2, 3}},
        {"-5 +6 - + 7x 0x10 1.5 08", 100, 0, {}, {-5, 6, 8}},
        {"+-5 -+6 ++7 --8 +9", 100, 0, {}, {9}}, // one sign at most
        {"2147483647 2147483648 -2147483648 -2147483649", 100, 0, {}, {INT_MIN, INT_MAX}},
        {"\t4 5\n", 100, 0, {}, {}}, // tabs and new lines are not separators
        {"123,456", 5, 0, {4}, {4, 123}}, // reads "123,4"; the set is not emptied
        {"", 10, 0, {4}, {4}},
    };
    for (const Case &c : cases) {
        Set s(kd_dataset_ctor(10, c.dups));
        for (int v : c.held_before)
            kd_dataset_insert(s.get(), v);
        EXPECT_EQ(kd_dataset_from_string(s.get(), c.text, c.len), 0);
        EXPECT_EQ(values(s.get()), c.want) << '"' << c.text << '"';
    }
    Set s(kd_dataset_ctor(2, 0));
    kd_dataset_from_string(s.get(), "1 2 3", 5);
    EXPECT_EQ(values(s.get()), (std::vector<int>{1, 2})) << "full: the rest is ignored";
    EXPECT_EQ(kd_dataset_from_string(s.get(), nullptr, 5), -1);
}

TEST(Dataset, ToStringKeepsWholeValuesOnly)
{
    Set s(kd_dataset_ctor(4, 0));
    for (int v : {300, 1, 20})
        kd_dataset_insert(s.get(), v);
    struct Case {
        size_t size;
        std::string text;
    };
    for (const Case &c : {Case{8, "1,20"}, {9, "1,20,300"}, {100, "1,20,300"}, {5, "1,20"},
                          {4, "1"}, {2, "1"}, {1, ""}}) {
        char buf[101];
        memset(buf, 'Z', sizeof buf);
        int n = kd_dataset_to_string(s.get(), buf, c.size);
        EXPECT_EQ(n, int(c.text.size())) << "size " << c.size;
        EXPECT_EQ(std::string(buf, strnlen(buf, c.size)), c.text) << "size " << c.size;
        for (size_t i = size_t(n); i < c.size; ++i)
            ASSERT_EQ(buf[i], 0) << "zero-filled, size " << c.size;
        EXPECT_EQ(buf[c.size], 'Z') << "nothing past the buffer";
    }
    Set big(kd_dataset_ctor(1, 0));
    kd_dataset_insert(big.get(), -2147483647);
    char buf[8];
    EXPECT_EQ(kd_dataset_to_string(big.get(), buf, sizeof buf), 0) << "first value does not fit";
    Set empty(kd_dataset_ctor(1, 0));
    EXPECT_EQ(kd_dataset_to_string(empty.get(), buf, sizeof buf), 0);
}

TEST(Dataset, NullAndZeroSize)
{
    EXPECT_EQ(kd_dataset_ctor(0, 0), nullptr);
    EXPECT_EQ(kd_dataset_dtor(nullptr), -1);
    EXPECT_EQ(kd_dataset_insert(nullptr, 1), -1);
    EXPECT_EQ(kd_dataset_exists(nullptr, 1), 0);
}

// ---------------------------------------------------------------- timer

// The timer's clock read here: its intervals lie within the time that
// really passed around them (a loaded machine only makes them longer).
uint64_t raw_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    return uint64_t(ts.tv_sec) * 1'000'000'000u + uint64_t(ts.tv_nsec);
}

TEST(Timer, RestartNsMeasuresEachInterval)
{
    kd_timer *t = kd_timer_ctor();
    ASSERT_TRUE(t);
    const uint64_t before = raw_ns();
    kd_timer_restart_ns(t);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const uint64_t mid = raw_ns();
    uint64_t ns = kd_timer_restart_ns(t);
    const uint64_t after = raw_ns();
    EXPECT_GE(ns, 10'000'000u);
    EXPECT_LE(ns, after - before);
    // The next interval starts at the reading just taken.
    EXPECT_EQ(t->prev.tv_sec, t->curr.tv_sec);
    EXPECT_EQ(t->prev.tv_nsec, t->curr.tv_nsec);
    EXPECT_LE(kd_timer_get_elapsed_ns(t), raw_ns() - mid);

    // get_elapsed_ns alone does not start a new interval.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    uint64_t a = kd_timer_get_elapsed_ns(t);
    uint64_t b = kd_timer_get_elapsed_ns(t);
    EXPECT_GE(a, 5'000'000u);
    EXPECT_GE(b, a);
    kd_timer_lap(t);
    EXPECT_LT(kd_timer_get_elapsed_ns(t), a);
    kd_timer_dtor(t);
}

TEST(Timer, ElapsedFromTimespecOnEachClock)
{
    struct Case {
        clockid_t clock;
        uint64_t (*fn)(timespec);
    };
    for (Case c : {Case{CLOCK_MONOTONIC_RAW, kd_timer_get_elapsed_ns_from_timespec},
                   Case{CLOCK_REALTIME, kd_timer_get_elapsed_ns_from_real}}) {
        timespec ts;
        clock_gettime(c.clock, &ts);
        ts.tv_sec -= 2;
        uint64_t ns = c.fn(ts);
        EXPECT_GE(ns, 2'000'000'000u);
        EXPECT_LT(ns, 3'000'000'000u);
        ts.tv_sec += 10;
        EXPECT_EQ(c.fn(ts), 0u) << "a stamp in the future";
    }
}

// ---------------------------------------------------------------- stat helper

TEST(StatHelper, MinMaxAverageAndCapacity)
{
    stat_helper *h = stat_helper_ctor(2);
    ASSERT_TRUE(h);
    EXPECT_EQ(stat_helper_get_average(h), UINT_MAX);
    EXPECT_EQ(stat_helper_get_min(h), UINT_MAX);
    EXPECT_EQ(stat_helper_get_max(h), 0u);
    EXPECT_EQ(stat_helper_record(h, 4), 0);
    EXPECT_EQ(stat_helper_record(h, 7), 0);
    EXPECT_EQ(stat_helper_record(h, 1), -1) << "full";
    EXPECT_EQ(stat_helper_get_count(h), 2u);
    EXPECT_EQ(stat_helper_get_min(h), 4u);
    EXPECT_EQ(stat_helper_get_max(h), 7u);
    EXPECT_EQ(stat_helper_get_average(h), 5u) << "rounded down";
    EXPECT_EQ(stat_helper_clear(h), 0);
    EXPECT_EQ(stat_helper_get_count(h), 0u);
    EXPECT_EQ(stat_helper_get_min(h), UINT_MAX);
    EXPECT_EQ(stat_helper_get_max(h), 0u);
    EXPECT_EQ(stat_helper_record(h, 9), 0);
    EXPECT_EQ(stat_helper_get_average(h), 9u);
    stat_helper_dtor(h);
    EXPECT_EQ(stat_helper_ctor(0), nullptr);
    stat_helper_dtor(nullptr);
}

TEST(StatHelper, AverageDoesNotWrapAt32Bits)
{
    stat_helper *h = stat_helper_ctor(4);
    for (unsigned v : {4000000000u, 4000000000u, 4000000001u, 4000000003u})
        stat_helper_record(h, v);
    EXPECT_EQ(stat_helper_get_average(h), 4000000001u);
    stat_helper_dtor(h);
}

} // namespace
