// The SDI audio embedder. Each of the four FPGA embedders plays a ring of
// 64-byte sample sets (16 words: left and right of 8 pairs) at 48 kHz.
// The video time stamps of decoded pictures keep the FPGA's read position
// running and fix which ring position shows which time (the video
// anchor); each decoded audio frame is then written at the position its
// own time stamp maps to.
//
// Threads: the video time-stamp thread of a channel calls
// ancDecAudEmbedChnPts, the decompressor threads of the channel the
// audio calls, the demultiplexer thread the maps. Anchors and map items
// cross threads as atomics; ring words are stored one by one (the FPGA
// reads them meanwhile).
#include "anc_embed.h"
#include "anc.h"

#include <cqf.h>
#include <fpga.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>

namespace {

constexpr int kEmbedders = 4, kChannels = 2, kIndexes = 32, kPairs = 8, kVideoItems = 4;
constexpr unsigned kSetBytes = 64;
constexpr uint64_t kPts33 = uint64_t(1) << 33;
constexpr uint64_t kPtsMask48 = (uint64_t(1) << 48) - 1;

// ---- PtsSamplesSet: pts in the low 48 bits, ring sample set in the high 16; 0 unset ----
using PtsSamplesSet = uint64_t;
constexpr PtsSamplesSet pss(uint64_t pts, uint32_t ss) { return (pts & kPtsMask48) | uint64_t(ss & 0xFFFF) << 48; }
constexpr uint64_t pss_pts(PtsSamplesSet s) { return s & kPtsMask48; }
constexpr uint32_t pss_ss(PtsSamplesSet s) { return uint32_t(s >> 48); }

struct Pair {
    std::atomic<PtsSamplesSet> anchor{0}; // cleared by the video thread too
    PtsSamplesSet monotonic = 0;
    std::atomic<PtsSamplesSet> ideal{0};
    uint32_t pts_rem = 0, ss_rem = 0;
    int32_t pts_err = 0, ss_err = 0;
};

struct Embedder {
    Cqf *cqf = nullptr;
    bool stalled = false;
    uint32_t fpga_item = 0, cpu_item = 0;
    int32_t *BUF_BEG = nullptr, *BUF_END = nullptr;
    uint32_t SAMPLES_SETS = 0, PTS_SAMPLES_SETS = 0, ITEMS = 0, ITEM_SIZE = 0;
    int32_t cqf_ss_err = 0;
    std::atomic<PtsSamplesSet> video_anchor{0};
    PtsSamplesSet video_monotonic = 0, video_ideal = 0;
    uint32_t video_pts_rem = 0, video_ss_rem = 0;
    int32_t video_pts_err = 0, video_ss_err = 0;
    Pair pair[kPairs];

