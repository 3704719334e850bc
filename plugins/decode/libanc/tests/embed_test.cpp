// The SDI audio embedder: time-stamp filters, maps, anchoring against the
// video, ring writes and sample conversion, on the simulated board's
// embedder queues.
#include "anc.h"
#include "anc_embed.h"
#include "board_fixture.h"

#include <fpga.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace {

TEST(EmbedFilters, VideoBandsAndContinuity)
{
    // Deltas between evaluations (every 4th call).
    struct Step {
        uint32_t d;
        PtsUpdate want;
        uint32_t ss_delta;
    } steps[] = {
        {6006, PTS_DISCONTINUITY, 3203}, {6006, PTS_CONTINUOUS, 3203}, {6010, PTS_CONTINUOUS, 3203},
        {7200, PTS_DISCONTINUITY, 3840}, // 50 after 59.94
        {7200, PTS_CONTINUOUS, 3840},    {5000, PTS_ERROR, 0},
        {7200, PTS_DISCONTINUITY, 3840}, {12012, PTS_DISCONTINUITY, 6406},
        {15015, PTS_DISCONTINUITY, 8008}, {15015, PTS_CONTINUOUS, 8008},
    };
    PtsFilter f{};
    uint64_t pts = (uint64_t(1) << 33) - 20000; // wraps on the way
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(ancFilterVideoPts(&f, pts), PTS_UNCHANGED);
    EXPECT_EQ(ancFilterVideoPts(&f, pts), PTS_ERROR) << "first evaluation has nothing to measure from";
    uint64_t mono = 0;
    for (const Step &s : steps) {
        pts = (pts + s.d) & ((uint64_t(1) << 33) - 1);
        for (int i = 0; i < 3; ++i)
            ASSERT_EQ(ancFilterVideoPts(&f, pts), PTS_UNCHANGED);
        EXPECT_EQ(ancFilterVideoPts(&f, pts), s.want) << s.d;
        if (s.want == PTS_ERROR)
            continue;
        EXPECT_EQ(f.ss_delta, s.ss_delta) << s.d;
        mono = s.want == PTS_DISCONTINUITY ? pts : mono + s.d;
        EXPECT_EQ(f.pts_monotonic, mono) << s.d;
    }
}

TEST(EmbedFilters, AudioFramePeriods)
{
    PtsFilter f{};
    const uint64_t wrap = uint64_t(1) << 33;
    uint64_t pts = wrap - 3 * 2160;
    EXPECT_EQ(ancFilterAudioPts(&f, pts), PTS_ERROR);
    struct Step {
        uint64_t step; // ticks since the last call
        bool beyond33; // the call carries a time stamp beyond 33 bits
        PtsUpdate want;
        uint32_t ss_delta;
    } steps[] = {
        {2160, false, PTS_DISCONTINUITY, 1152}, {2160, false, PTS_CONTINUOUS, 1152},
        {2160, false, PTS_CONTINUOUS, 1152},    // across the 33-bit wrap
        {2160, true, PTS_UNCHANGED, 0},         {2160, false, PTS_CONTINUOUS, 2304}, // two frames
        {2000, false, PTS_ERROR, 0},            {2160, false, PTS_DISCONTINUITY, 1152},
        {1920, false, PTS_DISCONTINUITY, 1024}, {1920, false, PTS_CONTINUOUS, 1024},
        {2880, false, PTS_DISCONTINUITY, 1536},
    };
    for (const Step &s : steps) {
        pts = (pts + s.step) % wrap;
        EXPECT_EQ(ancFilterAudioPts(&f, s.beyond33 ? pts | wrap << 1 : pts), s.want) << s.step;
        if (s.want == PTS_CONTINUOUS || s.want == PTS_DISCONTINUITY) {
            EXPECT_EQ(f.ss_delta, s.ss_delta) << s.step;
        }
    }
}

TEST(EmbedSamples, FloatConversionSaturates)
{
    struct Case {
        float in;
        int32_t out;
    } cases[] = {{1.0f, 2147483647}, {-1.0f, -2147483647}, {1.5f, 2147483647}, {-1.5f, -2147483647 - 1},
                 {0.5f, 1073741823}, {0.0f, 0},          {-0.25f, -536870911}};
    for (const Case &c : cases)
        EXPECT_EQ(ancF32ToWord(c.in), c.out) << c.in;
}

