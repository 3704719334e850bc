/* The decoder's ancillary-data library: the SMPTE ST 352 payload of each
 * SDI output, the carrier's row and 4K settings that map user channels to
 * hardware channels, the debug streams under "/run/debug/libanc/", and
 * the start and stop of the decoder side (which also starts and stops the
 * SDI audio embedder). */
#ifndef KD_ANC_H
#define KD_ANC_H

#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- SMPTE ST 352 payload ---- */
enum { IP_INTERLACED = 0, IP_PROGRESSIVE = 1 };

/* Payload byte 1: video standard code. */
typedef enum S352VidStd { SD_525_625 = 129, HD_720 = 132, HD_1080 = 133, _3G_1080P = 137 } S352VidStd;
typedef enum S352FrRate {
    FR_UNK = 0, FR_RSVD = 1, FR_2398 = 2, FR_24 = 3, FR_48_1001 = 4, FR_25 = 5,
    FR_2997 = 6, FR_30 = 7, FR_48 = 8, FR_50 = 9, FR_5994 = 10, FR_60 = 11
} S352FrRate;
typedef enum S352XferChar { SDR = 0, HLG = 1, HDR_PQ = 2, RSVD = 3 } S352XferChar;
typedef enum S352Sampling {
    YCBCR_422 = 0, YCBCR_444 = 1, GBR_444 = 2, _4_2_0 = 3, YCBCRA_4224 = 4, YCBCRA_4444 = 5,
    GBRA_4444 = 6, ST_2048_2_FS = 7, YCBCRD_4224 = 8, YCBCRD_4444 = 9, GBRD_4444 = 10
} S352Sampling;
typedef enum S352Colorimetry { BT_709 = 0, RSVD1 = 1, BT_2020 = 2, UNK = 3 } S352Colorimetry;
typedef enum S352Aspect { _4x3 = 0, _16x9 = 1 } S352Aspect;
typedef enum S352BitDepth { _10BIT_FR = 0, _10BIT = 1, _12BIT = 2, _12BIT_FR = 3 } S352BitDepth;

/* The four payload bytes; `id` is byte 1, the most significant byte of the
 * 32-bit word handed to the board. */
typedef struct smpte_352m_d {
    uint8_t id;
    uint8_t fr_rate : 4, xfer_char : 2, ip_pict : 1, ip_xport : 1;
    uint8_t sampling_struct : 4, colorimetry : 2, hpix_sz : 1, aspect_ratio : 1;
    uint8_t bit_depth : 2, rsvd0 : 2, luma_color : 1, rsvd1 : 3;
} smpte_352m_d;

/* Inserter control word: bit 0 en_insert, bit 1 en_field1, bit 2 en_field2. */
typedef uint16_t smpte_352m_ctl;
#define S352M_CTL_EN_INSERT 0x0001u
#define S352M_CTL_EN_FIELD1 0x0002u
#define S352M_CTL_EN_FIELD2 0x0004u

typedef struct DecAudHdrS352VidInfo {
    int32_t chn;
    int32_t hsize;
    int32_t vsize;
    int32_t ip_xport; /* IP_INTERLACED or IP_PROGRESSIVE */
    int32_t ip_pic;
    double frame_rate;
    int32_t color_primaries; /* ISO/IEC 23091-2 codes */
    int32_t transfer_char;
    int32_t matrix_coeffs;
} DecAudHdrS352VidInfo;

/* The payload as the board takes it. */
uint32_t ancS352mWord(const smpte_352m_d *p);
/* Builds the payload and control word of info->chn (0 or 1; any other
 * channel is ignored) and programs them on the board context ctx (a
 * kt3300_ctx). 0, or -1 for a missing argument or an ignored channel. */
int ancS352mUpdate(void *ctx, const DecAudHdrS352VidInfo *info);
/* The payload and control word of info without programming anything. */
void ancS352mBuild(const DecAudHdrS352VidInfo *info, smpte_352m_d *payload, smpte_352m_ctl *ctl);

/* ---- carrier channel map ---- */
void ancCarrierSetLowerRow(bool lower_row);
void ancCarrierSet4kMode(bool mode_4k);
bool ancCarrierIsLowerRow(void);
bool ancCarrierIsLowerRowOr4k(void);
/* Hardware channel of user channel 0-3 (audio pair 0-15); -1 outside. */
int ancCarrierChnUiToHw(int channel, int pair);

/* ---- debug streams ---- */
typedef enum DebugStreamID {
    DSID_ENC_AUD_COMPRESS = 0,
    DSID_ENC_AUD_PES,
    DSID_ENC_AUD_PESOPT,
    DSID_ENC_VBI_ANCFLOW,
    DSID_ENC_VBI_OP47,
    DSID_ENC_VBI_PARSE,
    DSID_ENC_VBI_SMPTE2038,
    DSID_ENC_ENCODE,
    DSID_ENC_FTM,
    DSID_ENC_HDR,
    DSID_ENC_MPTS,
    DSID_ENC_TIMING,
    DSID_ENC_TS,
    DSID_DEC_AUD_EMBED,
    DSID_DEC_DECODE,
    DSID_COUNT
} DebugStreamID;

typedef struct DebugStream {
    FILE *f;
    const char *filename;
    int ticks;  /* calls between checks */
    int ticker; /* countdown to the next check */
    long size;  /* file size limit in bytes */
} DebugStream;

/* side "dec" or "enc": makes the side's folders and "~" placeholders. */
void ancDebugInit(const char *side);
void ancDebugFini(const char *side);
/* The stream's open file while its file exists and is writable, else null.
 * Callers serialise the calls of one stream. */
FILE *ancDebugStreamFile(int id);

/* ---- decoder side ---- */
int ancDecInit(void);
int ancDecFini(void);

#ifdef __cplusplus
}
#endif

#endif
