// The ancillary-data library: ST 352 payload words against hand-worked
// values, the carrier channel map and the debug streams.
#include "anc.h"
#include "board_fixture.h"

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

// Payload register of hardware channel c: c * 0x100 + 0x404, control 0x402.
struct S352Board : BoardTest {
    uint32_t data(unsigned hw) const { return sim_->wr32(hw * 0x100 + 0x404); }
    uint16_t ctl(unsigned hw) const { return sim_->wr16(hw * 0x100 + 0x402); }
};

DecAudHdrS352VidInfo info(int w, int h, bool progressive, double rate, int prim = 1, int trc = 1)
{
    const int ip = progressive ? IP_PROGRESSIVE : IP_INTERLACED;
    return {0, w, h, ip, ip, rate, prim, trc, 1};
}

TEST(S352Payload, WordsAndControlFromTheVideoDescription)
{
    // byte 1 id; byte 2: xport<<7 | pic<<6 | xfer<<4 | rate; byte 3:
    // aspect 16:9 (0x80) | colorimetry<<4; byte 4: 10 bit (0x01).
    struct Case {
        DecAudHdrS352VidInfo in;
        uint32_t word;
        uint16_t ctl;
    } cases[] = {
        {info(1920, 1080, true, 50.0), 0x89C98001, 0x0003},
        {info(1920, 1080, false, 29.97), 0x85068001, 0x0002},   // interlaced HD: insertion off
        {info(1920, 1080, true, 59.94), 0x89CA8001, 0x0003},    // 599 -> 59.94 code
        {info(3840, 2160, true, 60.0), 0x89CB8001, 0x0003},
        {info(3840, 2160, false, 25.0), 0x89058001, 0x0007},    // 137 interlaced: second field too
        {info(1280, 720, true, 50.0), 0x84C98001, 0x0002},
        {info(1280, 1024, true, 24.0), 0x89C38001, 0x0003},     // odd 1280-wide size
        {info(720, 576, false, 25.0), 0x81058001, 0x0002},
        {info(720, 480, false, 29.97), 0x81068001, 0x0002},
        {info(720, 400, true, 30.0), 0x89C78001, 0x0003},
        {info(1920, 1080, true, 23.976), 0x89C28001, 0x0003},
        {info(1920, 1080, true, 47.0), 0x89CA8001, 0x0003},     // unlisted rate
        {info(1920, 1080, true, 50.0, 9, 16), 0x89E9A001, 0x0003}, // BT.2020, PQ
        {info(1920, 1080, true, 50.0, 9, 18), 0x89D9A001, 0x0003}, // BT.2020, HLG
        {info(1920, 1080, true, -1.0), 0x89CA8001, 0x0003},     // nonsense rate: 59.94 code
    };
    for (const Case &c : cases) {
        smpte_352m_d p;
        smpte_352m_ctl ctl;
        ancS352mBuild(&c.in, &p, &ctl);
        char what[64];
        std::snprintf(what, sizeof what, "%dx%d %s %.3f", c.in.hsize, c.in.vsize, c.in.ip_pic ? "p" : "i",
                      c.in.frame_rate);
        EXPECT_EQ(ancS352mWord(&p), c.word) << what << std::hex << " got 0x" << ancS352mWord(&p);
        EXPECT_EQ(ctl, c.ctl) << what;
    }
}

TEST_F(S352Board, ProgramsTheHardwareChannelOfTheRow)
{
    DecAudHdrS352VidInfo i = info(1920, 1080, true, 50.0);
    ancCarrierSetLowerRow(true);
    ASSERT_EQ(ancS352mUpdate(ctx_, &i), 0);
    EXPECT_EQ(data(0), 0x89C98001u);
    EXPECT_EQ(ctl(0), 0x0003);
    EXPECT_EQ(data(1), 0u);

    ancCarrierSetLowerRow(false); // upper row: channel 0 is hardware channel 1
    i = info(1280, 720, true, 50.0);
    ASSERT_EQ(ancS352mUpdate(ctx_, &i), 0);
    EXPECT_EQ(data(1), 0x84C98001u);
    EXPECT_EQ(ctl(1), 0x0002);
    EXPECT_EQ(data(0), 0x89C98001u) << "the other channel is left alone";

    for (int chn : {-1, 2, 7}) {
        i.chn = chn;
        EXPECT_EQ(ancS352mUpdate(ctx_, &i), -1) << chn;
    }
    EXPECT_EQ(ancS352mUpdate(nullptr, &i), -1);
    EXPECT_EQ(ancS352mUpdate(ctx_, nullptr), -1);
    EXPECT_EQ(data(0), 0x89C98001u);
    EXPECT_EQ(data(1), 0x84C98001u);
}

