// Parameter blocks: images worked out by hand from the chip's field tables,
// round trips, field isolation, refusals, printer text and the mappings.
#include "block_ops.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

using namespace m30test;

namespace {

const BlockOps &ops(const std::string &name)
{
    static const std::vector<BlockOps> blocks = all_blocks();
    for (const auto &b : blocks)
        if (b.name == name)
            return b;
    throw std::runtime_error("no block " + name);
}

// Decode-side defaults (see all_blocks()), word by word from the tables.
const std::map<std::string, std::vector<uint8_t>> &golden_defaults()
{
    static const std::map<std::string, std::vector<uint8_t>> g = {
        {"cparam", image(128, {{0, 1}, {2, 0x00108080}, {4, 0x00002222}, {9, 0x01000000}, {10, 0x11110000},
                               {14, 0x00108080}, {27, 0x10000000}, {28, 0x400084}, {29, 0x200084},
                               {30, 0x100084}, {31, 0x80084}})},
        {"siparam", image(256, {{0, 1}, {1, 0x00000101}})},
        {"dmxparam", image(256, {{0, 1}, {2, 0x01001FF0}, {3, 0x01001FF0}, {4, 1}, {5, 0x00001FF1}})},
        {"dparam", image(256, {{0, 1}, {1, 0x00010000}, {2, 0x00000001}, {3, 100}, {5, 1}, {6, 0x01000000},
                               {7, 0x64640000}, {8, 0x400084}, {9, 0x200084}, {10, 0x100084}, {11, 0x80084},
                               {19, 1}, {23, 0x01010000}, {24, 0x02020000}, {25, 0x03030000}})},
        {"vdparam", image(256, {{0, 1}})},
        {"adparam", image(256, {{0, 1}})},
        {"vfparam", image(256, {{0, 1}, {2, 0x00000208}, {3, 0x07800438}, {5, 0x00670013}, {6, 0xFF79040D},
                                {7, 0x040DFF79}, {8, 0x00130067}, {9, 0xFFD70018}, {10, 0xFF800491},
                                {11, 0x030FFFB4}, {12, 0xFFF3014A}})},
        {"voparam", image(256, {{0, 1}, {1, 0x00001E01}})},
        {"aoparam", image(256, {{0, 1}, {1, 0x00010000}})},
    };
    return g;
}

} // namespace

TEST(ParamBlock, DefaultsPackToHandWorkedImages)
{
    expect_default_images(all_blocks(), golden_defaults());
}