    bool has_ring() const { return cqf && BUF_BEG && SAMPLES_SETS; }
    int32_t *set(uint32_t ss) const { return BUF_BEG + size_t(ss) * (kSetBytes / 4); }
};

Embedder g_emb[kEmbedders];
PtsFilter g_video_filter[kChannels];
PtsFilter g_audio_filter[kChannels][kIndexes];

// Map items packed as io | pair << 8; 0xFFFF is empty.
constexpr uint16_t kEmpty = 0xFFFF;
std::atomic<int8_t> g_video_map[kChannels][kVideoItems];
std::atomic<uint16_t> g_audio_map[kChannels][kIndexes][kIndexes];
std::atomic<int32_t> g_skew[kChannels][kIndexes];

std::mutex g_debug_mu;

bool chn_ok(int c) { return c >= 0 && c < kChannels; }
bool idx_ok(int i) { return i >= 0 && i < kIndexes; }
bool io_ok(int io) { return io >= 0 && io < kEmbedders; }
bool pair_ok(int p) { return p >= 0 && p < kPairs; }

void store_word(int32_t *w, int32_t v) { __atomic_store_n(w, v, __ATOMIC_RELAXED); }

// Signed distance a - b on a ring of n, in -n/2 .. n/2.
int32_t ring_distance(uint32_t a, uint32_t b, uint32_t n)
{
    if (!n)
        return 0;
    int64_t d = (int64_t(a) - int64_t(b)) % int64_t(n);
    if (d < 0)
        d += n;
    if (d > int64_t(n / 2))
        d -= n;
    return int32_t(d);
}

// Ring position of time `pts` given an anchor: anchor ss + ticks x 24/45.
uint32_t position_of(PtsSamplesSet anchor, uint64_t pts, uint32_t n)
{
    const int64_t ticks = int64_t(pts) - int64_t(pss_pts(anchor));
    int64_t ss = (int64_t(pss_ss(anchor)) + ticks * 24 / 45) % int64_t(n);
    if (ss < 0)
        ss += n;
    return uint32_t(ss);
}

// ---- debug lines ----
void debug(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void debug(const char *fmt, ...)
{
    std::lock_guard l(g_debug_mu);
    FILE *f = ancDebugStreamFile(DSID_DEC_AUD_EMBED);
    if (!f)
        return;
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    std::fprintf(f, "[%.6u.%.9u]  ", unsigned(ts.tv_sec), unsigned(ts.tv_nsec));
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(f, fmt, ap);
    va_end(ap);
    std::fflush(f);
}

void debug_video_map(int chn)
{
    int v[kVideoItems];
    for (int i = 0; i < kVideoItems; ++i)
        v[i] = g_video_map[chn][i].load();
    debug("Map %u     emb(4) %2d, %2d, %2d, %2d\n", unsigned(chn) + 1, v[0], v[1], v[2], v[3]);
}

void debug_audio_map(int chn, int idx)
{
    int v[16];
    for (int i = 0; i < 8; ++i) {
        const uint16_t m = g_audio_map[chn][idx][i].load();
        v[2 * i] = m == kEmpty ? -1 : int8_t(m & 0xFF);
        v[2 * i + 1] = m == kEmpty ? -1 : int8_t(m >> 8);
    }
    debug("Map %u-%.2u  emb_pair(32) %2d %2d, %2d %2d, %2d %2d, %2d %2d, %2d %2d, %2d %2d, %2d %2d, %2d %2d (...)\n",
          unsigned(chn) + 1, unsigned(idx) + 1, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10],
          v[11], v[12], v[13], v[14], v[15]);
}

// ---- filters ----

struct VideoBand {
    uint32_t lo, hi, pts_delta, ss_delta, ss_residual;
};
constexpr VideoBand kVideoBands[] = {
    {5994, 6002, 6000, 3200, 0},     {6003, 6012, 6006, 3203, 9},     {7193, 7207, 7200, 3840, 0},
    {11988, 12005, 12000, 6400, 0},  {12006, 12024, 12012, 6406, 18}, {14386, 14414, 14400, 7680, 0},
    {14985, 15007, 15000, 8000, 0},  {15008, 15030, 15015, 8008, 0},
};

struct AudioBand {
    uint32_t lo, hi, ticks, samples;
};
constexpr AudioBand kAudioBands[] = {
    {1785, 1965, 1920, 1024},
    {2115, 2205, 2160, 1152},
    {2835, 2925, 2880, 1536},
};

PtsUpdate settle(PtsFilter &f, uint64_t pts, uint64_t d, uint32_t rate)
{
    f.pts = pts;
    if (f.rate == rate) {
        f.pts_monotonic += d;
        return PTS_CONTINUOUS;
    }
    f.rate = rate;
    f.pts_monotonic = pts;
    return PTS_DISCONTINUITY;
}

// ---- video side ----

void start_cqf(Embedder &e)
{
    void *buf = nullptr;
    uint32_t items = 0, size = 0;
    cqfReset(e.cqf, &buf, &items, &size);
    cqfEnable(e.cqf, 255);
    e.cpu_item = e.ITEMS ? e.ITEMS - 1 : 0;
    cqfSetCpuItem(e.cqf, uint16_t(e.cpu_item));
    e.fpga_item = 0;
}

void chase_cqf(Embedder &e)
{
    const int item = cqfGetFpgaItem(e.cqf);
    if (item < 0 || !e.ITEMS)
        return;
    const uint32_t it = uint32_t(item) % e.ITEMS;
    e.stalled = it == e.fpga_item;
    e.fpga_item = it;
    e.cpu_item = (e.ITEMS - 1 + it) % e.ITEMS;
    cqfSetCpuItem(e.cqf, uint16_t(e.cpu_item));
}

void clear_video(Embedder &e)
{
    e.video_anchor = 0;
    e.video_monotonic = e.video_ideal = 0;
    e.video_pts_rem = e.video_ss_rem = 0;
    e.video_pts_err = e.video_ss_err = 0;
    for (Pair &p : e.pair)
        p.anchor = 0; // audio re-anchors after a video discontinuity
}

void control_video(int chn, int io, const PtsFilter &f, PtsUpdate u)
{
    Embedder &e = g_emb[io];
    if (u != PTS_CONTINUOUS) {
        clear_video(e);
        return;
    }
    const uint32_t n = e.SAMPLES_SETS;
    if (!e.video_anchor) {
        const PtsSamplesSet a = pss(f.pts_monotonic, f.ss_delta % n);
        e.video_monotonic = e.video_ideal = a;
        e.video_pts_rem = e.video_ss_rem = 0;
        e.video_anchor = a;
        return;
    }
    const PtsSamplesSet anchor = e.video_anchor;
    e.video_monotonic = pss(f.pts_monotonic, position_of(anchor, f.pts_monotonic, n));
    e.video_pts_rem += f.pts_residual;
    e.video_ss_rem += f.ss_residual;
    const uint32_t pts_carry = e.video_pts_rem / 45, ss_carry = e.video_ss_rem / 45;
    e.video_pts_rem %= 45;
    e.video_ss_rem %= 45;
    e.video_ideal = pss(pss_pts(e.video_ideal) + f.pts_delta + pts_carry,
                        (pss_ss(e.video_ideal) + f.ss_delta + ss_carry) % n);
    e.video_pts_err = int32_t(uint32_t(pss_pts(e.video_monotonic) - pss_pts(e.video_ideal)));
    e.video_ss_err = ring_distance(pss_ss(e.video_monotonic), pss_ss(e.video_ideal), n);
    e.cqf_ss_err = ring_distance(e.fpga_item * (e.ITEM_SIZE / kSetBytes), pss_ss(e.video_monotonic), n);
    debug("VidCtl %u    => Embed %u,     pts[AMI] %13llu %13llu %13llu (%+3d),  ss[AMI] %5u %5u %5u (%+3d)\n",
          unsigned(chn) + 1, unsigned(io) + 1, (unsigned long long)pss_pts(anchor), (unsigned long long)pss_pts(e.video_monotonic),
          (unsigned long long)pss_pts(e.video_ideal), e.video_pts_err, pss_ss(anchor), pss_ss(e.video_monotonic),
          pss_ss(e.video_ideal), e.video_ss_err);
}

// ---- audio side ----

void mute_pair(Embedder &e, int pair)
{
    for (uint32_t s = 0; s < e.SAMPLES_SETS; ++s) {
        int32_t *w = e.set(s) + 2 * pair;
        store_word(w, 0);
        store_word(w + 1, 0);
    }
}

void clear_pair(Embedder &e, int pair)
{
    Pair &p = e.pair[pair];
    const bool was = p.anchor.exchange(0) != 0;
    p.monotonic = 0;
    p.ideal = 0;
    p.pts_rem = p.ss_rem = 0;
    p.pts_err = p.ss_err = 0;
    if (was)
        mute_pair(e, pair);
}

void control_audio(int chn, int idx, int io, int pair, const PtsFilter &f, PtsUpdate u)
{
    Embedder &e = g_emb[io];
    Pair &p = e.pair[pair];
    const PtsSamplesSet vanchor = e.video_anchor;
    if (u != PTS_CONTINUOUS || !vanchor) {
        clear_pair(e, pair);
        return;
    }
    const uint32_t n = e.SAMPLES_SETS;
    PtsSamplesSet anchor = p.anchor;
    if (!anchor) {
        anchor = pss(f.pts_monotonic, position_of(vanchor, f.pts_monotonic, n));
        p.monotonic = anchor;
        p.ideal = anchor;
        p.pts_rem = p.ss_rem = 0;
        p.pts_err = p.ss_err = 0;
        p.anchor = anchor;
        return;
    }
    p.monotonic = pss(f.pts_monotonic, position_of(anchor, f.pts_monotonic, n));
    p.pts_rem += f.pts_residual;
    const uint32_t carry = p.pts_rem / 45;
    p.pts_rem %= 45;
    const PtsSamplesSet ideal = p.ideal;
    p.ideal = pss(pss_pts(ideal) + f.pts_delta + carry, pss_ss(ideal));
    p.pts_err = int32_t(uint32_t(pss_pts(p.monotonic) - pss_pts(p.ideal)));
    p.ss_err = ring_distance(pss_ss(p.monotonic), pss_ss(ideal), n);
    debug("AudCtl %u-%.2u => Embed %u-%u,   pts[AMI] %13llu %13llu %13llu (%+3d),  ss[AMI] %5u %5u %5u (%+3d)\n",
          unsigned(chn) + 1, unsigned(idx) + 1, unsigned(io) + 1, unsigned(pair) + 1,
          (unsigned long long)pss_pts(anchor), (unsigned long long)pss_pts(p.monotonic),
          (unsigned long long)pss_pts(p.ideal), p.pts_err, pss_ss(anchor), pss_ss(p.monotonic), pss_ss(ideal),
          p.ss_err);
}

int32_t s16_word(int16_t v) { return int32_t(uint32_t(uint16_t(v)) << 16); }

void clear_filters()
{
    for (PtsFilter &f : g_video_filter)
        f = {};
    for (auto &row : g_audio_filter)
        for (PtsFilter &f : row)
            f = {};
}

void clear_maps()
{
    for (auto &row : g_video_map)
        for (auto &i : row)
            i = -1;
    for (auto &chn : g_audio_map)
        for (auto &idx : chn)
            for (auto &i : idx)
                i = kEmpty;
    for (auto &row : g_skew)
        for (auto &s : row)
            s = 0;
}

void clear_embedder(Embedder &e)
{
    e.cqf = nullptr;
    e.stalled = false;
    e.fpga_item = e.cpu_item = 0;
    e.BUF_BEG = e.BUF_END = nullptr;
    e.SAMPLES_SETS = e.PTS_SAMPLES_SETS = e.ITEMS = e.ITEM_SIZE = 0;
    e.cqf_ss_err = 0;
    clear_video(e);
    for (Pair &p : e.pair) {
        p.monotonic = 0;
        p.ideal = 0;
        p.pts_rem = p.ss_rem = 0;
        p.pts_err = p.ss_err = 0;
    }
}

bool setup_embedder(int io)
{
    Embedder &e = g_emb[io];
    char name[32];
    std::snprintf(name, sizeof name, "aud_decoder_%d", io);
    Cqf *q = fpgaGetCqf(name);
    void *buf = nullptr;
    uint32_t items = 0, size = 0;
    if (!q || cqfReset(q, &buf, &items, &size) < 0 || !buf || !items || !size || (uint64_t(items) * size) < kSetBytes) {
        clear_embedder(e);
        return false;
    }
    e.cqf = q;
    e.ITEMS = items;
    e.ITEM_SIZE = size;
    const uint64_t bytes = (uint64_t(items) * size) & ~uint64_t(3);
    e.BUF_BEG = static_cast<int32_t *>(buf);
    e.BUF_END = e.BUF_BEG + bytes / 4;
    e.SAMPLES_SETS = uint32_t(bytes / kSetBytes);
    e.PTS_SAMPLES_SETS = 45 * e.SAMPLES_SETS / 24;
    for (int32_t *w = e.BUF_BEG; w < e.BUF_END; ++w)
        store_word(w, 0);
    debug("Embedder %u  BUF_BEG %p, BUF_END %p, ITEMS %u, ITEM_SIZE %u, SAMPLES_SETS %u\n", unsigned(io) + 1,
          static_cast<void *>(e.BUF_BEG), static_cast<void *>(e.BUF_END), e.ITEMS, e.ITEM_SIZE, e.SAMPLES_SETS);
    return true;
}

} // namespace

