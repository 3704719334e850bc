/* The KT-3300 FPGA carrier board: context, register accessors, ingress
 * reader, test patterns and video status.
 *
 * Every call returns 0, or -1 with errno set (EINVAL for a bad context,
 * mapping or index) unless its comment says otherwise. Registers are
 * big-endian; the library swaps on each access. The library has no threads
 * and takes no locks except the serial-bus lock (spi_kt33.h). */
#ifndef KT3300_H
#define KT3300_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One memory map of a UIO device. Map 0 is the register window, map 1 the
 * transport-stream ingress ring, map 2 the egress buffer, map 3 the
 * embedder buffer. */
typedef struct uio_map {
    char name[32];
    uint32_t addr; /* physical address */
    uint32_t size;
    void *data;    /* the mapping */
} uio_map;

typedef struct uio_ctx {
    int uio_idx;
    int fd; /* of "/dev/uio%u" */
    char name[32];
    char version[32];
    uio_map *maps[5]; /* 0-3 are read */
} uio_ctx;

typedef struct kt3300_ctx {
    uint64_t phys_addr; /* register window: PCI BAR, or UIO map 0 address */
    uio_ctx *uio;       /* null when mapped through /dev/mem */
    int fd;             /* UIO or /dev/mem descriptor, -1 before kt3300_open */
    void *artix_base;   /* mapped register window, null before kt3300_open */
    unsigned version_major;
    unsigned version_minor;
    bool invert_inputs; /* per-input registers of input n address input 3 - n */
    int igr_frames;     /* 256-byte frames in the ingress ring */
    uint8_t i2s_aud_xpglob_nib[4];    /* shadows of write-only registers */
    uint8_t i2s_aud_xploc_byte[4][4];
} kt3300_ctx;

/* One 256-byte ingress frame as the FPGA writes it. */
typedef struct kt3300_igr_frm {
    uint8_t offset; /* position of the packet's first byte; 0: empty frame */
    uint8_t ver;
    uint8_t rsvd;
    uint8_t tag;    /* source port, 1-4 for ASI */
    uint32_t tstamp;
    uint32_t tshdr;
    uint8_t data[244];
} kt3300_igr_frm;

/* Reader of the ingress ring; one per thread. Allocated with malloc by
 * kt3300_alloc_igr_rdr; the caller releases it with free(). */
typedef struct kt3300_igr_rdr {
    void *artix_base;
    kt3300_igr_frm *begin;
    kt3300_igr_frm *end;
    kt3300_igr_frm *read_pkt;
    unsigned pkts_to_read_ct; /* frames granted by the last position check */
} kt3300_igr_rdr;

typedef uint8_t csa_key[8];

typedef struct csa_pid_entry {
    bool enable;
    uint8_t key_select;
    uint16_t pid;
} csa_pid_entry;

typedef csa_pid_entry csa_pid_table[32];

/* 16 nibbles: even index the high nibble of byte index / 2. */
typedef struct xpoint_table {
    uint8_t channels[8];
} xpoint_table;

typedef enum kt33_tpvidstd {
    KT33_TPVIDSTD_NTSC = 0,
    KT33_TPVIDSTD_PAL = 1,
    KT33_TPVIDSTD_1080i2997 = 2,
    KT33_TPVIDSTD_1080i25 = 3,
    KT33_TPVIDSTD_1080i30 = 4,
    KT33_TPVIDSTD_1080p5994 = 5,
    KT33_TPVIDSTD_1080p50 = 6,
    KT33_TPVIDSTD_1080p60 = 7,
    KT33_TPVIDSTD_1080p30 = 8,
    KT33_TPVIDSTD_1080p2997 = 9,
    KT33_TPVIDSTD_1080p25 = 10,
    KT33_TPVIDSTD_1080p24 = 11,
    KT33_TPVIDSTD_1080p2398 = 12,
    KT33_TPVIDSTD_720p50 = 13,
    KT33_TPVIDSTD_720p5994 = 14,
    KT33_TPVIDSTD_720p60 = 15,
    KT33_TPVIDSTD_END = 16
} kt33_tpvidstd;

/* Text effects of the on-screen text; any other value draws the outline. */
typedef enum tp_text_fx {
    TPTEXTFX_EFFECT1 = 1,
    TPTEXTFX_EFFECT2 = 2,
    TPTEXTFX_OUTLINE = 3
} tp_text_fx;

typedef enum kt33_aud_sdi_out_src {
    KT33_AUD_SDI_OUT_SRC_MUTED = 0,
    KT33_AUD_SDI_OUT_SRC_TONES = 1,
    KT33_AUD_SDI_OUT_SRC_UIO = 2,
    KT33_AUD_SDI_OUT_SRC_M30 = 3
} kt33_aud_sdi_out_src;

