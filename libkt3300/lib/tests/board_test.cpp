// Board context, registers, test patterns, video status and the ingress
// reader, against the simulated board.
#include "board_fixture.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

using boardsim::BoardSim;

TEST_F(BoardTest, FoundThroughPciListAndSysfs)
{
    EXPECT_EQ(stderr_, "");
    EXPECT_EQ(ctx_->phys_addr, 0xF0000000u);
    EXPECT_EQ(kt3300_get_version_major(ctx_), 2);
    EXPECT_EQ(kt3300_get_version_minor(ctx_), 3);
    EXPECT_TRUE(kt3300_has_ts_ingress(ctx_));
    EXPECT_TRUE(kt3300_has_ts_egress(ctx_));
    EXPECT_TRUE(kt3300_has_embedder(ctx_));
    EXPECT_EQ(kt3300_egress_get_buffer_addr(ctx_), 0xF2000000u);
    EXPECT_EQ(kt3300_egress_get_buffer_size(ctx_), 0x200000u);
    EXPECT_STREQ(ctx_->uio->maps[1]->name, "ts-ingress");
    // Default I2S crosspoints: encoder i from input i, pair 0.
    EXPECT_EQ(sim_->wr16(0x12), 0x05AF);
    const uint16_t local[4][2] = {{0x0100, 0}, {0x0001, 0}, {0, 0x0100}, {0, 0x0001}};
    for (unsigned j = 0; j < 4; ++j) {
        EXPECT_EQ(sim_->wr16(j * 0x100 + 0x08), local[j][0]) << j;
        EXPECT_EQ(sim_->wr16(j * 0x100 + 0x0A), local[j][1]) << j;
    }
    kt3300_close(ctx_);
    EXPECT_EQ(kt3300_get_version_major(ctx_), -1);
    EXPECT_EQ(ctx_->fd, -1);
}

class FallbackTest : public BoardTest {
protected:
    void SetUp() override
    {
        opt_.uio = false;
        BoardTest::SetUp();
    }
};

TEST_F(FallbackTest, DevMemFallbackWithoutUio)
{
    EXPECT_EQ(stderr_, "KT-3300 No UIO found.\n");
    EXPECT_EQ(ctx_->uio, nullptr);
    EXPECT_EQ(kt3300_get_version_major(ctx_), 2);
    EXPECT_FALSE(kt3300_has_ts_ingress(ctx_));
    EXPECT_FALSE(kt3300_has_ts_egress(ctx_));
    EXPECT_EQ(kt3300_egress_get_buffer(ctx_), nullptr);
    EXPECT_EQ(kt3300_alloc_igr_rdr(ctx_), nullptr);
    // Stores reach the board through the fallback mapping too.
    ASSERT_EQ(kt3300_egress_set_rate(ctx_, 27000000), 0);
    EXPECT_EQ(sim_->wr32(0x4000), 3078144u);
}

// Without a simulator the Linux seam maps /dev/mem, here a plain file.
TEST(BoardDiscovery, DevMemFallbackOnAFile)
{
    kdtest::TempRoot root;
    unsetenv("KT3300_SIM");
    std::filesystem::create_directories(root / "proc/bus/pci");
    std::filesystem::create_directories(root / "dev");
    std::ofstream(root / "proc/bus/pci/devices") << "0100\t10ee7011\t2b\t10000\t0\n";
    {
        std::ofstream mem(root / "dev/mem", std::ios::binary);
        std::string bytes(0x20000, '\0');
        bytes[0x13000] = 5; // version 5.9, big-endian
        bytes[0x13001] = 9;
        mem << bytes;
    }
    kt3300_ctx *ctx = kt3300_alloc();
    ASSERT_NE(ctx, nullptr);
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(kt3300_open(ctx), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "KT-3300 No UIO found.\n");
    EXPECT_EQ(kt3300_get_version_major(ctx), 5);
    EXPECT_EQ(kt3300_get_version_minor(ctx), 9);
    ASSERT_EQ(kt3300_testpattern_set_mode(ctx, 0, true, false, true), 0);
    kt3300_free(ctx);
    std::ifstream mem(root / "dev/mem", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(mem)), {});
    EXPECT_EQ(static_cast<uint8_t>(bytes[0x11002]), 0x80);
    EXPECT_EQ(static_cast<uint8_t>(bytes[0x11003]), 0x01);
}

