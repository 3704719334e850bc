// The libev-bound pool and the worker service on top of it.
#include "evtp.h"

#include <kerrow/command.h>
#include <kerrow/plugin.h>
#include <kerrow/worker.h>

#include "frame_internal.h"

#include "test_support.h"

#include <ev.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Shared by the work functions of one test.
struct Board {
    std::mutex m;
    std::condition_variable cv;
    int running = 0, max_running = 0, finished = 0, done = 0;
    int finished_when_third_started = -1;
    bool release = false;
    bool done_off_loop = false;
    std::thread::id loop_thread = std::this_thread::get_id();

    // Blocks until `release` (or 5 s), counting concurrency.
    void work(bool third)
    {
        std::unique_lock lk(m);
        if (third)
            finished_when_third_started = finished;
        max_running = std::max(max_running, ++running);
        cv.notify_all();
        cv.wait_for(lk, 5s, [this] { return release; });
        --running;
        ++finished;
    }
    void wait_running(int n)
    {
        std::unique_lock lk(m);
        cv.wait_for(lk, 5s, [&] { return running >= n; });
    }
    void open()
    {
        std::lock_guard lk(m);
        release = true;
        cv.notify_all();
    }
    // Opens from another thread a little later, while the caller blocks.
    std::jthread open_after(std::chrono::milliseconds delay)
    {
        return std::jthread([this, delay] {
            std::this_thread::sleep_for(delay);
            open();
        });
    }
    void on_done()
    {
        std::lock_guard lk(m);
        done_off_loop |= std::this_thread::get_id() != loop_thread;
        ++done;
    }
};

struct Item {
    evtp_work_t work{};
    Board *board;
    bool third = false;
};

void item_work(evtp_work_t *w)
{
    auto *it = static_cast<Item *>(w->data);
    it->board->work(it->third);
}
void item_done(evtp_work_t *w) { static_cast<Item *>(w->data)->board->on_done(); }

struct PoolTest : ::testing::Test {
    struct ev_loop *loop = ev_loop_new(EVFLAG_AUTO);
    ev_timer guard; // fails the test instead of hanging when the loop is held
    bool guard_fired = false;
    Board board;
    std::vector<Item> items = std::vector<Item>(3);

    void SetUp() override
    {
        for (auto &it : items) {
            it.work.data = &it;
            it.board = &board;
        }
        ev_timer_init(&guard, [](struct ev_loop *l, ev_timer *t, int) {
            *static_cast<bool *>(t->data) = true;
            ev_break(l, EVBREAK_ALL);
        }, 10., 0.);
        guard.data = &guard_fired;
        ev_timer_start(loop, &guard);
        ev_unref(loop); // the guard alone does not keep the loop running
    }
    void TearDown() override
    {
        kd::evtp_set_spawn(nullptr);
        ev_ref(loop);
        ev_timer_stop(loop, &guard);
        ev_loop_destroy(loop);
    }
    // A pool of maxthreads threads with the first n items submitted.
    evtp_t *pool_with(int maxthreads, int n)
    {
        evtp_t *tp = evtp_create(loop, maxthreads);
        for (int i = 0; tp && i < n; ++i)
            evtp_submit(&items[i].work, tp, item_work, item_done);
        return tp;
    }
    // Runs the loop until nothing holds it.
    void run()
    {
        ev_run(loop, 0);
        EXPECT_FALSE(guard_fired) << "the loop was held";
    }
};

TEST_F(PoolTest, ThreeItemsOnTwoThreadsDoneOnTheLoop)
{
    evtp_t *tp = evtp_create(loop, 2);
    ASSERT_TRUE(tp);
    items[2].third = true;
    for (auto &it : items)
        EXPECT_EQ(evtp_submit(&it.work, tp, item_work, item_done), 1);
    board.wait_running(2);
    std::jthread opener = board.open_after(50ms);
    run(); // returns once all three done functions ran
    EXPECT_EQ(board.max_running, 2) << "two overlap, never three";
    EXPECT_GE(board.finished_when_third_started, 1) << "the third waits for a free thread";
    EXPECT_EQ(board.done, 3);
    EXPECT_FALSE(board.done_off_loop);
    EXPECT_EQ(evtp_destroy(tp, 0), 1);
}

