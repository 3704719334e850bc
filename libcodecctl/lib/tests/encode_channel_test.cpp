// Encode channels on the chip simulator: preparing the chip for encoding,
// the clamps, the blocks a start writes (order, addresses, words), the PAT
// and PMT the multiplexer carries (read back by libdvbpsi), the refusals,
// and video detection through maintenance.
#include "cparam.h"
#include "ctx_fixture.h"
#include "encode/ainparam.h"
#include "encode/muparam.h"
#include "encode_channel.h"
#include "param_block.hpp"

#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/pat.h>
#include <dvbpsi/pmt.h>
#include <dvbpsi/psi.h>
#include <mpegts_crc.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>
#include <unistd.h>

using namespace m30test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {


std::vector<uint8_t> read_bytes(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

// A block's place in the chip: data words after the counter, then the counter.
struct Block {
    const char *tag;
    uint32_t addr;
    uint32_t words;
    unsigned index;
};

class Encode : public Ctx {
protected:
    void SetUp() override
    {
        Ctx::SetUp();
        m = create(true);
        ASSERT_NE(m, nullptr);
        m30_context_set_on_config_change(m, Calls::cfg, &calls);
        m30_context_set_on_encoder_status(m, Calls::enc, &calls);
        m30_context_set_on_video_detected(m, Calls::vde, &calls);
        m30_context_set_on_channel_prestart_check(m, Calls::pre, &calls);
        set_state(3);
        chip_.clear_load_log();
        chip_.reset_counts();
    }
    void clear()
    {
        calls.clear();
        logs_.clear();
        chip_.clear_load_log();
        chip_.reset_counts();
    }
    // Channel c with audio resources bound and switched on.
    void with_audio(int c, std::initializer_list<unsigned> audio)
    {
        for (unsigned a : audio) {
            ASSERT_EQ(m30_channel_bind_audio(m, static_cast<unsigned>(c), a), 0);
            ASSERT_EQ(m30_audio_set_state(m, a, M30_ON), 0);
        }
    }
    std::string dump(const std::string &tag, unsigned idx) const
    {
        return root_.path() + "/tmp/kerrow_" + tag + "param_" + std::to_string(idx) + ".bin";
    }
    // The bytes of the PAT or PMT the MU block of channel c carries,
    // followed by the CRC the chip would append.
    std::vector<uint8_t> mu_section(unsigned c, bool pat) const
    {
        auto img = read_bytes(dump("mu", c));
        muparam mu{};
        EXPECT_GE(muparam_from_bin(&mu, img.data(), img.size()), 0);
        const uint32_t *w = pat ? &mu.PAT_00 : &mu.PMT_00;
        unsigned len = pat ? mu.PAT_LENGTH : mu.PMT_LENGTH;
        std::vector<uint8_t> s;
        for (unsigned i = 0; i < len; ++i)
            s.push_back(static_cast<uint8_t>(w[i / 4] >> (24 - 8 * (i % 4))));
        uint32_t crc = DvbCrc32Compute(s.data(), s.size());
        for (int b = 3; b >= 0; --b)
            s.push_back(static_cast<uint8_t>(crc >> (8 * b)));
        return s;
    }

    m30_context *m = nullptr;
    Calls calls;
};

// What libdvbpsi reads from a section sent in one packet.
struct Psi {
    int tables = 0;
    int version = -1;
    std::vector<std::pair<uint16_t, uint16_t>> programs; // PAT: number, PMT PID
    uint16_t program = 0, pcr = 0;                       // PMT
    std::vector<std::pair<uint8_t, uint16_t>> es;        // PMT: stream type, PID
};

std::vector<uint8_t> packet(const std::vector<uint8_t> &section, uint16_t pid)
{
    std::vector<uint8_t> p(188, 0xFF);
    p[0] = 0x47;
    p[1] = static_cast<uint8_t>(0x40 | (pid >> 8));
    p[2] = static_cast<uint8_t>(pid);
    p[3] = 0x10;
    p[4] = 0; // pointer_field
    std::copy(section.begin(), section.end(), p.begin() + 5);
    return p;
}

Psi read_pat(const std::vector<uint8_t> &section)
{
    Psi seen;
    dvbpsi_t *h = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
    EXPECT_TRUE(dvbpsi_pat_attach(
        h,
        [](void *d, dvbpsi_pat_t *p) {
            auto *s = static_cast<Psi *>(d);
            s->tables++;
            s->version = p->i_version;
            for (dvbpsi_pat_program_t *pr = p->p_first_program; pr; pr = pr->p_next)
                s->programs.emplace_back(pr->i_number, pr->i_pid);
            dvbpsi_pat_delete(p);
        },
        &seen));
    auto p = packet(section, 0);
    dvbpsi_packet_push(h, p.data());
    dvbpsi_pat_detach(h);
    dvbpsi_delete(h);
    return seen;
}

Psi read_pmt(const std::vector<uint8_t> &section, uint16_t program, uint16_t pid)
{
    Psi seen;
    dvbpsi_t *h = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
    EXPECT_TRUE(dvbpsi_pmt_attach(
        h, program,
        [](void *d, dvbpsi_pmt_t *p) {
            auto *s = static_cast<Psi *>(d);
            s->tables++;
            s->version = p->i_version;
            s->program = p->i_program_number;
            s->pcr = p->i_pcr_pid;
            for (dvbpsi_pmt_es_t *e = p->p_first_es; e; e = e->p_next)
                s->es.emplace_back(e->i_type, e->i_pid);
            dvbpsi_pmt_delete(p);
        },
        &seen));
    auto p = packet(section, pid);
    dvbpsi_packet_push(h, p.data());
    dvbpsi_pmt_detach(h);
    dvbpsi_delete(h);
    return seen;
}

} // namespace

TEST_F(Encode, PrepareFromEveryStartingState)
{
    const std::string boot = "State is error or decode. Going to boot...";
    const std::string init = "State is boot or encode. Going to init...";
    const std::string enc = "State is init. Going to encode...";
    struct Case {
        uint32_t reg;
        std::vector<std::string> logs;
    } cases[] = {
        {1, {init, enc}}, {2, {enc}}, {3, {init, enc}}, {4, {boot, init, enc}}, {0xFFFFFFFFu, {boot, init, enc}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reg);
        m30_cancel_msg_thread(m);
        set_state(c.reg);
        clear();
        ASSERT_EQ(m30_prepare(m), 0);
        std::vector<std::string> infos;
        for (const auto &l : logs_.lines())
            if (l.type == M30_LOG_INFO && l.ch == -1)
                infos.push_back(l.text);
        EXPECT_EQ(infos, c.logs);
        EXPECT_EQ(m30_get_main_state(m), M30_MAIN_STATE_ENCODE);
        // Multi-channel encode on a V7 driver: encode_mode 2, decode_mode 0.
        auto reqs = chip_.main_state_requests();
        ASSERT_FALSE(reqs.empty());
        EXPECT_EQ(reqs.back().first, FMB_API_CHANGE_MAIN_STATE);
        EXPECT_EQ(reqs.back().second, (std::vector<uint32_t>{3, 2, 1, 0, 1, 0}));
    }
    // The C block went in with the encode settings.
    auto img = read_bytes(dump("c", 0));
    cparam cp{};
    ASSERT_GE(cparam_from_bin(&cp, img.data(), img.size()), 0);
    EXPECT_EQ(cp.TS_ESINFO_DISABLE, 1);
    EXPECT_EQ(cp.USE_EXTERNAL_DDR, 0);
    EXPECT_FALSE(pthread_equal(m->tid_message.load(), m->tid_main));

    // Single channel sends encode_mode 1; a V3 driver sends ch_mode instead.
    m30_set_channel_mode(m, M30_SINGLE_CHANNEL);
    set_state(2);
    clear();
    ASSERT_EQ(m30_prepare(m), 0);
    EXPECT_EQ(chip_.main_state_requests().back().second, (std::vector<uint32_t>{3, 1, 1, 0, 1, 0}));

    // A chip that does not move.
    m30_cancel_msg_thread(m);
    set_state(1);
    chip_.set_state_stuck(true);
    clear();
    EXPECT_EQ(m30_prepare(m), -1);
    EXPECT_EQ(logs_.count("Failed to set state to init. State is boot"), 1);
    set_state(2);
    EXPECT_EQ(m30_prepare(m), -1);
    EXPECT_EQ(logs_.count("Failed to set state to encode. State is init"), 1);
    EXPECT_TRUE(pthread_equal(m->tid_message.load(), m->tid_main));
}

TEST_F(Encode, V3DriverSendsTheChannelMode)
{
    chip_.set_driver_text("3.1.4");
    m30_context *e = create(true);
    ASSERT_NE(e, nullptr);
    set_state(2);
    chip_.reset_counts();
    ASSERT_EQ(m30_prepare_encode(e), 0);
    auto reqs = chip_.main_state_requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].first, FMB_API_CHANGE_MAIN_STATE_V3);
    EXPECT_EQ(reqs[0].second, (std::vector<uint32_t>{3, 2, 1, 0, 1}));
}