TEST(BoardDiscovery, AbsentOrMalformedBoardIsRefused)
{
    kdtest::TempRoot root;
    unsetenv("KT3300_SIM");
    std::filesystem::create_directories(root / "proc/bus/pci");
    for (const char *list : {"", "0000\t80861237\t0\tfe000000\n", "0100\t10ee7011\t2b\tzz\n"}) {
        std::ofstream(root / "proc/bus/pci/devices") << list;
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(kt3300_alloc(), nullptr) << list;
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(err, *list && std::strstr(list, "10ee7011") ? "" : "KT-3300 No Artix found.\n");
    }
    // A simulator that does not load finds nothing.
    setenv("KT3300_SIM", (root / "missing.so").c_str(), 1);
    EXPECT_EQ(kt3300_alloc(), nullptr);
    unsetenv("KT3300_SIM");
}

TEST_F(BoardTest, LongUioNameIsCutWithRoomForTheTerminator)
{
    kt3300_close(ctx_);
    std::ofstream(root_ / "sys/class/uio/uio0/name") << "KDS KT-3300 with a name far longer than its buffer\n";
    ASSERT_EQ(kt3300_open(ctx_), 0);
    EXPECT_EQ(std::strlen(ctx_->uio->name), 31u);
    EXPECT_EQ(std::string(ctx_->uio->name, 11), "KDS KT-3300");
}

