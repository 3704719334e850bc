// Encode channels: clamping a channel's configuration, writing its
// parameter blocks in the chip's order, its PAT and PMT, starting input and
// output, and the video-detection state the message thread keeps.
#include "encode_channel.h"

#include "encode/aeparam.h"
#include "encode/aesparam.h"
#include "encode/aiparam.h"
#include "encode/ainparam.h"
#include "encode/ainsparam.h"
#include "encode/aipparam.h"
#include "encode/eaparam.h"
#include "encode/ehparam.h"
#include "encode/emparam.h"
#include "encode/masparam.h"
#include "encode/muparam.h"
#include "encode/vaparam.h"

#include <psi_pat.h>
#include <psi_pmt.h>

#include <cerrno>
#include <cstring>
#include <iterator>

namespace {

constexpr size_t image_size = 1024; // every block image is built in one of these

// Chip address and dump tag of each encode block: base + index x stride.
struct BlockAddr {
    uint32_t base, stride;
    const char *tag;
    bool per_audio; // indexed by audio index, else by channel
};
constexpr BlockAddr vi_addr{0x20100000, 0x80, "vi", false};
constexpr BlockAddr vin_addr{0x20100800, 0x40, "vin", false};
constexpr BlockAddr ain_addr{0x20108800, 0x40, "ain", false};
constexpr BlockAddr va_addr{0x20101400, 0x40, "va", false};
constexpr BlockAddr eh_addr{0x20001000, 0x100, "eh", false};
constexpr BlockAddr ea_addr{0x20005000, 0x100, "ea", false};
constexpr BlockAddr em_addr{0x20009000, 0x100, "em", false};
constexpr BlockAddr ae_addr{0x2010A800, 0x40, "ae", false};
constexpr BlockAddr mu_addr{0x20104000, 0x400, "mu", false};
constexpr BlockAddr aip_addr{0x20107800, 0x40, "aip", true};
constexpr BlockAddr ai_addr{0x20108000, 0x40, "ai", true};
constexpr BlockAddr ains_addr{0x20109400, 0x40, "ains", true};
constexpr BlockAddr aes_addr{0x2010B400, 0x100, "aes", true};
constexpr BlockAddr mas_addr{0x20105400, 0x200, "mas", true};

int load_at(m30_context *m30, const BlockAddr &a, unsigned idx, const uint8_t *image, size_t len) noexcept
{
    if (!m30 || idx >= M30_CHANNELS)
        return errno = EINVAL, -1;
    // Audio blocks belong to no chip id of their own; the index stands in
    // for it in the load's sanity check.
    int id = a.per_audio ? static_cast<int>(idx) : m30->chcfg[idx].m30_id;
    return m30_load_param_block(m30, id, a.base + a.stride * idx, a.tag, static_cast<int>(idx), image, len);
}

// Renders a block into its image and loads it with `loader`.
template <class B, class ToBin>
int render_load(m30_context *m30, unsigned idx, B &b, ToBin to_bin,
                int (*loader)(m30_context *, unsigned, const uint8_t *, size_t) noexcept)
{
    uint8_t image[image_size];
    int n = to_bin(&b, image, sizeof image);
    if (n < 0)
        return -1;
    return loader(m30, idx, image, static_cast<size_t>(n));
}

bool valid_enc(const m30_context *m30, unsigned ch) { return m30 && m30->enc && ch < M30_CHANNELS; }

bool in(m30_vidstd v, int lo, int hi) { return v >= lo && v <= hi; }

const char *vidstd_name(m30_vidstd v)
{
    return v >= M30_VIDSTD_INVALID && v < M30_VIDSTD_END ? m30_vidstd_strings[v] : "unknown";
}

// MPEG-2 carries no progressive 1080-line or 2160-line picture here:
// those become interlaced 1080 at the matching field rate.
m30_vidstd mpeg2_vidstd(m30_vidstd v)
{
    switch (v) {
    case M30_VIDSTD_1080P60: return M30_VIDSTD_1080I60;
    case M30_VIDSTD_1080P5994: return M30_VIDSTD_1080I5994;
    case M30_VIDSTD_1080P50: return M30_VIDSTD_1080I50;
    case M30_VIDSTD_2160P60_SQD: case M30_VIDSTD_2160P5994_SQD: case M30_VIDSTD_2160P30_SQD:
    case M30_VIDSTD_2160P2997_SQD: case M30_VIDSTD_2160P60_2SI: case M30_VIDSTD_2160P5994_2SI:
    case M30_VIDSTD_2160P30_2SI: case M30_VIDSTD_2160P2997_2SI:
        return M30_VIDSTD_1080I5994;
    case M30_VIDSTD_2160P50_SQD: case M30_VIDSTD_2160P25_SQD: case M30_VIDSTD_2160P24_SQD:
    case M30_VIDSTD_2160P2398_SQD: case M30_VIDSTD_2160P50_2SI: case M30_VIDSTD_2160P25_2SI:
    case M30_VIDSTD_2160P24_2SI: case M30_VIDSTD_2160P2398_2SI:
        return M30_VIDSTD_1080I50;
    default:
        return v;
    }
}

// Longest MPEG-2 GOP by frame rate: one second of pictures.
uint32_t mpeg2_gop_cap(m30_frame_rate_code r)
{
    switch (r) {
    case M30_FRAME_RATE_CODE_23_98: case M30_FRAME_RATE_CODE_24: return 24;
    case M30_FRAME_RATE_CODE_25: return 25;
    case M30_FRAME_RATE_CODE_50: return 50;
    case M30_FRAME_RATE_CODE_59_94: case M30_FRAME_RATE_CODE_60: return 60;
    default: return 30;
    }
}

// The last line a VANC window may reach, by video standard.
uint32_t vanc_line_limit(m30_vidstd v)
{
    static constexpr uint32_t limits[30] = {26, 26, 26, 26, 26, 26, 26, 42, 21, 21, 21, 42, 42, 42, 42,
                                            42, 42, 42, 42, 42, 42, 40, 40, 20, 20, 40, 40, 46, 23, 46};
    return in(v, 1, 30) ? limits[v - 1] : 42;
}

// The I/P distance as the blocks use it: a period of 0 (refused by its
// setter) counts as 1.
uint32_t ip_period_of(const m30_channel_config_enc &e) { return e.ip_period ? e.ip_period : 1; }

// Rates MPEG-1 Layer II encodes here, bit/s.
constexpr uint32_t mp1l2_rates[] = {32000, 48000, 56000, 64000, 80000, 96000, 112000, 128000, 160000, 192000};

uint32_t mp1l2_rate(uint32_t r)
{
    if (r <= mp1l2_rates[0])
        return mp1l2_rates[0];
    for (size_t i = 1; i < std::size(mp1l2_rates); ++i) {
        uint32_t lo = mp1l2_rates[i - 1], hi = mp1l2_rates[i];
        if (r <= hi)
            return r - lo < hi - r ? lo : hi; // the middle goes up
    }
    return mp1l2_rates[std::size(mp1l2_rates) - 1];
}

void change(m30_context *m30, unsigned ch, m30_change what) { m30_report_cfg_change(m30, static_cast<int>(ch), what); }

uint8_t pmt_stream_type(m30_audio_mode m)
{
    switch (m) {
    case M30_AUDIO_MODE_AAC_LC: return 0x0F;
    case M30_AUDIO_MODE_MPEG1_L2: return 0x03;
    default: return 0x06; // pass-through and LPCM travel as private PES data
    }
}

// Steps a 5-bit table version when its dirty flag is set.
uint8_t next_version(uint32_t &ver, uint32_t &dirty)
{
    if (dirty) {
        ver = (ver + 1) % 32;
        dirty = 0;
    }
    return static_cast<uint8_t>(ver & 0x1F);
}

int section_bytes(const TTableBase *t) { return static_cast<int>(tsGetSectionLength(t)) - 1; }

// The video source of the multiplexer and the rate its encoder settled on.
struct Encoder {
    mu_vsource source;
    uint32_t video_rate;
};

void load_vi(m30_context *m30, unsigned c)
{
    const m30_channel_config_enc &e = m30->enc->chcfg[c];
    viparam vi;
    viparam_init(&vi);
    viparam_set_vformat(&vi, vformat_for_vidstd(m30->chcfg[c].vid_std));
    if (m30->invert_inputs) {
        // Inverted inputs: channel 0 is fed by SDI input D.
        static constexpr vi_input_port_code ports[4] = {VI_INPUT_PORT_D, VI_INPUT_PORT_C, VI_INPUT_PORT_B,
                                                        VI_INPUT_PORT_A};
        if (c < 4) {
            viparam_set_input_port(&vi, ports[c]);
        } else {
            M30_LOG(m30, static_cast<int>(c), M30_LOG_ERROR, "Error invalid channel index");
            viparam_set_input_port(&vi, static_cast<vi_input_port_code>(0));
        }
    }
    viparam_set_vanc_start_line(&vi, e.vanc_start_line);
    viparam_set_vanc_line_num(&vi, e.vanc_line_count);
    viparam_set_vanc_h_size(&vi, e.vanc_h_size);
    viparam_set_vanc_service_en(&vi, e.vanc_enable ? 1 : 0);
    if (render_load(m30, c, vi, viparam_to_bin, m30_load_params_vi) < 0)
        M30_LOG(m30, static_cast<int>(c), M30_LOG_ERROR, "Error loading VI params");
}

void build_vin(m30_context *m30, unsigned c, vinparam &vin)
{
    m30_vidstd std = m30->chcfg[c].vid_std;
    vinparam_init(&vin, c);
    vinparam_set_hsize(&vin, hsize_for_vidstd(std));
    vinparam_set_vsize(&vin, vsize_for_vidstd(std));
    vinparam_set_interlace(&vin, interlace_for_vidstd(std));
    vinparam_set_frame_rate(&vin, frame_rate_for_vidstd(std));
    vinparam_set_bit_depth(&vin, m30->chcfg[c].bit_depth);
    if (render_load(m30, c, vin, vinparam_to_bin, m30_load_params_vin) < 0)
        M30_LOG(m30, static_cast<int>(c), M30_LOG_ERROR, "Error loading VIN params");
}

void load_va(m30_context *m30, unsigned c, const vinparam &vin, bool align, vaparam &va)
{
    vaparam_init(&va, VA_SOURCE_VIN, c);
    vaparam_set_hsize(&va, vinparam_get_hsize(&vin), align);
    vaparam_set_vsize(&va, vinparam_get_vsize(&vin), align);
    vaparam_set_frame_rate(&va, vinparam_get_frame_rate(&vin));
    vaparam_set_interlace(&va, vinparam_is_interlace(&vin));
    vaparam_set_chroma_fmt(&va, vinparam_get_chroma_fmt(&vin));
    vaparam_set_chroma_fmt_out(&va, m30->chcfg[c].chroma_fmt);
    vaparam_set_bit_depth(&va, vinparam_get_bit_depth(&vin));
    vaparam_set_bit_depth_out(&va, vinparam_get_bit_depth(&vin));
    if (render_load(m30, c, va, vaparam_to_bin, m30_load_params_va) < 0)
        M30_LOG(m30, static_cast<int>(c), M30_LOG_ERROR, "Error loading VA params");
}

// VA and the video encoder of the context's video mode; -1 (errno EINVAL)
// for a mode no encoder takes.
int load_encoder(m30_context *m30, unsigned c, const vinparam &vin, Encoder &out)
{
    const m30_channel_config_enc &e = m30->enc->chcfg[c];
    int ch = static_cast<int>(c);
    uint32_t es_rate = m30_video_rate_ts_to_es(e.vid_rate);
    auto hdr = static_cast<unsigned>(e.hdr_mode);
    vaparam va;
    switch (m30->video_mode) {
    case M30_VIDEO_MODE_MPEG2: {
        load_va(m30, c, vin, false, va);
        emparam em;
        emparam_init(&em, 0, c);
        emparam_set_rate_control(&em, e.rate_control);
        emparam_set_video_rate(&em, es_rate);
        emparam_set_hsize(&em, vaparam_get_hsize(&va));
        emparam_set_vsize(&em, vaparam_get_vsize(&va));
        emparam_set_interlace(&em, vaparam_is_interlace(&va));
        emparam_set_frame_rate(&em, vaparam_get_frame_rate(&va));
        emparam_set_closed_gop(&em, e.closed_gop != 0);
        emparam_set_ip_period(&em, ip_period_of(e));
        emparam_set_frame_num_in_gop(&em, e.frame_num_in_gop);
        if (render_load(m30, c, em, emparam_to_bin, m30_load_params_em) < 0)
            M30_LOG(m30, ch, M30_LOG_ERROR, "Error loading EM params");
        out = {MU_VSOURCE_EM, emparam_get_video_rate(&em)};
        return 0;
    }
    case M30_VIDEO_MODE_H264: {
        load_va(m30, c, vin, true, va);
        eaparam ea;
        eaparam_init(&ea, 0, c);
        eaparam_set_rate_control(&ea, e.rate_control);
        eaparam_set_video_rate(&ea, es_rate);
        eaparam_set_hsize(&ea, vaparam_get_hsize(&va));
        eaparam_set_vsize(&ea, vaparam_get_vsize(&va));
        eaparam_set_interlace(&ea, vaparam_is_interlace(&va));
        eaparam_set_frame_rate(&ea, vaparam_get_frame_rate(&va));
        eaparam_set_chroma_fmt(&ea, vaparam_get_chroma_fmt_out(&va));
        eaparam_set_bit_depth(&ea, vaparam_get_bit_depth_out(&va));
        eaparam_set_closed_gop(&ea, e.closed_gop != 0);
        eaparam_set_ip_period(&ea, ip_period_of(e));
        eaparam_set_frame_num_in_gop(&ea, e.frame_num_in_gop);
        eaparam_set_initial_cpb_delay(&ea, e.avc_initial_cpb_delay);
        eaparam_set_latency(&ea, e.latency);
        eaparam_set_aspect_ratio(&ea, e.aspect_ratio);
        eaparam_set_vui_params(&ea, vaparam_get_vsize(&va), hdr);
        if (render_load(m30, c, ea, eaparam_to_bin, m30_load_params_ea) < 0)
            M30_LOG(m30, ch, M30_LOG_ERROR, "Error loading EA params");
        out = {MU_VSOURCE_EA, eaparam_get_video_rate(&ea)};
        return 0;
    }
    case M30_VIDEO_MODE_HEVC:
    case M30_VIDEO_MODE_HEVC_ULL: {
        load_va(m30, c, vin, false, va);
        ehparam eh;
        ehparam_init(&eh, EH_SOURCE_VA, c);
        ehparam_set_rate_control(&eh, e.rate_control);
        ehparam_set_video_rate(&eh, es_rate);
        ehparam_set_hsize(&eh, vaparam_get_hsize(&va));
        ehparam_set_vsize(&eh, vaparam_get_vsize(&va));
        ehparam_set_interlace(&eh, vaparam_is_interlace(&va));
        ehparam_set_frame_rate(&eh, vaparam_get_frame_rate(&va), vaparam_is_interlace(&va));
        ehparam_set_chroma_fmt(&eh, vaparam_get_chroma_fmt_out(&va));
        ehparam_set_bit_depth(&eh, vaparam_get_bit_depth_out(&va));
        ehparam_set_closed_gop(&eh, e.closed_gop != 0);
        ehparam_set_ip_period(&eh, ip_period_of(e));
        ehparam_set_frame_num_in_gop(&eh, e.frame_num_in_gop);
        ehparam_set_latency(&eh, e.latency);
        ehparam_set_aspect_ratio(&eh, e.aspect_ratio);
        ehparam_set_vui_params(&eh, vaparam_get_vsize(&va), hdr);
        ehparam_set_ull_params(&eh, m30->ultra_low_latency_mode, c);
        if (render_load(m30, c, eh, ehparam_to_bin, m30_load_params_eh) < 0)
            M30_LOG(m30, ch, M30_LOG_ERROR, "Error loading EH params");
        out = {MU_VSOURCE_EH, ehparam_get_video_rate(&eh)};
        return 0;
    }
    default:
        M30_LOG(m30, ch, M30_LOG_ERROR, "Unrecognized encoder type");
        return errno = EINVAL, -1;
    }
}

// MU with the channel's PAT and PMT. A table whose build fails, or that
// would not fit the block, is not handed over: the block keeps its default
// section.
void load_mu(m30_context *m30, unsigned c, const Encoder &enc, uint8_t bitmap)
{
    const m30_channel_config &cc = m30->chcfg[c];
    int ch = static_cast<int>(c);
    muparam mu;
    muparam_init(&mu, enc.source, c, bitmap);
    muparam_set_video_rate(&mu, enc.video_rate);
    muparam_set_system_rate(&mu, m30->enc->chcfg[c].sys_rate, m30->ultra_low_latency_mode);
    muparam_set_video_pid(&mu, cc.vid_pid);
    muparam_set_pmt_pid(&mu, cc.pmt_pid);
    muparam_set_pcr_pid(&mu, cc.pcr_pid);

    uint8_t table[image_size];
    int len = m30_build_pat_table(m30, c, table, sizeof table);
    if (len < 0 || len > MU_SECTION_MAX_LENGTH)
        M30_LOG(m30, ch, M30_LOG_ERROR, "Error building PAT table");
    else if (muparam_set_pat_table(&mu, table, static_cast<uint8_t>(len)) < 0)
        M30_LOG(m30, ch, M30_LOG_ERROR, "Error setting PAT table in MU params");
    len = m30_build_pmt_table(m30, c, table, sizeof table);
    if (len < 0 || len > MU_SECTION_MAX_LENGTH)
        M30_LOG(m30, ch, M30_LOG_ERROR, "Error building PMT table.");
    else if (muparam_set_pmt_table(&mu, table, static_cast<uint8_t>(len)) < 0)
        M30_LOG(m30, ch, M30_LOG_ERROR, "Error setting PMT table in MU params");
    if (render_load(m30, c, mu, muparam_to_bin, m30_load_params_mu) < 0)
        M30_LOG(m30, ch, M30_LOG_ERROR, "Error loading MU params");
}

// -1 (errno EINVAL, status NONE) when the chip went to ERROR.
int error_after(m30_context *m30, int ch, const char *what)
{
    if (m30_get_main_state(m30) != M30_MAIN_STATE_ERROR)
        return 0;
    M30_LOG(m30, ch, M30_LOG_ERROR, "%s", what);
    m30_report_encstatus(m30, ch, M30_ENCSTATUS_NONE);
    return errno = EINVAL, -1;
}

} // namespace