// Channel 2 with audio resources 1 and 3, in each video mode: every block
// at its address with exactly the words of its dumped image, in the chip's
// order; then input and output of chip id 2.
TEST_F(Encode, StartLoadsEveryBlockInOrder)
{
    with_audio(2, {3, 1});
    ASSERT_EQ(m30_channel_set_vid_std(m, 2, M30_VIDSTD_1080I5994), 0);
    struct Mode {
        m30_video_mode mode;
        Block encoder;
    } modes[] = {
        {M30_VIDEO_MODE_HEVC, {"eh", 0x20001200, 64, 2}},
        {M30_VIDEO_MODE_H264, {"ea", 0x20005200, 64, 2}},
        {M30_VIDEO_MODE_MPEG2, {"em", 0x20009200, 64, 2}},
    };
    for (const Mode &md : modes) {
        SCOPED_TRACE(md.mode);
        m30_set_video_mode(m, md.mode);
        m30_channel_stop(m, 2);
        clear();
        ASSERT_EQ(m30_channel_start(m, 2), 0);
        std::vector<Block> want = {{"vi", 0x20100100, 32, 2},  {"vin", 0x20100880, 16, 2}, {"ain", 0x20108880, 16, 2},
                                   {"va", 0x20101480, 16, 2},  md.encoder,                 {"ae", 0x2010A880, 16, 2},
                                   {"mu", 0x20104800, 256, 2}};
        for (unsigned a : {1u, 3u}) {
            want.push_back({"aip", 0x20107800 + 0x40 * a, 16, a});
            want.push_back({"ai", 0x20108000 + 0x40 * a, 16, a});
            want.push_back({"ains", 0x20109400 + 0x40 * a, 16, a});
            want.push_back({"aes", 0x2010B400 + 0x100 * a, 64, a});
            want.push_back({"mas", 0x20105400 + 0x200 * a, 128, a});
        }
        std::vector<m30sim::LoadRun> runs;
        for (const Block &b : want) {
            runs.push_back({b.addr + 4, b.words - 1});
            runs.push_back({b.addr, 1});
        }
        ASSERT_EQ(chip_.load_log(), runs);
        for (const Block &b : want) {
            SCOPED_TRACE(b.tag);
            auto img = read_bytes(dump(b.tag, b.index));
            ASSERT_EQ(img.size(), 4u * b.words);
            for (uint32_t w = 1; w < b.words; ++w)
                ASSERT_EQ(chip_.peek(b.addr + 4 * w), m30pb::get_word(img.data(), w)) << w;
        }
        auto in = chip_.input_requests();
        ASSERT_EQ(in.size(), 1u);
        EXPECT_EQ(in[0].state, 2u);
        EXPECT_EQ(in[0].input_id, 2u);
        auto out = chip_.output_requests();
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].state, 2u);
        EXPECT_EQ(out[0].output_id_bits, 1u << 2);
        EXPECT_TRUE(chip_.notification_fd(FMB_MESSAGE_TARGET_VI, 2).has_value());
        auto seen = calls.get();
        EXPECT_EQ(std::count(seen.begin(), seen.end(), "pre 2"), 1);
        EXPECT_EQ(seen.back(), "enc 2 3");
        EXPECT_FALSE(m->chcfg[2].is_locked);
    }
}