TEST(ParamBlock, InitVariantsPackToHandWorkedImages)
{
    struct Case {
        const char *what;
        std::function<std::vector<uint8_t>()> build;
        std::vector<uint8_t> want;
    };
    auto packed = [](auto *b, auto to_bin, auto dtor) {
        std::vector<uint8_t> buf(1024);
        int n = to_bin(b, buf.data(), buf.size());
        dtor(b);
        buf.resize(n < 0 ? 0 : size_t(n));
        return buf;
    };
    auto c_image = [&](m30_video_mode vm, c_vi_robust_mode rm, uint8_t multi, bool enc, bool ull) {
        cparam *c = cparam_ctor();
        cparam_init(c, vm, rm, multi, enc, ull);
        return packed(c, cparam_to_bin, cparam_dtor);
    };
    const std::vector<Case> cases = {
        {"C encode, single channel, H.264, blue, ull",
         [&] { return c_image(M30_VIDEO_MODE_H264, C_VI_ROBUST_MODE_BLUE, 0, true, true); },
         image(128, {{0, 1}, {2, 0x00108080}, {3, 0x00000100}, {4, 0x00000001}, {9, 0x11100000},
                     {10, 0x11110000}, {11, 0x11000000}, {14, 0x00108080}, {28, 0x400003}, {29, 0x200003},
                     {30, 0x100003}, {31, 0x80003}})},
        {"C decode single channel: one UHD channel",
         [&] { return c_image(M30_VIDEO_MODE_HEVC, C_VI_ROBUST_MODE_STOP_ENCODING, 0, false, false); },
         image(128, {{0, 1}, {2, 0x00108080}, {4, 0x00000001}, {9, 0x01000000}, {10, 0x11110000},
                     {14, 0x00108080}, {27, 0x10000000}, {28, 0x400084}, {29, 0x200084}, {30, 0x100084},
                     {31, 0x80084}})},
        {"C multi-channel with ull keeps two channels",
         [&] { return c_image(M30_VIDEO_MODE_HEVC_ULL, C_VI_ROBUST_MODE_STOP_ENCODING, 1, false, true); },
         image(128, {{0, 1}, {2, 0x00108080}, {4, 0x00000022}, {9, 0x31100000}, {10, 0x11110000},
                     {14, 0x00108080}, {27, 0x10000000}, {28, 0x400084}, {29, 0x200084}, {30, 0x100084},
                     {31, 0x80084}})},
        {"SI channel 1: serial, packet start only",
         [&] { siparam *s = siparam_ctor(); siparam_init(s, 1); return packed(s, siparam_to_bin, siparam_dtor); },
         image(256, {{0, 1}, {1, 0x00000002}})},
        {"D fed over PCI: source PCIe, not real time",
         [&] { dparam *d = dparam_ctor(); dparam_init(d, true); return packed(d, dparam_to_bin, dparam_dtor); },
         image(256, {{0, 1}, {1, 0x00010000}, {2, 0x01000000}, {3, 100}, {5, 1}, {6, 0x01000000},
                     {7, 0x64640000}, {8, 0x400084}, {9, 0x200084}, {10, 0x100084}, {11, 0x80084}, {19, 1},
                     {23, 0x01010000}, {24, 0x02020000}, {25, 0x03030000}})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(first_difference(c.build(), c.want), "");
    }
}

TEST(ParamBlock, RoundTripsThroughTheImage)
{
    std::mt19937 rng(20261210);
    for (const auto &o : all_blocks()) {
        SCOPED_TRACE(o.name);
        Block b = hold(o, o.make_zero());
        // A decoded image packs back to itself.
        const auto &gold = golden_defaults().at(o.name);
        ASSERT_EQ(o.from_bin(b.get(), gold.data(), gold.size()), 0);
        EXPECT_EQ(first_difference(pack(o, b.get()), gold), "");
        // Any image: the field bits survive, reserved bits come back 0, and a
        // second trip changes nothing.
        std::vector<uint8_t> noise(o.image);
        for (auto &x : noise)
            x = uint8_t(rng());
        ASSERT_EQ(o.from_bin(b.get(), noise.data(), noise.size()), 0);
        std::vector<uint8_t> once = pack(o, b.get());
        for (size_t i = 0; i < once.size(); ++i)
            ASSERT_EQ(once[i] & ~noise[i], 0) << "bit set that the image did not carry at byte " << i;
        EXPECT_EQ(word(once, 0), word(noise, 0)) << "counter";
        ASSERT_EQ(o.from_bin(b.get(), once.data(), once.size()), 0);
        EXPECT_EQ(first_difference(pack(o, b.get()), once), "");
    }
}

TEST(ParamBlock, EachFieldLandsOnlyOnItsOwnBits)
{
    // A zero block with one member all ones: only that field's bits are set
    // in the image (word and mask from the field tables).
    struct Case {
        const char *block, *field;
        std::function<void(void *)> set;
        size_t word;
        uint32_t mask;
    };
#define SET(type, m) [](void *b) { auto *p = static_cast<type *>(b); p->m = decltype(p->m)(~0u); }
    const std::vector<Case> cases = {
        {"cparam", "TILE_ADDR_X", SET(cparam, TILE_ADDR_X), 1, 0xF0000000},
        {"cparam", "RESERVED_8K", SET(cparam, RESERVED_8K), 1, 0x000000FF},
        {"cparam", "VI_ROBUST_MODE", SET(cparam, VI_ROBUST_MODE), 3, 0x00000F00},
        {"cparam", "RESO_TYPE_CH07", SET(cparam, RESO_TYPE_CH07), 4, 0xF0000000},
        {"cparam", "RESO_TYPE_CH00", SET(cparam, RESO_TYPE_CH00), 4, 0x0000000F},
        {"cparam", "RESO_TYPE_CH24", SET(cparam, RESO_TYPE_CH24), 7, 0x0000000F},
        {"cparam", "TRC_FLAG", SET(cparam, TRC_FLAG), 9, 0x0000000F},
        {"cparam", "MAX_HORIZONTAL_SIZE_CORE2", SET(cparam, MAX_HORIZONTAL_SIZE_CORE2), 13, 0x0000FFFF},
        {"cparam", "LOW_LATENCY_DECODE_MODE", SET(cparam, LOW_LATENCY_DECODE_MODE), 15, 0x0000000F},
        {"cparam", "USE_EXTERNAL_DDR", SET(cparam, USE_EXTERNAL_DDR), 27, 0xF0000000},
        {"cparam", "AUDIO_FIRM_FID3", SET(cparam, AUDIO_FIRM_FID3), 31, 0xFFFFFFFF},
        {"siparam", "SINCLK_HL", SET(siparam, SINCLK_HL), 1, 0x00FF0000},
        {"dmxparam", "PCR_EN", SET(dmxparam, PCR_EN), 2, 0xFF000000},
        {"dmxparam", "AUDIO3_PID", SET(dmxparam, AUDIO3_PID), 6, 0xFFFF0000},
        {"dmxparam", "OTHER_EN", SET(dmxparam, OTHER_EN), 9, 0x000000FF},
        {"dmxparam", "OTHER0_SEL", SET(dmxparam, OTHER0_SEL), 12, 0x000000FF},
        {"dparam", "STOP_CONDITION", SET(dparam, STOP_CONDITION), 1, 0xFF000000},
        {"dparam", "INPUT_STREAM_TYPE", SET(dparam, INPUT_STREAM_TYPE), 1, 0x00FF0000},
        {"dparam", "SOURCE", SET(dparam, SOURCE), 2, 0xFF000000},
        {"dparam", "SINK_A", SET(dparam, SINK_A), 2, 0x00FF0000},
        {"dparam", "SINK_V", SET(dparam, SINK_V), 2, 0x0000FF00},
        {"dparam", "STREAM_REALTIME_MODE", SET(dparam, STREAM_REALTIME_MODE), 2, 0x000000FF},
        {"dparam", "DECODE_LATENCY", SET(dparam, DECODE_LATENCY), 3, 0xFFFFFFFF},
        {"dparam", "LOW_LATENCY", SET(dparam, LOW_LATENCY), 4, 0x0000FF00},
        {"dparam", "AV_RESYNC_MODE", SET(dparam, AV_RESYNC_MODE), 4, 0x000000FF},
        {"dparam", "SYSTEM_CLOCK_SEL", SET(dparam, SYSTEM_CLOCK_SEL), 5, 0x000000FF},
        {"dparam", "PWM_EN", SET(dparam, PWM_EN), 6, 0xFF000000},
        {"dparam", "VCLK_GEN_MODE", SET(dparam, VCLK_GEN_MODE), 6, 0x0000FF00},
        {"dparam", "ACLK_GEN_MODE", SET(dparam, ACLK_GEN_MODE), 6, 0x000000FF},
        {"dparam", "VIDEO_CONCEAL_LEVEL", SET(dparam, VIDEO_CONCEAL_LEVEL), 7, 0xFF000000},
        {"dparam", "VIDEO_CONCEAL_LEVEL_REF", SET(dparam, VIDEO_CONCEAL_LEVEL_REF), 7, 0x00FF0000},
        {"dparam", "VIDEO_MODE", SET(dparam, VIDEO_MODE), 7, 0x000000FF},
        {"dparam", "AUDIO0_MODE", SET(dparam, AUDIO0_MODE), 8, 0xFFFFFFFF},
        {"dparam", "AUDIO1_MODE", SET(dparam, AUDIO1_MODE), 9, 0xFFFFFFFF},
        {"dparam", "AUDIO2_MODE", SET(dparam, AUDIO2_MODE), 10, 0xFFFFFFFF},
        {"dparam", "AUDIO3_MODE", SET(dparam, AUDIO3_MODE), 11, 0xFFFFFFFF},
        {"dparam", "D_AUDIO_AD_ID_EN", SET(dparam, D_AUDIO_AD_ID_EN), 19, 0x000000FF},
        {"dparam", "D_AUDIO_START_FRAME_NUM", SET(dparam, D_AUDIO_START_FRAME_NUM), 20, 0x000000FF},
        {"dparam", "D_AUDIO0_AD_ID", SET(dparam, D_AUDIO0_AD_ID), 22, 0xFF000000},
        {"dparam", "D_AUDIO0_AO_ID", SET(dparam, D_AUDIO0_AO_ID), 22, 0x00FF0000},
        {"dparam", "D_AUDIO1_AD_ID", SET(dparam, D_AUDIO1_AD_ID), 23, 0xFF000000},
        {"dparam", "D_AUDIO1_AO_ID", SET(dparam, D_AUDIO1_AO_ID), 23, 0x00FF0000},
        {"dparam", "D_AUDIO2_AD_ID", SET(dparam, D_AUDIO2_AD_ID), 24, 0xFF000000},
        {"dparam", "D_AUDIO2_AO_ID", SET(dparam, D_AUDIO2_AO_ID), 24, 0x00FF0000},
        {"dparam", "D_AUDIO3_AD_ID", SET(dparam, D_AUDIO3_AD_ID), 25, 0xFF000000},
        {"dparam", "LATENCY_CHECK_VSYNC_CYCLE", SET(dparam, LATENCY_CHECK_VSYNC_CYCLE), 5, 0xFFFF0000},
        {"dparam", "D_AUDIO3_AO_ID", SET(dparam, D_AUDIO3_AO_ID), 25, 0x00FF0000},
        {"dparam", "AUDIO_PTS_OFFSET", SET(dparam, AUDIO_PTS_OFFSET), 34, 0x0000FFFF},
        {"vdparam", "SEI_PAYLOADTYPE4", SET(vdparam, SEI_PAYLOADTYPE4), 3, 0x000000FF},
        {"vdparam", "MPEG2_PIC_USER_DATA", SET(vdparam, MPEG2_PIC_USER_DATA), 4, 0x00FF0000},
        {"adparam", "F_USE", SET(adparam, F_USE), 1, 0x00000004},
        {"adparam", "C_UP", SET(adparam, C_UP), 1, 0x00000002},
        {"adparam", "C_OUT", SET(adparam, C_OUT), 1, 0x00000001},
        {"adparam", "CODEC_PARAMETER_9", SET(adparam, CODEC_PARAMETER_9), 14, 0xFFFFFFFF},
        {"vfparam", "C422_COEF_I_13", SET(vfparam, C422_COEF_I_13), 12, 0xFFFF0000},
        {"vfparam", "COLOR_SPACE_OUT", SET(vfparam, COLOR_SPACE_OUT), 14, 0x000000FF},
        {"voparam", "VO_YC_SWAP", SET(voparam, VO_YC_SWAP), 1, 0xFF000000},
        {"voparam", "VANC_PTS", SET(voparam, VANC_PTS), 2, 0x000000FF},
        {"aoparam", "CLOCK_MASTER", SET(aoparam, CLOCK_MASTER), 2, 0x00FF0000},
        {"aoparam", "WARNING_TREATMENT", SET(aoparam, WARNING_TREATMENT), 3, 0x000000FF},
    };
#undef SET
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.block) + "." + c.field);
        const BlockOps &o = ops(c.block);
        Block b = hold(o, o.make_zero());
        c.set(b.get());
        EXPECT_EQ(first_difference(pack(o, b.get()), image(o.image, {{c.word, c.mask}})), "");
        // And back: unpacking the field's bits alone fills the member.
        Block back = hold(o, o.make_zero());
        std::vector<uint8_t> only = image(o.image, {{c.word, c.mask}});
        ASSERT_EQ(o.from_bin(back.get(), only.data(), only.size()), 0);
        EXPECT_EQ(first_difference(pack(o, back.get()), only), "");
    }
}

