// Encode parameter blocks: default images worked out by hand from the chip's
// field tables, round trips, counters, host-only members, the blocks' rules
// as case tables, the multiplexer's sections and the printer texts.
#include "encode_ops.h"

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
    static const std::vector<BlockOps> blocks = encode_blocks();
    for (const auto &b : blocks)
        if (b.name == name)
            return b;
    throw std::runtime_error("no block " + name);
}

// Image words from the tables; the MU sections are the default PAT (two
// programs, PMT PIDs 0x1E0 and 0x2E0) and PMT (PCR 0x1E2, HEVC on 0x1E1)
// as ISO/IEC 13818-1 lays them out, then a zero CRC and 0xFF stuffing.
const std::map<std::string, std::vector<uint8_t>> &golden_defaults()
{
    static const std::map<std::string, std::vector<uint8_t>> g = {
        {"ehparam", image(256, {{0, 1}, {1, 0x0000002A}, {2, 0x07800438}, {3, 0x07800440}, {4, 0x04001000},
                                {5, 0x01000000}, {7, 0x00010101}, {8, 0x20000011}, {9, 0x11000000},
                                {10, 0x10000000}, {11, 40000}, {12, 80000}, {13, 40000}, {14, 1000},
                                {16, 1001}, {17, 60000}, {18, 1001}, {19, 45000}, {23, 0x00000404},
                                {24, 0x11015000}, {25, 0x10000000}, {28, 0x70000000}, {29, 0x10000000},
                                {32, 0x11101000}, {34, 0x10010101}, {35, 0x01000000}, {38, 0x00000008},
                                {39, 0x00010100}})},
        {"eaparam", image(256, {{0, 1}, {1, 0x0000002A}, {2, 0x07800438}, {3, 0x07800440}, {4, 0x042A0100},
                                {5, 0x01000000}, {8, 0x1E000000}, {9, 0x03000004}, {10, 0x0003840A},
                                {11, 64000}, {16, 1001}, {17, 120000}, {18, 1001}, {19, 45000}, {21, 1},
                                {22, 0x10000000}, {23, 0x10000000}, {24, 0x11101000}, {25, 0x00000201},
                                {26, 0x10010101}, {27, 0x01000000}, {31, 0x10010000}})},
        {"emparam", image(256, {{0, 1}, {2, 0x07800438}, {3, 0x07800438}, {5, 0x00030000}, {8, 0x0F000400},
                                {9, 0x03000001}, {11, 40000}, {18, 0x00001000}, {19, 0x12010101},
                                {20, 0x01000000}, {21, 0x07800438}})},
        {"viparam", image(128, {{0, 1}, {1, 0x11000000}, {7, 6}, {11, 1}})},
        {"vinparam", image(64, {{0, 1}, {1, 0x28}, {2, 0x04000008}, {3, 0x07800438}, {5, 90000}})},
        {"vaparam", image(64, {{0, 1}, {1, 0x2A}, {2, 0x0700002A}, {3, 0x07800438}, {4, 0x07800440},
                               {5, 0xFFEDFFFD}, {6, 0x01F40022}, {7, 0x002201F4}, {8, 0xFFFDFFED}})},
        {"aipparam", image(64, {{0, 1}, {1, 0x01000000}})},
        {"aiparam", image(64, {{0, 1}, {1, 0x01000000}, {4, 0x02000000}, {5, 0x03000000}})},
        {"ainparam", image(64, {{0, 1}, {1, 1}, {2, 1}})},
        {"ainsparam", image(64, {{0, 1}, {2, 1152}, {4, 90000}})},
        {"aeparam", image(64, {{0, 1}, {1, 1}, {2, 1}})},
        {"aesparam", image(256, {{0, 1}, {2, 96000}, {7, 96}})},
        {"muparam", image(1024, {{0, 1}, {1, 0x00001000}, {3, 0x00101000}, {4, 0x00007000}, {5, 45000},
                                 {7, 40000}, {8, 0xE0000000}, {10, 0x01E101E0}, {11, 0x01E2001F},
                                 {12, 0x10110000},
                                 // PAT: 16 bytes + 8 reach the image.
                                 {15, 0x00B01100}, {16, 0x00C10000}, {17, 0x0001E1E0}, {18, 0x0002E2E0},
                                 {19, 0}, {20, 0xFFFFFFFF},
                                 // PMT: 17 bytes, rounded down to 16, + 8.
                                 {64, 0x02B01200}, {65, 0x01C10000}, {66, 0xE1E2F000}, {67, 0x24E1E1F0},
                                 {68, 0}, {69, 0x00FFFFFF}})},
        {"masparam", image(512, {{0, 1}, {2, 192000}, {4, 3584}, {5, 0xC0000000}, {6, 0x01E30000}})},
    };
    return g;
}

template <class B>
std::vector<uint8_t> packed(B *b, int (*to_bin)(B *, uint8_t *, size_t))
{
    std::vector<uint8_t> buf(1024);
    int n = to_bin(b, buf.data(), buf.size());
    buf.resize(n < 0 ? 0 : size_t(n));
    return buf;
}

// Owns a block made with its ctor.
template <class B>
using owned = std::unique_ptr<B, void (*)(B *)>;
#define MAKE(name) owned<name>(name##_ctor(), name##_dtor)

} // namespace

TEST(EncodeBlock, DefaultsPackToHandWorkedImages)
{
    expect_default_images(encode_blocks(), golden_defaults());
}