// ---- filters ----

extern "C" PtsUpdate ancFilterVideoPts(PtsFilter *f, uint64_t pts)
{
    if (++f->ctr < 4)
        return PTS_UNCHANGED;
    f->ctr = 0;
    const uint32_t d = uint32_t(pts - f->pts);
    for (const VideoBand &b : kVideoBands) {
        if (d < b.lo || d > b.hi)
            continue;
        f->pts_delta = b.pts_delta;
        f->ss_delta = b.ss_delta;
        f->ss_residual = b.ss_residual;
        f->pts_residual = 0;
        return settle(*f, pts, d, b.pts_delta);
    }
    *f = {};
    f->pts = pts;
    return PTS_ERROR;
}

extern "C" PtsUpdate ancFilterAudioPts(PtsFilter *f, uint64_t pts)
{
    ++f->ctr;
    if (pts >= kPts33)
        return PTS_UNCHANGED;
    const uint32_t n = f->ctr;
    f->ctr = 0;
    // The period is taken modulo 2^33: the time stamp wraps every 26.5 hours.
    const uint64_t d = (pts - f->pts) & (kPts33 - 1);
    const uint64_t q = d / n;
    for (const AudioBand &b : kAudioBands) {
        if (q < b.lo || q > b.hi)
            continue;
        f->pts_delta = b.ticks * n;
        f->ss_delta = b.samples * n;
        f->pts_residual = f->ss_residual = 0;
        return settle(*f, pts, d, b.ticks);
    }
    // Cleared, but the new time stamp is kept: the next frame measures from it.
    *f = {};
    f->pts = pts;
    return PTS_ERROR;
}