TEST_F(Encode, ChannelWithoutAudio)
{
    ASSERT_EQ(m30_channel_set_vid_std(m, 1, M30_VIDSTD_720P50), 0);
    clear();
    ASSERT_EQ(m30_channel_start(m, 1), 0);
    std::vector<uint32_t> counters;
    for (const auto &r : chip_.load_log())
        if (r.words == 1)
            counters.push_back(r.addr);
    // VI, VIN, AIN, VA, EH, AE, MU and nothing of the audio resources.
    EXPECT_EQ(counters, (std::vector<uint32_t>{0x20100080, 0x20100840, 0x20108840, 0x20101440, 0x20001100,
                                               0x2010A840, 0x20104400}));
    auto img = read_bytes(dump("ain", 1));
    ainparam ain{};
    ASSERT_GE(ainparam_from_bin(&ain, img.data(), img.size()), 0);
    EXPECT_EQ(ain.ENABLE, 0);
    Psi pmt = read_pmt(mu_section(1, false), 2, 0x2E0);
    ASSERT_EQ(pmt.tables, 1);
    EXPECT_EQ(pmt.es, (std::vector<std::pair<uint8_t, uint16_t>>{{0x24, 0x2E1}}));
}

// The PAT and PMT as a receiver reads them, their versions, and a PAT of
// every channel whose video is on.
TEST_F(Encode, TablesDecodeAndStepTheirVersions)
{
    with_audio(0, {0, 2});
    m30_audio_set_mode(m, 2, M30_AUDIO_MODE_AAC_LC);
    m30_set_video_mode(m, M30_VIDEO_MODE_H264);
    ASSERT_EQ(m30_channel_set_vid_std(m, 0, M30_VIDSTD_1080P50), 0);
    auto start = [&] {
        m30_channel_stop(m, 0);
        ASSERT_EQ(m30_channel_start(m, 0), 0);
    };
    start();
    Psi pat = read_pat(mu_section(0, true));
    ASSERT_EQ(pat.tables, 1);
    EXPECT_EQ(pat.programs, (std::vector<std::pair<uint16_t, uint16_t>>{{1, 0x1E0}}));
    int pat_v = pat.version;
    Psi pmt = read_pmt(mu_section(0, false), 1, 0x1E0);
    ASSERT_EQ(pmt.tables, 1);
    EXPECT_EQ(pmt.pcr, 0x1E2);
    EXPECT_EQ(pmt.es, (std::vector<std::pair<uint8_t, uint16_t>>{{0x1B, 0x1E1}, {0x03, 0x1E3}, {0x0F, 0x3E3}}));
    int pmt_v = pmt.version;

    // Unchanged configuration, same versions.
    start();
    EXPECT_EQ(read_pat(mu_section(0, true)).version, pat_v);
    EXPECT_EQ(read_pmt(mu_section(0, false), 1, 0x1E0).version, pmt_v);
    // A new program number changes both tables.
    ASSERT_EQ(m30_channel_set_program(m, 0, 7), 0);
    start();
    pat = read_pat(mu_section(0, true));
    EXPECT_EQ(pat.version, (pat_v + 1) % 32);
    EXPECT_EQ(pat.programs, (std::vector<std::pair<uint16_t, uint16_t>>{{7, 0x1E0}}));
    EXPECT_EQ(read_pmt(mu_section(0, false), 7, 0x1E0).version, (pmt_v + 1) % 32);
    // The version wraps at 32.
    ASSERT_EQ(m30_channel_set_tables_version(m, 0, 31), 0);
    ASSERT_EQ(m30_channel_set_video_pid(m, 0, 0x1F0), 0);
    start();
    pmt = read_pmt(mu_section(0, false), 7, 0x1E0);
    EXPECT_EQ(pmt.version, 0);
    EXPECT_EQ(pmt.es.front(), (std::pair<uint8_t, uint16_t>{0x1B, 0x1F0}));

    // Every channel whose video is on, each in its PAT.
    ASSERT_EQ(m30_channel_set_startup(m, 2, M30_OFF), 0);
    ASSERT_EQ(m30_set_pat_includes_all(m, true), 0);
    start();
    pat = read_pat(mu_section(0, true));
    EXPECT_EQ(pat.programs, (std::vector<std::pair<uint16_t, uint16_t>>{{7, 0x1E0}, {2, 0x2E0}, {4, 0x4E0}}));
    EXPECT_EQ(pat.version, 0) << "a new program list is a new PAT version (31 + 1)";
}