TEST(EncodeBlock, InitVariantsPackToHandWorkedImages)
{
    struct Case {
        const char *what;
        std::function<std::vector<uint8_t>()> build;
        std::vector<uint8_t> want;
    };
    const std::vector<Case> cases = {
        {"EH secondary channel: lower rates",
         [] { auto b = MAKE(ehparam); ehparam_init(b.get(), EH_SOURCE_VA, 1); return packed(b.get(), ehparam_to_bin); },
         [] {
             auto g = golden_defaults().at("ehparam");
             auto w = image(256, {{1, 0x0001002A}, {11, 21000}, {12, 42000}, {13, 21000}});
             for (size_t i : {4u, 5u, 6u, 7u, 44u, 45u, 46u, 47u, 48u, 49u, 50u, 51u, 52u, 53u, 54u, 55u})
                 g[i] = w[i];
             return g;
         }()},
        {"EA secondary channel: 21000 kbit/s",
         [] { auto b = MAKE(eaparam); eaparam_init(b.get(), 0, 1); return packed(b.get(), eaparam_to_bin); },
         [] {
             auto g = golden_defaults().at("eaparam");
             auto w = image(256, {{1, 0x0001002A}, {11, 21000}});
             std::copy(w.begin() + 4, w.begin() + 8, g.begin() + 4);
             std::copy(w.begin() + 44, w.begin() + 48, g.begin() + 44);
             return g;
         }()},
        {"MU channel 2 from EM with all audio: serial, one program, MPEG-2 video",
         [] { auto b = MAKE(muparam); muparam_init(b.get(), MU_VSOURCE_EM, 2, 20); return packed(b.get(), muparam_to_bin); },
         image(1024, {{0, 1}, {1, 0x20021000}, {2, 0x000F0000}, {3, 0x00101000}, {4, 0x01007000}, {5, 24000},
                      {7, 21000}, {8, 0xE0000000}, {10, 0x03E103E0}, {11, 0x03E2001F}, {12, 0x10110000},
                      {15, 0x00B01100}, {16, 0x00C10000}, {17, 0x0001E3E0}, {18, 0}, {19, 0}, {20, 0xFFFFFFFF},
                      {64, 0x02B01200}, {65, 0x01C10000}, {66, 0xE3E2F000}, {67, 0x02E3E1F0}, {68, 0},
                      {69, 0x00FFFFFF}})},
        {"MU channel 1 from EA: both entries program 1",
         [] { auto b = MAKE(muparam); muparam_init(b.get(), MU_VSOURCE_EA, 1, 3); return packed(b.get(), muparam_to_bin); },
         image(1024, {{0, 1}, {1, 0x10011000}, {2, 0x00030000}, {3, 0x00101000}, {4, 0x01007000}, {5, 24000},
                      {7, 21000}, {8, 0xE0000000}, {10, 0x02E102E0}, {11, 0x02E2001F}, {12, 0x10110000},
                      {15, 0x00B01100}, {16, 0x00C10000}, {17, 0x0001E1E0}, {18, 0x0001E2E0}, {19, 0},
                      {20, 0xFFFFFFFF}, {64, 0x02B01200}, {65, 0x01C10000}, {66, 0xE2E2F000}, {67, 0x1BE2E1F0},
                      {68, 0}, {69, 0x00FFFFFF}})},
        {"MU id 4: no PIDs, empty PAT entries and PMT body",
         [] { auto b = MAKE(muparam); muparam_init(b.get(), MU_VSOURCE_EH, 4, 0); return packed(b.get(), muparam_to_bin); },
         image(1024, {{0, 1}, {1, 0x00041000}, {3, 0x00101000}, {4, 0x01007000}, {5, 24000}, {7, 21000},
                      {8, 0xE0000000}, {11, 0x0000001F}, {12, 0x10110000}, {15, 0x00B01100}, {16, 0x00C10000},
                      {20, 0xFFFFFFFF}, {64, 0x02B01200}, {65, 0x01C10000}, {69, 0x00FFFFFF}})},
        {"MAS audio 2: PID 995",
         [] { auto b = MAKE(masparam); masparam_init(b.get(), 2); return packed(b.get(), masparam_to_bin); },
         image(512, {{0, 1}, {1, 0x00020000}, {2, 192000}, {4, 3584}, {5, 0xC0000000}, {6, 0x03E30000}})},
        {"AIN mask 20 enables all four", [] { auto b = MAKE(ainparam); ainparam_init(b.get(), 20); return packed(b.get(), ainparam_to_bin); },
         image(64, {{0, 1}, {1, 1}, {2, 15}})},
        {"AIN mask 0 leaves ENABLE 0", [] { auto b = MAKE(ainparam); ainparam_init(b.get(), 0); return packed(b.get(), ainparam_to_bin); },
         image(64, {{0, 1}})},
        {"AE audio 3, mask 15", [] { auto b = MAKE(aeparam); aeparam_init(b.get(), 3, 15); return packed(b.get(), aeparam_to_bin); },
         image(64, {{0, 1}, {1, 0x00030001}, {2, 15}})},
        {"AINS AAC-LC: 1024 samples", [] { auto b = MAKE(ainsparam); ainsparam_init(b.get(), 1, M30_AUDIO_MODE_AAC_LC); return packed(b.get(), ainsparam_to_bin); },
         image(64, {{0, 1}, {1, 0x00010000}, {2, 1024}, {4, 90000}})},
        {"AES audio 17, AAC-LC: core id keeps 4 bits", [] { auto b = MAKE(aesparam); aesparam_init(b.get(), 17, M30_AUDIO_MODE_AAC_LC); return packed(b.get(), aesparam_to_bin); },
         image(256, {{0, 1}, {1, 0x00110001}, {2, 96000}, {8, 2}})},
        {"AES LPCM: no codec parameters", [] { auto b = MAKE(aesparam); aesparam_init(b.get(), 0, M30_AUDIO_MODE_LPCM); return packed(b.get(), aesparam_to_bin); },
         image(256, {{0, 1}, {2, 96000}})},
        {"AI audio 2", [] { auto b = MAKE(aiparam); aiparam_init(b.get(), 2); return packed(b.get(), aiparam_to_bin); },
         image(64, {{0, 1}, {1, 0x01000000}, {2, 0x02000000}, {4, 0x02000000}, {5, 0x03000000}})},
        {"VIN channel 3", [] { auto b = MAKE(vinparam); vinparam_init(b.get(), 3); return packed(b.get(), vinparam_to_bin); },
         image(64, {{0, 1}, {1, 0x00030028}, {2, 0x04000008}, {3, 0x07800438}, {5, 90000}})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(first_difference(c.build(), c.want), "");
    }
}

TEST(EncodeBlock, RoundTripsThroughTheImage)
{
    std::mt19937 rng(20261210);
    for (const auto &o : encode_blocks()) {
        SCOPED_TRACE(o.name);
        const bool skip_cc = counter_skipped(o.name);
        Block b = hold(o, o.make_zero());
        // A decoded default image packs back to itself; EH, EA and MU leave
        // their counter at 0 when unpacking, so word 0 is compared apart.
        auto gold = golden_defaults().at(o.name);
        ASSERT_EQ(o.from_bin(b.get(), gold.data(), gold.size()), 0);
        std::vector<uint8_t> again = pack(o, b.get());
        EXPECT_EQ(word(again, 0), skip_cc ? 0u : 1u);
        again[0] = gold[0];
        if (o.name == "muparam") {
            // Unpacking restores the words the section lengths cover (4 of
            // the PAT, 5 of the PMT); packing sends two words more, which
            // now come back as 0 in place of the CRC and stuffing.
            gold = image(1024, {});
            std::vector<uint8_t> g = golden_defaults().at(o.name);
            for (size_t w = 0; w < 256; ++w)
                if (w != 20 && w != 69)
                    std::copy(g.begin() + 4 * w, g.begin() + 4 * w + 4, gold.begin() + 4 * w);
        }
        EXPECT_EQ(first_difference(again, gold), "");
        // Any image: the field bits survive, reserved bits come back 0, and
        // a second trip changes nothing.
        for (int trial = 0; trial < 20; ++trial) {
            std::vector<uint8_t> noise(o.image);
            for (auto &x : noise)
                x = uint8_t(rng());
            ASSERT_EQ(o.from_bin(b.get(), noise.data(), noise.size()), 0);
            std::vector<uint8_t> once = pack(o, b.get());
            for (size_t i = 0; i < once.size(); ++i)
                ASSERT_EQ(once[i] & ~noise[i], 0) << "bit set that the image did not carry at byte " << i;
            ASSERT_EQ(o.from_bin(b.get(), once.data(), once.size()), 0);
            std::vector<uint8_t> twice = pack(o, b.get());
            for (size_t i = 0; i < 4; ++i)
                twice[i] = once[i];
            EXPECT_EQ(first_difference(twice, once), "");
        }
    }
}

TEST(EncodeBlock, CounterAdvancesOnlyWhereTheChipExpectsIt)
{
    for (const auto &o : encode_blocks()) {
        SCOPED_TRACE(o.name);
        Block b = hold(o, o.make_default());
        uint32_t first = word(pack(o, b.get()), 0), second = word(pack(o, b.get()), 0);
        bool advances = counter_skipped(o.name) || o.name == "emparam";
        EXPECT_EQ(first, 1u);
        EXPECT_EQ(second, advances ? 2u : 1u);
        // Unpacking: EM reads its counter, EH, EA and MU do not.
        std::vector<uint8_t> img = image(o.image, {{0, 0x1234}});
        ASSERT_EQ(o.from_bin(b.get(), img.data(), img.size()), 0);
        EXPECT_EQ(word(pack(o, b.get()), 0), counter_skipped(o.name) ? 0u : 0x1234u);
    }
}

TEST(EncodeBlock, EachFieldLandsOnlyOnItsOwnBits)
{
    struct Case {
        const char *block, *field;
        std::function<void(void *)> set;
        size_t word;
        uint32_t mask;
    };
#define SET(type, m) [](void *b) { auto *p = static_cast<type *>(b); p->m = decltype(p->m)(~0u); }
    const std::vector<Case> cases = {
        {"ehparam", "SOURCE", SET(ehparam, SOURCE), 1, 0xF0000000},
        {"ehparam", "S_VBR_CONVERGE", SET(ehparam, S_VBR_CONVERGE), 10, 0x00FFFF00},
        {"ehparam", "MAX_PCM_SIZE", SET(ehparam, MAX_PCM_SIZE), 27, 0x0FF00000},
        {"ehparam", "S_SCALING_LIST_MODE", SET(ehparam, S_SCALING_LIST_MODE), 31, 0x000000FF},
        {"ehparam", "S_VEC_LIMIT_TILE_SLICE_BOTTOM", SET(ehparam, S_VEC_LIMIT_TILE_SLICE_BOTTOM), 49, 0x0000FFFF},
        {"eaparam", "BADAPT", SET(eaparam, BADAPT), 8, 0x000000F0},
        {"eaparam", "NO_IDR_DELAY", SET(eaparam, NO_IDR_DELAY), 8, 0x0000000F},
        {"eaparam", "CLIP_PIC_INIT_QP_MINUS26", SET(eaparam, CLIP_PIC_INIT_QP_MINUS26), 21, 0x0000000F},
        {"eaparam", "PAN_SCAN_RECT_BOTTOM", SET(eaparam, PAN_SCAN_RECT_BOTTOM), 33, 0x0000FFFF},
        {"emparam", "BOTTOM_FIELD_FIRST", SET(emparam, BOTTOM_FIELD_FIRST), 6, 0x0F000000},
        {"emparam", "FORCE_IPIC_AT_PC", SET(emparam, FORCE_IPIC_AT_PC), 18, 0x000000F0},
        {"emparam", "LOAD_NON_INTRA_QUANTISER_MATRIX", SET(emparam, LOAD_NON_INTRA_QUANTISER_MATRIX), 23, 0x0000000F},
        {"viparam", "VI_GPIO_ENC_START", SET(viparam, VI_GPIO_ENC_START), 11, 0x00000001},
        {"viparam", "VANC_4K_INPUT_PORT", SET(viparam, VANC_4K_INPUT_PORT), 9, 0x0000F000},
        {"viparam", "VI_H_TOTAL_PIXELS", SET(viparam, VI_H_TOTAL_PIXELS), 17, 0x0000FFFF},
        {"vinparam", "INITIAL_PTS_90K_MSB", SET(vinparam, INITIAL_PTS_90K_MSB), 4, 0x00000001},
        {"vinparam", "INITIAL_SERIAL_NUMBER", SET(vinparam, INITIAL_SERIAL_NUMBER), 6, 0xFFFFFFFF},
        {"vaparam", "S_C420_COEF_7", SET(vaparam, S_C420_COEF_7), 8, 0xFFFF0000},
        {"vaparam", "EPFIL_DIV", SET(vaparam, EPFIL_DIV), 13, 0x0000FF00},
        {"vaparam", "S_EPFIL_F", SET(vaparam, S_EPFIL_F), 15, 0x0000FFFF},
        {"aipparam", "CLOCK_MASTER", SET(aipparam, CLOCK_MASTER), 1, 0x00000001},
        {"aiparam", "SOURCE_ID3_R_CH", SET(aiparam, SOURCE_ID3_R_CH), 5, 0x000000FF},
        {"ainparam", "AINS_ID_BITS_H", SET(ainparam, AINS_ID_BITS_H), 3, 0xFFFFFFFF},
        {"ainsparam", "AAU_SAMPLE_MODE", SET(ainsparam, AAU_SAMPLE_MODE), 1, 0x02000000},
        {"ainsparam", "TYPE", SET(ainsparam, TYPE), 1, 0x01000000},
        {"aeparam", "ENABLE", SET(aeparam, ENABLE), 1, 0x00000001},
        {"aesparam", "C_ENABLE", SET(aesparam, C_ENABLE), 3, 0x00000003},
        {"aesparam", "CODEC_PARAMETER_9", SET(aesparam, CODEC_PARAMETER_9), 16, 0xFFFFFFFF},
        {"muparam", "MAS_ID_BITS", SET(muparam, MAS_ID_BITS), 2, 0xFFFF0000},
        {"muparam", "SIT_CYC", SET(muparam, SIT_CYC), 14, 0xFFFF0000},
        {"muparam", "SIT_PID_OUT", SET(muparam, SIT_PID_OUT), 11, 0x0000FFFF},
        {"masparam", "A_PID_OUT", SET(masparam, A_PID_OUT), 6, 0xFFFF0000},
    };
#undef SET
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.block) + "." + c.field);
        const BlockOps &o = ops(c.block);
        Block b = hold(o, o.make_zero());
        c.set(b.get());
        EXPECT_EQ(first_difference(pack(o, b.get()), image(o.image, {{c.word, c.mask}})), "");
    }
}

