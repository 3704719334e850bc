#include "test_support.h"
#include "frame_internal.h"

#include <kerrow/cuvent.h>
#include <kerrow/plugin.h>

#include <ev.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> g_fired;
void fire(void *ctx) { g_fired.push_back(static_cast<const char *>(ctx)); }

class LoopTest : public kdtest::FrameTest {
protected:
    void SetUp() override
    {
        FrameTest::SetUp();
        g_fired.clear();
    }
};

// At once, then never sooner than a period after the last firing, by the
// loop's own clock (a loaded machine may only make it later); the one-shot
// due half a period after the start comes after the first firing.
TEST_F(LoopTest, RepeatingTimerFiresAtOnceThenEveryPeriod)
{
    static std::vector<double> at;
    at.clear();
    ASSERT_EQ(kd_frame_timeout_register("rep", [](void *) {
        g_fired.push_back("rep");
        at.push_back(ev_now(kd_frame_get_loop()));
        if (at.size() == 4)
            kd_shutdown();
    }, nullptr, 0.1, 1, nullptr), 0);
    ASSERT_EQ(kd_frame_timeout_register("half", fire, (void *)"half", 0.05, 0, nullptr), 0);
    run_for(60); // ends a hung loop only
    ASSERT_EQ(at.size(), 4u);
    ASSERT_GE(g_fired.size(), 2u);
    EXPECT_EQ(g_fired[0], "rep");
    for (size_t i = 1; i < at.size(); ++i)
        EXPECT_GE(at[i] - at[i - 1], 0.1 - 1e-3) << i; // libev re-reads the wall clock's offset
    EXPECT_EQ(kd_frame_stop_watcher("rep", nullptr), 0);
}

TEST_F(LoopTest, OneShotFiresOnceAndIsThenGone)
{
    ASSERT_EQ(kd_frame_timeout_register("once", fire, (void *)"once", 0.05, 0, nullptr), 0);
    run_for(0.2);
    EXPECT_EQ(g_fired, (std::vector<std::string>{"once"}));
    EXPECT_EQ(kd_frame_stop_watcher("once", nullptr), -1);
}

TEST_F(LoopTest, StopByNameRemovesTheOlderOfTwo)
{
    kd_frame_timeout_register("same", fire, (void *)"old", 0.05, 0, nullptr);
    kd_frame_timeout_register("same", fire, (void *)"new", 0.05, 0, nullptr);
    EXPECT_EQ(kd_frame_stop_watcher("same", nullptr), 0);
    run_for(0.2);
    EXPECT_EQ(g_fired, (std::vector<std::string>{"new"}));
}

TEST_F(LoopTest, CallbackThatStopsItsOwnWatcherIsNotRearmed)
{
    struct Case {
        const char *what;
        int repeat;
    } cases[] = {{"repeating", 1}, {"one-shot", 0}};
    for (const auto &c : cases) {
        static int runs;
        runs = 0;
        kd_frame_timeout_register("self", [](void *) {
            ++runs;
            EXPECT_EQ(kd_frame_stop_watcher("self", nullptr), 0);
        }, nullptr, 0.02, c.repeat, nullptr);
        run_for(0.15);
        EXPECT_EQ(runs, 1) << c.what;
        EXPECT_EQ(kd_frame_stop_watcher("self", nullptr), -1) << c.what;
    }
}

TEST_F(LoopTest, CallbackMayReleaseItsWholeList)
{
    static plugin_load_info pli{};
    pli.name = const_cast<char *>("selfish");
    pli.watchers = kd_frame_watchlist_new();
    static int runs = 0;
    runs = 0;
    kd_frame_timeout_register("a", [](void *) {
        ++runs;
        kd_frame_release_watchers(pli.watchers); // as an unload from inside a callback
        pli.watchers = nullptr;
    }, nullptr, 0.02, 1, &pli);
    kd_frame_timeout_register("b", fire, (void *)"b", 0.5, 0, &pli);
    run_for(0.6);
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(g_fired.empty());
}

TEST_F(LoopTest, IoWatcherCallsWhileReadableAndNeverClosesTheFd)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    static int rd;
    rd = fds[0];
    ASSERT_EQ(kd_frame_start_custom_watcher("pipe", fds[0], [](void *) {
        char c;
        if (read(rd, &c, 1) == 1)
            g_fired.push_back(std::string(1, c));
        if (c == 'z')
            kd_shutdown();
    }, nullptr, nullptr), 0);
    ASSERT_EQ(write(fds[1], "xyz", 3), 3);
    run_for(2.0);
    EXPECT_EQ(g_fired, (std::vector<std::string>{"x", "y", "z"}));
    EXPECT_EQ(kd_frame_stop_watcher("pipe", nullptr), 0);
    EXPECT_EQ(fcntl(fds[0], F_GETFD), 0); // still open
    close(fds[0]);
    close(fds[1]);
}