TEST(CarrierMap, UserToHardwareChannels)
{
    struct Case {
        bool lower, k4;
        int chn, pair, hw;
    } cases[] = {
        {true, false, 0, 0, 0},   {true, false, 3, 15, 3},  {false, false, 0, 0, 3}, {false, false, 1, 7, 2},
        {false, false, 3, 0, 0},  {false, true, 1, 0, 1},   {false, false, 4, 0, -1}, {false, false, -1, 0, -1},
        {true, false, 0, 16, -1}, {true, false, 0, -1, -1},
    };
    for (const Case &c : cases) {
        ancCarrierSetLowerRow(c.lower);
        ancCarrierSet4kMode(c.k4);
        EXPECT_EQ(ancCarrierIsLowerRow(), c.lower);
        EXPECT_EQ(ancCarrierIsLowerRowOr4k(), c.lower || c.k4);
        EXPECT_EQ(ancCarrierChnUiToHw(c.chn, c.pair), c.hw) << c.lower << c.k4 << " " << c.chn << "," << c.pair;
    }
    ancCarrierSet4kMode(false);
}

// Calls until the stream answers `open` (true: a file), at most `calls`.
int calls_until(DebugStreamID id, bool open, int calls)
{
    for (int n = 1; n <= calls; ++n)
        if ((ancDebugStreamFile(id) != nullptr) == open)
            return n;
    return -1;
}

TEST(DebugStreams, PlaceholdersSwitchOutputOnAndOff)
{
    kdtest::TempRoot root;
    ancDebugInit("dec");
    ancDebugInit("enc");
    for (const char *p : {"dec/aud/embed~", "enc/aud/compress~", "enc/aud/pes~", "enc/aud/pesopt~", "enc/vbi/ancflow~",
                          "enc/vbi/op47~", "enc/vbi/parse~", "enc/encode~", "enc/ftm~", "enc/mpts~", "enc/timing~",
                          "enc/ts~"})
        EXPECT_TRUE(fs::exists(root / (std::string("run/debug/libanc/") + p))) << p;
    EXPECT_TRUE(fs::is_directory(root / "run/debug/libanc/dec/vbi"));
    ancDebugInit("other"); // nothing
    EXPECT_EQ(ancDebugStreamFile(DSID_COUNT), nullptr);
    EXPECT_EQ(ancDebugStreamFile(-1), nullptr);

    const std::string embed = root / "run/debug/libanc/dec/aud/embed";
    EXPECT_EQ(calls_until(DSID_DEC_AUD_EMBED, true, 300), -1) << "placeholder only: no output";
    fs::rename(embed + "~", embed);
    const int on = calls_until(DSID_DEC_AUD_EMBED, true, 200);
    EXPECT_GE(on, 1);
    EXPECT_LE(on, 101);
    FILE *f = ancDebugStreamFile(DSID_DEC_AUD_EMBED);
    ASSERT_NE(f, nullptr);
    std::fputs("line\n", f);
    std::fflush(f);
    EXPECT_EQ(fs::file_size(embed), 5u);

    // At the size limit the file starts again, empty.
    std::fseek(f, 10'000'000, SEEK_SET);
    const int off = calls_until(DSID_DEC_AUD_EMBED, false, 200);
    EXPECT_GE(off, 1);
    EXPECT_LE(off, 101);
    EXPECT_EQ(calls_until(DSID_DEC_AUD_EMBED, true, 200), 1) << "reopened at the next call";
    EXPECT_EQ(fs::file_size(embed), 0u);

    fs::remove(embed);
    const int gone = calls_until(DSID_DEC_AUD_EMBED, false, 200);
    EXPECT_GE(gone, 1);
    EXPECT_LE(gone, 101);
    EXPECT_EQ(calls_until(DSID_DEC_AUD_EMBED, true, 300), -1);
    ancDebugFini("dec");
}

} // namespace