TEST(EncodeBlock, HostOnlyMembersNeverReachTheImage)
{
    auto em = MAKE(emparam);
    emparam_init(em.get(), 0, 0);
    std::vector<uint8_t> plain = packed(em.get(), emparam_to_bin);
    em->EMPARAM_CC = 1;
    std::memset(&em->INTRA_QUANT_MATRIX_00, 0x5A, 128); // both matrices
    EXPECT_EQ(first_difference(packed(em.get(), emparam_to_bin), plain), "");
    ASSERT_EQ(emparam_from_bin(em.get(), plain.data(), plain.size()), 0);
    EXPECT_EQ(em->INTRA_QUANT_MATRIX_00, 0);
    EXPECT_EQ(em->NON_INTRA_QUANT_MATRIX_63, 0);

    auto aes = MAKE(aesparam);
    aesparam_init(aes.get(), 0, M30_AUDIO_MODE_MPEG1_L2);
    aes->C_ENABLE = 7;
    aes->F_USE = 0xFF;
    std::vector<uint8_t> img = packed(aes.get(), aesparam_to_bin);
    EXPECT_EQ(first_difference(img, image(256, {{0, 1}, {2, 96000}, {3, 3}, {7, 96}})), "");

    auto mas = MAKE(masparam);
    masparam_init(mas.get(), 0);
    mas->PMT_LENGTH = 100;
    std::memset(&mas->PMT_00, 0xA5, 49 * 4);
    EXPECT_EQ(first_difference(packed(mas.get(), masparam_to_bin), golden_defaults().at("masparam")), "");

    auto mu = MAKE(muparam);
    muparam_init(mu.get(), MU_VSOURCE_EH, 0, 0);
    std::memset(&mu->SIT_00, 0xA5, 49 * 4);
    std::vector<uint8_t> mu_img = packed(mu.get(), muparam_to_bin);
    mu_img[0] = 1;
    EXPECT_EQ(first_difference(mu_img, golden_defaults().at("muparam")), "");
}