extern "C" int32_t ancF32ToWord(float v)
{
    const double x = double(v) * 2147483647.0;
    if (std::isnan(x))
        return 0;
    if (x >= 2147483647.0)
        return std::numeric_limits<int32_t>::max();
    if (x <= -2147483648.0)
        return std::numeric_limits<int32_t>::min();
    return int32_t(x); // toward zero
}

// ---- start and stop ----

extern "C" int ancDecAudEmbedInit(void)
{
    clear_filters();
    clear_maps();
    int rc = 0;
    for (int io = 0; io < kEmbedders; ++io)
        if (!g_emb[io].has_ring() && !setup_embedder(io))
            rc = -1;
    for (int io = 0; io < 3; ++io)
        ancDecAudEmbedChnMap(0, io, true);
    for (int i = 0; i < 24; ++i)
        ancDecAudEmbedChnIdxMap(0, i, i / 8, i % 8, true);
    return rc;
}

extern "C" int ancDecAudEmbedFini(void)
{
    for (Embedder &e : g_emb) {
        if (e.cqf)
            cqfDisable(e.cqf, 255);
        clear_embedder(e);
    }
    clear_filters();
    return 0;
}

// ---- maps ----

extern "C" int ancDecAudEmbedChnMap(int chn, int io, bool add)
{
    if (!chn_ok(chn) || !io_ok(io))
        return -1;
    auto &m = g_video_map[chn];
    int at = -1, used = 0;
    for (int i = 0; i < kVideoItems && m[i] >= 0; ++i, ++used)
        if (m[i] == io)
            at = i;
    if (add) {
        if (at < 0) {
            if (used == kVideoItems)
                return -1;
            m[used] = int8_t(io);
        }
    } else if (at >= 0) {
        for (int i = at; i + 1 < used; ++i)
            m[i] = m[i + 1].load();
        m[used - 1] = -1;
    }
    debug_video_map(chn);
    return 0;
}

