// Fixed-capacity sample recorder.
#include "ylib_internal.h"

#include <kerrow/dataset.h>

#include <climits>
#include <cstdlib>
#include <numeric>

extern "C" stat_helper *stat_helper_ctor(unsigned capacity)
{
    if (capacity == 0)
        return nullptr;
    auto *h = kd::calloc_record(&stat_helper::data_points, capacity);
    if (!h)
        return nullptr;
    h->capacity = capacity;
    stat_helper_clear(h);
    return h;
}

extern "C" void stat_helper_dtor(stat_helper *h)
{
    if (!h)
        return;
    free(h->data_points);
    free(h);
}

extern "C" int stat_helper_record(stat_helper *h, unsigned v)
{
    if (!h || h->next_dp >= h->capacity)
        return -1;
    h->data_points[h->next_dp++] = v;
    if (v < h->min)
        h->min = v;
    if (v > h->max)
        h->max = v;
    return 0;
}

extern "C" int stat_helper_clear(stat_helper *h)
{
    if (!h)
        return -1;
    h->next_dp = 0;
    h->min = UINT_MAX;
    h->max = 0;
    return 0;
}

extern "C" unsigned stat_helper_get_min(stat_helper *h) { return h ? h->min : UINT_MAX; }

extern "C" unsigned stat_helper_get_max(stat_helper *h) { return h ? h->max : 0; }

extern "C" unsigned stat_helper_get_count(stat_helper *h) { return h ? h->next_dp : 0; }

extern "C" unsigned stat_helper_get_average(stat_helper *h)
{
    if (!h || h->next_dp == 0)
        return UINT_MAX;
    // 64 bits: a few hundred latency samples of seconds each already
    // overflow a 32-bit sum.
    uint64_t sum = std::accumulate(h->data_points, h->data_points + h->next_dp, uint64_t(0));
    return unsigned(sum / h->next_dp);
}