TEST(EncodeBlock, VideoEncoderRules)
{
    auto eh = MAKE(ehparam);
    ehparam_init(eh.get(), EH_SOURCE_VA, 0);
    // Coded size on the 16-pixel grid, the extra lines cropped.
    struct Size {
        unsigned in, coded, crop;
    };
    for (Size s : {Size{720, 720, 0}, Size{1080, 1088, 8}, Size{2160, 2160, 0}, Size{486, 496, 10}}) {
        ehparam_set_vsize(eh.get(), s.in);
        EXPECT_EQ(ehparam_get_vsize(eh.get()), s.in);
        EXPECT_EQ(ehparam_get_vsize_out(eh.get()), s.coded) << s.in;
        EXPECT_EQ(eh->CROP_BOTTOM, s.crop) << s.in;
    }
    ehparam_set_hsize(eh.get(), 1000);
    EXPECT_EQ(ehparam_get_hsize_out(eh.get()), 1008u);
    EXPECT_EQ(eh->CROP_RIGHT, 0);

    // Profiles by sampling.
    struct Prof {
        m30_chroma_fmt fmt;
        unsigned depth;
        eh_profile eh;
        ea_profile ea;
    };
    auto ea = MAKE(eaparam);
    eaparam_init(ea.get(), 0, 0);
    for (Prof p : {Prof{M30_CHROMAFMT_422, 10, EH_PROFILE_MAIN_422_10, EA_PROFILE_HIGH_422},
                   Prof{M30_CHROMAFMT_420, 10, EH_PROFILE_MAIN_10, EA_PROFILE_HIGH_10},
                   Prof{M30_CHROMAFMT_420, 8, EH_PROFILE_MAIN, EA_PROFILE_HIGH},
                   Prof{M30_CHROMAFMT_422, 8, EH_PROFILE_MAIN, EA_PROFILE_HIGH_422}}) {
        ehparam_set_chroma_fmt(eh.get(), p.fmt);
        ehparam_set_bit_depth(eh.get(), p.depth);
        eaparam_set_bit_depth(ea.get(), p.depth);
        eaparam_set_chroma_fmt(ea.get(), p.fmt);
        EXPECT_EQ(ehparam_get_profile(eh.get()), p.eh) << p.fmt << "/" << p.depth;
        EXPECT_EQ(eaparam_get_profile(ea.get()), p.ea) << p.fmt << "/" << p.depth;
    }

    // AVC level and entropy coder from height, scan and rate.
    struct Level {
        unsigned height;
        bool interlace;
        unsigned kbps, level, cavlc;
    };
    for (Level l : {Level{720, false, 20001, 41, 1}, Level{720, false, 20000, 40, 0}, Level{1080, false, 5000, 42, 0},
                    Level{1080, true, 20000, 40, 0}, Level{1080, true, 30000, 41, 1}, Level{576, true, 10000, 30, 0},
                    Level{576, true, 14000, 31, 0}, Level{480, false, 14001, 32, 0}, Level{2160, false, 64000, 42, 1}}) {
        SCOPED_TRACE(std::to_string(l.height) + (l.interlace ? "i @" : "p @") + std::to_string(l.kbps));
        eaparam_set_vsize(ea.get(), l.height);
        eaparam_set_interlace(ea.get(), l.interlace);
        eaparam_set_video_rate(ea.get(), l.kbps);
        EXPECT_EQ(ea->LEVEL, l.level);
        EXPECT_EQ(ea->CAVLC_MODE, l.cavlc);
    }

    // VUI timing by frame rate: EH by frame or field, EA at the doubled scale.
    struct Timing {
        m30_frame_rate_code rate;
        uint32_t p_units, p_scale, i_units, i_scale, a_units, a_scale;
    };
    for (Timing t : {Timing{M30_FRAME_RATE_CODE_23_98, 1001, 24000, 1001, 24000, 1001, 48000},
                     Timing{M30_FRAME_RATE_CODE_24, 1, 24, 1, 24, 1, 48}, Timing{M30_FRAME_RATE_CODE_25, 1, 25, 1, 50, 1, 50},
                     Timing{M30_FRAME_RATE_CODE_29_97, 1001, 30000, 1001, 60000, 1001, 60000},
                     Timing{M30_FRAME_RATE_CODE_30, 1, 30, 1, 60, 1, 60}, Timing{M30_FRAME_RATE_CODE_50, 1, 50, 1, 50, 1, 100},
                     Timing{M30_FRAME_RATE_CODE_59_94, 1001, 60000, 1001, 60000, 1001, 120000},
                     Timing{M30_FRAME_RATE_CODE_60, 1, 60, 1, 60, 1, 120}}) {
        SCOPED_TRACE(t.rate);
        ehparam_set_frame_rate(eh.get(), t.rate, false);
        EXPECT_EQ(eh->NUM_UNITS_IN_TICK, t.p_units);
        EXPECT_EQ(eh->TIME_SCALE, t.p_scale);
        ehparam_set_frame_rate(eh.get(), t.rate, true);
        EXPECT_EQ(eh->NUM_UNITS_IN_TICK, t.i_units);
        EXPECT_EQ(eh->NUM_UNITS_IN_TICK_MAX, t.i_units);
        EXPECT_EQ(eh->TIME_SCALE, t.i_scale);
        eaparam_set_frame_rate(ea.get(), t.rate);
        EXPECT_EQ(ea->NUM_UNITS_IN_TICK, t.a_units);
        EXPECT_EQ(ea->NUM_UNITS_IN_TICK_MAX, t.a_units);
        EXPECT_EQ(ea->TIME_SCALE, t.a_scale);
    }
    ehparam_set_frame_rate(eh.get(), M30_FRAME_RATE_CODE_UNSPEC, false); // changes nothing
    ehparam_set_frame_rate(eh.get(), static_cast<m30_frame_rate_code>(9), false);
    EXPECT_EQ(eh->TIME_SCALE, 60u);

    // Sample aspect ratio by coded height; colour description by height and HDR.
    struct Sar {
        unsigned height;
        m30_aspect_ratio ar;
        uint8_t idc;
    };
    for (Sar s : {Sar{480, M30_ASPECTRATIO_4_3, ASPECTRATIO_10x11}, Sar{576, M30_ASPECTRATIO_4_3, ASPECTRATIO_12x11},
                  Sar{1080, M30_ASPECTRATIO_4_3, ASPECTRATIO_1x1}, Sar{480, M30_ASPECTRATIO_16_9, ASPECTRATIO_40x33},
                  Sar{576, M30_ASPECTRATIO_16_9, ASPECTRATIO_16x11}, Sar{720, M30_ASPECTRATIO_16_9, ASPECTRATIO_1x1}}) {
        ehparam_set_vsize(eh.get(), s.height);
        eaparam_set_vsize(ea.get(), s.height);
        ehparam_set_aspect_ratio(eh.get(), s.ar);
        eaparam_set_aspect_ratio(ea.get(), s.ar);
        EXPECT_EQ(eh->ASPECT_RATIO_IDC, s.idc) << s.height;
        EXPECT_EQ(ea->ASPECT_RATIO_IDC, s.idc) << s.height;
    }
    struct Vui {
        unsigned height, hdr, depth;
        uint8_t cp, tc, mc;
    };
    for (Vui v : {Vui{1080, 0, 10, 1, 1, 1}, Vui{576, 0, 10, 5, 5, 5}, Vui{480, 0, 8, 6, 6, 6}, Vui{2160, 1, 10, 9, 18, 9},
                  Vui{2160, 2, 10, 9, 16, 9}, Vui{576, 1, 8, 5, 5, 5}}) {
        SCOPED_TRACE(std::to_string(v.height) + " hdr " + std::to_string(v.hdr));
        eh->BIT_DEPTH = ea->BIT_DEPTH = static_cast<uint8_t>(v.depth);
        eh->VIDEO_FORMAT = ea->VIDEO_FORMAT = 5;
        ehparam_set_vui_params(eh.get(), v.height, v.hdr);
        eaparam_set_vui_params(ea.get(), v.height, v.hdr);
        for (auto [cp, tc, mc, vf] : {std::tuple{eh->COLOUR_PRIMARIES, eh->TRANSFER_CHARACTERISTICS, eh->MATRIX_COEFFS, eh->VIDEO_FORMAT},
                                      std::tuple{ea->COLOUR_PRIMARIES, ea->TRANSFER_CHARACTERISTICS, ea->MATRIX_COEFFS, ea->VIDEO_FORMAT}}) {
            EXPECT_EQ(cp, v.cp);
            EXPECT_EQ(tc, v.tc);
            EXPECT_EQ(mc, v.mc);
            EXPECT_EQ(vf, 0);
        }
    }

    // AVC: I/P period 1 selects low-delay mode; initial CPB delay codes.
    eaparam_set_ip_period(ea.get(), 1);
    EXPECT_EQ(ea->LL_MODE, 2);
    eaparam_set_ip_period(ea.get(), 3);
    EXPECT_EQ(ea->LL_MODE, 0);
    EXPECT_EQ(eaparam_set_initial_cpb_delay(ea.get(), M30_AVC_INITIAL_CPB_DELAY_60), 0);
    EXPECT_EQ(ea->INITIAL_CPB_DELAY, 6);
    EXPECT_EQ(eaparam_set_initial_cpb_delay(ea.get(), M30_AVC_INITIAL_CPB_DELAY_90), 0);
    EXPECT_EQ(ea->INITIAL_CPB_DELAY, 9);
    EXPECT_EQ(eaparam_set_initial_cpb_delay(ea.get(), static_cast<m30_avc_initial_cpb_delay>(5)), -1);
    EXPECT_EQ(ea->INITIAL_CPB_DELAY, 9);

    // Flags store 0 or 1; setters refuse a null block.
    ehparam_set_interlace(eh.get(), 7);
    EXPECT_EQ(eh->INTERLACE, 1);
    EXPECT_TRUE(ehparam_is_interlace(eh.get()));
    eh->CLOSED_GOP = 4;
    EXPECT_TRUE(ehparam_is_closed_gop(eh.get()));
    EXPECT_EQ(ehparam_set_video_rate(nullptr, 1), -1);
    EXPECT_EQ(eaparam_set_vsize(nullptr, 1), -1);
    EXPECT_EQ(ehparam_get_video_rate(nullptr), 0u);
}

