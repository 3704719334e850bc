// A decode or encode context on the chip simulator, with its log lines
// captured through the library's log hook.
#pragma once

#include "m30_internal.h"
#include "m30sim.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace m30test {

struct LogRec {
    int ch;
    m30_log_type type;
    std::string text;
};

class Logs {
public:
    static void hook(void *ctx, int ch, m30_log_type type, const char *fmt, ...)
    {
        char buf[1024];
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(buf, sizeof buf, fmt, ap);
        va_end(ap);
        auto *self = static_cast<Logs *>(ctx);
        std::lock_guard l(self->mu_);
        self->lines_.push_back({ch, type, buf});
    }
    std::vector<LogRec> lines() const
    {
        std::lock_guard l(mu_);
        return lines_;
    }
    std::vector<std::string> texts() const
    {
        std::vector<std::string> t;
        for (const auto &r : lines())
            t.push_back(r.text);
        return t;
    }
    int count(const std::string &needle) const
    {
        int n = 0;
        for (const auto &r : lines())
            n += r.text.find(needle) != std::string::npos;
        return n;
    }
    void clear()
    {
        std::lock_guard l(mu_);
        lines_.clear();
    }

private:
    mutable std::mutex mu_;
    std::vector<LogRec> lines_;
};

// Callback reports as text ("cfg 1 4", "enc 2 3", "vde 0 1", "pre 2"),
// safe to record from the message thread.
struct Calls {
    std::mutex mu;
    std::vector<std::string> seen;
    void add(std::string s)
    {
        std::lock_guard l(mu);
        seen.push_back(std::move(s));
    }
    std::vector<std::string> get()
    {
        std::lock_guard l(mu);
        return seen;
    }
    void clear()
    {
        std::lock_guard l(mu);
        seen.clear();
    }
    int count(const std::string &s)
    {
        auto v = get();
        return static_cast<int>(std::count(v.begin(), v.end(), s));
    }
    static void cfg(void *c, int ch, m30_change x)
    {
        static_cast<Calls *>(c)->add("cfg " + std::to_string(ch) + " " + std::to_string(x));
    }
    static void enc(void *c, int ch, m30_encoder_status s)
    {
        static_cast<Calls *>(c)->add("enc " + std::to_string(ch) + " " + std::to_string(s));
    }
    static void vde(void *c, int ch, bool d)
    {
        static_cast<Calls *>(c)->add("vde " + std::to_string(ch) + " " + std::to_string(d));
    }
    static void pre(void *c, int ch) { static_cast<Calls *>(c)->add("pre " + std::to_string(ch)); }
};

// Polls until f() holds or the (generous) limit passes.
template <class F>
bool eventually(F f, std::chrono::milliseconds limit = std::chrono::milliseconds(60000))
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (f())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return f();
}

class Ctx : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(m30_driver_set_port(chip_.port()), 0);
        std::filesystem::create_directories(root_.path() + "/tmp");
    }
    void TearDown() override
    {
        for (m30_context *m : made_)
            m30_context_destroy(m);
        chip_.stop_generator();
        m30_driver_set_port(nullptr);
    }
    m30_context *create(bool encode = false)
    {
        m30_context *m = m30_context_create(0, encode);
        if (m) {
            made_.push_back(m);
            m30_context_set_on_log(m, Logs::hook, &logs_);
        }
        return m;
    }
    void destroy(m30_context *m)
    {
        std::erase(made_, m);
        m30_context_destroy(m);
    }
    void set_state(uint32_t v) { chip_.poke(M30_REG_MAIN_STATE, v); }

    kdtest::TempRoot root_;
    m30sim::Chip chip_;
    Logs logs_;
    std::vector<m30_context *> made_;
};

} // namespace m30test