TEST_F(LoopTest, StatWatcherSeesChangesAndRemoval)
{
    std::string path = root_ / "watched";
    static std::vector<nlink_t> links;
    links.clear();
    {
        std::string copy = path; // the watcher keeps its own copy of the path
        ASSERT_EQ(kd_frame_start_stat_watcher(nullptr, "st", copy.c_str(),
                                              [](void *, const char *, const struct stat *st) {
                                                  links.push_back(st->st_nlink);
                                                  if (st->st_nlink == 0 && links.size() > 1)
                                                      kd_shutdown();
                                              }, nullptr), 0);
    }
    kd_frame_timeout_register("mk", [](void *p) { std::ofstream(static_cast<std::string *>(p)->c_str()) << "x"; },
                              &path, 0.05, 0, nullptr);
    kd_frame_timeout_register("rm", [](void *p) { unlink(static_cast<std::string *>(p)->c_str()); },
                              &path, 1.2, 0, nullptr);
    run_for(6.0);
    ASSERT_GE(links.size(), 2u);
    EXPECT_GT(links.front(), 0u);
    EXPECT_EQ(links.back(), 0u);
}

TEST_F(LoopTest, DeferredCallsRunAfterTheNextPollAndNestOnePassLater)
{
    static int order = 0;
    static int outer_at = -1, inner_at = -1;
    order = 0;
    kd_frame_idle_register(nullptr, [](void *) {
        outer_at = ++order;
        kd_frame_idle_register(nullptr, [](void *) {
            inner_at = ++order;
            kd_shutdown();
        });
    });
    EXPECT_EQ(order, 0); // nothing runs at registration
    run_for(5.0);
    EXPECT_EQ(outer_at, 1);
    EXPECT_EQ(inner_at, 2);
}

TEST(LoopLifecycle, StartersBeforeInitAnswerOne)
{
    kdtest::LogCapture log;
    EXPECT_EQ(kd_frame_timeout_register("t", fire, nullptr, 1, 0, nullptr), 1);
    EXPECT_EQ(kd_frame_start_custom_watcher("io", 0, fire, nullptr, nullptr), 1);
    EXPECT_EQ(kd_frame_start_stat_watcher(nullptr, "st", "/", nullptr, nullptr), 1);
    EXPECT_EQ(kd_frame_stop_watcher("t", nullptr), -1);
    kd_frame_release_watchers(nullptr);
    EXPECT_EQ(log.count("Event loop not initialized"), 1);
    EXPECT_EQ(log.count("Even loop not initialized"), 2);
    EXPECT_EQ(log.count("Watcher release called before init"), 1);
    EXPECT_EQ(log.count("Attempting to release NULL watchlist"), 1);
}

// The services come up in an order where each may use those before it, and
// go down in one where each can still emit and unregister while it stops.
TEST(LoopLifecycle, ServicesStartAndStopInOrderAndFrameRunComesBeforeTheLoop)
{
    kdtest::TempRoot root;
    kdtest::LogCapture log;
    auto steps = [&log](const std::string &what) {
        std::vector<std::string> out;
        for (const auto &l : log.lines())
            if (l.priority == KD_LOG_DEBUG && l.text.rfind("[frame] " + what + " ", 0) == 0)
                out.push_back(l.text.substr(8 + what.size() + 1, l.text.size() - 8 - what.size() - 2));
        return out;
    };
    kd_frame_init();
    EXPECT_EQ(steps("init"), (std::vector<std::string>{"loop", "ref", "cuvents", "param", "alarm", "carrier",
                                                       "remote", "plugin", "store", "worker", "system", "cfg",
                                                       "settings_profile"}));

    static std::vector<std::string> *lines_at_frame_run;
    std::vector<std::string> seen;
    lines_at_frame_run = &seen;
    static kdtest::LogCapture *capture;
    capture = &log;
    kd_cuvent_register_cb(nullptr, "frame run", [](cuvent_wrapper *) {
        for (const auto &l : capture->lines())
            lines_at_frame_run->push_back(l.text);
        kd_frame_idle_register(nullptr, [](void *) { kd_shutdown(); });
    }, nullptr, CUVFLT_NONE);
    kd_frame_run();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "[frame] Starting simple timer and stdin loop\n"), 0);
    EXPECT_EQ(log.count("[frame] Starting simple timer and stdin loop\n"), 1);
    EXPECT_EQ(log.count("[frame] Loop returned\n"), 1);

    log.clear();
    kd_frame_fini();
    EXPECT_EQ(steps("fini"), (std::vector<std::string>{"carrier_release", "cfg", "plugin", "system", "worker",
                                                       "remote", "param", "carrier", "alarm", "store", "cuvents",
                                                       "ref", "loop"}));
    std::vector<std::string> notices;
    for (const auto &l : log.lines())
        if (l.priority == KD_LOG_NOTICE && l.text.find("Shutdown") != std::string::npos)
            notices.push_back(l.text);
    EXPECT_EQ(notices, (std::vector<std::string>{"[frame] Shutdown Initiated\n", "[frame] Plugin Shutdown Initiated\n",
                                                 "[frame] Plugin Shutdown Complete\n"}));
}