TEST(EncodeBlock, UltraLowLatencySettings)
{
    struct Case {
        bool ull;
        unsigned mode;
        unsigned vsize;
        bool interlace;
        uint32_t rate;
        uint8_t segments;
    };
    for (Case c : {Case{true, 1, 1080, false, 22250, 17}, Case{true, 0, 1080, false, 40000, 17},
                   Case{true, 1, 1080, true, 22250, 9}, Case{true, 2, 2160, false, 40000, 34}}) {
        SCOPED_TRACE(std::to_string(c.mode) + "/" + std::to_string(c.vsize) + (c.interlace ? "i" : "p"));
        auto eh = MAKE(ehparam);
        ehparam_init(eh.get(), EH_SOURCE_VA, 0);
        ehparam_set_vsize(eh.get(), c.vsize);
        ehparam_set_interlace(eh.get(), c.interlace);
        ehparam_set_frame_rate(eh.get(), M30_FRAME_RATE_CODE_50, false);
        eh->NUM_UNITS_IN_TICK_MAX = 7;
        eh->GOP_HIERARCHY = eh->USE_TEMPORAL_ID = eh->GDR_REFRESH_HORIZONTAL = 3;
        eh->ADAPTIVE_QUANTIZATION = eh->MIN_CU_SIZE = 2;
        eh->S_SCALING_LIST_MODE = 2;
        eh->PIC_TIMING = eh->BUF_CTRL_PARAM = 0;
        EXPECT_EQ(ehparam_set_ull_params(eh.get(), c.ull, c.mode), 0);
        EXPECT_EQ(eh->BITRATE, c.rate);
        EXPECT_EQ(eh->NUM_SLICE_SEG_IN_SLICE, c.segments);
        EXPECT_EQ(eh->RC_MODE, M30_RATECTRL_CBR);
        EXPECT_EQ(eh->WPP_MODE, 1);
        EXPECT_EQ(eh->NUM_UNITS_IN_TICK_MAX, 1u);
        EXPECT_EQ(eh->GOP_HIERARCHY + eh->USE_TEMPORAL_ID + eh->GDR_REFRESH_HORIZONTAL + eh->ADAPTIVE_QUANTIZATION +
                      eh->MIN_CU_SIZE + eh->S_SCALING_LIST_MODE, 0);
        EXPECT_EQ(eh->IP_PERIOD, 1);
        EXPECT_EQ(eh->BUF_CTRL_PARAM + eh->VCL_HRD + eh->SUB_PIC_HRD + eh->VPS_TIMING_INFO_PRESENT_FLAG + eh->PIC_TIMING, 5);
        EXPECT_EQ(eh->CPB_DELAY, 4500u);
        EXPECT_EQ(eh->GDR_REFRESH_VERTICAL, 4);
        EXPECT_EQ(eh->FRAME_NUM_IN_GOP, 64);
    }
    // Off: nothing changes.
    auto eh = MAKE(ehparam);
    ehparam_init(eh.get(), EH_SOURCE_VA, 0);
    ehparam before = *eh;
    EXPECT_EQ(ehparam_set_ull_params(eh.get(), false, 1), 0);
    EXPECT_EQ(std::memcmp(&before, eh.get(), sizeof before), 0);
}