extern "C" {

#define M30_ENC_LOADER(name, addr)                                                      \
    int name(m30_context *m30, unsigned idx, const uint8_t *image, size_t len) noexcept \
    {                                                                                   \
        return load_at(m30, addr, idx, image, len);                                     \
    }
M30_ENC_LOADER(m30_load_params_vi, vi_addr)
M30_ENC_LOADER(m30_load_params_vin, vin_addr)
M30_ENC_LOADER(m30_load_params_ain, ain_addr)
M30_ENC_LOADER(m30_load_params_va, va_addr)
M30_ENC_LOADER(m30_load_params_eh, eh_addr)
M30_ENC_LOADER(m30_load_params_ea, ea_addr)
M30_ENC_LOADER(m30_load_params_em, em_addr)
M30_ENC_LOADER(m30_load_params_ae, ae_addr)
M30_ENC_LOADER(m30_load_params_mu, mu_addr)
M30_ENC_LOADER(m30_load_params_aip, aip_addr)
M30_ENC_LOADER(m30_load_params_ai, ai_addr)
M30_ENC_LOADER(m30_load_params_ains, ains_addr)
M30_ENC_LOADER(m30_load_params_aes, aes_addr)
M30_ENC_LOADER(m30_load_params_mas, mas_addr)
#undef M30_ENC_LOADER

uint8_t m30_ch_aud_bitmap(const m30_context *m30, unsigned ch) noexcept
{
    if (!m30 || ch >= M30_CHANNELS)
        return 0;
    uint8_t bits = 0;
    for (unsigned a = 0; a < M30_AUDIO_RES; ++a)
        if (m30->chcfg[ch].audio_res_idx_group[a] && m30->audcfg[a].audio_state == M30_ON)
            bits = static_cast<uint8_t>(bits | 1u << a);
    return bits;
}

vi_vformat vformat_for_vidstd(m30_vidstd v) noexcept
{
    if (in(v, 1, 8)) return VI_VFORMAT_1280_720P;
    if (in(v, 9, 11)) return VI_VFORMAT_1920_1080I;
    if (in(v, 12, 21)) return VI_VFORMAT_1920_1080P;
    if (v == 22 || v == 23 || v == 26 || v == 27) return VI_VFORMAT_720_480P;
    if (v == 24 || v == 25) return VI_VFORMAT_720_480I;
    if (v == 28 || v == 30) return VI_VFORMAT_720_576P;
    if (v == 29) return VI_VFORMAT_720_576I;
    if (in(v, 31, 38)) return VI_VFORMAT_3840_2160P_SQD;
    if (in(v, 39, 46)) return VI_VFORMAT_3840_2160P_2SI;
    return VI_VFORMAT_1920_1080P;
}

uint32_t m30_video_rate_ts_to_es(uint32_t ts_kbps) noexcept
{
    double b = static_cast<double>(ts_kbps) * 1000.0;
    b -= b * 4.0 / 188.0;  // transport packet headers
    b -= 147200.0 / 3.0;   // PSI and PCR
    return b <= 0 ? 0 : static_cast<uint32_t>(b / 1000.0);
}

void m30_audio_constrain(m30_context *m30, unsigned a) noexcept
{
    if (!m30 || a >= M30_AUDIO_RES)
        return;
    m30_audio_config &ac = m30->audcfg[a];
    uint32_t old = ac.audio_rate_bps, now = old;
    switch (ac.audio_mode) {
    case M30_AUDIO_MODE_PASS_THRU:
    case M30_AUDIO_MODE_LPCM:
        now = old > 1928000 ? 1928000 : old < 32000 ? 32000 : old;
        break;
    case M30_AUDIO_MODE_AAC_LC:
        now = old > 128000 ? 128000 : old < 32000 ? 32000 : old;
        break;
    case M30_AUDIO_MODE_MPEG1_L2:
        now = mp1l2_rate(old);
        break;
    default:
        M30_LOG(m30, static_cast<int>(a), M30_LOG_ERROR, "(Audio idx %u) Invalid Audio encode type", a);
        return;
    }
    ac.audio_rate_bps = now;
    M30_LOG(m30, static_cast<int>(a), M30_LOG_INFO, "(Audio idx %u) Constraining audio rate: %u to %u (bps)", a, old,
            now);
    if (now != old)
        m30_report_cfg_change(m30, static_cast<int>(a), M30_CHANGE_AUDIO_RATE);
}

void m30_channel_load_audio_params(m30_context *m30, unsigned ch, uint8_t bitmap, const vinparam *vin) noexcept
{
    if (!m30 || !vin || !bitmap)
        return;
    int c = static_cast<int>(ch);
    uint8_t pts_msb = vinparam_get_init_pts_msb(vin);
    uint32_t pts = vinparam_get_init_pts(vin);
    for (unsigned a = 0; a < M30_AUDIO_RES; ++a) {
        if (!(bitmap & 1u << a))
            continue;
        const m30_audio_config &ac = m30->audcfg[a];
        aipparam aip;
        aipparam_init(&aip);
        if (render_load(m30, a, aip, aipparam_to_bin, m30_load_params_aip) < 0)
            M30_LOG(m30, c, M30_LOG_ERROR, "Error loading AIP params for audio resource idx %u", a);
        aiparam ai;
        aiparam_init(&ai, a);
        if (render_load(m30, a, ai, aiparam_to_bin, m30_load_params_ai) < 0)
            M30_LOG(m30, c, M30_LOG_ERROR, "Error loading AI params for audio resource idx %u", a);
        ainsparam ains;
        ainsparam_init(&ains, a, ac.audio_mode);
        ainsparam_set_initial_pts(&ains, pts_msb, pts, ac.audio_sync_ms);
        if (render_load(m30, a, ains, ainsparam_to_bin, m30_load_params_ains) < 0)
            M30_LOG(m30, c, M30_LOG_ERROR, "Error loading AINS params for audio resource idx %u", a);
        aesparam aes;
        aesparam_init(&aes, a, ac.audio_mode);
        aesparam_set_audio_rate(&aes, ac.audio_rate_bps);
        if (ac.audio_mode == M30_AUDIO_MODE_MPEG1_L2) {
            aesparam_set_mpeg1_protect(&aes, ac.audio_mp1_prot);
            aesparam_set_mpeg1_copyright(&aes, ac.audio_mp1_cpri);
            aesparam_set_mpeg1_copyorig(&aes, ac.audio_mp1_cpor);
        }
        if (render_load(m30, a, aes, aesparam_to_bin, m30_load_params_aes) < 0)
            M30_LOG(m30, c, M30_LOG_ERROR, "Error loading AES params for audio resource idx %u", a);
        masparam mas;
        masparam_init(&mas, a);
        masparam_set_audio_rate(&mas, ac.audio_rate_bps);
        masparam_set_audio_pid(&mas, ac.audio_pid);
        if (render_load(m30, a, mas, masparam_to_bin, m30_load_params_mas) < 0)
            M30_LOG(m30, c, M30_LOG_ERROR, "Error loading MAS params for audio resource idx %u", a);
    }
}

int m30_build_pat_table(m30_context *m30, unsigned ch, uint8_t *buf, size_t size) noexcept
{
    if (!valid_enc(m30, ch) || !buf || size < sizeof(TPat))
        return errno = EINVAL, -1;
    std::memset(buf, 0, size);
    auto *pat = reinterpret_cast<TPat *>(buf);
    m30_channel_config_enc &e = m30->enc->chcfg[ch];
    tsSetPatDefault(pat, 0);
    tsSetCurrentNext(&pat->header, 1);
    tsSetVersion(&pat->header, next_version(e.pat_ver, e.pat_dirty));
    auto add = [&](unsigned c) {
        return tsAddPatProgram(pat, static_cast<uint16_t>(m30->enc->chcfg[c].pgm_num),
                               static_cast<uint16_t>(m30->chcfg[c].pmt_pid), 0);
    };
    if (m30->enc->pat_includes_all) {
        int count = m30_get_channel_count(m30);
        for (int c = 0; c < count && c < M30_CHANNELS; ++c)
            if (m30->chcfg[c].video_state == M30_ON && add(static_cast<unsigned>(c)) < 0)
                return -1;
    } else if (add(ch) < 0) {
        return -1;
    }
    return section_bytes(&pat->header);
}

int m30_build_pmt_table(m30_context *m30, unsigned ch, uint8_t *buf, size_t size) noexcept
{
    if (!valid_enc(m30, ch) || !buf || size < sizeof(TPmt))
        return errno = EINVAL, -1;
    std::memset(buf, 0, size);
    auto *pmt = reinterpret_cast<TPmt *>(buf);
    m30_channel_config_enc &e = m30->enc->chcfg[ch];
    const m30_channel_config &cc = m30->chcfg[ch];
    int c = static_cast<int>(ch);
    tsSetPmtDefault(pmt, static_cast<uint16_t>(e.pgm_num), static_cast<uint16_t>(cc.pcr_pid));
    tsSetCurrentNext(&pmt->header, 1);
    tsSetVersion(&pmt->header, next_version(e.pmt_ver, e.pmt_dirty));
    uint8_t video_type;
    switch (m30->video_mode) {
    case M30_VIDEO_MODE_MPEG2:
        video_type = 0x02;
        M30_LOG(m30, c, M30_LOG_DEBUG, "Setting PMT stream type MPEG2");
        break;
    case M30_VIDEO_MODE_H264:
        video_type = 0x1B;
        M30_LOG(m30, c, M30_LOG_DEBUG, "Setting PMT stream type H264");
        break;
    default:
        video_type = 0x24;
        M30_LOG(m30, c, M30_LOG_DEBUG, "Setting PMT stream type H265");
        break;
    }
    if (!add_pmt_entry(pmt, video_type, static_cast<uint16_t>(cc.vid_pid)))
        return -1;
    for (unsigned a = 0; a < M30_AUDIO_RES; ++a) {
        const m30_audio_config &ac = m30->audcfg[a];
        if (!cc.audio_res_idx_group[a] || ac.audio_state != M30_ON)
            continue;
        if (!add_pmt_entry(pmt, pmt_stream_type(ac.audio_mode), static_cast<uint16_t>(ac.audio_pid)))
            return -1;
    }
    return section_bytes(&pmt->header);
}

} // extern "C"

