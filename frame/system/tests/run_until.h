// Runs the framework's loop until a condition holds, for tests that wait
// for netlink or system-bus traffic.
#pragma once

#include <kerrow/frame.h>

#include <functional>

namespace kdtest {

// Polls `done` every 20 ms; false when `limit` seconds pass first.
inline bool run_until(const std::function<bool()> &done, double limit = 60.0)
{
    struct Ctx {
        const std::function<bool()> *done;
        double end;
    } ctx{&done, kd_frame_now() + limit};
    kd_frame_timeout_register(
        "poll",
        [](void *p) {
            auto *c = static_cast<Ctx *>(p);
            if ((*c->done)() || kd_frame_now() > c->end)
                kd_shutdown();
        },
        &ctx, 0.02, 1, nullptr);
    kd_frame_run();
    kd_frame_stop_watcher("poll", nullptr);
    return done();
}

} // namespace kdtest