TEST_F(Encode, TableBuildLengths)
{
    uint8_t buf[1024];
    EXPECT_EQ(m30_build_pat_table(m, 0, buf, 100), -1);
    EXPECT_EQ(m30_build_pmt_table(m, 4, buf, sizeof buf), -1);
    EXPECT_EQ(m30_build_pmt_table(m, 0, buf, sizeof buf), 17); // 13 + one video entry of 5, less 1
    EXPECT_EQ(m30_build_pat_table(m, 0, buf, sizeof buf), 12);
}

TEST_F(Encode, Mpeg2ClampReportsEachChangeOnce)
{
    m30_set_video_mode(m, M30_VIDEO_MODE_MPEG2);
    ASSERT_EQ(m30_channel_set_vid_std(m, 1, M30_VIDSTD_1080P50), 0);
    clear();
    ASSERT_EQ(m30_channel_constrain_enc(m, 1), 0);
    EXPECT_EQ(m30_channel_get_vid_std(m, 1), M30_VIDSTD_1080I50);
    EXPECT_EQ(m30_channel_get_chroma_fmt(m, 1), M30_CHROMAFMT_420);
    EXPECT_EQ(m30_channel_get_bit_depth(m, 1), 8u);
    // 25 pictures a second at most, then a multiple of the I/P period 3.
    EXPECT_EQ(m30_channel_get_frame_num_in_gop(m, 1), 24u);
    for (m30_change c : {M30_CHANGE_VIDSTD, M30_CHANGE_CHROMAFMT, M30_CHANGE_BITDEPTH})
        EXPECT_EQ(calls.count("cfg 1 " + std::to_string(c)), 1) << c;
    EXPECT_EQ(logs_.count("Constraining video std: 1080P50 to 1080I50"), 1);
    EXPECT_EQ(logs_.count("Constraining chroma fmt: 4:2:2 to 4:2:0"), 1);
    EXPECT_EQ(logs_.count("Constraining bit depth: 10 to 8"), 1);
    EXPECT_EQ(logs_.count("Constraining frame num in GOP: 25 to 24"), 1);
    clear();
    ASSERT_EQ(testing_constrain(m, 1), 0);
    EXPECT_TRUE(calls.get().empty());

    struct Std {
        m30_vidstd from, to;
    } stds[] = {{M30_VIDSTD_1080P60, M30_VIDSTD_1080I60}, {M30_VIDSTD_1080P5994, M30_VIDSTD_1080I5994},
                {M30_VIDSTD_720P50, M30_VIDSTD_720P50}, {M30_VIDSTD_2160P2997_2SI, M30_VIDSTD_1080I5994},
                {M30_VIDSTD_2160P2398_SQD, M30_VIDSTD_1080I50}};
    m30_set_channel_mode(m, M30_SINGLE_CHANNEL); // UHD stays UHD until the MPEG-2 rule
    for (const Std &s : stds) {
        m->chcfg[1].vid_std = s.from;
        ASSERT_EQ(m30_channel_constrain_enc(m, 1), 0);
        EXPECT_EQ(m30_channel_get_vid_std(m, 1), s.to) << s.from;
    }
    EXPECT_EQ(m30_channel_constrain_enc(m, 4), -1);
}