TEST(ParamBlock, DecodeSinksPackToTheirOwnBytes)
{
    const BlockOps &o = ops("dparam");
    for (int which = 0; which < 2; ++which) {
        Block b = hold(o, o.make_zero());
        auto *d = static_cast<dparam *>(b.get());
        if (which == 0)
            d->SINK_A = D_SINK_A_PCIE;
        else
            d->SINK_V = D_SINK_V_PCIE;
        EXPECT_EQ(word(pack(o, b.get()), 2), which == 0 ? 0x00010000u : 0x00000100u) << which;
    }
}

TEST(ParamBlock, ValuesWiderThanTheFieldKeepTheirLowBits)
{
    cparam *c = cparam_ctor();
    c->VI_ROBUST_MODE = 0x13;
    c->RESO_TYPE_CH01 = 17;
    std::vector<uint8_t> buf(128);
    ASSERT_EQ(cparam_to_bin(c, buf.data(), buf.size()), 128);
    EXPECT_EQ(word(buf, 3), 0x00000300u);
    EXPECT_EQ(word(buf, 4), 0x00000010u);
    cparam_dtor(c);
}

TEST(ParamBlock, ShortBuffersAreRefusedAndLeftUntouched)
{
    expect_short_buffers_refused(all_blocks());
}

TEST(ParamBlock, PrintedTextMatchesTheCommittedFiles)
{
    for (const auto &o : all_blocks()) {
        SCOPED_TRACE(o.name);
        std::string want = read_file(std::string(M30_TEST_DIR "/expected/") + o.name + ".txt");
        ASSERT_FALSE(want.empty());
        Block b = hold(o, o.make_default());
        EXPECT_EQ(printed(o, b.get()), want);
        // The image printer shows the image's values: the same text from
        // the packed defaults, followed by nothing else on standard output.
        std::vector<uint8_t> img = pack(o, b.get());
        img.resize(1024, 0);
        testing::internal::CaptureStdout();
        EXPECT_EQ(o.print_image(img.data(), img.size()), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), want);
    }
}