typedef enum sdi_level { SDILEVEL_A = 0, SDILEVEL_B = 1 } sdi_level;
typedef enum sdi_speed { SDI_SD = 0, SDI_HD = 1, SDI_3G = 2 } sdi_speed;
typedef enum sdi_pclk_freq { PCLKFREQ_1000_1000 = 0, PCKLFREQ_1000_1001 = 1 } sdi_pclk_freq;
typedef enum sdi_frame_rate {
    FRAMERATE_NONE = 0,
    FRAMERATE_2398 = 1,
    FRAMERATE_24 = 2,
    FRAMERATE_4795 = 3,
    FRAMERATE_25 = 4,
    FRAMERATE_2997 = 5,
    FRAMERATE_30 = 6,
    FRAMERATE_48 = 7,
    FRAMERATE_50 = 8,
    FRAMERATE_5994 = 9,
    FRAMERATE_60 = 10,
    FRAMERATE_END = 11
} sdi_frame_rate;
typedef enum sdi_format {
    FORMAT_ST274_1920_1080 = 0,
    FORMAT_ST296_1280_720 = 1,
    FORMAT_ST2048_2_2048_1080 = 2,
    FORMAT_ST295_1920_1080 = 3,
    FORMAT_NTSC = 4,
    FORMAT_PAL = 5,
    FORMAT_UNKNOWN = 6,
    FORMAT_END = 7
} sdi_format;

typedef struct sdi_status {
    uint16_t raw;
    bool is_locked;
    sdi_level level;
    bool is_fmt_detect_locked;
    bool is_clock_enable;
    sdi_speed speed;
    bool is_progressive;
    sdi_pclk_freq pclk_freq;
    sdi_frame_rate frame_rate;
    sdi_format format;
} sdi_status;

/* Names for printing; entries may be null. */
extern const char *const strings_testpat[KT33_TPVIDSTD_END];
extern const char *const strings_format[FORMAT_END];
extern const char *const strings_frame_rate[FRAMERATE_END];

/* Context. kt3300_alloc finds the board on PCI (null when absent);
 * kt3300_open maps its registers through UIO, or /dev/mem as a fallback. */
kt3300_ctx *kt3300_alloc(void);
int kt3300_open(kt3300_ctx *ctx);
void kt3300_close(kt3300_ctx *ctx);
void kt3300_free(kt3300_ctx *ctx);

bool kt3300_has_ts_ingress(const kt3300_ctx *ctx);
bool kt3300_has_ts_egress(const kt3300_ctx *ctx);
bool kt3300_has_embedder(const kt3300_ctx *ctx);
int kt3300_get_version_major(const kt3300_ctx *ctx); /* -1 when unmapped */
int kt3300_get_version_minor(const kt3300_ctx *ctx);
void *kt3300_get_artix_base_addr(const kt3300_ctx *ctx);

/* Egress rate in bit/s, 1 to 175,000,000 (ERANGE above). */
int kt3300_egress_set_rate(kt3300_ctx *ctx, unsigned rate);
/* The same rate word for channel ch, without the upper bound. */
int kt3300_egress_set_tmr(kt3300_ctx *ctx, unsigned ch, unsigned rate);
int kt3300_egress_set_raw_csa_key(kt3300_ctx *ctx, unsigned key_index, const csa_key key);
/* 12 hexadecimal characters give the 8-byte control word. */
int kt3300_egress_set_csa_key(kt3300_ctx *ctx, unsigned key_index, const char *hex);
int kt3300_egress_set_csa_pids(kt3300_ctx *ctx, const csa_pid_entry *table, unsigned nmemb);
int kt3300_egress_set_csa_enable(kt3300_ctx *ctx, bool en);

/* Egress channels 0-1 (UIO map 2). */
int kt3300_egress_set_address(kt3300_ctx *ctx, unsigned ch, uint32_t addr);
int kt3300_egress_set_control(kt3300_ctx *ctx, unsigned ch, unsigned count, unsigned flags);
int kt3300_egress_set_host_position(kt3300_ctx *ctx, unsigned ch, unsigned pos);
int kt3300_egress_get_fpga_position(kt3300_ctx *ctx, unsigned ch); /* position or -1 */
void *kt3300_egress_get_buffer(const kt3300_ctx *ctx);
uint32_t kt3300_egress_get_buffer_addr(const kt3300_ctx *ctx);
uint32_t kt3300_egress_get_buffer_size(const kt3300_ctx *ctx);

