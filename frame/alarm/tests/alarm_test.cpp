// Alarm registration, reports from the loop and from other threads, the
// "Active Alarms" table and the alarm events.
#include "alarm_internal.h"

#include <kerrow/alarm.h>
#include <kerrow/param.h>

#include "test_support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Heard {
    std::string label;
    alarm_state state;
};

struct AlarmTest : kdtest::FrameTest {
    std::vector<Heard> heard;

    void listen(const char *label)
    {
        ASSERT_EQ(kd_alarm_listener(label, nullptr, &AlarmTest::on_alarm, this), 0);
    }
    static void on_alarm(cuvent_wrapper *w)
    {
        auto *a = static_cast<kd_alarm *>(w->emit_ctx);
        static_cast<AlarmTest *>(w->cb_ctx)->heard.push_back({a->label, a->state});
    }
    static std::string value(const std::string &route)
    {
        char *text = kd_param_get_value_text(kd_param_get_by_route(route.c_str()));
        std::string v = text ? text : "(none)";
        free(text);
        return v;
    }
    // Labels of the live rows of "Active Alarms", in table order.
    static std::vector<std::string> active_rows()
    {
        std::vector<std::string> rows;
        param_context *t = kd_param_get_by_route("alarms/active_alarms");
        size_t n = kd_param_list_count(t);
        for (size_t i = 0; t && i < n; ++i) {
            param_context *row = kd_param_list_index(t, int(i));
            if (kd_param_get_type(row) != PARAMTYPE_NONE)
                rows.push_back(kd_param_get_label(row));
        }
        return rows;
    }
};

TEST_F(AlarmTest, TablesAndStartNotices)
{
    EXPECT_EQ(log_.count("[frame] ALARM_TEST_LOAD     0"), 1);
    EXPECT_EQ(log_.count("[frame] ALARM_KEEP_HISTORY  0"), 1);
    param_context *list = kd_param_get_by_route("alarms");
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(kd_param_get_label(list), "Alarms");
    EXPECT_EQ(kd_param_get_type(list), PARAMTYPE_LIST);
    for (const char *route : {"alarms/alarm_history", "alarms/active_alarms"}) {
        param_context *t = kd_param_get_by_route(route);
        ASSERT_NE(t, nullptr) << route;
        EXPECT_EQ(kd_param_get_type(t), PARAMTYPE_TABLE);
        EXPECT_EQ(kd_param_list_count(t), 0u);
    }
}

TEST_F(AlarmTest, RegistrationRules)
{
    EXPECT_EQ(kd_alarm_register("Input Loss", "No signal on the input"), 0);
    EXPECT_EQ(kd_alarm_register("Input Loss", "Second description"), 0);
    EXPECT_EQ(kd_alarm_register(nullptr, "d"), -1);
    EXPECT_EQ(log_.count("Attempting to register alarm with NULL label."), 1);
    EXPECT_EQ(kd_alarm_register("x", nullptr), -1);
    EXPECT_EQ(log_.count("Attempting to register alarm with NULL description."), 1);

    std::string longest(63, 'L'), too_long(64, 'L');
    EXPECT_EQ(kd_alarm_register(longest.c_str(), "fits"), 0);
    EXPECT_EQ(kd_alarm_register(too_long.c_str(), "refused"), -1);
    EXPECT_EQ(kd_alarm_detected_in_worker_thread(too_long.c_str(), ALARM_ACTIVE), -1);
    std::string long_desc(600, 'd');
    EXPECT_EQ(kd_alarm_register("Long Description", long_desc.c_str()), 0);
    EXPECT_TRUE(active_rows().empty()) << "registration makes no row";

    kd_alarm_detected("Input Loss", ALARM_ACTIVE);
    EXPECT_EQ(value("alarms/active_alarms/input_loss/description"), "No signal on the input");
    kd_alarm_detected("Long Description", ALARM_ACTIVE);
    EXPECT_EQ(value("alarms/active_alarms/long_description/description"), long_desc.substr(0, 511));
}