TEST_F(Encode, GopAndVancClamps)
{
    ASSERT_EQ(m30_channel_set_vid_std(m, 0, M30_VIDSTD_1080I5994), 0);
    struct Gop {
        uint32_t frames, period, want;
    } gops[] = {{2, 3, 1}, {30, 3, 30}, {31, 4, 28}, {7, 7, 7}, {5, 0, 5}};
    for (const Gop &g : gops) {
        m->enc->chcfg[0].frame_num_in_gop = g.frames;
        m->enc->chcfg[0].ip_period = g.period; // 0 only as the setter would never store it
        clear();
        ASSERT_EQ(m30_channel_constrain_enc(m, 0), 0);
        EXPECT_EQ(m30_channel_get_frame_num_in_gop(m, 0), g.want) << g.frames << "/" << g.period;
        EXPECT_EQ(calls.count("cfg 0 2"), g.want != g.frames ? 1 : 0) << g.frames;
    }
    m->enc->chcfg[0].ip_period = 1;

    // 1080i ends its VANC window by line 21, 1080p60 by 42.
    struct Vanc {
        m30_vidstd std;
        uint32_t start, count, want_start, want_count;
    } vancs[] = {{M30_VIDSTD_1080I5994, 19, 4, 17, 4}, {M30_VIDSTD_1080I5994, 17, 4, 17, 4},
                 {M30_VIDSTD_1080I5994, 19, 6, 17, 4}, {M30_VIDSTD_1080P60, 38, 4, 38, 4},
                 {M30_VIDSTD_720P2398, 40, 4, 38, 4},  {M30_VIDSTD_576I50, 22, 2, 21, 2}};
    for (const Vanc &v : vancs) {
        m->chcfg[0].vid_std = v.std;
        m->enc->chcfg[0].vanc_start_line = v.start;
        m->enc->chcfg[0].vanc_line_count = v.count;
        clear();
        ASSERT_EQ(m30_channel_constrain_enc(m, 0), 0);
        EXPECT_EQ(m30_channel_get_vanc_start_line(m, 0), v.want_start) << v.std << " " << v.start;
        EXPECT_EQ(m30_channel_get_vanc_line_count(m, 0), v.want_count) << v.std << " " << v.start;
        EXPECT_EQ(calls.count("cfg 0 7"), v.want_start != v.start ? 1 : 0);
        EXPECT_EQ(calls.count("cfg 0 8"), v.want_count != v.count ? 1 : 0);
    }
    EXPECT_EQ(logs_.count("Constraining VANC start line: 22 to 21 (23)"), 1);
}

