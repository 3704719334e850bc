/* MU block: the transport-stream multiplexer of an encode channel (video
 * source, output, rates, PIDs, and the PAT and PMT sections the chip
 * sends). */
#ifndef M30_MUPARAM_H
#define M30_MUPARAM_H

#include "../m30.h"
#include "../m30_param_block.h"

M30_BEGIN_DECLS

typedef enum mu_vsource { MU_VSOURCE_EH = 0, MU_VSOURCE_EA = 1, MU_VSOURCE_EM = 2, MU_VSOURCE_END } mu_vsource;
typedef enum mu_destination { MU_DESTINATION_SEO = 0, MU_DESTINATION_SO = 1, MU_DESTINATION_END } mu_destination;
typedef enum mu_tspktsize { MU_TSPKTSIZE_188 = 0, MU_TSPKTSIZE_192 = 1, MU_TSPKTSIZE_192_EXTRA = 2 } mu_tspktsize;
typedef enum mu_sout_mode { MU_SOUTMODE_PARALLEL = 0, MU_SOUTMODE_SERIAL = 1 } mu_sout_mode;
typedef enum mu_sout_clkhl { MU_SOUTCLKHL_RISING = 0, MU_SOUTCLKHL_FALLING = 1 } mu_sout_clkhl;
typedef enum mu_sout_clk_sel { MU_SOUTCLKSEL_INTERNAL = 0, MU_SOUTCLKSEL_EXTERNAL = 1 } mu_sout_clk_sel;

/* Names of mu_vsource and mu_destination values, null-terminated. */
M30_API extern const char *const mu_vsource_strings[];
M30_API extern const char *const mu_destination_strings[];

/* The longest PAT or PMT section the block carries, in bytes without the
 * CRC (the chip appends it): 49 words. */
#define MU_SECTION_MAX_LENGTH 196

/* Rates in kbit/s. MAS_ID_BITS: the audio streams (MAS blocks) of the
 * channel. Each section is held four bytes to a word, the first byte in the
 * most significant byte; PAT_LENGTH and PMT_LENGTH count bytes without the
 * CRC. The SIT words are held for the caller and are not part of the chip
 * image. */
