// A running framework with the front-panel plug-in loadable from the build,
// the menu daemon stand-in on a queue pair of the test's own, built-in menu
// files in a private KD_ROOT, and a loop runner that waits on a condition.
//
// Queues: KD_MQ_SUFFIX is made unique per process and fixture, so tests
// running side by side never share a queue. Where the test may (root), the
// test thread also moves into a fresh IPC namespace first: the machine's
// queues are out of sight, and a queue a failed test leaves behind goes
// with the namespace instead of holding the user's queue memory.
#pragma once

#include "test_support.h"

#include <menud.h>

#include <kerrow/frame.h>
#include <kerrow/param.h>
#include <kerrow/path.h>
#include <kerrow/ref.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <dirent.h>
#include <mqueue.h>
#include <sched.h>
#include <unistd.h>

namespace fptest {

inline std::string menu_dir() { return kd::rooted("/usr/local/share/sv-frontpanel/"); }

// Open descriptors of this process.
inline int open_fds()
{
    int n = 0;
    for ([[maybe_unused]] auto &e : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

// The choices "Remove Menu" offers now.
inline std::vector<std::string> remove_choices()
{
    std::vector<std::string> out;
    param_context *p = kd_param_get_by_route("frontpanel/remove_menu");
    param_choice_ops *ops = kd_param_get_choice_ops(p);
    if (!ops || !ops->choices)
        return out;
    const char **table = ops->choices(p);
    for (const char **c = table; c && *c; ++c)
        out.emplace_back(*c);
    void *block = table;
    kd_ref_free_safe(&block);
    return out;
}

// Sets one of the plug-in's parameters through its set path.
inline param_set_result set_param(const char *route, const char *text)
{
    param_context *p = kd_param_get_by_route(route);
    if (auto *s = kd_param_get_string_ops(p))
        return s->set(p, text);
    if (auto *c = kd_param_get_choice_ops(p))
        return c->set(p, text);
    ADD_FAILURE() << "no such parameter " << route;
    return PARAM_SET_FAILURE;
}

class FrontPanelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int serial = 0;
        suffix_ = "." + std::to_string(getpid()) + "." + std::to_string(serial++);
        setenv("KD_MQ_SUFFIX", suffix_.c_str(), 1);
        unshare(CLONE_NEWIPC); // optional: without it the names alone keep tests apart
        plugin_queue_ = menud::queue_name("/solvera_plugin_fp");
        daemon_queue_ = menud::queue_name("/menumgr");
        const char *build = std::getenv("KD_BUILD_DIR");
        ASSERT_NE(build, nullptr);
        setenv("SV_PLUGINS_PATH", (std::string(build) + "/plugins").c_str(), 1);
        std::filesystem::create_directories(menu_dir());
        write_menu("qv.mnu");
        write_menu("system.mnu");
    }

    void TearDown() override
    {
        if (up_)
            kd_frame_fini();
        daemon_.reset();
        mq_unlink(plugin_queue_.c_str());
        mq_unlink(daemon_queue_.c_str());
        unsetenv("KD_MQ_SUFFIX");
        unsetenv("SV_PLUGINS_PATH");
        unsetenv("HW_SLOT");
    }

    static void write_menu(const std::string &name) { std::ofstream(menu_dir() + name) << "menu\n"; }

    menud::daemon &daemon()
    {
        if (!daemon_)
            daemon_ = std::make_unique<menud::daemon>();
        return *daemon_;
    }

    void frame_up()
    {
        kd_frame_init();
        up_ = true;
    }
    void frame_down()
    {
        kd_frame_fini();
        up_ = false;
    }
    // The daemon first, then the framework with the plug-in loaded.
    void start()
    {
        daemon();
        frame_up();
        kd_frame_load_plugin("frontpanel");
    }

    // Runs the loop until `done` holds (checked every few milliseconds) or
    // the limit passes; answers whether it held. Each run emits "frame run".
    static bool run_until(std::function<bool()> done, double limit = 60.0)
    {
        static std::function<bool()> *check;
        static bool held;
        check = &done;
        held = false;
        kd_frame_timeout_register("fp-test-poll", [](void *) {
            if ((*check)()) {
                held = true;
                kd_shutdown();
            }
        }, nullptr, 0.002, 1, nullptr);
        kd_frame_timeout_register("fp-test-limit", [](void *) { kd_shutdown(); }, nullptr, limit, 0, nullptr);
        kd_frame_run();
        kd_frame_stop_watcher("fp-test-poll", nullptr);
        kd_frame_stop_watcher("fp-test-limit", nullptr);
        return held || done();
    }
    static void run_once()
    {
        run_until([] { return true; });
    }

    // Everything the plug-in sent before now has reached the stand-in: a
    // marker put behind it on the daemon's queue has come through.
    static constexpr uint32_t kMarker = 99999;
    void daemon_drained()
    {
        static int serial = 0;
        const std::string text = "marker " + std::to_string(++serial);
        ASSERT_TRUE(menud::send_to(daemon_queue_, menud::encode(kMarker, text)));
        ASSERT_TRUE(daemon().wait_for([&](const std::vector<menud::message> &all) {
            for (auto &m : all)
                if (m.type == kMarker && m.text == text)
                    return true;
            return false;
        }, 20.0));
    }
    // What the plug-in sent, markers left out.
    // Forgets what the daemon received, once everything sent before has
    // arrived (the queue is read on the stand-in's own thread).
    void forget_sent()
    {
        daemon_drained();
        daemon().forget();
    }
    std::vector<menud::message> sent()
    {
        std::vector<menud::message> out;
        for (auto &m : daemon().received())
            if (m.type != kMarker)
                out.push_back(m);
        return out;
    }
    std::vector<menud::message> sent(uint32_t type)
    {
        std::vector<menud::message> out;
        for (auto &m : sent())
            if (m.type == type)
                out.push_back(m);
        return out;
    }

    kdtest::TempRoot root_;
    kdtest::LogCapture log_;
    std::string suffix_, plugin_queue_, daemon_queue_;
    std::unique_ptr<menud::daemon> daemon_;
    bool up_ = false;
};

} // namespace fptest