extern "C" M30_API int m30_channel_constrain_enc(m30_context *m30_, unsigned i_) noexcept
{
    if (!valid_enc(m30_, i_))
        return errno = EINVAL, -1;
    m30_channel_config &cc = m30_->chcfg[i_];
    m30_channel_config_enc &e = m30_->enc->chcfg[i_];
    int ch = static_cast<int>(i_);
    if (m30_->multi_channel && uhd_for_vidstd(cc.vid_std)) {
        cc.vid_std = uhd_vidstd_to_non_uhd(cc.vid_std);
        M30_LOG(m30_, ch, M30_LOG_INFO, "Constraining video std from UHD to non-UHD");
        change(m30_, i_, M30_CHANGE_VIDSTD);
    }
    switch (m30_->video_mode) {
    case M30_VIDEO_MODE_HEVC:
    case M30_VIDEO_MODE_HEVC_ULL:
        // The HEVC rule leaves an ultra-low-latency context alone.
        m30_channel_constrain_video_rate_hevc(m30_, ch);
        break;
    case M30_VIDEO_MODE_H264:
        m30_channel_constrain_video_rate_h264(m30_, ch);
        break;
    case M30_VIDEO_MODE_MPEG2: {
        m30_vidstd to = mpeg2_vidstd(cc.vid_std);
        if (to != cc.vid_std) {
            M30_LOG(m30_, ch, M30_LOG_INFO, "Constraining video std: %s to %s", vidstd_name(cc.vid_std),
                    vidstd_name(to));
            cc.vid_std = to;
            change(m30_, i_, M30_CHANGE_VIDSTD);
        }
        if (cc.chroma_fmt == M30_CHROMAFMT_422) {
            M30_LOG(m30_, ch, M30_LOG_INFO, "Constraining chroma fmt: %s to %s",
                    m30_chromafmt_strings[M30_CHROMAFMT_422], m30_chromafmt_strings[M30_CHROMAFMT_420]);
            cc.chroma_fmt = M30_CHROMAFMT_420;
            change(m30_, i_, M30_CHANGE_CHROMAFMT);
        }
        if (cc.bit_depth == 10) {
            M30_LOG(m30_, ch, M30_LOG_INFO, "Constraining bit depth: %u to %u", 10u, 8u);
            cc.bit_depth = 8;
            change(m30_, i_, M30_CHANGE_BITDEPTH);
        }
        uint32_t cap = mpeg2_gop_cap(frame_rate_for_vidstd(cc.vid_std));
        if (e.frame_num_in_gop > cap) {
            e.frame_num_in_gop = cap;
            change(m30_, i_, M30_CHANGE_FRAME_NUM_IN_GOP);
        }
        m30_channel_constrain_video_rate_mpeg2(m30_, ch);
        break;
    }
    default:
        break;
    }
    uint32_t period = ip_period_of(e);
    if (e.frame_num_in_gop % period != 0) {
        uint32_t to = e.frame_num_in_gop / period * period;
        if (to == 0)
            to = 1;
        M30_LOG(m30_, ch, M30_LOG_INFO, "Constraining frame num in GOP: %u to %u", e.frame_num_in_gop, to);
        e.frame_num_in_gop = to;
        change(m30_, i_, M30_CHANGE_FRAME_NUM_IN_GOP);
    }
    if (e.vanc_line_count > 4) {
        M30_LOG(m30_, ch, M30_LOG_INFO, "Constraining VANC line count: %u to %u", e.vanc_line_count, 4u);
        e.vanc_line_count = 4;
        change(m30_, i_, M30_CHANGE_VANC_LINE_COUNT);
    }
    uint32_t limit = vanc_line_limit(cc.vid_std);
    if (e.vanc_start_line + e.vanc_line_count > limit) {
        uint32_t to = limit - e.vanc_line_count;
        M30_LOG(m30_, ch, M30_LOG_INFO, "Constraining VANC start line: %u to %u (%u)", e.vanc_start_line, to, limit);
        e.vanc_start_line = to;
        change(m30_, i_, M30_CHANGE_VANC_START_LINE);
    }
    return 0;
}