typedef struct muparam {
    uint32_t MUPARAM_CC;
    uint8_t V_SOURCE, V_SOURCE_ID, DESTINATION;
    uint16_t MAS_ID_BITS;
    uint8_t EXTRA_INFO_BIT, TS_PACKET_SIZE, AUTO_NULL, NULL_AUTO_PSI, ENC_REAL_TIME_MODE, RAI_MODE, ESPI_MODE;
    uint8_t INTER_GOP_GAP;
    uint8_t PCR_FIRST, SOUT_MODE, SOUTCLK_HL, SOUT_STREAM_CLK_SEL, SOUT_STCLK_DIV;
    uint32_t SYSTEM_RATE, SYSTEM_MIN_RATE, V_BITRATE;
    uint8_t V_SID_OUT;
    uint16_t V_PID_OUT, PMT_PID_OUT, PCR_PID_OUT, SIT_PID_OUT;
    uint8_t PAT_LENGTH, PMT_LENGTH, SIT_LENGTH;
    uint8_t PAT_CYC, PMT_CYC, PCR_CYC;
    uint16_t SIT_CYC;
    uint32_t PAT_00, PAT_04, PAT_08, PAT_0C, PAT_10, PAT_14, PAT_18;
    uint32_t PAT_1C, PAT_20, PAT_24, PAT_28, PAT_2C, PAT_30, PAT_34;
    uint32_t PAT_38, PAT_3C, PAT_40, PAT_44, PAT_48, PAT_4C, PAT_50;
    uint32_t PAT_54, PAT_58, PAT_5C, PAT_60, PAT_64, PAT_68, PAT_6C;
    uint32_t PAT_70, PAT_74, PAT_78, PAT_7C, PAT_80, PAT_84, PAT_88;
    uint32_t PAT_8C, PAT_90, PAT_94, PAT_98, PAT_9C, PAT_A0, PAT_A4;
    uint32_t PAT_A8, PAT_AC, PAT_B0, PAT_B4, PAT_B8, PAT_BC, PAT_C0;
    uint32_t PMT_00, PMT_04, PMT_08, PMT_0C, PMT_10, PMT_14, PMT_18;
    uint32_t PMT_1C, PMT_20, PMT_24, PMT_28, PMT_2C, PMT_30, PMT_34;
    uint32_t PMT_38, PMT_3C, PMT_40, PMT_44, PMT_48, PMT_4C, PMT_50;
    uint32_t PMT_54, PMT_58, PMT_5C, PMT_60, PMT_64, PMT_68, PMT_6C;
    uint32_t PMT_70, PMT_74, PMT_78, PMT_7C, PMT_80, PMT_84, PMT_88;
    uint32_t PMT_8C, PMT_90, PMT_94, PMT_98, PMT_9C, PMT_A0, PMT_A4;
    uint32_t PMT_A8, PMT_AC, PMT_B0, PMT_B4, PMT_B8, PMT_BC, PMT_C0;
    uint32_t SIT_00, SIT_04, SIT_08, SIT_0C, SIT_10, SIT_14, SIT_18;
    uint32_t SIT_1C, SIT_20, SIT_24, SIT_28, SIT_2C, SIT_30, SIT_34;
    uint32_t SIT_38, SIT_3C, SIT_40, SIT_44, SIT_48, SIT_4C, SIT_50;
    uint32_t SIT_54, SIT_58, SIT_5C, SIT_60, SIT_64, SIT_68, SIT_6C;
    uint32_t SIT_70, SIT_74, SIT_78, SIT_7C, SIT_80, SIT_84, SIT_88;
    uint32_t SIT_8C, SIT_90, SIT_94, SIT_98, SIT_9C, SIT_A0, SIT_A4;
    uint32_t SIT_A8, SIT_AC, SIT_B0, SIT_B4, SIT_B8, SIT_BC, SIT_C0;
} muparam;

M30_PARAM_FAMILY_DECLS(muparam)
/* Defaults for a video source, a source id (channel) and a mask of audio
 * streams (above 14: all four), with a PAT and a PMT for the channel. */
M30_API int muparam_init(muparam *mu_, mu_vsource vsource_, unsigned source_id_, uint8_t audio_mask_) M30_NOEXCEPT;
M30_API unsigned muparam_get_video_rate(const muparam *mu_) M30_NOEXCEPT;
M30_API int muparam_set_video_rate(muparam *mu_, unsigned kbps_) M30_NOEXCEPT;
M30_API unsigned muparam_get_system_rate(const muparam *mu_) M30_NOEXCEPT;
/* Stores the rate plus the multiplexer's headroom: 3000 kbit/s in
 * ultra-low-latency mode, else 500. */
M30_API int muparam_set_system_rate(muparam *mu_, unsigned kbps_, bool ull_) M30_NOEXCEPT;
M30_API unsigned muparam_get_system_min(const muparam *mu_) M30_NOEXCEPT;
M30_API int muparam_set_system_min(muparam *mu_, unsigned kbps_) M30_NOEXCEPT;
M30_API int muparam_set_video_pid(muparam *mu_, unsigned pid_) M30_NOEXCEPT;
M30_API int muparam_set_pmt_pid(muparam *mu_, unsigned pid_) M30_NOEXCEPT;
M30_API int muparam_set_pcr_pid(muparam *mu_, unsigned pid_) M30_NOEXCEPT;
/* Stores a section (bytes without the CRC); -1 for null pointers or a
 * length above MU_SECTION_MAX_LENGTH (nothing changes). */
M30_API int muparam_set_pat_table(muparam *mu_, const uint8_t *section_, uint8_t length_) M30_NOEXCEPT;
M30_API int muparam_set_pmt_table(muparam *mu_, const uint8_t *section_, uint8_t length_) M30_NOEXCEPT;

M30_END_DECLS

#endif
