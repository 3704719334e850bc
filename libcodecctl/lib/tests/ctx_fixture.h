// A decode or encode context on the chip simulator, with its log lines
// captured through the library's log hook.
#pragma once

#include "m30_internal.h"
#include "m30sim.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <filesystem>
#include <mutex>
#include <string>
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