TEST_F(Encode, AudioRateClamps)
{
    // The stored value (half the configured rate) is what is clamped.
    struct Case {
        m30_audio_mode mode;
        uint32_t stored, want;
    } cases[] = {
        {M30_AUDIO_MODE_MPEG1_L2, 52000, 56000},  {M30_AUDIO_MODE_MPEG1_L2, 50000, 48000},
        {M30_AUDIO_MODE_MPEG1_L2, 200000, 192000}, {M30_AUDIO_MODE_MPEG1_L2, 10000, 32000},
        {M30_AUDIO_MODE_MPEG1_L2, 96000, 96000},  {M30_AUDIO_MODE_MPEG1_L2, 176000, 192000},
        {M30_AUDIO_MODE_AAC_LC, 200000, 128000},  {M30_AUDIO_MODE_AAC_LC, 20000, 32000},
        {M30_AUDIO_MODE_LPCM, 964000, 964000},    {M30_AUDIO_MODE_PASS_THRU, 16000, 32000},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(m30_audio_set_mode(m, 2, c.mode), 0);
        ASSERT_EQ(m30_audio_set_rate(m, 2, 2 * c.stored), 0);
        clear();
        m30_audio_constrain(m, 2);
        EXPECT_EQ(m->audcfg[2].audio_rate_bps, c.want) << c.mode << " " << c.stored;
        EXPECT_EQ(calls.count("cfg 2 5"), c.want != c.stored ? 1 : 0) << c.stored;
        EXPECT_EQ(logs_.count("(Audio idx 2) Constraining audio rate: " + std::to_string(c.stored) + " to " +
                              std::to_string(c.want) + " (bps)"),
                  1);
    }
    // A start clamps the channel's active resources and loads the clamped rate.
    ASSERT_EQ(m30_audio_set_mode(m, 2, M30_AUDIO_MODE_MPEG1_L2), 0);
    ASSERT_EQ(m30_audio_set_rate(m, 2, 104000), 0);
    with_audio(3, {2});
    ASSERT_EQ(m30_channel_set_vid_std(m, 3, M30_VIDSTD_720P60), 0);
    ASSERT_EQ(m30_channel_start(m, 3), 0);
    EXPECT_EQ(m30_audio_get_rate(m, 2), 112000u);
}

