// Video-standard lookups and the names of the library's enumerations.
#include "m30_internal.h"

namespace {

struct vidstd_row {
    uint16_t width, height;
    bool interlaced;
    uint8_t rate; // m30_frame_rate_code
};

// Indexed by m30_vidstd; the 2160-line groups repeat the rates 60 down to
// 24/1.001 Hz.
constexpr vidstd_row vidstd_rows[] = {
    {1920, 1080, false, 0}, // invalid
    {1280, 720, false, 8}, {1280, 720, false, 7}, {1280, 720, false, 6}, {1280, 720, false, 5},
    {1280, 720, false, 4}, {1280, 720, false, 3}, {1280, 720, false, 2}, {1280, 720, false, 1},
    {1920, 1080, true, 5}, {1920, 1080, true, 4}, {1920, 1080, true, 3},
    {1920, 1080, false, 5}, {1920, 1080, false, 4}, {1920, 1080, false, 3}, {1920, 1080, false, 2},
    {1920, 1080, false, 1},
    {1920, 1080, false, 2}, {1920, 1080, false, 1}, // segmented frame
    {1920, 1080, false, 8}, {1920, 1080, false, 7}, {1920, 1080, false, 6},
    {720, 480, false, 8}, {720, 480, false, 7},
    {720, 480, true, 5}, {720, 480, true, 4},
    {720, 480, false, 5}, {720, 480, false, 4},
    {720, 576, false, 6}, {720, 576, true, 3}, {720, 576, false, 3},
    {3840, 2160, false, 8}, {3840, 2160, false, 7}, {3840, 2160, false, 6}, {3840, 2160, false, 5},
    {3840, 2160, false, 4}, {3840, 2160, false, 3}, {3840, 2160, false, 2}, {3840, 2160, false, 1},
    {3840, 2160, false, 8}, {3840, 2160, false, 7}, {3840, 2160, false, 6}, {3840, 2160, false, 5},
    {3840, 2160, false, 4}, {3840, 2160, false, 3}, {3840, 2160, false, 2}, {3840, 2160, false, 1},
};
static_assert(std::size(vidstd_rows) == 47);

const vidstd_row &row(m30_vidstd v)
{
    auto i = static_cast<unsigned>(v);
    return i < std::size(vidstd_rows) ? vidstd_rows[i] : vidstd_rows[0];
}

} // namespace

extern "C" {

M30_API uint32_t hsize_for_vidstd(m30_vidstd vidstd_) noexcept { return row(vidstd_).width; }
M30_API uint32_t vsize_for_vidstd(m30_vidstd vidstd_) noexcept { return row(vidstd_).height; }
M30_API bool interlace_for_vidstd(m30_vidstd vidstd_) noexcept { return row(vidstd_).interlaced; }
M30_API m30_frame_rate_code frame_rate_for_vidstd(m30_vidstd vidstd_) noexcept
{
    return static_cast<m30_frame_rate_code>(row(vidstd_).rate);
}

M30_API bool uhd_for_vidstd(m30_vidstd vidstd_) noexcept
{
    return vidstd_ >= M30_VIDSTD_2160P60_SQD && vidstd_ <= M30_VIDSTD_2160P2398_2SI;
}

M30_API m30_vidstd uhd_vidstd_to_non_uhd(m30_vidstd vidstd_) noexcept
{
    if (!uhd_for_vidstd(vidstd_))
        return M30_VIDSTD_1080P60;
    switch (frame_rate_for_vidstd(vidstd_)) {
    case M30_FRAME_RATE_CODE_59_94: return M30_VIDSTD_1080P5994;
    case M30_FRAME_RATE_CODE_50: return M30_VIDSTD_1080P50;
    case M30_FRAME_RATE_CODE_30: return M30_VIDSTD_1080P30;
    case M30_FRAME_RATE_CODE_29_97: return M30_VIDSTD_1080P2997;
    case M30_FRAME_RATE_CODE_25: return M30_VIDSTD_1080P25;
    case M30_FRAME_RATE_CODE_24: return M30_VIDSTD_1080P24;
    case M30_FRAME_RATE_CODE_23_98: return M30_VIDSTD_1080P2398;
    default: return M30_VIDSTD_1080P60;
    }
}

const char *const m30_vidstd_strings[] = {
    "invalid", "720P60", "720P5994", "720P50", "720P30", "720P2997", "720P25", "720P24", "720P2398",
    "1080I60", "1080I5994", "1080I50", "1080P30", "1080P2997", "1080P25", "1080P24", "1080P2398",
    "1080P24SF", "1080P2398SF", "1080P60", "1080P5994", "1080P50", "480P60", "480P5994", "480I60",
    "480I5994", "480P30", "480P2997", "576P50", "576I50", "576P25", "2160P60_SQD", "2160P5994_SQD",
    "2160P50_SQD", "2160P30_SQD", "2160P2997_SQD", "2160P25_SQD", "2160P24_SQD", "2160P2398_SQD",
    "2160P60_2SI", "2160P5994_2SI", "2160P50_2SI", "2160P30_2SI", "2160P2997_2SI", "2160P25_2SI",
    "2160P24_2SI", "2160P2398_2SI", nullptr};
const char *const m30_video_mode_strings[] = {"hevc", "h.264", "mpeg2", "hevc-ull", nullptr};
const char *const m30_audio_mode_strings[] = {"passthrough", "lpcm", "aaclc", "mpegl2", nullptr};
const char *const m30_chromafmt_strings[] = {"reserved/mono", "4:2:0", "4:2:2", nullptr};
const char *const m30_main_state_strings[] = {"maintenance", "boot", "init", "encode",
                                                      "decode", "booter", "error", nullptr};
const char *const m30_frame_rate_strings[] = {"unspecified", "24/1.001Hz", "24Hz", "25Hz",
                                                      "30/1.001Hz", "30Hz", "50Hz", "60/1.001Hz",
                                                      "60Hz", nullptr};
const char *const m30_sei_ud_type_strings[] = {"Hevc Avc Unreg", "Hevc Avc ItuT35", "Mpeg Seq Layer",
                                                       "Mpeg Gop Layer", "Mpeg Pic Layer", nullptr};
const char *const m30_dec_buf_level_strings[] = {"Below LL", "Below LH", "Above HL", "Above HH",
                                                         nullptr};
const char *const m30_adec_err_strings[] = {"Audio Decode Error", "Audio Decode Warning", nullptr};

} // extern "C"

static_assert(std::size(m30_vidstd_strings) == 48);
