// Small framework utilities: error texts, owner names, unit identifier,
// hex dump, message-handler tables and diagnostics.
#include "../frame_internal.h"

#include <kerrow/command.h>
#include <kerrow/log.h>
#include <kerrow/param.h>
#include <kerrow/path.h>

#include <execinfo.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
KD_API int kd_errno = 0;
}

bool kd::write_all(int fd, std::string_view text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

namespace {
const char *me() { return kd_frame_plugin_get_name(nullptr); }

int g_assert_on_error = 0;

constexpr const char *kErrText[] = {
    nullptr,
    "Accessing memory out of bounds",
    "Buffer is overflowing",
    "spawn err",
    "waitpid err",
    "no exit err",
    "exit status",
    "Invalid param control",
    "Param only supports read only control",
    "full err",
    "invalid err",
    "in progress err",
    "duplicate err",
};

// Null scopes sort before any text.
int scope_cmp(const char *a, const char *b)
{
    if (!a || !b)
        return (a != nullptr) - (b != nullptr);
    return std::strcmp(a, b);
}
} // namespace

extern "C" const char *kd_frame_strerror(int code)
{
    if (code > 0 && code < static_cast<int>(std::size(kErrText)))
        return kErrText[code];
    return "Unknown error code";
}

extern "C" const char *kd_frame_plugin_get_name(const plugin_load_info *pli)
{
    return (pli && pli->name) ? pli->name : "frame";
}

extern "C" bool kd_frame_is_running_native(void) { return !kd::card_marker_present(); }

extern "C" const char *kd_frame_get_uid(void)
{
    static char uid[17] = "0000000000000000";
    if (const char *serial = std::getenv("serialnum")) {
        std::snprintf(uid, sizeof uid, "%.16s", serial);
    }
    if (!kd_frame_is_running_native()) {
        unsigned char raw[8] = {};
        if (hw_get_uid(raw) == 0 && std::any_of(raw, raw + 8, [](unsigned char c) { return c; })) {
            uint32_t w0, w1;
            std::memcpy(&w0, raw, 4);
            std::memcpy(&w1, raw + 4, 4);
            std::snprintf(uid, sizeof uid, "%.8X%.8X", w0, w1);
        }
    }
    return uid;
}

extern "C" int kd_frame_debug_hexdump(char *hexbuf, int hlen, const void *buf, int len)
{
    if (!hexbuf || !buf || len < 1 || hlen < 3)
        return 0;
    const auto *p = static_cast<const unsigned char *>(buf);
    int pos = 0;
    for (int i = 0; i < len; ++i) {
        if (pos + 4 > hlen) // three characters and the terminator must fit
            break;
        std::snprintf(hexbuf + pos, 4, "%2.2x%c", p[i], ((i + 1) % 8 == 0) ? '\n' : ' ');
        pos += 3;
    }
    hexbuf[pos] = '\0';
    return pos;
}

extern "C" void kd_frame_assert_on_error(int on)
{
    g_assert_on_error = on > 0;
    KD_LOG(KD_LOG_NOTICE, "[%s] Crash on error: %s\n", me(),
           g_assert_on_error ? "Enabled" : "Disabled");
}

extern "C" void kd_frame_print_backtrace(void)
{
    void *frames[20];
    int n = backtrace(frames, 20);
    std::printf("Printing Stack Trace:\n");
    std::fflush(stdout);
    backtrace_symbols_fd(frames, n, 1);
}

extern "C" int kd_frame_print_sizes(void)
{
    std::printf("%s sizeof(int) is %lu\n", me(), static_cast<unsigned long>(sizeof(int)));
    std::printf("%s sizeof(void *) is %lu\n", me(), static_cast<unsigned long>(sizeof(void *)));
    std::printf("%s sizeof(plugin_load_info) is %lu\n", me(),
                static_cast<unsigned long>(sizeof(plugin_load_info)));
    kd_param_print_sizes();
    return 0;
}

extern "C" kd_frame_msgh_table *kd_frame_msgh_create_table(int capacity)
{
    if (capacity < 0)
        return nullptr;
    auto *t = static_cast<kd_frame_msgh_table *>(std::calloc(1, sizeof(kd_frame_msgh_table)));
    if (!t)
        return nullptr;
    t->entries = static_cast<kd_frame_msgh_entry *>(
        std::calloc(static_cast<size_t>(capacity ? capacity : 1), sizeof(kd_frame_msgh_entry)));
    if (!t->entries) {
        std::free(t);
        return nullptr;
    }
    t->capacity = capacity;
    t->sorted = 1;
    return t;
}

extern "C" int kd_frame_msgh_insert_handler(kd_frame_msgh_table *t, const char *scope, int mt,
                                            kd_frame_msgh_on_msg fn)
{
    if (!t)
        return -1;
    KD_LOG(KD_LOG_INFO, "[%s] %s %d\n", me(), scope ? scope : "(null)", mt);
    if (t->size >= t->capacity)
        return -1;
    t->entries[t->size++] = kd_frame_msgh_entry{scope, mt, fn};
    t->sorted = 0;
    return 0;
}

extern "C" kd_frame_msgh_entry *kd_frame_msgh_get_entry(kd_frame_msgh_table *t, const char *scope,
                                                        int mt)
{
    if (!t)
        return nullptr;
    auto less = [](const kd_frame_msgh_entry &a, const kd_frame_msgh_entry &b) {
        int c = scope_cmp(a.scope, b.scope);
        return c < 0 || (c == 0 && a.mt < b.mt);
    };
    kd_frame_msgh_entry *begin = t->entries, *end = t->entries + t->size;
    if (!t->sorted) {
        std::sort(begin, end, less);
        t->sorted = 1;
    }
    kd_frame_msgh_entry key{scope, mt, nullptr};
    auto it = std::lower_bound(begin, end, key, less);
    if (it != end && !less(key, *it))
        return it;
    KD_LOG(KD_LOG_ERR, "[%s] No entry for %s, %d\n", me(), scope ? scope : "(null)", mt);
    return nullptr;
}

extern "C" int kd_frame_msgh_destroy_table(kd_frame_msgh_table *t)
{
    if (t) {
        std::free(t->entries);
        std::free(t);
    }
    return 0;
}

extern "C" int kd_frame_msgh_get_free_space(kd_frame_msgh_table *t)
{
    return t ? t->capacity - t->size : 0;
}