TEST(EncodeBlock, Mpeg2EncoderRules)
{
    auto em = MAKE(emparam);
    emparam_init(em.get(), 0, 0);
    for (auto [w, info] : {std::pair{720u, 2}, std::pair{1279u, 2}, std::pair{1280u, 3}, std::pair{1920u, 3}}) {
        emparam_set_hsize(em.get(), w);
        EXPECT_EQ(em->ASPECT_RATIO_INFORMATION, info) << w;
        EXPECT_EQ(em->HSIZE_VA + em->HSIZE_EM + em->DISPLAY_HORIZONTAL_SIZE, 3 * w);
    }
    emparam_set_vsize(em.get(), 576);
    EXPECT_EQ(em->VSIZE_VA + em->VSIZE_EM + em->DISPLAY_VERTICAL_SIZE, 3 * 576);
    EXPECT_EQ(emparam_get_vsize_out(em.get()), 576u);
    EXPECT_TRUE(emparam_is_interlace(em.get())); // V_FORMAT 0
    emparam_set_interlace(em.get(), false);
    EXPECT_EQ(em->V_FORMAT, EM_VFORMAT_PROGRESSIVE);
    EXPECT_FALSE(emparam_is_interlace(em.get()));
    em->V_FORMAT = EM_VFORMAT_PROGRESSIVE_3_2;
    EXPECT_FALSE(emparam_is_interlace(em.get()));
    emparam_set_frame_rate(em.get(), M30_FRAME_RATE_CODE_25);
    EXPECT_EQ(em->FRAME_RATE_CODE, EM_FRCODE_25);
    EXPECT_STREQ(em_ip_period_strings[EM_IPPERIOD_IBBP], "IBBP");
    EXPECT_EQ(em_ip_period_strings[4], nullptr);
}