/* Embedder channels 0-3 (UIO map 3). */
int kt3300_embedder_set_address(kt3300_ctx *ctx, unsigned ch, uint32_t addr);
int kt3300_embedder_set_control(kt3300_ctx *ctx, unsigned ch, unsigned count, unsigned flags);
int kt3300_embedder_set_host_position(kt3300_ctx *ctx, unsigned ch, unsigned pos);
int kt3300_embedder_get_fpga_position(kt3300_ctx *ctx, unsigned ch);
void *kt3300_embedder_get_buffer(const kt3300_ctx *ctx);
uint32_t kt3300_embedder_get_buffer_addr(const kt3300_ctx *ctx);
uint32_t kt3300_embedder_get_buffer_size(const kt3300_ctx *ctx);

/* Audio crosspoints. */
int kt3300_audio_set_psa_xpoint_channel_select(xpoint_table *table, unsigned index, unsigned val);
int kt3300_audio_set_psa_xpoint(kt3300_ctx *ctx, unsigned input, const xpoint_table *table);
int kt3300_audio_setup_i2s_xpoints(kt3300_ctx *ctx, unsigned to_encoder_idx,
                                   unsigned input_src_idx, unsigned pair_from_src_idx);
int kt3300_audio_set_i2s_xpoints(kt3300_ctx *ctx);
int kt3300_audio_sdi_out_source_select(kt3300_ctx *ctx, unsigned output, unsigned source);
int kt3300_audio_reset_sdi(kt3300_ctx *ctx);

int kt3300_context_invert_inputs(kt3300_ctx *ctx, bool invert);
int kt3300_video_get_status(kt3300_ctx *ctx, unsigned input, sdi_status *status);

/* Test patterns and on-screen text of SDI input 0-3. */
int kt3300_testpattern_set_mode(kt3300_ctx *ctx, unsigned input, bool matte, bool overlay, bool bars);
int kt3300_testpattern_set_vidstd(kt3300_ctx *ctx, unsigned input, kt33_tpvidstd vidstd,
                                  bool pclk_internal, bool use_this_vidstd);
int kt3300_testpattern_set_matte_color(kt3300_ctx *ctx, unsigned input, unsigned colour);
int kt3300_testpattern_set_text_size(kt3300_ctx *ctx, unsigned input, unsigned size);
int kt3300_testpattern_set_text_position(kt3300_ctx *ctx, unsigned input, int x, int y);
int kt3300_testpattern_fill_text(kt3300_ctx *ctx, unsigned input, char c);
int kt3300_testpattern_set_text(kt3300_ctx *ctx, unsigned input, unsigned row, unsigned col,
                                const char *text, int fx);
int kt3300_testpattern_set_text_centered(kt3300_ctx *ctx, unsigned input, unsigned hsize,
                                         unsigned vsize, bool is_p, const char *const *text,
                                         unsigned lines, int fx);
int kt3300_testpattern_set_uhd(kt3300_ctx *ctx, bool en);
int kt3300_set_sdi_control(kt3300_ctx *ctx, bool is_inverted, bool is_uhd);

/* Degrees Celsius; -1 with the raw reading in *temp when out of range. */
int kt3300_get_die_temp(kt3300_ctx *ctx, int *temp);

int kt3300_smpte352m_set_ctl(kt3300_ctx *ctx, unsigned ch, uint16_t word);
int kt3300_smpte352m_set_data(kt3300_ctx *ctx, unsigned ch, uint32_t word);

/* Ingress ring (UIO map 1). */
kt3300_igr_rdr *kt3300_alloc_igr_rdr(kt3300_ctx *ctx);
int kt3300_enable_igr(kt3300_ctx *ctx);
int kt3300_set_igr_enable(kt3300_ctx *ctx, bool en);
/* The next frame, or null when none is due or the frame was empty. */
kt3300_igr_frm *kt3300_igr_rdr_read(kt3300_igr_rdr *rdr);

/* Serial-bus pass-through for the board test program (see spi_kt33.h). */
int kt3300_spi_kt33_open(void *base);
void kt3300_spi_kt33_close(void);
int kt3300_spi_kt33_reg_write(unsigned chn, int gspi, uint32_t addr, uint32_t data);
int kt3300_spi_kt33_reg_read(unsigned chn, int gspi, uint32_t addr, uint32_t *data);
bool kt3300_spi_kt33_get_12g_sdi_supported(void);
int kt3300_spi_kt33_set_SD_data_rate(void);
int kt3300_spi_kt33_set_12G_data_rate(void);
int kt3300_spi_kt33_set_12g_sdi_mode(void);
int kt3300_spi_kt33_set_4x3g_sdi_mode(void);
int kt3300_spi_kt33_init_gs12170(void);

#ifdef __cplusplus
}
#endif

#endif
