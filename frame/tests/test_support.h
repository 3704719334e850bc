// Shared test helpers: log capture, a private KD_ROOT, a running framework.
#pragma once

#include <kerrow/frame.h>
#include <kerrow/log.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include <unistd.h>

namespace kdtest {

struct LogLine {
    int priority;
    std::string text;
};

// Captures every log line while alive (and keeps them off the journal).
class LogCapture {
public:
    LogCapture() { kd_log_set_sink(&LogCapture::sink, this); }
    ~LogCapture() { kd_log_set_sink(nullptr, nullptr); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<LogLine> lines() const
    {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    int count(const std::string &needle) const
    {
        int n = 0;
        for (const auto &l : lines())
            n += l.text.find(needle) != std::string::npos;
        return n;
    }
    void clear()
    {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

private:
    static void sink(void *ctx, int prio, const char *, int, const char *, const char *text)
    {
        auto *self = static_cast<LogCapture *>(ctx);
        std::lock_guard lock(self->mutex_);
        self->lines_.push_back({prio, text});
    }
    mutable std::mutex mutex_;
    std::vector<LogLine> lines_;
};

// A fresh temporary directory used as KD_ROOT for the test's lifetime.
class TempRoot {
public:
    TempRoot()
    {
        // Short, as unix socket paths are limited; the pid lets the rigs'
        // sweep remove it when this run is killed (sim/carrier/rigproc.h).
        std::string tmpl = "/tmp/kdt." + std::to_string(getpid()) + ".XXXXXX";
        if (!mkdtemp(tmpl.data()))
            throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
        const char *old = std::getenv("KD_ROOT");
        if (old)
            old_ = old, had_old_ = true;
        setenv("KD_ROOT", path_.c_str(), 1);
    }
    ~TempRoot()
    {
        if (had_old_)
            setenv("KD_ROOT", old_.c_str(), 1);
        else
            unsetenv("KD_ROOT");
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }

private:
    std::string path_, old_;
    bool had_old_ = false;
};

// A framework brought up for one test and taken down after it.
class FrameTest : public ::testing::Test {
protected:
    void SetUp() override { kd_frame_init(); }
    void TearDown() override { kd_frame_fini(); }

    // Runs the loop until kd_shutdown or `limit` seconds pass.
    static void run_for(double limit)
    {
        kd_frame_timeout_register("test-limit", [](void *) { kd_shutdown(); }, nullptr, limit, 0,
                                  nullptr);
        kd_frame_run();
        kd_frame_stop_watcher("test-limit", nullptr);
    }

    TempRoot root_;
    LogCapture log_;
};

} // namespace kdtest