extern "C" M30_API int testing_constrain(m30_context *m30_, unsigned i_) noexcept
{
    return m30_channel_constrain_enc(m30_, i_);
}

extern "C" M30_API bool m30_channel_is_video_detected(m30_context *m30_, unsigned i_) noexcept
{
    return valid_enc(m30_, i_) && m30_->enc->chstat[i_].video_detected.load(std::memory_order_relaxed);
}

extern "C" M30_API int m30_set_pat_includes_all(m30_context *m30_, bool all_) noexcept
{
    if (!m30_ || !m30_->enc || m30_->enc->pat_includes_all == all_)
        return 0;
    m30_->enc->pat_includes_all = all_;
    // Another program list is another PAT: receivers see it only with a
    // new version.
    for (m30_channel_config_enc &e : m30_->enc->chcfg)
        e.pat_dirty = 1;
    return 0;
}

extern "C" M30_API int m30_channel_start_encode(m30_context *m30_, unsigned i_) noexcept
{
    if (!m30_ || !m30_->enc)
        return errno = EINVAL, -1;
    int ch = static_cast<int>(i_);
    // The index first: nothing of a channel beyond the count is read.
    if (i_ >= M30_CHANNELS || ch >= m30_get_channel_count(m30_)) {
        M30_LOG(m30_, ch, M30_LOG_ERROR, "Invalid channel index. Channel not in use.");
        return errno = EINVAL, -1;
    }
    int id = m30_->chcfg[i_].m30_id;
    if (m30_get_input_state(m30_, id) != M30_INPUT_STATE_STOP)
        return errno = EPERM, -1;
    if (m30_->chcfg[i_].vid_std == M30_VIDSTD_INVALID) {
        M30_LOG(m30_, ch, M30_LOG_INFO, "Exiting channel start process...pending on a valid vid_std!");
        m30_->restart_channel[i_] = false;
        return 0;
    }

    m30_channel_constrain_enc(m30_, i_);
    uint8_t bitmap = m30_ch_aud_bitmap(m30_, i_);
    for (unsigned a = 0; a < M30_AUDIO_RES; ++a)
        if (bitmap & 1u << a)
            m30_audio_constrain(m30_, a);
    m30_->chcfg[i_].is_locked = true;
    m30_channel_constrain_data_rate(m30_, ch);
    if (m30_->on_ch_prestart_chk)
        m30_->on_ch_prestart_chk(m30_->on_ch_prestart_chk_ctx, ch);
    m30_->chcfg[i_].is_locked = false;

    // Blocks in the chip's order; a failed load is logged and the start
    // goes on, so the chip gets every block it can.
    load_vi(m30_, i_);
    vinparam vin;
    build_vin(m30_, i_, vin);
    ainparam ain;
    ainparam_init(&ain, bitmap);
    if (render_load(m30_, i_, ain, ainparam_to_bin, m30_load_params_ain) < 0)
        M30_LOG(m30_, ch, M30_LOG_ERROR, "Error loading AIN params");
    Encoder enc;
    if (load_encoder(m30_, i_, vin, enc) < 0)
        return -1;
    aeparam ae;
    aeparam_init(&ae, i_, bitmap);
    if (render_load(m30_, i_, ae, aeparam_to_bin, m30_load_params_ae) < 0)
        M30_LOG(m30_, ch, M30_LOG_ERROR, "Error loading AE params");
    load_mu(m30_, i_, enc, bitmap);
    m30_channel_load_audio_params(m30_, i_, bitmap, &vin);

    if (m30_enable_messages(m30_, ch) < 0)
        M30_LOG(m30_, ch, M30_LOG_ERROR, "Failed ioctl to enable msgs: %s", std::strerror(errno));
    if (m30_input_start(m30_, id) < 0)
        M30_LOG(m30_, ch, M30_LOG_ERROR, "Failed ioctl to start input: %s", std::strerror(errno));
    if (error_after(m30_, ch, "Starting inputs...Error detected!!") < 0)
        return -1;
    if (m30_output_start(m30_, id) < 0)
        M30_LOG(m30_, ch, M30_LOG_ERROR, "Failed ioctl call to start output: %s", std::strerror(errno));
    if (error_after(m30_, ch, "Starting outputs...Error detected!!") < 0)
        return -1;
    m30_->restart_channel[i_] = false;
    m30_report_encstatus(m30_, ch, M30_ENCSTATUS_ENCODE);
    return 0;
}