TEST_F(Encode, RefusedStarts)
{
    // Input already running: nothing loaded.
    ASSERT_EQ(m30_channel_set_vid_std(m, 1, M30_VIDSTD_1080I50), 0);
    chip_.poke(M30_REG_INPUT_STATE(1), 2);
    clear();
    errno = 0;
    EXPECT_EQ(m30_channel_start(m, 1), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_TRUE(chip_.load_log().empty());
    chip_.poke(M30_REG_INPUT_STATE(1), 1);

    // No video standard yet: the start waits, quietly successful.
    m->restart_channel[0] = true;
    clear();
    EXPECT_EQ(m30_channel_start(m, 0), 0);
    EXPECT_EQ(logs_.count("Exiting channel start process...pending on a valid vid_std!"), 1);
    EXPECT_FALSE(m->restart_channel[0]);
    EXPECT_TRUE(chip_.load_log().empty());
    EXPECT_TRUE(chip_.output_requests().empty());

    // Beyond the channel count: refused before the channel's input is read.
    m30_set_ultra_low_latency(m, true);
    clear();
    errno = 0;
    EXPECT_EQ(m30_channel_start(m, 2), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(logs_.count("Invalid channel index. Channel not in use."), 1);
    EXPECT_EQ(chip_.reg_reads(M30_REG_INPUT_STATE(2)), 0u);
    EXPECT_EQ(m30_channel_start(m, 4), -1);
    m30_set_ultra_low_latency(m, false);

    // The chip reports ERROR after the input start, or after the output start.
    struct Fault {
        unsigned long request;
        const char *log;
        size_t outputs;
    } faults[] = {{FMB_API_INPUT_STATE, "Starting inputs...Error detected!!", 0},
                  {FMB_API_OUTPUT_STATE, "Starting outputs...Error detected!!", 1}};
    for (const Fault &f : faults) {
        set_state(3);
        chip_.poke(M30_REG_INPUT_STATE(1), 1);
        chip_.poke(M30_REG_OUTPUT_STATE(1), 1);
        chip_.error_after_next_start(f.request);
        m->restart_channel[1] = true;
        clear();
        errno = 0;
        EXPECT_EQ(m30_channel_start(m, 1), -1) << f.log;
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(logs_.count(f.log), 1);
        EXPECT_EQ(chip_.output_requests().size(), f.outputs);
        EXPECT_EQ(calls.get().back(), "enc 1 0");
        EXPECT_TRUE(m->restart_channel[1]);
    }
}

// Maintenance reports video detection per channel from vsync, and frame
// captures keep the channel's frame count. Runs with the message thread.
TEST_F(Encode, VideoDetectionPerChannel)
{
    ASSERT_EQ(m30_prepare(m), 0);
    for (int c : {0, 1}) {
        ASSERT_EQ(m30_channel_set_vid_std(m, c, M30_VIDSTD_1080I5994), 0);
        ASSERT_EQ(m30_channel_start(m, c), 0);
    }
    m30sim::GeneratorConfig g;
    g.frame_period_us = 10000;
    g.frame_captures = true;
    chip_.start_generator(g);
    ASSERT_TRUE(eventually([&] { return m30_channel_is_video_detected(m, 0) && m30_channel_is_video_detected(m, 1); }));
    calls.clear();
    ASSERT_EQ(m30_context_maintain(m), 0);
    auto seen = calls.get();
    for (const char *s : {"vde 0 1", "enc 0 3", "vde 1 1", "enc 1 3"})
        EXPECT_EQ(std::count(seen.begin(), seen.end(), s), 1) << s;
    EXPECT_EQ(seen.size(), 4u);
    EXPECT_TRUE(eventually([&] { return m30_channel_get_frame_count(m, 1) > 2; }));

    // Channel 1 loses its video alone.
    chip_.set_vsync(1, false);
    ASSERT_TRUE(eventually([&] { return !m30_channel_is_video_detected(m, 1); }));
    calls.clear();
    ASSERT_EQ(m30_context_maintain(m), 0);
    EXPECT_EQ(calls.get(), (std::vector<std::string>{"vde 1 0", "enc 1 1"}));
    EXPECT_TRUE(m30_channel_is_video_detected(m, 0));
    calls.clear();
    ASSERT_EQ(m30_context_maintain(m), 0);
    EXPECT_TRUE(calls.get().empty()) << "a change is reported once";

    chip_.set_vsync(1, true);
    ASSERT_TRUE(eventually([&] { return m30_channel_is_video_detected(m, 1); }));
    calls.clear();
    ASSERT_EQ(m30_context_maintain(m), 0);
    EXPECT_EQ(calls.get(), (std::vector<std::string>{"vde 1 1", "enc 1 3"}));
    chip_.stop_generator();
    EXPECT_EQ(m30_cancel_msg_thread(m), 0);
}

TEST_F(Encode, MaintenanceRestartsEveryFlaggedChannel)
{
    for (int c : {0, 1, 3}) {
        ASSERT_EQ(m30_channel_set_vid_std(m, c, M30_VIDSTD_720P60), 0);
        ASSERT_EQ(m30_channel_start(m, c), 0);
    }
    ASSERT_EQ(m30_channel_set_latency(m, 0, 30000), 0);
    ASSERT_EQ(m30_channel_set_latency(m, 3, 30000), 0);
    clear();
    ASSERT_EQ(m30_context_maintain(m), 0);
    EXPECT_EQ(logs_.count("Restarting channel"), 2);
    EXPECT_FALSE(m->restart_channel[0]);
    EXPECT_FALSE(m->restart_channel[3]);
    auto out = chip_.output_requests();
    ASSERT_EQ(out.size(), 6u); // ready-to-stop, stop and start of each
    EXPECT_EQ(out[2].output_id_bits, 1u << 0);
    EXPECT_EQ(out[5].output_id_bits, 1u << 3);

    // A chip-wide change prepares again and restarts every channel that runs.
    ASSERT_EQ(m30_set_video_mode(m, M30_VIDEO_MODE_H264), 0);
    clear();
    ASSERT_EQ(m30_context_maintain(m), 0);
    EXPECT_FALSE(m->prepare_needed);
    EXPECT_EQ(calls.count("cfg 0 6"), 1);
    EXPECT_EQ(logs_.count("Restarting channel"), 4);
    EXPECT_EQ(calls.count("enc 0 3") + calls.count("enc 1 3") + calls.count("enc 3 3"), 3);
    EXPECT_EQ(logs_.count("pending on a valid vid_std"), 1); // channel 2
    EXPECT_TRUE(fs::exists(dump("ea", 3)));
    m30_cancel_msg_thread(m);
}

TEST_F(Encode, HelpersFollowTheirTables)
{
    struct Fmt {
        m30_vidstd std;
        vi_vformat want;
    } fmts[] = {{M30_VIDSTD_INVALID, VI_VFORMAT_1920_1080P}, {M30_VIDSTD_720P2398, VI_VFORMAT_1280_720P},
                {M30_VIDSTD_1080I50, VI_VFORMAT_1920_1080I}, {M30_VIDSTD_1080P2398SF, VI_VFORMAT_1920_1080P},
                {M30_VIDSTD_480P2997, VI_VFORMAT_720_480P},  {M30_VIDSTD_480I5994, VI_VFORMAT_720_480I},
                {M30_VIDSTD_576P25, VI_VFORMAT_720_576P},    {M30_VIDSTD_576I50, VI_VFORMAT_720_576I},
                {M30_VIDSTD_2160P2398_SQD, VI_VFORMAT_3840_2160P_SQD},
                {M30_VIDSTD_2160P60_2SI, VI_VFORMAT_3840_2160P_2SI}, {M30_VIDSTD_END, VI_VFORMAT_1920_1080P}};
    for (const Fmt &f : fmts)
        EXPECT_EQ(vformat_for_vidstd(f.std), f.want) << f.std;
    // 17440 kbit/s: less 4/188 of it and 49.067 kbit/s of tables.
    EXPECT_EQ(m30_video_rate_ts_to_es(17440), 17019u);
    EXPECT_EQ(m30_video_rate_ts_to_es(50), 0u);
    EXPECT_EQ(m30_video_rate_ts_to_es(0), 0u);

    with_audio(1, {0, 2});
    m30_audio_set_state(m, 0, M30_OFF);
    EXPECT_EQ(m30_ch_aud_bitmap(m, 1), 0x4);
    EXPECT_EQ(m30_ch_aud_bitmap(m, 0), 0);
    EXPECT_EQ(m30_load_params_vi(m, 4, nullptr, 0), -1);
    EXPECT_FALSE(m30_channel_is_video_detected(m, 9));
    m30_context *d = create(false);
    ASSERT_NE(d, nullptr);
    EXPECT_FALSE(m30_channel_is_video_detected(d, 0));
    EXPECT_EQ(m30_set_pat_includes_all(d, true), 0);
    EXPECT_EQ(m30_channel_constrain_enc(d, 0), -1);
}

// The dumps of a start, printed by m30paramprint run as a program.
TEST_F(Encode, ParameterPrinterReadsTheStartDumps)
{
    const char *build = std::getenv("KD_BUILD_DIR");
    ASSERT_NE(build, nullptr) << "KD_BUILD_DIR is set by ctest";
    std::string exe = std::string(build) + "/bin/m30paramprint";
    ASSERT_EQ(access(exe.c_str(), X_OK), 0) << exe;
    ASSERT_EQ(m30_channel_set_vid_std(m, 1, M30_VIDSTD_1080I5994), 0);
    ASSERT_EQ(m30_channel_start(m, 1), 0);
    auto print = [&](const std::string &tag) {
        std::string out;
        FILE *p = popen(("'" + exe + "' '" + dump(tag, 1) + "' 2>&1").c_str(), "r");
        if (!p)
            return out;
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        EXPECT_EQ(pclose(p), 0) << tag;
        return out;
    };
    std::string vin = print("vin");
    for (const char *line : {"\tvin_->HSIZE: 1920\n", "\tvin_->VSIZE: 1080\n", "\tvin_->INTERLACE: 1\n",
                             "\tvin_->FRAME_RATE_CODE: 4\n"})
        EXPECT_NE(vin.find(line), std::string::npos) << line << vin;
    std::string rate = std::to_string(m30_video_rate_ts_to_es(m30_channel_get_video_rate(m, 1)));
    std::string eh = print("eh");
    EXPECT_NE(eh.find("\teh_->BITRATE: " + rate + "\n"), std::string::npos) << eh;
    std::string mu = print("mu");
    for (const std::string &line : std::vector<std::string>{"\tmu_->PMT_PID_OUT: 736\n", "\tmu_->V_PID_OUT: 737\n", "\tmu_->PCR_PID_OUT: 738\n",
                                   "\tmu_->V_BITRATE: " + rate + "\n"})
        EXPECT_NE(mu.find(line), std::string::npos) << line << mu;
}
