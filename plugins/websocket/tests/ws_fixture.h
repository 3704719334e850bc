// A running framework with the probe tree and the websocket engine on a
// free loopback port; the loop runs on the test's thread while client code
// runs on another and hands loop-side work over with on_loop.
#pragma once

#include "cmd_standins.h"
#include "probe.h"
#include "test_support.h"
#include "ws.h"
#include "ws_client.h"

#include <kerrow/frame.h>
#include <kerrow/plugin.h>

#include <jansson.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace wstest {

struct json_deleter {
    void operator()(json_t *j) const { json_decref(j); }
};
using json_ptr = std::unique_ptr<json_t, json_deleter>;

inline json_ptr parse(const std::string &text)
{
    json_error_t err;
    return json_ptr(json_loadb(text.data(), text.size(), 0, &err));
}

// obj["a"]["b"]... or null.
inline json_t *at(json_t *j, std::initializer_list<const char *> path)
{
    for (const char *k : path)
        j = j ? json_object_get(j, k) : nullptr;
    return j;
}

// Standard output of a shell command ("" when it cannot be run).
inline std::string output_of(const std::string &cmd)
{
    std::string out;
    if (FILE *p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        pclose(p);
    }
    return out;
}

// POSTs a file to "/upload" as the page's form does (with the session's
// cookie unless it is empty, and "?query" unless that is empty); answers the
// HTTP status.
inline int curl_upload(int port, const std::string &session, const std::string &path, const std::string &name,
                       const std::string &query = "")
{
    std::string cmd = "curl -s -o /dev/null -w '%{http_code}' --max-time 20";
    if (!session.empty())
        cmd += " -b 'ZWSUI_SESSION=" + session + "'";
    cmd += " -F 'uploadfile=@" + path + ";filename=\"" + name + "\"' -F uploadsubmit=Upload";
    cmd += " 'http://127.0.0.1:" + std::to_string(port) + "/upload" + (query.empty() ? "" : "?" + query) + "'";
    return std::atoi(output_of(cmd).c_str());
}

class WsFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("HW_SLOT", "3", 1);
        kd_frame_init();
        probe_pli_ = __test_insert_active_plugin("probe", "/nowhere/libsv-probe.so");
        probe::build(probe_pli_);
        pli_ = __test_insert_active_plugin("websocket", "/nowhere/libsv-websocket.so");
        pli_->fini = []() -> cuvent_action {
            ws::ws_fini();
            return CUVACT_SUCCESS;
        };
        ws::set_listen_interface("127.0.0.1");
        port_ = free_port();
        ws::state().cfg.port = port_;
        ws::ws_init(pli_);
    }
    void TearDown() override
    {
        kd_frame_fini();
        max_param_prints = 3000;
    }

    // Runs the loop until `client` (on its own thread) returns.
    void drive(const std::function<void()> &client)
    {
        std::atomic<bool> done{false};
        done_ = &done;
        std::thread t([&] {
            client();
            done = true;
        });
        kd_frame_timeout_register("test-pump", &WsFixture::pump, this, 0.005, 1, nullptr);
        kd_frame_run();
        kd_frame_stop_watcher("test-pump", nullptr);
        t.join();
        done_ = nullptr;
    }

    // Runs f on the loop thread and answers its result (from the client thread).
    template <typename F> auto on_loop(F f) -> decltype(f())
    {
        using R = decltype(f());
        auto task = std::make_shared<std::packaged_task<R()>>(std::move(f));
        auto fut = task->get_future();
        {
            std::lock_guard lock(mutex_);
            tasks_.push_back([task] { (*task)(); });
        }
        return fut.get();
    }

    // Asks the loop until `pred` holds or the time is up (from the client
    // thread): waits on the server's own progress, never on a guess.
    template <typename F> bool eventually(F pred, double seconds = 60)
    {
        const auto deadline = clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
        while (clock::now() < deadline)
            if (on_loop(pred))
                return true;
        return false;
    }

    int port_ = 0;
    plugin_load_info *pli_ = nullptr;
    plugin_load_info *probe_pli_ = nullptr;
    kdtest::TempRoot root_;
    // The framework switches services (snmpd) at start: stand-ins only.
    kdtest::CommandStandins commands_{root_ / "cmd"};
    kdtest::LogCapture log_;

private:
    static void pump(void *ctx)
    {
        auto *self = static_cast<WsFixture *>(ctx);
        std::deque<std::function<void()>> tasks;
        {
            std::lock_guard lock(self->mutex_);
            tasks.swap(self->tasks_);
        }
        for (auto &t : tasks)
            t();
        if (self->done_ && *self->done_)
            kd_shutdown();
    }

    std::mutex mutex_;
    std::deque<std::function<void()>> tasks_;
    std::atomic<bool> *done_ = nullptr;
};

} // namespace wstest