extern "C" int ancDecAudEmbedChnIdxMap(int chn, int idx, int io, int pair, bool add)
{
    if (!chn_ok(chn) || !idx_ok(idx) || !io_ok(io) || !pair_ok(pair))
        return -1;
    auto &m = g_audio_map[chn][idx];
    const uint16_t item = uint16_t(io | pair << 8);
    int at = -1, used = 0;
    for (int i = 0; i < kIndexes && m[i] != kEmpty; ++i, ++used)
        if (m[i] == item)
            at = i;
    if (add) {
        if (at < 0) {
            if (used == kIndexes)
                return -1;
            m[used] = item;
        }
    } else if (at >= 0) {
        for (int i = at; i + 1 < used; ++i)
            m[i] = m[i + 1].load();
        m[used - 1] = kEmpty;
    }
    debug_audio_map(chn, idx);
    return 0;
}

extern "C" int ancDecAudEmbedChnMute(int chn)
{
    if (!chn_ok(chn))
        return -1;
    for (int io : {2 * chn, 2 * chn + 1}) {
        Embedder &e = g_emb[io];
        if (!e.has_ring())
            continue;
        for (int32_t *w = e.BUF_BEG; w < e.BUF_END; ++w)
            store_word(w, 0);
    }
    return 0;
}