class Embed : public BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        ASSERT_EQ(fpgaInit(), 0);
        ASSERT_EQ(ancDecAudEmbedInit(), 0);
        ring_ = ancDecAudEmbedRing(0, &sets_);
        ASSERT_NE(ring_, nullptr);
    }
    void TearDown() override
    {
        ancDecAudEmbedFini();
        fpgaFini();
        BoardTest::TearDown();
    }
    // Four video frames of `frame` ticks each; the answer of the 4th call.
    void video4(uint64_t frame)
    {
        for (int i = 0; i < 4; ++i) {
            vpts_ += frame;
            ancDecAudEmbedChnPts(0, vpts_);
        }
    }
    // Video at 50 Hz until embedder 0 has its anchor at vanchor_.
    void anchor_video()
    {
        video4(1800); // error: nothing to measure from
        video4(1800); // discontinuity: queues restart
        video4(1800); // continuous: anchored
        vanchor_ = vpts_;
    }
    int32_t left(unsigned set, unsigned pair) const { return ring_[set * 16 + 2 * pair]; }
    int32_t right(unsigned set, unsigned pair) const { return ring_[set * 16 + 2 * pair + 1]; }

    int32_t *ring_ = nullptr;
    uint32_t sets_ = 0;
    uint64_t vpts_ = 900000, vanchor_ = 0;
};

TEST_F(Embed, MapsKeepItemsOnceAndRefuseBadOnes)
{
    int8_t v[4];
    ASSERT_EQ(ancDecAudEmbedChnMapGet(0, v), 0);
    EXPECT_EQ(std::vector<int>(v, v + 4), (std::vector<int>{0, 1, 2, -1})) << "start-up map";
    MapItem items[32];
    ASSERT_EQ(ancDecAudEmbedChnIdxMapGet(0, 9, items), 0);
    EXPECT_EQ(items[0].io, 1);
    EXPECT_EQ(items[0].pair, 1);
    EXPECT_EQ(items[1].io, -1);

    EXPECT_EQ(ancDecAudEmbedChnMap(0, 3, true), 0);
    EXPECT_EQ(ancDecAudEmbedChnMap(0, 3, true), 0);
    EXPECT_EQ(ancDecAudEmbedChnMap(0, 1, false), 0);
    ancDecAudEmbedChnMapGet(0, v);
    EXPECT_EQ(std::vector<int>(v, v + 4), (std::vector<int>{0, 2, 3, -1}));
    EXPECT_EQ(ancDecAudEmbedChnMap(0, 4, true), -1);
    EXPECT_EQ(ancDecAudEmbedChnMap(2, 0, true), -1);

    for (int io = 0; io < 4; ++io)
        for (int p = 0; p < 8; ++p) {
            EXPECT_EQ(ancDecAudEmbedChnIdxMap(1, 5, io, p, true), 0);
            EXPECT_EQ(ancDecAudEmbedChnIdxMap(1, 5, io, p, true), 0) << "kept once";
        }
    ancDecAudEmbedChnIdxMapGet(1, 5, items);
    EXPECT_EQ(items[31].io, 3);
    EXPECT_EQ(items[31].pair, 7);
    EXPECT_EQ(ancDecAudEmbedChnIdxMap(1, 5, 0, 0, false), 0);
    EXPECT_EQ(ancDecAudEmbedChnIdxMap(1, 5, 0, 0, true), 0) << "room again";
    ancDecAudEmbedChnIdxMap(1, 5, 0, 0, false);
    ancDecAudEmbedChnIdxMapGet(1, 5, items);
    EXPECT_EQ(items[0].pair, 1) << "gap closed";
    EXPECT_EQ(items[31].io, -1);
    EXPECT_EQ(ancDecAudEmbedChnIdxMap(1, 6, 0, 8, true), -1);
    EXPECT_EQ(ancDecAudEmbedChnIdxMap(1, 6, 4, 0, true), -1);
    EXPECT_EQ(ancDecAudEmbedChnIdxMap(1, 32, 0, 0, true), -1);
    EXPECT_EQ(ancDecAudEmbedChnIdxSkew(0, 0, int(sets_)), -1) << "a whole ring";
    EXPECT_EQ(ancDecAudEmbedChnIdxSkew(0, 0, -int(sets_)), -1);
    EXPECT_EQ(ancDecAudEmbedChnIdxSkew(0, 32, 0), -1);
}