TEST(EncodeBlock, VideoInputRules)
{
    auto vi = MAKE(viparam);
    viparam_init(vi.get());
    const uint8_t code[] = {0, 2, 4, 5, 8, 9, 30, 50, 51, 52, 53, 255};
    for (int f = 0; f < VI_VFORMAT_END; ++f) {
        SCOPED_TRACE(strings_vi_vformat[f]);
        EXPECT_EQ(viparam_set_vformat(vi.get(), static_cast<vi_vformat>(f)), 0);
        EXPECT_EQ(vi->VI_VFORMAT, code[f]);
        EXPECT_EQ(vi->VI_YC_MUX, f >= VI_VFORMAT_720_480I && f <= VI_VFORMAT_720_576P ? 1 : 0);
        EXPECT_EQ(viparam_get_vformat(vi.get()), f);
    }
    EXPECT_EQ(vformat_val_for_enum(VI_VFORMAT_END), 0u);
    for (unsigned unknown : {1u, 7u, 31u, 254u, 256u})
        EXPECT_EQ(vformat_enum_for_val(unknown), VI_VFORMAT_1920_1080P) << unknown;

    // VANC window limits: refused values leave the field unchanged.
    struct Vanc {
        int (*set)(viparam *, unsigned);
        uint16_t viparam::*field;
        unsigned value;
        bool ok;
    };
    for (Vanc v : {Vanc{viparam_set_vanc_h_size, &viparam::VANC_H_SIZE, 12, true},
                   Vanc{viparam_set_vanc_h_size, &viparam::VANC_H_SIZE, 2040, true},
                   Vanc{viparam_set_vanc_h_size, &viparam::VANC_H_SIZE, 2052, false},
                   Vanc{viparam_set_vanc_h_size, &viparam::VANC_H_SIZE, 11, false},
                   Vanc{viparam_set_vanc_h_size, &viparam::VANC_H_SIZE, 18, false},
                   Vanc{viparam_set_vanc_h_size, &viparam::VANC_H_SIZE, 0, false},
                   Vanc{viparam_set_vanc_start_line, &viparam::VANC_START_LINE, 100, true},
                   Vanc{viparam_set_vanc_start_line, &viparam::VANC_START_LINE, 101, false},
                   Vanc{viparam_set_vanc_line_num, &viparam::VANC_LINE_NUM, 4, true},
                   Vanc{viparam_set_vanc_line_num, &viparam::VANC_LINE_NUM, 5, false},
                   Vanc{viparam_set_vanc_start_line_bottom, &viparam::VANC_START_LINE_BOTTOM, 60000, true}}) {
        SCOPED_TRACE(v.value);
        vi.get()->*v.field = 3;
        EXPECT_EQ(v.set(vi.get(), v.value), v.ok ? 0 : -1);
        EXPECT_EQ(vi.get()->*v.field, v.ok ? v.value : 3u);
    }
    viparam_set_vanc_service_en(vi.get(), 2);
    EXPECT_EQ(vi->VANC_SERVICE_EN + vi->VANC_Y_EN + vi->VANC_C_EN, 4);
    viparam_set_vanc_service_en(vi.get(), 0);
    EXPECT_EQ(vi->VANC_SERVICE_EN + vi->VANC_Y_EN + vi->VANC_C_EN, 0);
    viparam_set_input_port(vi.get(), VI_INPUT_PORT_D);
    EXPECT_EQ(vi->VI_INPUT_PORT, 8);

    // VA: output size aligned or not; the chroma filter follows the formats.
    auto va = MAKE(vaparam);
    vaparam_init(va.get(), VA_SOURCE_VIN, 0);
    vaparam_set_vsize(va.get(), 1080, true);
    EXPECT_EQ(vaparam_get_vsize(va.get()) * 10000 + vaparam_get_vsize_out(va.get()), 1080u * 10000 + 1088);
    vaparam_set_vsize(va.get(), 1080, false);
    EXPECT_EQ(vaparam_get_vsize_out(va.get()), 1080u);
    vaparam_set_hsize(va.get(), 1000, true);
    EXPECT_EQ(vaparam_get_hsize_out(va.get()), 1008u);
    auto taps = [&] {
        return std::vector<int>{int16_t(va->S_C420_COEF_0), int16_t(va->S_C420_COEF_1), int16_t(va->S_C420_COEF_2),
                                int16_t(va->S_C420_COEF_3), int16_t(va->S_C420_COEF_4), int16_t(va->S_C420_COEF_5),
                                int16_t(va->S_C420_COEF_6), int16_t(va->S_C420_COEF_7)};
    };
    const std::vector<int> same = {-3, -19, 34, 500, 500, 34, -19, -3}, convert = {-8, -26, 115, 586, 409, -48, -4, 0};
    EXPECT_EQ(taps(), same);
    vaparam_set_chroma_fmt_out(va.get(), M30_CHROMAFMT_420);
    EXPECT_EQ(taps(), convert);
    vaparam_set_chroma_fmt(va.get(), M30_CHROMAFMT_420);
    EXPECT_EQ(taps(), same);
    vaparam_set_chroma_fmt_out(va.get(), M30_CHROMAFMT_422);
    EXPECT_EQ(taps(), convert);
    vaparam_set_chroma_fmt(va.get(), M30_CHROMAFMT_422);
    EXPECT_EQ(taps(), same);

    auto vin = MAKE(vinparam);
    vinparam_init(vin.get(), 0);
    EXPECT_EQ(vinparam_get_init_pts(vin.get()), 90000u);
    EXPECT_EQ(vinparam_get_init_pts_msb(vin.get()), 0);
    vinparam_set_interlace(vin.get(), true);
    vinparam_set_frame_rate(vin.get(), M30_FRAME_RATE_CODE_50);
    EXPECT_TRUE(vinparam_is_interlace(vin.get()));
    EXPECT_EQ(vinparam_get_frame_rate(vin.get()), M30_FRAME_RATE_CODE_50);
}

TEST(EncodeBlock, AudioRules)
{
    // The initial PTS moved by the sync offset wraps at 33 bits.
    struct Pts {
        uint8_t msb;
        uint32_t low;
        int32_t offset_ms;
        uint8_t want_msb;
        uint32_t want_low;
    };
    auto ains = MAKE(ainsparam);
    ainsparam_init(ains.get(), 0, M30_AUDIO_MODE_MPEG1_L2);
    for (Pts p : {Pts{1, 0xFFFFFFF0, 1, 0, 0x4A}, Pts{0, 0, -1, 1, 0xFFFFFFA6}, Pts{0, 0xFFFFFFFF, 1, 1, 0x59},
                  Pts{0, 90000, 0, 0, 90000}, Pts{3, 0, 0, 1, 0}, Pts{0, 90000, -1000, 0, 0},
                  Pts{1, 0, -2000000, 0, static_cast<uint32_t>((uint64_t(1) << 32) - 180000000)}}) {
        SCOPED_TRACE(std::to_string(p.low) + " " + std::to_string(p.offset_ms));
        EXPECT_EQ(ainsparam_set_initial_pts(ains.get(), p.msb, p.low, p.offset_ms), 0);
        EXPECT_EQ(ains->INITIAL_PTS_90K_MSB, p.want_msb);
        EXPECT_EQ(ains->INITIAL_PTS_90K, p.want_low);
    }

    // MPEG-1 Layer II header flags in CODEC_PARAMETER_0.
    auto aes = MAKE(aesparam);
    aesparam_init(aes.get(), 0, M30_AUDIO_MODE_MPEG1_L2);
    EXPECT_EQ(aesparam_get_mpeg1_copyright(aes.get()), M30_AUDMP1_CPR_PROTECTED);
    EXPECT_EQ(aesparam_get_mpeg1_copyorig(aes.get()), M30_AUDMP1_ORIGINAL);
    EXPECT_EQ(aesparam_get_mpeg1_protect(aes.get()), M30_AUDMP1_CRC_ADDED);
    aesparam_set_mpeg1_protect(aes.get(), M30_AUDMP1_CRC_NOT_ADDED);
    EXPECT_EQ(aes->CODEC_PARAMETER_0, 0x70u);
    aesparam_set_mpeg1_copyright(aes.get(), M30_AUDMP1_CPR_NOT_PROTECTED);
    aesparam_set_mpeg1_copyorig(aes.get(), static_cast<m30_aud_mp1_cpyorg>(2)); // not 1: cleared
    EXPECT_EQ(aes->CODEC_PARAMETER_0, 0x10u);
    EXPECT_EQ(aesparam_get_mpeg1_protect(aes.get()), M30_AUDMP1_CRC_NOT_ADDED);
    aesparam_set_audio_rate(aes.get(), 128000);
    EXPECT_EQ(aesparam_get_audio_rate(aes.get()), 128000u);

    auto mas = MAKE(masparam);
    masparam_init(mas.get(), 1);
    EXPECT_EQ(masparam_get_audio_pid(mas.get()), 739u);
    masparam_set_audio_pid(mas.get(), 0x1FFF);
    masparam_set_audio_rate(mas.get(), 64000);
    EXPECT_EQ(masparam_get_audio_pid(mas.get()), 0x1FFFu);
    EXPECT_EQ(masparam_get_audio_rate(mas.get()), 64000u);
}