extern "C" int ancDecAudEmbedChnIdxSkew(int chn, int idx, int skew)
{
    if (!chn_ok(chn) || !idx_ok(idx))
        return -1;
    // A skew of a whole ring or more would wrap onto the wrong time.
    const int64_t mag = skew < 0 ? -int64_t(skew) : skew;
    for (const Embedder &e : g_emb)
        if (e.has_ring() && mag >= int64_t(e.SAMPLES_SETS))
            return -1;
    g_skew[chn][idx] = skew;
    return 0;
}

// ---- time stamps ----

extern "C" int ancDecAudEmbedChnPts(int chn, uint64_t pts)
{
    if (!chn_ok(chn))
        return -1;
    PtsFilter &f = g_video_filter[chn];
    const PtsUpdate u = ancFilterVideoPts(&f, pts);
    if (u == PTS_UNCHANGED)
        return 0;
    if (u == PTS_ERROR) {
        debug("VidPts %u    pts %13llu  ERROR\n", unsigned(chn) + 1, (unsigned long long)pts);
        return -1;
    }
    debug("VidPts %u    rate %4.2f Hz,  pts[DMR]         %5u %13llu %13llu,        ss[DR]  %5u %5u%s\n",
          unsigned(chn) + 1, f.rate ? 360000.0 / f.rate : 0.0, f.pts_delta, (unsigned long long)f.pts,
          (unsigned long long)f.pts_monotonic, f.ss_delta, f.ss_residual,
          u == PTS_DISCONTINUITY ? "  DISCONTINUITY" : "");
    int seen[kVideoItems], n = 0;
    for (int i = 0; i < kVideoItems; ++i) {
        const int io = g_video_map[chn][i];
        if (io < 0)
            break;
        bool dup = false;
        for (int k = 0; k < n; ++k)
            dup |= seen[k] == io;
        if (dup || !io_ok(io))
            continue;
        seen[n++] = io;
        Embedder &e = g_emb[io];
        if (!e.has_ring())
            continue;
        if (u == PTS_DISCONTINUITY)
            start_cqf(e);
        else
            chase_cqf(e);
        control_video(chn, io, f, u);
    }
    return 0;
}

extern "C" int ancDecAudEmbedChnIdxPts(int chn, int idx, uint64_t pts)
{
    if (!chn_ok(chn) || !idx_ok(idx))
        return -1;
    PtsFilter &f = g_audio_filter[chn][idx];
    const PtsUpdate u = ancFilterAudioPts(&f, pts);
    if (u == PTS_UNCHANGED)
        return 0;
    if (u == PTS_ERROR)
        debug("AudPts %u-%.2u  pts %13llu  ERROR\n", unsigned(chn) + 1, unsigned(idx) + 1, (unsigned long long)pts);
    else
        debug("AudPts %u-%.2u rate %4.2f mS,  pts[DMR]         %5u %13llu %13llu,        ss[DR]  %5u %5u%s\n",
              unsigned(chn) + 1, unsigned(idx) + 1, f.rate / 90.0, f.pts_delta, (unsigned long long)f.pts,
              (unsigned long long)f.pts_monotonic, f.ss_delta, f.ss_residual,
              u == PTS_DISCONTINUITY ? "  DISCONTINUITY" : "");
    for (int i = 0; i < kIndexes; ++i) {
        const uint16_t m = g_audio_map[chn][idx][i];
        if (m == kEmpty)
            break;
        const int io = m & 0xFF, pair = m >> 8;
        if (io_ok(io) && pair_ok(pair) && g_emb[io].has_ring())
            control_audio(chn, idx, io, pair, f, u);
    }
    return u == PTS_ERROR ? -1 : 0;
}

