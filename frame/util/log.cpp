// The log sink: journal by default, a test sink when installed, and a
// standard-error mirror when KD_LOG_STDERR=1.
#include <kerrow/log.h>

#include <systemd/sd-journal.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {
struct Sink {
    kd_log_sink fn = nullptr;
    void *ctx = nullptr;
};
std::mutex g_sink_mutex; // data threads log too (through their own hand-over), keep the sink swap safe
Sink g_sink;

bool env_on(const char *name)
{
    const char *v = std::getenv(name);
    return v && *v && std::strcmp(v, "0") != 0;
}
} // namespace

extern "C" void kd_log_set_sink(kd_log_sink sink, void *ctx)
{
    std::lock_guard lock(g_sink_mutex);
    g_sink = Sink{sink, ctx};
}

extern "C" void kd_log_print(int priority, const char *file, int line, const char *func,
                             const char *fmt, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    std::string text;
    if (static_cast<size_t>(n) < sizeof buf) {
        text.assign(buf, static_cast<size_t>(n));
    } else {
        text.resize(static_cast<size_t>(n));
        va_start(ap, fmt);
        std::vsnprintf(text.data(), text.size() + 1, fmt, ap);
        va_end(ap);
    }

    Sink sink;
    {
        std::lock_guard lock(g_sink_mutex);
        sink = g_sink;
    }
    if (env_on("KD_LOG_STDERR"))
        std::fprintf(stderr, "<%d> %s%s", priority, text.c_str(),
                     (!text.empty() && text.back() == '\n') ? "" : "\n");
    if (sink.fn) {
        sink.fn(sink.ctx, priority, file, line, func, text.c_str());
        return;
    }
    if (env_on("KD_LOG_NO_JOURNAL"))
        return;
    char file_field[512], line_field[32];
    std::snprintf(file_field, sizeof file_field, "CODE_FILE=%s", file ? file : "");
    std::snprintf(line_field, sizeof line_field, "CODE_LINE=%d", line);
    sd_journal_print_with_location(priority, file_field, line_field, func ? func : "", "%s",
                                   text.c_str());
}