TEST_F(Embed, Mp2AnchorsAtItsTimeAndWritesWrapAtTheRingEnd)
{
    ASSERT_EQ(sets_, 1024u); // 64 KiB ring
    anchor_video();
    // The video anchor sits one 4-frame period of samples (3840) after the
    // restart; MP2 frames from the video anchor time on.
    uint64_t apts = vanchor_ - 2 * 2160;
    EXPECT_EQ(ancDecAudEmbedChnIdxPts(0, 0, apts), -1); // nothing to measure from
    apts += 2160;
    EXPECT_EQ(ancDecAudEmbedChnIdxPts(0, 0, apts), 0); // discontinuity
    EXPECT_EQ(ancDecAudEmbedPairPosition(0, 0), -1);
    apts += 2160;
    EXPECT_EQ(ancDecAudEmbedChnIdxPts(0, 0, apts), 0); // continuous at the video anchor's time
    EXPECT_EQ(ancDecAudEmbedPairPosition(0, 0), int(3840 % 1024));

    std::vector<int16_t> l(1152), r(1152);
    for (int k = 0; k < 1152; ++k)
        l[size_t(k)] = int16_t(k + 1), r[size_t(k)] = int16_t(-(k + 1));
    ASSERT_EQ(ancDecAudEmbedChnIdxFrame(0, 0, DEC_AUD_SRC_FMT_S16, l.data(), r.data(), 1152), 0);
    // 1152 samples on a 1024-set ring: from set 768 to the end, on from
    // set 0, and the last 128 over the first ones.
    EXPECT_EQ(left(1023, 0), 256 << 16);
    EXPECT_EQ(left(0, 0), 257 << 16) << "continues at the first set";
    EXPECT_EQ(left(767, 0), 1024 << 16);
    EXPECT_EQ(left(768, 0), 1025 << 16);
    EXPECT_EQ(right(768, 0), -(1025 << 16));
    EXPECT_EQ(left(895, 0), 1152 << 16);
    EXPECT_EQ(left(896, 0), 129 << 16);
    EXPECT_EQ(left(768, 1), 0) << "other pairs untouched";
    EXPECT_EQ(ancDecAudEmbedPairPosition(0, 0), int((768 + 1152) % 1024));

    // A 2000-tick frame clears the pair (and mutes it).
    apts += 2000;
    EXPECT_EQ(ancDecAudEmbedChnIdxPts(0, 0, apts), -1);
    EXPECT_EQ(ancDecAudEmbedPairPosition(0, 0), -1);
    EXPECT_EQ(left(768, 0), 0);
    EXPECT_EQ(ancDecAudEmbedChnIdxFrame(0, 0, DEC_AUD_SRC_FMT_S16, l.data(), r.data(), 1152), 0);
    EXPECT_EQ(left(768, 0), 0) << "an unanchored pair is not written";

    EXPECT_EQ(ancDecAudEmbedChnIdxFrame(0, 0, 2, l.data(), r.data(), 1), -1);
    EXPECT_EQ(ancDecAudEmbedChnIdxFrame(0, 0, DEC_AUD_SRC_FMT_S16, nullptr, r.data(), 1), -1);
    EXPECT_EQ(ancDecAudEmbedChnIdxFrame(0, 0, DEC_AUD_SRC_FMT_S16, l.data(), r.data(), 0), -1);
}