TEST(ParamBlock, CommonBlockSetters)
{
    cparam *c = cparam_ctor();
    cparam_init(c, M30_VIDEO_MODE_HEVC, C_VI_ROBUST_MODE_STOP_ENCODING, 1, false, false);
    EXPECT_EQ(cparam_set_audio_mode(c, 2, M30_AUDIO_MODE_LPCM, true), 0);
    EXPECT_EQ(c->AUDIO_FIRM_FID2, 0x100002u);
    EXPECT_EQ(cparam_set_audio_mode(c, 2, M30_AUDIO_MODE_LPCM, false), 0);
    EXPECT_EQ(c->AUDIO_FIRM_FID2, 0x100082u);
    EXPECT_EQ(cparam_set_reso_type(c, 3, C_RESO_TYPE_SD), 0);
    EXPECT_EQ(c->RESO_TYPE_CH03, C_RESO_TYPE_SD);

    cparam before = *c;
    EXPECT_EQ(cparam_set_audio_mode(c, 4, M30_AUDIO_MODE_LPCM, true), -1);
    EXPECT_EQ(cparam_set_audio_mode(c, 0, static_cast<m30_audio_mode>(4), true), -1);
    EXPECT_EQ(cparam_set_reso_type(c, 4, C_RESO_TYPE_SD), -1);
    EXPECT_EQ(std::memcmp(&before, c, sizeof before), 0);
    cparam_dtor(c);
}