TEST_F(AlarmTest, ChangesAddAndRemoveRowsOnceEach)
{
    kd_alarm_register("Input Loss", "No signal");
    listen("Input Loss");
    EXPECT_EQ(kd_alarm_listener("Input Loss", nullptr, nullptr, nullptr), -1);

    kd_alarm_detected("Input Loss", ALARM_INACTIVE); // already inactive
    EXPECT_TRUE(heard.empty());
    EXPECT_EQ(kd::alarm_history_size(), 0u);
    EXPECT_EQ(log_.count("Failed to locate"), 0);

    time_t before = time(nullptr);
    kd_alarm_detected("Input Loss", ALARM_ACTIVE);
    kd_alarm_detected("Input Loss", ALARM_ACTIVE);
    EXPECT_EQ(active_rows(), std::vector<std::string>{"Input Loss"});
    EXPECT_EQ(kd::alarm_history_size(), 1u);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].state, ALARM_ACTIVE);

    EXPECT_EQ(value("alarms/active_alarms/input_loss/name"), "Input Loss");
    EXPECT_EQ(value("alarms/active_alarms/input_loss/description"), "No signal");
    std::string when = value("alarms/active_alarms/input_loss/time");
    // "%m-%d-%Y %T": 9 is any digit here.
    std::string shape = when;
    for (char &c : shape)
        c = std::isdigit(static_cast<unsigned char>(c)) ? '9' : c;
    EXPECT_EQ(shape, "99-99-9999 99:99:99") << when;
    char want[50];
    struct tm local;
    localtime_r(&before, &local);
    strftime(want, sizeof want, "%m-%d-%Y", &local);
    EXPECT_EQ(when.substr(0, 10), want);

    kd_alarm_detected("Input Loss", ALARM_INACTIVE);
    EXPECT_TRUE(active_rows().empty());
    EXPECT_EQ(kd::alarm_history_size(), 2u);
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[1].state, ALARM_INACTIVE);

    // Again: the row comes back in the same place.
    kd_alarm_detected("Input Loss", ALARM_ACTIVE);
    EXPECT_EQ(active_rows(), std::vector<std::string>{"Input Loss"});
}

TEST_F(AlarmTest, ErrorsForUnknownAlarmsAndMissingRows)
{
    kd_alarm_detected("Nobody", ALARM_ACTIVE);
    EXPECT_EQ(log_.count("Unrecognized alarm detected: 'Nobody'"), 1);
    EXPECT_EQ(kd::alarm_history_size(), 0u);

    kd_alarm_register("Fan", "Fan stopped");
    kd_alarm_detected("Fan", ALARM_ACTIVE);
    kd_param_delete(kd_param_get_by_route("alarms/active_alarms/fan"));
    listen("Fan");
    kd_alarm_detected("Fan", ALARM_INACTIVE);
    EXPECT_EQ(log_.count("Failed to locate 'Fan' in active alarm table."), 1);
    EXPECT_EQ(heard.size(), 1u) << "the change still stands and is announced";
}

TEST_F(AlarmTest, LabelsDifferingInCaseAreTwoAlarmsWithOneEventName)
{
    kd_alarm_register("Input Loss", "upper");
    kd_alarm_register("input loss", "lower");
    listen("INPUT LOSS");
    kd_alarm_detected("Input Loss", ALARM_ACTIVE);
    kd_alarm_detected("input loss", ALARM_ACTIVE);
    EXPECT_EQ(active_rows(), (std::vector<std::string>{"Input Loss", "input loss"}));
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[0].label, "Input Loss");
    EXPECT_EQ(heard[1].label, "input loss");

    kd_alarm_detected("input loss", ALARM_INACTIVE);
    EXPECT_EQ(active_rows(), std::vector<std::string>{"Input Loss"});
    kd_alarm_detected("Input Loss", ALARM_INACTIVE);
    EXPECT_TRUE(active_rows().empty());
    EXPECT_EQ(log_.count("Failed to locate"), 0);
}

