// PES header parsing and the PTS-to-PCR drift monitor.
#include "pcr_pts_analysis/pcr_pts.h"

#include "mcf_utils.h"
#include "status_queue.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint64_t kClock33 = 1ull << 33;
constexpr int64_t kOneSecond90k = 90000;
constexpr double kDriftSlope = 6.352;

int lookup_pcr_pid(const pcr_pid_lookup *inputs, int pid)
{
    if (!inputs || !inputs->pcr_pid_of)
        return -1;
    return inputs->pcr_pid_of(inputs->ctx, pid);
}

pcr_pts_service *find_service(pcr_pts_services *s, int pcr_pid)
{
    for (int i = 0; i < s->list_len; ++i)
        if (s->list[i]->pcr_pid == pcr_pid)
            return s->list[i];
    return nullptr;
}

pcr_pts_service *get_or_add(pcr_pts_services *s, int pcr_pid)
{
    if (pcr_pts_service *svc = find_service(s, pcr_pid))
        return svc;
    if (s->list_len >= PCR_PTS_SERVICES_MAX)
        return nullptr;
    pcr_pts_service *svc = pcr_pts_service_ctor(pcr_pid);
    if (svc)
        s->list[s->list_len++] = svc;
    return svc;
}

} // namespace

extern "C" {

pes_hdr pes_parse_header(const uint8_t *buf, size_t len)
{
    pes_hdr h{};
    if (!buf || len < 6 || buf[0] != 0 || buf[1] != 0 || buf[2] != 1)
        return h;
    h.start_code = START_CODE_1;
    h.stream_id = buf[3];
    h.pes_packet_length = static_cast<uint32_t>(buf[4] << 8 | buf[5]);
    if (h.stream_id == STREAM_ID_PADDING_STREAM || h.stream_id == STREAM_ID_PRIVATE_STREAM_2 ||
        (h.stream_id < STREAM_ID_MPEG_AUDIO_STREAM && h.stream_id != STREAM_ID_PRIVATE_STREAM_1))
        return h;
    if (len < 9)
        return h;
    h.is_extension_present = 1;
    h.pes_scrambling_control = (buf[6] >> 4) & 3;
    h.pes_priority = (buf[6] >> 3) & 1;
    h.pts_dts_flags = (buf[7] >> 6) & 3;
    if ((h.pts_dts_flags == PTS_DTS_FLAGS_PTS_PRESENT || h.pts_dts_flags == PTS_DTS_FLAGS_PTS_AND_DTS_PRESENT) &&
        len >= 14) {
        h.pts = (static_cast<uint64_t>(buf[9] >> 1) & 7) << 30 | static_cast<uint64_t>(buf[10]) << 22 |
                static_cast<uint64_t>(buf[11] >> 1) << 15 | static_cast<uint64_t>(buf[12]) << 7 |
                static_cast<uint64_t>(buf[13] >> 1);
    }
    return h;
}

pid_pts *pid_pts_ctor(int pid)
{
    auto *p = static_cast<pid_pts *>(std::calloc(1, sizeof(pid_pts)));
    if (p)
        p->pid = pid;
    return p;
}

void pid_pts_dtor(pid_pts *p) { std::free(p); }

pcr_pts_service *pcr_pts_service_ctor(int pcr_pid)
{
    auto *s = static_cast<pcr_pts_service *>(std::calloc(1, sizeof(pcr_pts_service)));
    if (!s)
        return nullptr;
    s->pcr_pid = pcr_pid;
    mcf_post_log(SQ_LOG_DEBUG, "Added new pcr struct for pcr: 0x%0X", static_cast<unsigned>(pcr_pid));
    return s;
}

void pcr_pts_service_dtor(pcr_pts_service *s)
{
    if (!s)
        return;
    for (int i = 0; i < s->pid_pts_len; ++i)
        pid_pts_dtor(s->pid_pts[i]);
    std::free(s);
}

pid_pts *pcr_pts_service_add(pcr_pts_service *s, int pid)
{
    if (!s || s->pid_pts_len >= PCR_PTS_PIDS_MAX)
        return nullptr;
    pid_pts *p = pid_pts_ctor(pid);
    if (!p)
        return nullptr;
    s->pid_pts[s->pid_pts_len++] = p;
    mcf_post_log(SQ_LOG_DEBUG, "Added new pid to pcr: 0x%0X, pid: 0x%0X", static_cast<unsigned>(s->pcr_pid),
                 static_cast<unsigned>(pid));
    return p;
}

pid_pts *pcr_pts_service_find(pcr_pts_service *s, int pid)
{
    if (!s)
        return nullptr;
    for (int i = 0; i < s->pid_pts_len; ++i)
        if (s->pid_pts[i]->pid == pid)
            return s->pid_pts[i];
    return nullptr;
}

pcr_pts_services *pcr_pts_services_ctor(void)
{
    return static_cast<pcr_pts_services *>(std::calloc(1, sizeof(pcr_pts_services)));
}

void pcr_pts_services_dtor(pcr_pts_services *s)
{
    if (!s)
        return;
    for (int i = 0; i < s->list_len; ++i)
        pcr_pts_service_dtor(s->list[i]);
    std::free(s);
}

pcr_pts_service *pcr_pts_services_get(pcr_pts_services *s, const pcr_pid_lookup *inputs, int pid)
{
    if (!s)
        return nullptr;
    int pcr_pid = lookup_pcr_pid(inputs, pid);
    if (pcr_pid < 0)
        return nullptr;
    return get_or_add(s, pcr_pid);
}

int pcr_pts_services_update(pcr_pts_services *s, const pcr_pid_lookup *inputs, int pid, uint64_t pts)
{
    pcr_pts_service *svc = pcr_pts_services_get(s, inputs, pid);
    if (!svc)
        return -1;
    pid_pts *p = pcr_pts_service_find(svc, pid);
    if (!p)
        p = pcr_pts_service_add(svc, pid);
    if (!p)
        return -1;
    p->pts = pts % kClock33;
    p->pts_is_updated = 1;
    return 0;
}

int pcr_pts_services_update_pcr(pcr_pts_services *s, int pcr_pid, uint64_t pcr_base)
{
    if (!s || pcr_pid < 0)
        return -1;
    pcr_pts_service *svc = get_or_add(s, pcr_pid);
    if (!svc)
        return -1;
    svc->pcr_base = pcr_base % kClock33;
    svc->pcr_base_is_updated = 1;
    return 0;
}

int pcr_pts_services_get_diff(pcr_pts_services *s, const pcr_pid_lookup *inputs, int pid, int64_t *diff)
{
    if (!s || !diff)
        return -1;
    int pcr_pid = lookup_pcr_pid(inputs, pid);
    pcr_pts_service *svc = pcr_pid < 0 ? nullptr : find_service(s, pcr_pid);
    pid_pts *p = pcr_pts_service_find(svc, pid);
    if (!svc || !p || !svc->pcr_base_is_updated || !p->pts_is_updated)
        return -1;
    *diff = mcastfwdr_get_dist(svc->pcr_base, p->pts, kClock33);
    svc->pcr_base_is_updated = 0;
    p->pts_is_updated = 0;
    return 0;
}

pcr_pts_history *pcr_pts_history_ctor(void)
{
    auto *h = static_cast<pcr_pts_history *>(std::calloc(1, sizeof(pcr_pts_history)));
    if (!h)
        return nullptr;
    h->timer = kd_timer_ctor();
    if (!h->timer) {
        std::free(h);
        return nullptr;
    }
    pcr_pts_history_reset(h);
    return h;
}

void pcr_pts_history_dtor(pcr_pts_history *h)
{
    if (!h)
        return;
    kd_timer_dtor(h->timer);
    std::free(h);
}

void pcr_pts_history_reset(pcr_pts_history *h)
{
    if (!h)
        return;
    kd_timer *t = h->timer;
    std::memset(h, 0, sizeof *h);
    h->timer = t;
    kd_timer_restart(t);
}

int pcr_pts_history_handle_update(pcr_pts_history *h, pcr_pts_services *s, const pcr_pid_lookup *inputs, int pid,
                                  char *text, size_t size)
{
    if (!h)
        return -1;
    int64_t d = 0;
    if (pcr_pts_services_get_diff(s, inputs, pid, &d) != 0)
        return -1;
    if (kd_timer_get_elapsed_ns(h->timer) < 1000000000ull)
        return -1;
    kd_timer_restart(h->timer);

    if (std::llabs(d) > kOneSecond90k)
        mcf_post_log(SQ_LOG_WARN, "Detected pts-pcr drifting out of range! pid: 0x%0X, pts-pcr: %lld",
                     static_cast<unsigned>(pid), static_cast<long long>(d));

    h->coords_y[h->coords_idx] = static_cast<int32_t>(d);
    if (h->coords_len < PCR_PTS_HISTORY_LEN) {
        h->coords_x[h->coords_idx] = h->coords_idx;
    } else {
        // Full: the oldest sample (the one after the newest) gets x 0.
        for (int i = 0; i < PCR_PTS_HISTORY_LEN; ++i)
            h->coords_x[(h->coords_idx + 1 + i) % PCR_PTS_HISTORY_LEN] = i;
    }
    h->coords_idx = (h->coords_idx + 1) % PCR_PTS_HISTORY_LEN;
    if (h->coords_len < PCR_PTS_HISTORY_LEN)
        ++h->coords_len;
    ++h->coords_samples;

    const int n = h->coords_len;
    double sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
    for (int i = 0; i < n; ++i) {
        double x = h->coords_x[i], y = h->coords_y[i];
        sx += x;
        sy += y;
        sxx += x * x;
        syy += y * y;
        sxy += x * y;
    }
    double den = n * sxx - sx * sx;
    double m = 0, r = 0;
    long b = 0;
    if (den != 0) {
        m = (n * sxy - sx * sy) / den;
        b = std::lround((sxx * sy - sx * sxy) / den);
        double var = (sxx - sx * sx / n) * (syy - sy * sy / n);
        r = var > 0 ? (sxy - sx * sy / n) / std::sqrt(var) : 0.0;
    }
    if (text && size)
        std::snprintf(text, size, "diff: %lld, m: %.02f, b: %d, r: %.02f, n: %d", static_cast<long long>(d), m,
                      static_cast<int>(b), r, static_cast<int>(h->coords_samples));
    if (n == PCR_PTS_HISTORY_LEN && std::fabs(m) > kDriftSlope)
        mcf_post_log(SQ_LOG_WARN, "Detected pts-pcr drift! pid: 0x%0X, pts-pcr: %lld, m: %.02f",
                     static_cast<unsigned>(pid), static_cast<long long>(d), m);
    return 0;
}

} // extern "C"