TEST(EncodeBlock, MultiplexerRatesAndSections)
{
    auto mu = MAKE(muparam);
    muparam_init(mu.get(), MU_VSOURCE_EH, 0, 0);
    muparam_set_system_rate(mu.get(), 20000, true);
    EXPECT_EQ(muparam_get_system_rate(mu.get()), 23000u);
    muparam_set_system_rate(mu.get(), 20000, false);
    EXPECT_EQ(muparam_get_system_rate(mu.get()), 20500u);

    // A 17-byte section fills five words, the last with one byte.
    uint8_t sec[197];
    for (size_t i = 0; i < sizeof sec; ++i)
        sec[i] = uint8_t(i + 1);
    mu->PAT_18 = 0xDEADBEEF;
    ASSERT_EQ(muparam_set_pat_table(mu.get(), sec, 17), 0);
    EXPECT_EQ(mu->PAT_LENGTH, 17);
    EXPECT_EQ(mu->PAT_00, 0x01020304u);
    EXPECT_EQ(mu->PAT_0C, 0x0D0E0F10u);
    EXPECT_EQ(mu->PAT_10, 0x11000000u);
    EXPECT_EQ(mu->PAT_14, 0xFFFFFFFFu); // later words keep their contents
    EXPECT_EQ(mu->PAT_18, 0xDEADBEEFu);

    // Refusals change nothing.
    muparam before = *mu;
    EXPECT_EQ(muparam_set_pat_table(mu.get(), sec, 197), -1);
    EXPECT_EQ(muparam_set_pmt_table(mu.get(), nullptr, 10), -1);
    EXPECT_EQ(muparam_set_pmt_table(nullptr, sec, 10), -1);
    EXPECT_EQ(std::memcmp(&before, mu.get(), sizeof before), 0);

    // The longest section fills all 49 words and stays inside them.
    mu->SIT_00 = 0x5117;
    ASSERT_EQ(muparam_set_pmt_table(mu.get(), sec, 196), 0);
    EXPECT_EQ(mu->PMT_C0, 0xC1C2C3C4u);
    EXPECT_EQ(mu->SIT_00, 0x5117u);

    // Unpack, pack: the section words come back.
    std::vector<uint8_t> img = packed(mu.get(), muparam_to_bin);
    auto back = MAKE(muparam);
    ASSERT_EQ(muparam_from_bin(back.get(), img.data(), img.size()), 0);
    EXPECT_EQ(std::memcmp(&back->PAT_00, &mu->PAT_00, 5 * 4), 0);
    EXPECT_EQ(std::memcmp(&back->PMT_00, &mu->PMT_00, 49 * 4), 0);
    EXPECT_EQ(back->SIT_00, 0u);
    std::vector<uint8_t> again = packed(back.get(), muparam_to_bin);
    EXPECT_EQ(std::memcmp(again.data() + 64 * 4, img.data() + 64 * 4, 49 * 4), 0);
    EXPECT_EQ(std::memcmp(again.data() + 15 * 4, img.data() + 15 * 4, 5 * 4), 0);
}

TEST(EncodeBlock, SectionLengthsFromAnImageStayInsideTheSections)
{
    // An image may carry any 8-bit length: unpacking never writes past the
    // 49 words of a section (the SIT words after the PMT stay untouched),
    // and packing never reads past them nor writes outside the section's
    // image words.
    std::vector<uint8_t> img(1024);
    for (size_t i = 0; i < img.size(); ++i)
        img[i] = uint8_t(0x80 | i);
    img[4 * 12 + 3] = 255; // PAT_LENGTH
    img[4 * 12 + 2] = 255; // PMT_LENGTH
    auto mu = MAKE(muparam);
    for (size_t i = 0; i < 49; ++i)
        std::memcpy(reinterpret_cast<uint8_t *>(&mu->SIT_00) + 4 * i, "SIT!", 4);
    uint32_t sit[49];
    std::memcpy(sit, &mu->SIT_00, sizeof sit);
    ASSERT_EQ(muparam_from_bin(mu.get(), img.data(), img.size()), 0);
    EXPECT_EQ(mu->PAT_LENGTH, 255);
    EXPECT_EQ(mu->PMT_C0, word(img, 64 + 48));
    EXPECT_EQ(mu->PAT_C0, word(img, 15 + 48));
    EXPECT_EQ(mu->SIT_00, 0u) << "unpacking starts from a zero block";

    std::memcpy(&mu->SIT_00, sit, sizeof sit);
    std::vector<uint8_t> out = packed(mu.get(), muparam_to_bin);
    for (size_t w = 15; w < 64 + 49; ++w)
        EXPECT_EQ(word(out, w), word(img, w)) << w;
    for (size_t w = 64 + 49; w < 256; ++w)
        ASSERT_EQ(word(out, w), 0u) << w;
    EXPECT_EQ(std::memcmp(&mu->SIT_00, sit, sizeof sit), 0);
}

TEST(EncodeBlock, ExportedNameTables)
{
    EXPECT_STREQ(eh_profile_strings[EH_PROFILE_MAIN_422_10], "Main 422 10");
    EXPECT_STREQ(ea_profile_strings[EA_PROFILE_BASELINE], "Baseline");
    EXPECT_STREQ(mu_vsource_strings[MU_VSOURCE_EM], "MPEG2 Encoder");
    EXPECT_STREQ(mu_destination_strings[MU_DESTINATION_SO], "SO (PORT)");
    EXPECT_STREQ(strings_vi_vformat[VI_VFORMAT_4096_2160P_2SI], "4096x2160p 2si");
    EXPECT_EQ(strings_vi_vformat[VI_VFORMAT_END], nullptr);
    EXPECT_EQ(EH_CTU_SIZE_ENUM_TO_VALUE[2], 64);
    EXPECT_EQ(EH_CU_SIZE_ENUM_TO_VALUE[4], 0);
    EXPECT_EQ(EH_TU_SIZE_ENUM_TO_VALUE[0], 4);
}

TEST(EncodeBlock, ShortBuffersAreRefusedAndLeftUntouched)
{
    expect_short_buffers_refused(encode_blocks());
}

TEST(EncodeBlock, PrintedTextMatchesTheCommittedFiles)
{
    for (const auto &o : encode_blocks()) {
        SCOPED_TRACE(o.name);
        std::string want = read_file(std::string(M30_TEST_DIR "/expected/") + o.name + ".txt");
        ASSERT_FALSE(want.empty());
        Block b = hold(o, o.make_default());
        EXPECT_EQ(printed(o, b.get()), want);
        // The image printer shows the image's values: the same text but for
        // what never reaches the image (counters that unpacking skips, the
        // MU section words beyond those copied back, EM's matrices).
        std::vector<uint8_t> img = pack(o, b.get());
        img.resize(1024, 0);
        Block back = hold(o, o.make_zero());
        ASSERT_EQ(o.from_bin(back.get(), img.data(), img.size()), 0);
        testing::internal::CaptureStdout();
        EXPECT_EQ(o.print_image(img.data(), img.size()), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), printed(o, back.get()));
    }
}