TEST_F(Embed, LayoutsAndAVideoRateChange)
{
    anchor_video();
    // AAC (1024-sample frames) on index 1 (embedder 0 pair 1), AC-3 on
    // index 2 (pair 2), skewed by 10 samples.
    ASSERT_EQ(ancDecAudEmbedChnIdxSkew(0, 2, 10), 0);
    uint64_t a = vanchor_ - 2 * 1920, c = vanchor_ - 2 * 2880;
    for (int i = 0; i < 3; ++i, a += 1920, c += 2880) {
        ancDecAudEmbedChnIdxPts(0, 1, a);
        ancDecAudEmbedChnIdxPts(0, 2, c);
    }
    ASSERT_EQ(ancDecAudEmbedPairPosition(0, 1), 768);
    ASSERT_EQ(ancDecAudEmbedPairPosition(0, 2), 768);
    const float fl[2] = {0.5f, 1.5f}, fr[2] = {-0.5f, -1.0f};
    ASSERT_EQ(ancDecAudEmbedChnIdxFrame(0, 1, DEC_AUD_SRC_FMT_F32, fl, fr, 2), 0);
    EXPECT_EQ(left(768, 1), 1073741823);
    EXPECT_EQ(right(768, 1), -1073741823);
    EXPECT_EQ(left(769, 1), 2147483647);
    EXPECT_EQ(right(769, 1), -2147483647);
    const float inter[4] = {0.25f, -0.25f, 1.0f, -1.5f};
    ASSERT_EQ(ancDecAudEmbedChnIdxFrame(0, 1, DEC_AUD_SRC_FMT_F32, inter, nullptr, 2), 0);
    EXPECT_EQ(left(770, 1), 536870911);
    EXPECT_EQ(right(770, 1), -536870911);
    EXPECT_EQ(right(771, 1), -2147483647 - 1);
    // S16 interleaved: left in the low half of each word, right in the high.
    const int16_t s16[4] = {100, -100, -2, 3};
    ASSERT_EQ(ancDecAudEmbedChnIdxFrame(0, 2, DEC_AUD_SRC_FMT_S16, s16, nullptr, 2), 0);
    EXPECT_EQ(left(778, 2), 100 << 16);
    EXPECT_EQ(right(778, 2), -(100 << 16));
    EXPECT_EQ(left(779, 2), -(2 << 16));
    EXPECT_EQ(right(779, 2), 3 << 16);

    // 59.94 after 50: a discontinuity; every pair re-anchors once the video
    // is continuous again.
    video4(1501); // 6004 ticks over 4 frames: 59.94
    EXPECT_EQ(ancDecAudEmbedPairPosition(0, 1), -1);
    EXPECT_EQ(ancDecAudEmbedPairPosition(0, 2), -1);
    ancDecAudEmbedChnIdxPts(0, 1, a);
    EXPECT_EQ(ancDecAudEmbedPairPosition(0, 1), -1) << "no video anchor yet";
    a += 1920;
    video4(1501);
    const uint64_t v = vpts_;
    ancDecAudEmbedChnIdxPts(0, 1, a);
    a += 1920;
    ancDecAudEmbedChnIdxPts(0, 1, a);
    const int64_t want = (3203 + (int64_t(a) - int64_t(v)) * 24 / 45) % 1024;
    EXPECT_EQ(ancDecAudEmbedPairPosition(0, 1), int((want + 1024) % 1024));
}

TEST_F(Embed, TheBoardPlaysTheRingRoundFromItsStart)
{
    sim_->start([](unsigned, const uint8_t *) {});
    sim_->play_embedders(true);
    anchor_video(); // restarts the queue: the board plays from item 0
    uint64_t apts = vanchor_ - 2 * 2160;
    for (int i = 0; i < 3; ++i, apts += 2160)
        ancDecAudEmbedChnIdxPts(0, 0, apts);
    ASSERT_EQ(ancDecAudEmbedPairPosition(0, 0), 768);
    std::vector<int16_t> l(1152), r(1152);
    for (int k = 0; k < 1152; ++k)
        l[size_t(k)] = int16_t(k + 1), r[size_t(k)] = int16_t(-(k + 1));
    ASSERT_EQ(ancDecAudEmbedChnIdxFrame(0, 0, DEC_AUD_SRC_FMT_S16, l.data(), r.data(), 1152), 0);
    const std::vector<int32_t> ring(ring_, ring_ + size_t(sets_) * 16);
    // Some whole round after the write plays the ring set by set from set 0.
    std::vector<int32_t> played;
    auto a_round_plays_the_ring = [&] {
        const size_t words = size_t(sets_) * 16;
        for (size_t at = words; at + words <= played.size(); at += words)
            if (std::equal(ring.begin(), ring.end(), played.begin() + std::ptrdiff_t(at)))
                return true;
        return false;
    };
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!a_round_plays_the_ring() && std::chrono::steady_clock::now() < until) {
        const auto more = sim_->played(0);
        played.insert(played.end(), more.begin(), more.end());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(a_round_plays_the_ring()) << played.size() / 16 << " sets played";
    EXPECT_FALSE(sim_->played(2).empty()) << "channel 0 also restarted embedder 2";
    EXPECT_TRUE(sim_->played(3).empty()) << "a queue not enabled plays nothing";
    sim_->stop();
}

} // namespace