// 99 reports queue up from another thread, the 100th is refused; the drain
// applies them all in posting order.
TEST_F(AlarmTest, WorkerReportsQueueUpAndDrainInOrder)
{
    const char *labels[] = {"A0", "A1", "A2"};
    for (const char *l : labels) {
        kd_alarm_register(l, "test");
        listen(l);
    }
    std::vector<Heard> posted;
    for (int i = 0; i < 99; ++i)
        posted.push_back({labels[i % 3], (i / 3) % 2 ? ALARM_INACTIVE : ALARM_ACTIVE});
    int refused = 0;
    std::thread poster([&] {
        for (const Heard &h : posted)
            refused += kd_alarm_detected_in_worker_thread(h.label.c_str(), h.state) != 0;
        refused += kd_alarm_detected_in_worker_thread("A0", ALARM_INACTIVE) == -1 ? 100 : 0;
    });
    poster.join();
    EXPECT_EQ(refused, 100) << "99 accepted, the 100th refused";
    EXPECT_TRUE(heard.empty()) << "nothing applied before the drain";

    kd_alarm_queue_periodic_check(nullptr);
    ASSERT_EQ(heard.size(), posted.size());
    for (size_t i = 0; i < posted.size(); ++i) {
        EXPECT_EQ(heard[i].label, posted[i].label) << i;
        EXPECT_EQ(heard[i].state, posted[i].state) << i;
    }
    EXPECT_EQ(kd_alarm_detected_in_worker_thread("A0", ALARM_INACTIVE), 0) << "room again";
}

// The loop drains the queue on its own; posts may come from many threads.
TEST_F(AlarmTest, LoopDrainsPostsFromSeveralThreads)
{
    constexpr int kThreads = 4, kEach = 24;
    for (int t = 0; t < kThreads; ++t)
        kd_alarm_register(("T" + std::to_string(t)).c_str(), "test");
    for (int t = 0; t < kThreads; ++t)
        listen(("T" + std::to_string(t)).c_str());
    std::vector<std::thread> threads;
    std::atomic<int> refused{0};
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &refused] {
            std::string l = "T" + std::to_string(t);
            for (int i = 0; i < kEach; ++i)
                refused += kd_alarm_detected_in_worker_thread(
                               l.c_str(), i % 2 ? ALARM_INACTIVE : ALARM_ACTIVE) != 0;
        });
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(refused.load(), 0);
    kd_frame_timeout_register("stop", [](void *) { kd_shutdown(); }, nullptr, 1.5, 0, nullptr);
    kd_frame_run();
    EXPECT_EQ(heard.size(), size_t(kThreads * kEach));
    EXPECT_TRUE(active_rows().empty());
}

TEST_F(AlarmTest, HistoryIsBoundedAndActiveRowsKeepTheirTime)
{
    kd_alarm_register("Flap", "flapping");
    kd_alarm_register("Steady", "steady");
    kd_alarm_detected("Steady", ALARM_ACTIVE);
    std::string when = value("alarms/active_alarms/steady/time");
    for (int i = 0; i < 3000; ++i)
        kd_alarm_detected("Flap", i % 2 ? ALARM_INACTIVE : ALARM_ACTIVE);
    EXPECT_LE(kd::alarm_history_size(), 1000u);
    EXPECT_EQ(value("alarms/active_alarms/steady/time"), when);
}

TEST_F(AlarmTest, PostsAfterFiniAreHarmless)
{
    kd_alarm_register("Late", "late");
    kd_frame_fini();
    EXPECT_EQ(kd_alarm_detected_in_worker_thread("Late", ALARM_ACTIVE), 0);
    kd_alarm_queue_periodic_check(nullptr);
    EXPECT_EQ(kd_alarm_register("Late", "late"), -1);
    EXPECT_EQ(log_.count("Alarm system not yet initialized."), 1);
    kd_alarm_detected("Late", ALARM_ACTIVE);
    EXPECT_EQ(log_.count("Alarm system not yet initialized."), 2);
}

} // namespace