TEST(ParamBlock, DecodeBlockAccessors)
{
    dmxparam *dmx = dmxparam_ctor();
    dmxparam_init(dmx);
    const unsigned audio[4] = {0x101, 0, 0x103, 0};
    EXPECT_EQ(dmxparam_set_audio_pids(dmx, audio), 0);
    const m30_dmx_pid_detect other[4] = {
        {true, 0x30, M30_PID_FMT_PES}, {false, 0x31, M30_PID_FMT_SECTION}, {false, 0, M30_PID_FMT_SECTION},
        {true, 0x10033, M30_PID_FMT_PES}};
    EXPECT_EQ(dmxparam_set_other_pids(dmx, other), 0);
    EXPECT_EQ(dmxparam_set_video_pid(dmx, 0x1100), 0);
    EXPECT_EQ(dmxparam_set_pcr_pid(dmx, 0x1101), 0);
    std::vector<uint8_t> img(256);
    ASSERT_EQ(dmxparam_to_bin(dmx, img.data(), img.size()), 256);
    EXPECT_EQ(first_difference(img, image(256, {{0, 1}, {2, 0x01001101}, {3, 0x01001100}, {4, 0x5},
                                                 {5, 0x00000101}, {6, 0x00000103}, {9, 0x9},
                                                 {10, 0x00310030}, {11, 0x00330000}, {12, 0x01000001}})),
              "");
    dmxparam_dtor(dmx);

    dparam *d = dparam_ctor();
    dparam_init(d, false);
    EXPECT_EQ(dparam_set_audio_pids_info(d, audio), 0);
    EXPECT_EQ(d->D_AUDIO_AD_ID_EN, 0x5);
    EXPECT_EQ(dparam_set_audio_mode(d, 3, M30_AUDIO_MODE_AAC_LC), 0);
    EXPECT_EQ(d->AUDIO3_MODE, 0x80083u);
    dparam before = *d;
    EXPECT_EQ(dparam_set_audio_mode(d, 4, M30_AUDIO_MODE_AAC_LC), -1);
    EXPECT_EQ(std::memcmp(&before, d, sizeof before), 0);
    dparam_set_video_mode(d, M30_VIDEO_MODE_MPEG2);
    dparam_set_video_clock_freq(d, D_VID_CLK_27M);
    EXPECT_EQ(d->VIDEO_MODE, 2);
    EXPECT_EQ(d->VCLK_GEN_MODE, 4);
    dparam_dtor(d);

    vdparam *vd = vdparam_ctor();
    vdparam_init(vd);
    const unsigned sei[5] = {5, 4, 137, 144, 147};
    EXPECT_EQ(vdparam_set_sei_info_msgs(vd, nullptr, true, true, true), -1);
    EXPECT_EQ(vdparam_set_sei_info_msgs(nullptr, sei, true, true, true), -1);
    EXPECT_EQ(vdparam_set_sei_info_msgs(vd, sei, true, false, true), 0);
    ASSERT_EQ(vdparam_to_bin(vd, img.data(), img.size()), 256);
    EXPECT_EQ(first_difference(img, image(256, {{0, 1}, {2, 0x90890405}, {3, 147}, {4, 0x00010001}})), "");
    vdparam_dtor(vd);

    vfparam *vf = vfparam_ctor();
    vfparam_init(vf);
    vfparam_set_hsize(vf, 3840);
    vfparam_set_vsize(vf, 2160);
    vfparam_set_chroma_fmt(vf, M30_CHROMAFMT_420);
    vfparam_set_bit_depth(vf, 10);
    EXPECT_EQ(vfparam_get_chroma_fmt(vf), M30_CHROMAFMT_420);
    EXPECT_EQ(vfparam_get_bit_depth(vf), 10u);
    ASSERT_EQ(vfparam_to_bin(vf, img.data(), img.size()), 256);
    EXPECT_EQ(word(img, 2), 0x0000010Au);
    EXPECT_EQ(word(img, 3), 0x0F000870u);
    vfparam_dtor(vf);
}

