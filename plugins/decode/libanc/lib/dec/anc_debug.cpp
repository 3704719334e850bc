// Debug streams: files under "/run/debug/libanc/" that the library writes
// to only while they exist. Each side's start leaves a placeholder named
// with a trailing "~"; renaming it to the name without "~" switches the
// stream on, deleting it switches it off again.
#include "anc.h"

#include <kerrow/path.h>

#include <array>
#include <cerrno>
#include <filesystem>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kTicks = 100;
constexpr long kSizeLimit = 10'000'000;

std::array<DebugStream, DSID_COUNT> g_streams = {{
    {nullptr, "/run/debug/libanc/enc/aud/compress", kTicks, 0, kSizeLimit},
    {nullptr, "/run/debug/libanc/enc/aud/pes", kTicks, 0, kSizeLimit},
    {nullptr, "/run/debug/libanc/enc/aud/pesopt", kTicks, 0, kSizeLimit},
    {nullptr, "/run/debug/libanc/enc/vbi/ancflow", kTicks, 0, kSizeLimit},
    {nullptr, "/run/debug/libanc/enc/vbi/op47", kTicks, 0, kSizeLimit},
    {nullptr, "/run/debug/libanc/enc/vbi/parse", kTicks, 0, kSizeLimit},
    {nullptr, "/run/debug/libanc/enc/vbi/smpte2038", kTicks, 0, kSizeLimit},
    {nullptr, "/run/debug/libanc/enc/encode", kTicks, 0, kSizeLimit},
    {nullptr, "/run/debug/libanc/enc/ftm", kTicks, 0, kSizeLimit},
    {nullptr, "/run/debug/libanc/enc/hdr", kTicks, 0, kSizeLimit},
    {nullptr, "/run/debug/libanc/enc/mpts", kTicks, 0, kSizeLimit},
    {nullptr, "/run/debug/libanc/enc/timing", kTicks, 0, kSizeLimit},
    {nullptr, "/run/debug/libanc/enc/ts", kTicks, 0, kSizeLimit},
    {nullptr, "/run/debug/libanc/dec/aud/embed", kTicks, 0, kSizeLimit},
    {nullptr, "/run/debug/libanc/dec/decode", kTicks, 0, kSizeLimit},
}};

struct Placeholders {
    const char *dir;
    std::initializer_list<const char *> names;
};

// Creates the file when missing; an existing one is left as it is.
void touch(const std::string &path)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0)
        close(fd);
}

void make(std::initializer_list<const char *> dirs, std::initializer_list<Placeholders> files)
{
    std::error_code ec;
    for (const char *d : dirs)
        std::filesystem::create_directories(kd::rooted(d), ec);
    for (const Placeholders &p : files)
        for (const char *n : p.names)
            touch(kd::rooted(std::string(p.dir) + n + "~"));
}

} // namespace

extern "C" void ancDebugInit(const char *side)
{
    if (!side)
        return;
    const std::string_view s = side;
    if (s == "dec") {
        make({"/run/debug/libanc/dec/aud/", "/run/debug/libanc/dec/vbi/"},
             {{"/run/debug/libanc/dec/aud/", {"embed"}}});
    } else if (s == "enc") {
        make({"/run/debug/libanc/enc/aud/", "/run/debug/libanc/enc/vbi/"},
             {{"/run/debug/libanc/enc/aud/", {"compress", "pes", "pesopt"}},
              {"/run/debug/libanc/enc/vbi/", {"ancflow", "op47", "parse"}},
              {"/run/debug/libanc/enc/", {"encode", "ftm", "mpts", "timing", "ts"}}});
    }
}

// Closes the side's open streams (a later start finds them closed).
extern "C" void ancDebugFini(const char *side)
{
    if (!side)
        return;
    const std::string_view s = side;
    int first = 0, last = -1;
    if (s == "dec")
        first = DSID_DEC_AUD_EMBED, last = DSID_DEC_DECODE;
    else if (s == "enc")
        first = DSID_ENC_AUD_COMPRESS, last = DSID_ENC_TS;
    for (int id = first; id <= last; ++id) {
        DebugStream &d = g_streams[size_t(id)];
        if (d.f)
            std::fclose(d.f);
        d.f = nullptr;
        d.ticker = 0;
    }
}

extern "C" FILE *ancDebugStreamFile(int id)
{
    if (id < 0 || id >= DSID_COUNT)
        return nullptr;
    DebugStream &s = g_streams[size_t(id)];
    if (--s.ticker >= 0)
        return s.f;
    s.ticker = s.ticks;
    const std::string path = kd::rooted(s.filename);
    const bool writable = access(path.c_str(), W_OK) == 0;
    if (!s.f) {
        if (writable)
            s.f = std::fopen(path.c_str(), "w+e");
        return s.f;
    }
    if (writable && std::ftell(s.f) < s.size)
        return s.f;
    std::fclose(s.f);
    s.f = nullptr;
    s.ticker = 0;
    return nullptr;
}