TEST_F(PoolTest, DestroyWithoutForceRefusesWhileWorkIsQueued)
{
    evtp_t *tp = pool_with(1, 2);
    ASSERT_TRUE(tp);
    board.wait_running(1);
    EXPECT_EQ(evtp_destroy(tp, 0), -1);
    board.open();
    run();
    EXPECT_EQ(board.done, 2) << "the pool kept running";
    EXPECT_EQ(board.max_running, 1);
    EXPECT_EQ(evtp_destroy(tp, 0), 1);
}

TEST_F(PoolTest, ForcedDestroyWaitsForRunningWorkAndDropsTheRest)
{
    evtp_t *tp = pool_with(1, 2);
    ASSERT_TRUE(tp);
    board.wait_running(1);
    std::jthread opener = board.open_after(50ms);
    EXPECT_EQ(evtp_destroy(tp, 1), 1);
    EXPECT_EQ(board.finished, 1) << "the running item finished; the queued one never started";
    run(); // returns at once: abandoned items gave their loop references back
    EXPECT_EQ(board.done, 0);
}

int spawn_fails(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) { return EAGAIN; }

TEST_F(PoolTest, FailedThreadStart)
{
    evtp_t *tp = evtp_create(loop, 2);
    ASSERT_TRUE(tp);
    kd::evtp_set_spawn(spawn_fails);
    errno = 0;
    EXPECT_EQ(evtp_submit(&items[0].work, tp, item_work, item_done), -1) << "no thread at all";
    EXPECT_EQ(errno, EAGAIN);

    kd::evtp_set_spawn(nullptr);
    EXPECT_EQ(evtp_submit(&items[0].work, tp, item_work, item_done), 1);
    board.wait_running(1);
    kd::evtp_set_spawn(spawn_fails);
    EXPECT_EQ(evtp_submit(&items[1].work, tp, item_work, item_done), 0)
        << "queued for the existing thread";
    board.open();
    run();
    EXPECT_EQ(board.done, 2);
    EXPECT_EQ(board.max_running, 1);
    EXPECT_EQ(evtp_destroy(tp, 0), 1);
}

TEST_F(PoolTest, ShrinkingTheMaximum)
{
    evtp_t *tp = pool_with(2, 2);
    ASSERT_TRUE(tp);
    board.wait_running(2);
    board.open();
    run();
    ASSERT_EQ(board.done, 2);

    EXPECT_EQ(evtp_maxthreads(tp, 1), 1);
    board.release = false;
    board.max_running = 0;
    for (auto &it : items)
        evtp_submit(&it.work, tp, item_work, item_done);
    board.wait_running(1);
    std::this_thread::sleep_for(50ms);
    board.open();
    run();
    EXPECT_EQ(board.done, 5);
    EXPECT_EQ(board.max_running, 1);
    EXPECT_EQ(evtp_destroy(tp, 0), 1);
}

// ---------------------------------------------------------------- the service

struct WorkerTest : kdtest::FrameTest {
    static Board *board;
};
Board *WorkerTest::board = nullptr;

struct TaskData {
    bool third;
    int *started_seen;
};

void task_main(kd_worker_task *t)
{
    auto *d = static_cast<TaskData *>(kd_worker_get_task_data(t));
    EXPECT_EQ(t->started, 1);
    WorkerTest::board->work(d->third);
}

void task_done(kd_worker_task *t)
{
    auto *d = static_cast<TaskData *>(kd_worker_get_task_data(t));
    ++*d->started_seen;
    WorkerTest::board->on_done();
    if (WorkerTest::board->done == 3)
        kd_shutdown();
}

TEST_F(WorkerTest, TasksRunOnTwoThreadsAndFinishOnTheLoop)
{
    Board b;
    board = &b;
    int seen = 0;
    TaskData data[3] = {{false, &seen}, {false, &seen}, {true, &seen}};
    for (auto &d : data)
        ASSERT_NE(kd_worker_create_task(nullptr, task_main, &d, task_done), nullptr);
    // A task without a done function is still freed (ASan would see a leak).
    ASSERT_NE(kd_worker_create_task(nullptr, [](kd_worker_task *) {}, nullptr, nullptr), nullptr);
    b.wait_running(2);
    std::jthread opener = b.open_after(50ms);
    run_for(10);
    EXPECT_EQ(b.done, 3);
    EXPECT_EQ(seen, 3);
    EXPECT_EQ(b.max_running, 2);
    EXPECT_GE(b.finished_when_third_started, 1);
    EXPECT_FALSE(b.done_off_loop);
    board = nullptr;
}