TEST_F(BoardTest, RegisterWindowTooSmallIsRefused)
{
    kt3300_close(ctx_);
    std::ofstream(root_ / "sys/class/uio/uio0/maps/map0/size") << "0x1000\n";
    errno = 0;
    EXPECT_EQ(kt3300_open(ctx_), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(ctx_->artix_base, nullptr);
    EXPECT_EQ(ctx_->fd, -1);
}

TEST_F(BoardTest, EgressRateWords)
{
    struct Case {
        unsigned rate;
        int rc, err;
        uint32_t word;
    } cases[] = {
        {27000000, 0, 0, 3078144},
        {175000000, 0, 0, 473182}, // ((166330368000000 / 175e6) + 1) / 2 - 2048
        {175000001, -1, ERANGE, 0},
        {0, -1, EINVAL, 0},
        {1, -1, ERANGE, 0}, // the word would not fit the register
    };
    for (const Case &c : cases) {
        sim_->set32(0x4000, 0); // not read back: only the write plane matters
        errno = 0;
        EXPECT_EQ(kt3300_egress_set_rate(ctx_, c.rate), c.rc) << c.rate;
        EXPECT_EQ(errno, c.err) << c.rate;
        if (c.rc == 0) {
            EXPECT_EQ(sim_->wr32(0x4000), c.word) << c.rate;
        }
    }
    EXPECT_EQ(kt3300_egress_set_tmr(ctx_, 1, 27000000), 0);
    EXPECT_EQ(sim_->wr32(0x4400), 3078144u);
    EXPECT_EQ(kt3300_egress_set_tmr(ctx_, 2, 27000000), -1);
    EXPECT_EQ(kt3300_egress_set_rate(nullptr, 27000000), -1);
}

TEST_F(BoardTest, CsaKeysAndPidTable)
{
    auto key_at = [&](uint32_t off) {
        std::vector<uint8_t> k(8);
        std::memcpy(k.data(), sim_->board().wr + off, 8);
        return k;
    };
    ASSERT_EQ(kt3300_egress_set_csa_key(ctx_, 1, "0123456789AB"), 0);
    EXPECT_EQ(key_at(0x4110), (std::vector<uint8_t>{0x01, 0x23, 0x45, 0x69, 0x67, 0x89, 0xAB, 0x9B}));
    ASSERT_EQ(kt3300_egress_set_csa_key(ctx_, 2, "12x45"), 0); // non-hex and odd end count as F
    EXPECT_EQ(key_at(0x4108), (std::vector<uint8_t>{0x12, 0xF4, 0x5F, 0x65, 0xFF, 0xFF, 0xFF, 0xFD}));
    EXPECT_EQ(kt3300_egress_set_csa_key(ctx_, 4, "0123456789AB"), -1);

    csa_pid_table t = {{true, 0, 1721}, {true, 2, 1741}, {false, 3, 8191}};
    ASSERT_EQ(kt3300_egress_set_csa_pids(ctx_, t, 3), 0);
    EXPECT_EQ(sim_->wr16(0x4200), 0x8000 | 1721);
    EXPECT_EQ(sim_->wr16(0x4202), 0x8000 | 2 << 13 | 1741);
    EXPECT_EQ(sim_->wr16(0x4204), 3 << 13 | 8191);
    EXPECT_EQ(sim_->wr16(0x4206), 0);
    EXPECT_EQ(kt3300_egress_set_csa_pids(ctx_, t, 33), -1);
    ASSERT_EQ(kt3300_egress_set_csa_enable(ctx_, true), 0);
    EXPECT_EQ(sim_->wr16(0x4004), 1);
}

TEST_F(BoardTest, VideoStatusFollowsInversionAndAlwaysSetsFields)
{
    // Input 3: locked, level B, 3G, progressive, 59.94, ST 274.
    sim_->set16(0x400 + 3 * 0x100, 0x8000 | 0x4000 | 0x2000 | 0x0800 | 0x0200 | 10 << 4 | 0);
    // Input 0: codes outside the tables.
    sim_->set16(0x400, 1 << 4 | 7);
    ASSERT_EQ(kt3300_context_invert_inputs(ctx_, true), 0);
    EXPECT_EQ(sim_->wr16(0x10), 1);
    sdi_status s;
    std::memset(&s, 0x5A, sizeof s);
    ASSERT_EQ(kt3300_video_get_status(ctx_, 0, &s), 0);
    EXPECT_TRUE(s.is_locked);
    EXPECT_EQ(s.level, SDILEVEL_B);
    EXPECT_TRUE(s.is_fmt_detect_locked);
    EXPECT_FALSE(s.is_clock_enable);
    EXPECT_EQ(s.speed, SDI_3G);
    EXPECT_TRUE(s.is_progressive);
    EXPECT_EQ(s.pclk_freq, PCKLFREQ_1000_1001);
    EXPECT_EQ(s.frame_rate, FRAMERATE_5994);
    EXPECT_EQ(s.format, FORMAT_ST274_1920_1080);

    std::memset(&s, 0x5A, sizeof s);
    ASSERT_EQ(kt3300_video_get_status(ctx_, 3, &s), 0);
    EXPECT_EQ(s.raw, 0x0017);
    EXPECT_EQ(s.speed, SDI_HD);
    EXPECT_EQ(s.frame_rate, FRAMERATE_NONE);
    EXPECT_EQ(s.format, FORMAT_UNKNOWN);
    EXPECT_EQ(kt3300_video_get_status(ctx_, 4, &s), -1);
}

TEST_F(BoardTest, DieTemperature)
{
    int t = 0;
    EXPECT_EQ(kt3300_get_die_temp(ctx_, &t), 0);
    EXPECT_EQ(t, 34);
    sim_->set16(0x3100, 1894 << 4);
    EXPECT_EQ(kt3300_get_die_temp(ctx_, &t), -1);
    EXPECT_EQ(t, 1894);
    EXPECT_EQ(kt3300_get_die_temp(nullptr, &t), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(BoardTest, TestPatternRegisters)
{
    ASSERT_EQ(kt3300_testpattern_set_vidstd(ctx_, 1, KT33_TPVIDSTD_1080p5994, true, true), 0);
    EXPECT_EQ(sim_->wr16(tp(1) + 0x04), 0x760C);
    ASSERT_EQ(kt3300_testpattern_set_vidstd(ctx_, 1, KT33_TPVIDSTD_720p60, false, false), 0);
    EXPECT_EQ(sim_->wr16(tp(1) + 0x04), 0x2007);
    EXPECT_EQ(kt3300_testpattern_set_vidstd(ctx_, 1, KT33_TPVIDSTD_END, true, true), -1);
    ASSERT_EQ(kt3300_testpattern_set_matte_color(ctx_, 2, 9), 0);
    EXPECT_EQ(sim_->wr16(tp(2) + 0x08), 65);
    EXPECT_EQ(sim_->wr16(tp(2) + 0x0A), 100);
    EXPECT_EQ(sim_->wr16(tp(2) + 0x0C), 212);
    EXPECT_EQ(kt3300_testpattern_set_matte_color(ctx_, 2, 16), -1);
    ASSERT_EQ(kt3300_testpattern_set_text_position(ctx_, 0, -16, -10), 0);
    EXPECT_EQ(sim_->wr16(tp(0) + 0x10), 0x1FF0);
    EXPECT_EQ(sim_->wr16(tp(0) + 0x0E), 0x1FF6);
    ASSERT_EQ(kt3300_context_invert_inputs(ctx_, true), 0);
    ASSERT_EQ(kt3300_testpattern_set_mode(ctx_, 0, true, true, false), 0);
    EXPECT_EQ(sim_->wr16(tp(3) + 0x02), 0x8002);
    ASSERT_EQ(kt3300_set_sdi_control(ctx_, true, true), 0);
    EXPECT_EQ(sim_->wr16(0x3000), 0x5AC0);
    EXPECT_EQ(kt3300_get_version_major(ctx_), 2); // the version reads on
}

TEST_F(BoardTest, TextBounds)
{
    EXPECT_EQ(kt3300_testpattern_set_text(ctx_, 0, 2, 60, "abcd", 1), -1);
    ASSERT_EQ(kt3300_testpattern_set_text(ctx_, 0, 2, 60, "abc", 1), 0);
    EXPECT_EQ(sim_->wr16(tp(0) + 0x12), 2 * 64 + 62);
    EXPECT_EQ(sim_->wr16(tp(0) + 0x14), 1 << 8 | 'c');
    ASSERT_EQ(kt3300_testpattern_set_text(ctx_, 0, 15, 0, "x", 7), 0); // other effects draw the outline
    EXPECT_EQ(sim_->wr16(tp(0) + 0x14), 3 << 8 | 'x');
    EXPECT_EQ(kt3300_testpattern_set_text(ctx_, 0, 16, 0, "x", 1), -1);
    EXPECT_EQ(kt3300_testpattern_set_text(ctx_, 0, 0, 0, "", 1), -1);
}

TEST_F(BoardTest, CenteredText)
{
    const char *lines[] = {"Decoder 1", "No Signal"};
    // 1080p: size 2, cells 48 x 64, extent 540: rows 7 and 8, column 14.
    ASSERT_EQ(kt3300_testpattern_set_text_centered(ctx_, 1, 1920, 1080, true, lines, 2, TPTEXTFX_OUTLINE), 0);
    EXPECT_EQ(sim_->wr16(tp(1) + 0x18), 2);
    EXPECT_EQ(sim_->wr16(tp(1) + 0x12), 8 * 64 + 14 + 8);
    EXPECT_EQ(sim_->wr16(tp(1) + 0x14), 3 << 8 | 'l');
    // NTSC: size 1, cells 24 x 32, extent 120: rows 2 and 3, column 9.
    ASSERT_EQ(kt3300_testpattern_set_text_centered(ctx_, 2, 720, 480, false, lines, 2, TPTEXTFX_OUTLINE), 0);
    EXPECT_EQ(sim_->wr16(tp(2) + 0x18), 1);
    EXPECT_EQ(sim_->wr16(tp(2) + 0x12), 3 * 64 + 9 + 8);

    // A picture too small for the text would start at row -1 or a negative
    // column: refused before anything is drawn.
    const char *wide[] = {"abcdefghijklmnopqrstuvwx"};
    struct Case {
        unsigned h, v, n;
        const char *const *text;
    } refused[] = {{0, 0, 2, lines}, {400, 480, 1, wide}, {1920, 1081, 2, lines}, {1920, 1080, 0, lines}};
    for (const Case &c : refused) {
        sim_->board().wr[tp(3) + 0x18] = 0xEE;
        EXPECT_EQ(kt3300_testpattern_set_text_centered(ctx_, 3, c.h, c.v, true, c.text, c.n, 3), -1) << c.h;
        EXPECT_EQ(sim_->board().wr[tp(3) + 0x18], 0xEE) << c.h;
    }
}

TEST_F(BoardTest, AudioCrosspoints)
{
    xpoint_table t = {};
    for (unsigned i = 0; i < 16; ++i)
        ASSERT_EQ(kt3300_audio_set_psa_xpoint_channel_select(&t, i, i), 0);
    EXPECT_EQ(kt3300_audio_set_psa_xpoint_channel_select(&t, 16, 0), -1);
    ASSERT_EQ(kt3300_audio_set_psa_xpoint(ctx_, 2, &t), 0);
    const uint8_t want[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    EXPECT_EQ(std::memcmp(sim_->board().wr + 0x200, want, 8), 0);

    ASSERT_EQ(kt3300_context_invert_inputs(ctx_, true), 0);
    ASSERT_EQ(kt3300_audio_setup_i2s_xpoints(ctx_, 1, 0, 7), 0); // input 0 sits at position 12
    EXPECT_EQ(ctx_->i2s_aud_xpglob_nib[1], 13);
    EXPECT_EQ(ctx_->i2s_aud_xploc_byte[3][1], 0xEF);
    ASSERT_EQ(kt3300_audio_sdi_out_source_select(ctx_, 1, KT33_AUD_SDI_OUT_SRC_UIO), 0);
    EXPECT_EQ(sim_->wr32(0x110), 0x55555555u);
    EXPECT_EQ(kt3300_audio_sdi_out_source_select(ctx_, 1, 4), -1);
}

TEST_F(BoardTest, IngressReaderStaysTenBehind)
{
    kt3300_igr_rdr *r = kt3300_alloc_igr_rdr(ctx_);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(ctx_->igr_frames, 256);
    EXPECT_EQ(sim_->wr32(0x6800), 0xF1000000u);
    EXPECT_EQ(sim_->wr32(0x6804), 256u << 16);
    ASSERT_EQ(kt3300_set_igr_enable(ctx_, true), 0);
    EXPECT_EQ(sim_->wr32(0x6804), 256u << 16 | 0xF);

    sim_->produce_ingress(10);
    EXPECT_EQ(kt3300_igr_rdr_read(r), nullptr);
    sim_->produce_ingress(1);
    kt3300_igr_frm *f = kt3300_igr_rdr_read(r);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->data[f->offset - 12], 0x47);
    EXPECT_EQ(kt3300_igr_rdr_read(r), nullptr);

    // Frames come in order across several turns of the 256-frame ring.
    uint32_t next = 1;
    for (int round = 0; round < 12; ++round) {
        sim_->produce_ingress(200);
        while (kt3300_igr_frm *g = kt3300_igr_rdr_read(r)) {
            const uint8_t *pkt = reinterpret_cast<const uint8_t *>(g) + g->offset;
            uint32_t n = uint32_t(pkt[4]) << 24 | pkt[5] << 16 | pkt[6] << 8 | pkt[7];
            ASSERT_EQ(n, next);
            ++next;
        }
        ASSERT_EQ(next, 11 + 200u * (round + 1) - 10) << round;
    }
    std::free(r);
}

TEST_F(BoardTest, IngressFramesOutsideTheirSlotAreSkipped)
{
    kt3300_igr_rdr *r = kt3300_alloc_igr_rdr(ctx_);
    ASSERT_NE(r, nullptr);
    sim_->produce_ingress(14);
    uint8_t *ring = sim_->region(0, 1);
    ring[0] = 0;            // empty
    ring[256] = 69;         // the packet would end past its frame
    ring[2 * 256] = 68;     // the last offset that fits
    EXPECT_EQ(kt3300_igr_rdr_read(r), nullptr);
    EXPECT_EQ(kt3300_igr_rdr_read(r), nullptr);
    kt3300_igr_frm *f = kt3300_igr_rdr_read(r);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->offset, 68);
    EXPECT_NE(kt3300_igr_rdr_read(r), nullptr);
    EXPECT_EQ(kt3300_igr_rdr_read(r), nullptr);
    // A position outside the ring grants nothing.
    sim_->set32(0x6808, 4000);
    EXPECT_EQ(kt3300_igr_rdr_read(r), nullptr);
    std::free(r);
}

// The model thread feeds the ring while ingress is enabled; the reader
// sees the frames in the order they were made.
TEST_F(BoardTest, IngressFromTheModelThread)
{
    kt3300_igr_rdr *r = kt3300_alloc_igr_rdr(ctx_);
    ASSERT_NE(r, nullptr);
    sim_->run_ingress(1);
    sim_->start(nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(kt3300_igr_rdr_read(r), nullptr); // not enabled: nothing made
    ASSERT_EQ(kt3300_set_igr_enable(ctx_, true), 0);
    int64_t last = -1;
    unsigned got = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (got < 2000 && std::chrono::steady_clock::now() < deadline) {
        kt3300_igr_frm *f = kt3300_igr_rdr_read(r);
        if (!f)
            continue;
        const uint8_t *pkt = reinterpret_cast<const uint8_t *>(f) + f->offset;
        int64_t n = int64_t(pkt[4]) << 24 | pkt[5] << 16 | pkt[6] << 8 | pkt[7];
        ASSERT_GT(n, last);
        last = n;
        ++got;
    }
    sim_->stop();
    EXPECT_EQ(got, 2000u);
    std::free(r);
}

TEST_F(BoardTest, EmbedderAndInserterRegisters)
{
    ASSERT_EQ(kt3300_embedder_set_address(ctx_, 3, kt3300_embedder_get_buffer_addr(ctx_)), 0);
    EXPECT_EQ(sim_->wr32(0x320), 0xF3000000u);
    ASSERT_EQ(kt3300_embedder_set_control(ctx_, 3, 64, 0x10005), 0);
    EXPECT_EQ(sim_->wr32(0x324), 64u << 16 | 5);
    sim_->set16(0x32A, 17); // the FPGA's half of the position word
    ASSERT_EQ(kt3300_embedder_set_host_position(ctx_, 3, 40), 0);
    EXPECT_EQ(sim_->wr32(0x328), 40u << 16);
    EXPECT_EQ(kt3300_embedder_get_fpga_position(ctx_, 3), 17);
    EXPECT_EQ(kt3300_embedder_set_control(ctx_, 4, 64, 0), -1);
    EXPECT_EQ(kt3300_egress_get_fpga_position(ctx_, 2), -1);
    EXPECT_EQ(kt3300_embedder_get_buffer_size(ctx_), 0x10000u);

    ASSERT_EQ(kt3300_smpte352m_set_data(ctx_, 2, 0x89CA0001), 0);
    EXPECT_EQ(sim_->wr32(0x604), 0x89CA0001u);
    ASSERT_EQ(kt3300_smpte352m_set_ctl(ctx_, 2, 0x0101), 0);
    EXPECT_EQ(sim_->wr16(0x602), 0x0101);
    kt3300_close(ctx_);
    EXPECT_EQ(kt3300_smpte352m_set_ctl(ctx_, 2, 0x0101), -1);
}