// ---- the alive tick ----

struct Calls {
    int tz = 0, ntp = 0, restart = 0;
    bool master = true;
    int tz_result = -1;
};
Calls g_calls;
const kd::AliveHooks kHooks{
    [] { return g_calls.master; },
    [] { ++g_calls.tz; return g_calls.tz_result; },
    [] { ++g_calls.ntp; },
    [] { ++g_calls.restart; },
};

TEST(AliveTick, SlaveNeverAsksForTimeOrNtp)
{
    kdtest::LogCapture log;
    g_calls = {};
    g_calls.master = false;
    kd::AliveState st;
    int restart = 0;
    for (int i = 0; i < 90; ++i)
        kd::alive_tick(st, restart, kHooks);
    EXPECT_EQ(g_calls.tz, 0);
    EXPECT_EQ(g_calls.ntp, 0);
}

TEST(AliveTick, MasterAsksNtpEvery30TicksAndTimeZoneUntilItSucceeds)
{
    kdtest::LogCapture log;
    g_calls = {};
    kd::AliveState st;
    int restart = 0;
    for (int i = 0; i < 29; ++i)
        kd::alive_tick(st, restart, kHooks);
    EXPECT_EQ(g_calls.ntp, 0);
    EXPECT_EQ(g_calls.tz, 29); // tried on every tick while it fails
    kd::alive_tick(st, restart, kHooks);
    EXPECT_EQ(g_calls.ntp, 1); // the 30th tick

    g_calls.tz_result = 0; // the time-date service answers
    kd::alive_tick(st, restart, kHooks);
    EXPECT_EQ(g_calls.ntp, 2); // one more at once
    EXPECT_EQ(log.count("bus cfgs initialized"), 1);
    int tz_before = g_calls.tz;
    for (int i = 0; i < 29; ++i)
        kd::alive_tick(st, restart, kHooks);
    EXPECT_EQ(g_calls.tz, tz_before); // once per run
    EXPECT_EQ(g_calls.ntp, 3);        // tick 60
    EXPECT_EQ(log.count("bus cfgs initialized"), 1);
}

TEST(AliveTick, NetworkRestartCountdown)
{
    kdtest::LogCapture log;
    struct Case {
        const char *what;
        std::vector<int> set_before_tick; // value written before each tick, -1 = leave
        int restarts;
    } cases[] = {
        {"set to 2: one restart on the second tick", {2, -1, -1, -1}, 1},
        {"set again before it runs out postpones", {2, 2, -1, -1}, 1},
        {"nothing pending", {-1, -1, -1}, 0},
    };
    for (const auto &c : cases) {
        g_calls = {};
        g_calls.master = false;
        kd::AliveState st;
        int restart = 0;
        int fired_at = -1;
        for (size_t i = 0; i < c.set_before_tick.size(); ++i) {
            if (c.set_before_tick[i] >= 0)
                restart = c.set_before_tick[i];
            int before = g_calls.restart;
            kd::alive_tick(st, restart, kHooks);
            if (g_calls.restart != before)
                fired_at = static_cast<int>(i);
        }
        EXPECT_EQ(g_calls.restart, c.restarts) << c.what;
        if (c.restarts) {
            EXPECT_EQ(fired_at, static_cast<int>(c.set_before_tick[1] == 2 ? 2 : 1)) << c.what;
        }
    }
}

} // namespace