TEST(ParamBlock, VideoStandardMappings)
{
    // Index = m30_vidstd 0 to 47, then one value past the end.
    const int vclk[] = {0, 3, 2, 3, 3, 2, 3, 3, 2, 3, 2, 3, 3, 2, 3, 3, 2, 3, 2, 1, 0, 1, 4, 4, 4,
                        4, 4, 4, 4, 4, 4, 1, 0, 1, 3, 2, 3, 3, 2, 1, 0, 1, 3, 2, 3, 3, 2, 0, 0};
    const int vfmt[] = {6, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 4, 4, 2,
                        2, 4, 4, 5, 3, 5, 7, 7, 7, 7, 7, 7, 7, 7, 8, 8, 8, 8, 8, 8, 8, 8, 6, 6};
    static_assert(std::size(vclk) == 49 && std::size(vfmt) == 49);
    for (int s = 0; s < 49; ++s) {
        SCOPED_TRACE(s);
        EXPECT_EQ(m30_vidstd_to_dparam_vclk_fq(static_cast<m30_vidstd>(s)), vclk[s]);
        EXPECT_EQ(m30_to_voparam_vidstd(static_cast<m30_vidstd>(s)), vfmt[s]);
    }
    EXPECT_EQ(m30_vidstd_to_dparam_vclk_fq(static_cast<m30_vidstd>(-1)), D_VID_CLK_148_5_DIV_1_001);

    // Chip codes of the output formats, and back.
    const uint8_t code[] = {0, 2, 4, 5, 8, 9, 30, 50, 51, 255};
    voparam *vo = voparam_ctor();
    for (int f = 0; f < 10; ++f) {
        voparam_set_vformat(vo, static_cast<vo_vformat>(f));
        EXPECT_EQ(vo->VO_VFORMAT, code[f]);
        EXPECT_EQ(voparam_get_vformat(vo), f);
    }
    voparam_set_vformat(vo, static_cast<vo_vformat>(10));
    EXPECT_EQ(vo->VO_VFORMAT, 0);
    for (uint8_t unknown : {1, 7, 31, 254}) {
        vo->VO_VFORMAT = unknown;
        EXPECT_EQ(voparam_get_vformat(vo), VO_VFORMAT_1920_1080P) << int(unknown);
    }
    voparam_set_frame_rate(vo, VO_FRAME_RATE_25);
    EXPECT_EQ(vo->VO_VFRAME_RATE, 5);
    voparam_dtor(vo);

    const int rate[] = {8, 7, 6, 5, 4, 3, 2, 1, 0, 8};
    for (int c = 0; c < 10; ++c)
        EXPECT_EQ(m30_to_voparam_frame_rate(static_cast<m30_frame_rate_code>(c)), rate[c]) << c;
}