extern "C" int ancDecAudEmbedChnIdxFrame(int chn, int idx, int format, const void *plane0, const void *plane1,
                                         int count)
{
    if (!chn_ok(chn) || !idx_ok(idx) || !plane0 || count <= 0 ||
        (format != DEC_AUD_SRC_FMT_S16 && format != DEC_AUD_SRC_FMT_F32))
        return -1;
    const int32_t skew = g_skew[chn][idx];
    for (int i = 0; i < kIndexes; ++i) {
        const uint16_t m = g_audio_map[chn][idx][i];
        if (m == kEmpty)
            break;
        const int io = m & 0xFF, pair = m >> 8;
        if (!io_ok(io) || !pair_ok(pair))
            continue;
        Embedder &e = g_emb[io];
        Pair &p = e.pair[pair];
        if (!e.has_ring() || !p.anchor)
            continue;
        const uint32_t n = e.SAMPLES_SETS;
        const PtsSamplesSet ideal = p.ideal;
        int64_t pos = (int64_t(pss_ss(ideal)) + skew) % int64_t(n);
        if (pos < 0)
            pos += n;
        int32_t *w = e.set(uint32_t(pos)) + 2 * pair;
        const int32_t *end = e.BUF_END;
        for (int k = 0; k < count; ++k) {
            int32_t l, r;
            if (format == DEC_AUD_SRC_FMT_F32) {
                const auto *a = static_cast<const float *>(plane0);
                if (plane1) {
                    l = ancF32ToWord(a[k]);
                    r = ancF32ToWord(static_cast<const float *>(plane1)[k]);
                } else {
                    l = ancF32ToWord(a[2 * k]);
                    r = ancF32ToWord(a[2 * k + 1]);
                }
            } else if (plane1) {
                l = s16_word(static_cast<const int16_t *>(plane0)[k]);
                r = s16_word(static_cast<const int16_t *>(plane1)[k]);
            } else {
                uint32_t word;
                std::memcpy(&word, static_cast<const uint8_t *>(plane0) + 4 * size_t(k), 4);
                l = int32_t(word << 16);
                r = int32_t(word & 0xFFFF0000u);
            }
            store_word(w, l);
            store_word(w + 1, r);
            w += kSetBytes / 4;
            if (w >= end)
                w = e.BUF_BEG + 2 * pair;
        }
        p.ideal = pss(pss_pts(ideal), uint32_t((pss_ss(ideal) + uint64_t(count)) % n));
    }
    return 0;
}

// ---- inspection ----

extern "C" int ancDecAudEmbedChnMapGet(int chn, int8_t io_out[4])
{
    if (!chn_ok(chn) || !io_out)
        return -1;
    for (int i = 0; i < kVideoItems; ++i)
        io_out[i] = g_video_map[chn][i];
    return 0;
}

extern "C" int ancDecAudEmbedChnIdxMapGet(int chn, int idx, MapItem items_out[32])
{
    if (!chn_ok(chn) || !idx_ok(idx) || !items_out)
        return -1;
    for (int i = 0; i < kIndexes; ++i) {
        const uint16_t m = g_audio_map[chn][idx][i];
        items_out[i] = m == kEmpty ? MapItem{-1, -1} : MapItem{int8_t(m & 0xFF), int8_t(m >> 8)};
    }
    return 0;
}

extern "C" int32_t *ancDecAudEmbedRing(int io, uint32_t *sample_sets)
{
    if (!io_ok(io) || !g_emb[io].has_ring())
        return nullptr;
    if (sample_sets)
        *sample_sets = g_emb[io].SAMPLES_SETS;
    return g_emb[io].BUF_BEG;
}

extern "C" int ancDecAudEmbedPairPosition(int io, int pair)
{
    if (!io_ok(io) || !pair_ok(pair) || !g_emb[io].pair[pair].anchor)
        return -1;
    return int(pss_ss(g_emb[io].pair[pair].ideal.load()));
}

extern "C" int ancDecAudEmbedVideoAnchor(int io, uint64_t *pts, uint32_t *sample_set)
{
    const PtsSamplesSet a = io_ok(io) ? g_emb[io].video_anchor.load() : 0;
    if (!a)
        return -1;
    if (pts)
        *pts = pss_pts(a);
    if (sample_set)
        *sample_set = pss_ss(a);
    return 0;
}
