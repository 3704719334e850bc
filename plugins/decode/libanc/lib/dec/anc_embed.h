/* The SDI audio embedder of the decoder side: decoded PCM written into the
 * FPGA's four embedder rings where it lines up with the video of the same
 * presentation time stamp. All calls answer 0, or -1 for a bad argument or
 * no room; channel 0-1, audio index 0-31, embedder (io) 0-3, pair 0-7. */
#ifndef KD_ANC_EMBED_H
#define KD_ANC_EMBED_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum DecAudSrcFmt { DEC_AUD_SRC_FMT_S16 = 0, DEC_AUD_SRC_FMT_F32 = 1 } DecAudSrcFmt;

typedef enum PtsUpdate { PTS_ERROR = -1, PTS_UNCHANGED = 0, PTS_CONTINUOUS = 1, PTS_DISCONTINUITY = 2 } PtsUpdate;

/* Time-stamp filter: the period and position of a stream's frames. */
typedef struct PtsFilter {
    uint32_t ctr;          /* updates since the last evaluation */
    uint32_t rate;         /* ticks per period last seen */
    uint32_t pts_delta;    /* ticks of the period */
    uint32_t pts_residual; /* 1/45 tick */
    uint32_t ss_delta;     /* samples of the period */
    uint32_t ss_residual;  /* 1/45 sample */
    uint64_t pts;          /* last time stamp */
    uint64_t pts_monotonic;
} PtsFilter;

typedef struct MapItem {
    int8_t io;
    int8_t pair;
} MapItem;

int ancDecAudEmbedInit(void);
int ancDecAudEmbedFini(void);
int ancDecAudEmbedChnMap(int chn, int io, bool add);
int ancDecAudEmbedChnIdxMap(int chn, int idx, int io, int pair, bool add);
int ancDecAudEmbedChnMute(int chn);
int ancDecAudEmbedChnIdxSkew(int chn, int idx, int skew_samples);
int ancDecAudEmbedChnPts(int chn, uint64_t pts);
int ancDecAudEmbedChnIdxPts(int chn, int idx, uint64_t pts);
int ancDecAudEmbedChnIdxFrame(int chn, int idx, int format, const void *plane0, const void *plane1, int count);

/* ---- inspection (tests, debug) ---- */
PtsUpdate ancFilterVideoPts(PtsFilter *f, uint64_t pts);
PtsUpdate ancFilterAudioPts(PtsFilter *f, uint64_t pts);
/* One converted sample word. */
int32_t ancF32ToWord(float v);
/* Items of the maps, -1 marking the empty ones. */
int ancDecAudEmbedChnMapGet(int chn, int8_t io_out[4]);
int ancDecAudEmbedChnIdxMapGet(int chn, int idx, MapItem items_out[32]);
/* Ring of an embedder: start, sample sets; null when absent. */
int32_t *ancDecAudEmbedRing(int io, uint32_t *sample_sets);
/* The pair's next write position in sample sets; -1 while unanchored. */
int ancDecAudEmbedPairPosition(int io, int pair);
/* The embedder's video anchor: the time stamp and the ring position
 * (sample set) it fixes; -1 while unanchored. */
int ancDecAudEmbedVideoAnchor(int io, uint64_t *pts, uint32_t *sample_set);

#ifdef __cplusplus
}
#endif

#endif