// Programs run from pool threads while the loop turns: each run keeps its
// own exit status (the loop must not reap the runner's children).
TEST_F(WorkerTest, ProgramsRunOnWorkersKeepTheirExitStatus)
{
    const std::string dir = root_ / "cmd";
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/seven") << "#!/bin/sh\nexit 7\n";
    std::filesystem::permissions(dir + "/seven", std::filesystem::perms::owner_all);
    setenv("KD_CMD_DIR", dir.c_str(), 1);
    struct Run {
        int rc = 0;
        kd::command_end end = kd::command_end::not_started;
    };
    static std::vector<Run> runs;
    static size_t finished;
    runs.assign(40, Run{});
    finished = 0;
    for (Run &r : runs)
        ASSERT_NE(kd_worker_create_task(nullptr, [](kd_worker_task *t) {
            auto *run = static_cast<Run *>(kd_worker_get_task_data(t));
            run->rc = kd::run_command({"seven"}, {.quiet = true, .end = &run->end});
        }, &r, [](kd_worker_task *) {
            if (++finished == runs.size())
                kd_shutdown();
        }), nullptr);
    run_for(60);
    unsetenv("KD_CMD_DIR");
    ASSERT_EQ(finished, runs.size());
    for (const Run &r : runs) {
        EXPECT_EQ(r.rc, 7);
        EXPECT_EQ(r.end, kd::command_end::exited);
    }
}

TEST_F(WorkerTest, FailedSubmissionAnswersNull)
{
    kd::evtp_set_spawn(spawn_fails);
    EXPECT_EQ(kd_worker_create_task(nullptr, [](kd_worker_task *) {}, nullptr, nullptr), nullptr);
    kd::evtp_set_spawn(nullptr);
    EXPECT_EQ(kd_worker_create_task(nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(kd_worker_get_task_data(nullptr), nullptr);
}

TEST_F(WorkerTest, FiniAbandonsOutstandingTasks)
{
    Board b;
    board = &b;
    int seen = 0;
    TaskData data[2] = {{false, &seen}, {false, &seen}};
    for (auto &d : data)
        ASSERT_NE(kd_worker_create_task(nullptr, task_main, &d, task_done), nullptr);
    b.wait_running(2);
    b.open();
    kd_frame_fini(); // waits for the main functions; their done functions never run
    EXPECT_EQ(seen, 0);
    EXPECT_EQ(kd_worker_create_task(nullptr, task_main, &data[0], task_done), nullptr);
    board = nullptr;
}

// Unloading a plug-in: its queued task never starts, its running ones are
// waited for, none of its done functions runs; other owners' tasks go on.
TEST_F(WorkerTest, ReleaseOwnerLeavesNoCodeOfThePluginToRun)
{
    Board b;
    board = &b;
    plugin_load_info plugin{};
    int seen = 0, other_done = 0;
    TaskData data[3] = {{false, &seen}, {false, &seen}, {true, &seen}};
    for (auto &d : data)
        ASSERT_NE(kd_worker_create_task(&plugin, task_main, &d, task_done), nullptr);
    b.wait_running(2);
    std::jthread opener = b.open_after(50ms);
    kd_worker_release_owner(&plugin);
    EXPECT_EQ(b.finished, 2) << "returns once the running ones are done";
    EXPECT_EQ(b.finished_when_third_started, -1) << "the queued one never starts";

    ASSERT_NE(kd_worker_create_task(
                  nullptr, [](kd_worker_task *) {}, &other_done,
                  [](kd_worker_task *t) {
                      ++*static_cast<int *>(kd_worker_get_task_data(t));
                      kd_shutdown();
                  }),
              nullptr);
    run_for(5);
    EXPECT_EQ(other_done, 1);
    EXPECT_EQ(seen, 0);
    EXPECT_EQ(b.done, 0);
    board = nullptr;
}

TEST(WorkerService, NullBeforeInit)
{
    EXPECT_EQ(kd_worker_create_task(nullptr, [](kd_worker_task *) {}, nullptr, nullptr), nullptr);
}

} // namespace
