/* VI block: the video input interface of an encode channel (SDI format,
 * input port, capture window, vertical ancillary data). */
#ifndef M30_VIPARAM_H
#define M30_VIPARAM_H

#include "../m30.h"
#include "../m30_param_block.h"

M30_BEGIN_DECLS

/* Input formats; the chip's own codes are stored in VI_VFORMAT. */
typedef enum vi_vformat {
    VI_VFORMAT_1920_1080I = 0, VI_VFORMAT_1280_720P = 1, VI_VFORMAT_720_480I = 2, VI_VFORMAT_720_576I = 3,
    VI_VFORMAT_720_480P = 4, VI_VFORMAT_720_576P = 5, VI_VFORMAT_1920_1080P = 6,
    VI_VFORMAT_3840_2160P_SQD = 7, VI_VFORMAT_3840_2160P_2SI = 8, VI_VFORMAT_4096_2160P_SQD = 9,
    VI_VFORMAT_4096_2160P_2SI = 10, VI_VFORMAT_ARBITRARY = 11, VI_VFORMAT_END
} vi_vformat;
/* One bit per SDI input. */
typedef enum vi_input_port_code {
    VI_INPUT_PORT_A = 1, VI_INPUT_PORT_B = 2, VI_INPUT_PORT_C = 4, VI_INPUT_PORT_D = 8
} vi_input_port_code;
typedef enum vi_vanc_4k_input_port {
    VI_VANC_4K_INPUT_PORT_A = 0, VI_VANC_4K_INPUT_PORT_B = 1, VI_VANC_4K_INPUT_PORT_C = 2,
    VI_VANC_4K_INPUT_PORT_D = 3
} vi_vanc_4k_input_port;

/* Names of vi_vformat values, null-terminated. */
M30_API extern const char *const strings_vi_vformat[];

typedef struct viparam {
    uint32_t VIPARAM_CC;
    uint8_t VI_YC_MUX, VI_YC_SWAP, VI_VFORMAT;
    uint8_t VANC_SERVICE_EN;
    uint16_t VANC_SERVICE_BITS, VANC_START_LINE, VANC_H_SIZE, VANC_LINE_NUM;
    uint8_t VANC_4K_INPUT_PORT, VANC_Y_EN, VANC_C_EN;
    uint16_t VANC_START_LINE_BOTTOM;
    uint8_t VI_PTS_CORRECT, VI_INPUT_PORT, VI_PIC_SYNC_MASTER, VI_PIC_SYNC_MEMBERS, VI_GPIO_ENC_START;
    uint8_t VI_INPUT_MODE;
    uint16_t VI_V_TOTAL_LINES, VI_V_AV_START_LINE, VI_V_AV_LINES;
    uint16_t VI_H_CAPTURE_START_OFFSET, VI_H_CAPTURE_PIXELS, VI_V_CAPTURE_START_LINE, VI_V_CAPTURE_LINES;
    uint16_t VI_V_AV_START_LINE_BOTTOM, VI_V_CAPTURE_START_LINE_BOTTOM;
    uint16_t VI_H_SYNC_PIXEL, VI_H_TOTAL_PIXELS;
} viparam;

M30_PARAM_FAMILY_DECLS(viparam)
M30_API int viparam_init(viparam *vi_) M30_NOEXCEPT;
/* Chip code of a format (0 outside the table) and the format of a code
 * (1920x1080p for a code outside it). */
M30_API unsigned vformat_val_for_enum(vi_vformat fmt_) M30_NOEXCEPT;
M30_API vi_vformat vformat_enum_for_val(unsigned code_) M30_NOEXCEPT;
M30_API vi_vformat viparam_get_vformat(const viparam *vi_) M30_NOEXCEPT;
/* Stores the code; the SD formats come Y/C multiplexed. */
M30_API int viparam_set_vformat(viparam *vi_, vi_vformat fmt_) M30_NOEXCEPT;
M30_API int viparam_set_input_port(viparam *vi_, vi_input_port_code port_) M30_NOEXCEPT;
/* VANC capture window: start line 0 to 100, at most 4 lines, a horizontal
 * size of 12 to 2048 in steps of 12; -1 (nothing changes) otherwise. */
M30_API int viparam_set_vanc_start_line(viparam *vi_, unsigned line_) M30_NOEXCEPT;
M30_API int viparam_set_vanc_start_line_bottom(viparam *vi_, unsigned line_) M30_NOEXCEPT;
M30_API int viparam_set_vanc_line_num(viparam *vi_, unsigned count_) M30_NOEXCEPT;
M30_API int viparam_set_vanc_h_size(viparam *vi_, unsigned size_) M30_NOEXCEPT;
/* Non-zero also enables capture of both the Y and the C stream. */
M30_API int viparam_set_vanc_service_en(viparam *vi_, unsigned enable_) M30_NOEXCEPT;

M30_END_DECLS

#endif
