// The software audio path on the decode-card harness: FFmpeg's video
// reports turned into video formats, and an FFmpeg-made H.264 + MP2 stream
// demultiplexed and decoded into the SDI embedder in step with video time
// stamps.
#include "anc_embed.h"
#include "dec_harness.h"
#include "decfeed.h"
#include "ffmpeg_tool.h"
#include "ts_build.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using dectest::output_of;

TEST(AudioVideoInfo, FfmpegReportsLeadToTheirStandards)
{
    // What FFmpeg 5.1 reports for ffmpeg-made streams of these kinds.
    struct Case {
        const char *what, *codec;
        int w, h, field_order;
        double rate;
        m30_vidstd want;
    } cases[] = {
        {"1080i H.264", "h264", 1920, 1080, AV_FIELD_TT, 30000.0 / 1001, M30_VIDSTD_1080I5994},
        {"1080i MPEG-2", "mpeg2video", 1920, 1080, AV_FIELD_TT, 30000.0 / 1001, M30_VIDSTD_1080I5994},
        {"1080p59.94 H.264", "h264", 1920, 1080, AV_FIELD_PROGRESSIVE, 60000.0 / 1001, M30_VIDSTD_1080P5994},
        {"720p50 HEVC", "hevc", 1280, 720, AV_FIELD_UNKNOWN, 50.0, M30_VIDSTD_720P50},
        {"field-coded HEVC", "hevc", 1920, 540, AV_FIELD_PROGRESSIVE, 50.0, M30_VIDSTD_1080I50},
        {"720p H.264 without field order", "h264", 1280, 720, AV_FIELD_UNKNOWN, 50.0, M30_VIDSTD_720P50},
        {"1080p50 MPEG-2", "mpeg2video", 1920, 1080, AV_FIELD_PROGRESSIVE, 50.0, M30_VIDSTD_1080P50},
    };
    for (const Case &c : cases) {
        char last[64] = {};
        unsigned repeat = 0;
        const video_info_data v =
            decode_audio_video_info(0, c.codec, 0x100, c.w, c.h, c.field_order, c.rate, AV_PIX_FMT_YUV420P, last, repeat);
        EXPECT_EQ(v.bd_chrm, VID_BD_CHR_8BIT420) << c.what;
        EXPECT_EQ(decode_vidstd_for(v.hsize, v.vsize, v.display == VID_DSP_PROGRESSIVE, v.frame_rate, DECODE_UHD_SQD),
                  c.want)
            << c.what;
    }
}

TEST(AudioVideoInfo, H264WithoutFieldOrderIsInterlacedAtTheSixthSameReport)
{
    char last[64] = {};
    unsigned repeat = 0;
    auto report = [&](int pid) {
        return decode_audio_video_info(0, "h264", pid, 1920, 1080, AV_FIELD_UNKNOWN, 30000.0 / 1001,
                                       AV_PIX_FMT_YUV420P10LE, last, repeat);
    };
    for (int i = 1; i <= 5; ++i)
        EXPECT_EQ(report(0x100).display, VID_DSP_OTHER) << i;
    report(0x101); // another stream in between restarts the count
    for (int i = 1; i <= 5; ++i)
        EXPECT_EQ(report(0x100).display, VID_DSP_OTHER) << i;
    const video_info_data v = report(0x100);
    EXPECT_EQ(v.display, VID_DSP_INTERLACE);
    EXPECT_EQ(v.bd_chrm, VID_BD_CHR_10BIT420);
    EXPECT_EQ(decode_vidstd_for(v.hsize, v.vsize, false, v.frame_rate, DECODE_UHD_SQD), M30_VIDSTD_1080I5994);
    EXPECT_EQ(repeat, 0u);
}

// Writes a stream into a channel's audio pipe as the ingress forwards it,
// looping, at about `bps`: the test is the pipe's only writer while no
// datagram arrives. At most `backlog` packets wait in the pipe, so a slow
// reader neither loses packets nor gets a backlog that overruns its
// decoders. Asked to, the writer holds once it has written the next of the
// `stops` (packet indexes into the stream) and, while held, keeps a copy
// of the stream's PAT in the pipe: the demultiplexer sees data flow (and
// does not rebuild) but gets nothing more of the streams.
class PipeFeed {
public:
    PipeFeed(kd_pipe_t *pipe, std::vector<uint8_t> ts, double bps, std::vector<size_t> stops = {},
             unsigned backlog = 64)
        : pipe_(pipe), ts_(std::move(ts)), stops_(std::move(stops)), backlog_(backlog)
    {
        for (size_t o = 0; o + 188 <= ts_.size() && pat_.empty(); o += 188)
            if (ts_[o + 1] == 0x40 && ts_[o + 2] == 0)
                pat_.assign(&ts_[o], &ts_[o] + 188);
        const auto step = std::chrono::microseconds(int64_t(10 * 188 * 8 / bps * 1e6));
        thread_ = std::thread([this, step] { run(step); });
    }
    ~PipeFeed()
    {
        stop_ = true;
        thread_.join();
    }
    PipeFeed(const PipeFeed &) = delete;
    PipeFeed &operator=(const PipeFeed &) = delete;

    // Goes on (from where it holds, if it does) and holds at the next stop.
    void hold_at_next()
    {
        hold_ = true;
        held_ = false;
    }
    bool held() const { return held_; }
    size_t held_at() const { return held_at_; } // the stop it holds at
    uint64_t written() const { return written_; }
    // The longest time the writer itself was away (a loaded machine) since
    // the last call, in ms: the pipe may have run dry meanwhile.
    int64_t longest_stall_ms() { return stall_us_.exchange(0) / 1000; }

private:
    void run(std::chrono::microseconds step)
    {
        const size_t packets = ts_.size() / 188;
        size_t at = 0;
        auto last = std::chrono::steady_clock::now();
        while (!stop_) {
            const auto now = std::chrono::steady_clock::now();
            const int64_t away = std::chrono::duration_cast<std::chrono::microseconds>(now - last).count();
            last = now;
            if (away > stall_us_)
                stall_us_ = away;
            if (held_) {
                if (kd_pipe_level(pipe_) == 0 && !pat_.empty())
                    kd_pipe_write_unlocked(pipe_, pat_.data());
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            for (int k = 0; k < 10 && !held_ && kd_pipe_level(pipe_) < backlog_; ++k) {
                if (kd_pipe_write_unlocked(pipe_, &ts_[at * 188]) != 0)
                    break;
                ++written_;
                if (hold_ && std::binary_search(stops_.begin(), stops_.end(), at)) {
                    held_at_ = at;
                    held_ = true;
                }
                at = (at + 1) % packets;
            }
            std::this_thread::sleep_for(step);
        }
    }
    kd_pipe_t *pipe_;
    std::vector<uint8_t> ts_, pat_;
    std::vector<size_t> stops_;
    unsigned backlog_;
    std::atomic<bool> stop_{false}, hold_{false}, held_{false};
    std::atomic<size_t> held_at_{0};
    std::atomic<uint64_t> written_{0};
    std::atomic<int64_t> stall_us_{0};
    std::thread thread_;
};

// Packet indexes where a PES of an MPEG audio stream (stream id 0xC0 to
// 0xDF) starts.
std::vector<size_t> audio_pes_starts(const std::vector<uint8_t> &ts)
{
    std::vector<size_t> out;
    for (size_t i = 0; (i + 1) * 188 <= ts.size(); ++i) {
        const uint8_t *p = &ts[i * 188];
        if (!(p[1] & 0x40) || !(p[3] & 0x10))
            continue;
        const size_t at = p[3] & 0x20 ? 5u + p[4] : 4u;
        if (at + 4 <= 188 && p[at] == 0 && p[at + 1] == 0 && p[at + 2] == 1 && (p[at + 3] & 0xE0) == 0xC0)
            out.push_back(i);
    }
    return out;
}

// The embedder's debug stream as a FIFO, filled and read by nobody until
// drain(): a demultiplexer waits in the debug lines of its first build and
// outlives its limit when stopped.
class StuckDebugStream {
public:
    explicit StuckDebugStream(const std::filesystem::path &root) : path_(root / "run/debug/libanc/dec/aud/embed")
    {
        std::filesystem::create_directories(path_.parent_path());
        if (mkfifo(path_.c_str(), 0644) == 0)
            rd_ = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    ~StuckDebugStream()
    {
        if (rd_ >= 0)
            close(rd_);
    }
    bool opened() const { return rd_ >= 0; }
    // Once the plug-in has opened its end.
    bool fill() const
    {
        const int wr = open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (wr < 0)
            return false;
        const std::vector<char> page(4096, '.');
        while (write(wr, page.data(), page.size()) > 0) {
        }
        while (write(wr, page.data(), 1) > 0) {
        }
        close(wr);
        return true;
    }
    void drain() const
    {
        std::vector<char> buf(65536);
        while (read(rd_, buf.data(), buf.size()) > 0) {
        }
    }

private:
    std::filesystem::path path_;
    int rd_ = -1;
};

std::vector<uint8_t> noise_stream(const std::filesystem::path &file, const std::string &audio, int streams = 1);

class AudioCard : public dectest::DecodeCard {
protected:
    // Loads the plug-in and leaves channel ch's demultiplexer waiting in the
    // debug lines of its first build, its stream counted.
    void stick_demultiplexer(unsigned ch, const StuckDebugStream &debug)
    {
        const auto ts = noise_stream(root_ / "mp2.ts", "-c:a mp2 -b:a 192k -ac 2");
        ASSERT_FALSE(ts.empty());
        load(); // the embedder opens its debug stream
        ASSERT_TRUE(run_until([&] { return std::filesystem::exists(decfeed::feeder::socket_path(ch)); }));
        ASSERT_TRUE(debug.fill());
        decfeed::feeder feed(ts, {.channel = ch, .bitrate_bps = 4000000, .loop = true});
        feed.start();
        // The streams are counted just before the embedder maps are set.
        ASSERT_TRUE(run_until([&] { return dec().stats[ch].audio_streams_ct == 1; }, 60));
        feed.stop();
    }
    void TearDown() override
    {
        stop_video_ = true;
        if (video_.joinable())
            video_.join();
        DecodeCard::TearDown();
    }
    // Video time stamps at 50 Hz, as the chip reports decoded pictures.
    void run_video(unsigned ch)
    {
        video_ = std::thread([this, ch] {
            for (uint64_t pts = 90000; !stop_video_; pts += 1800) {
                decode_audio_video_pts(ch, pts);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    // Whether pred held at some moment before the deadline. run_until asks
    // once more after its loop, when what was seen (a frame in the ring,
    // a stream type between rebuilds) may have passed already.
    bool saw(const std::function<bool()> &pred, double seconds = 60.0)
    {
        bool held = false;
        run_until([&] { return held = held || pred(); }, seconds);
        return held;
    }
    // Waits until the last sample sets written to a pair of an embedder
    // sit in `ref` (interleaved stereo s16) in a row, each within
    // `tolerance`; `ready` says when to start looking.
    ::testing::AssertionResult plays_in_a_row(const std::vector<uint8_t> &ref, int tolerance,
                                              const std::function<bool()> &ready, int io = 0, int pair = 0);
    std::atomic<bool> stop_video_{false};
    std::thread video_;
};

struct Tone {
    double peak;
    int crossings;
    bool sides_equal;
};

// The last 20 ms written to pair 0 of embedder 0.
Tone last_tone()
{
    uint32_t sets = 0;
    const int32_t *ring = ancDecAudEmbedRing(0, &sets);
    const int end = ancDecAudEmbedPairPosition(0, 0);
    Tone t{0, 0, true};
    if (!ring || end < 0)
        return t;
    int32_t prev = 0;
    for (int k = 0; k < 960; ++k) {
        const uint32_t s = uint32_t(end + int(sets) - 960 + k) % sets;
        const int32_t l = __atomic_load_n(&ring[s * 16], __ATOMIC_RELAXED);
        const int32_t r = __atomic_load_n(&ring[s * 16 + 1], __ATOMIC_RELAXED);
        t.sides_equal = t.sides_equal && std::fabs(double(l) - double(r)) <= 65536.0 * 2;
        t.peak = std::max(t.peak, std::fabs(double(l)) / 2147483648.0);
        if (k && ((prev < 0) != (l < 0)))
            ++t.crossings;
        prev = l;
    }
    return t;
}

TEST_F(AudioCard, StreamsAreDecodedIntoTheEmbedder)
{
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs ffmpeg to make the test streams";
    // A 1000 Hz tone at the generator's level (1/8); -ac 2 makes each side
    // 3 dB lower, a mono stream plays the same samples on both sides.
    struct Case {
        const char *audio;     // ffmpeg's audio options
        audio_codec type;
        const char *type_text; // as the parameter shows it
        int32_t bit_rate;      // 0: not checked
        double peak;
    } cases[] = {
        {"-c:a mp2 -b:a 192k -ac 2", AUDIO_CODEC_MPEG1_L2, "MPEG1 L2 03", 192000, 0.125 / std::sqrt(2.0)},
        {"-c:a mp2 -b:a 96k -ac 1", AUDIO_CODEC_MPEG1_L2, "MPEG1 L2 03", 96000, 0.125},
        {"-c:a aac -b:a 128k -ac 2", AUDIO_CODEC_AAC_LC, "AAC-LC", 0, 0.125 / std::sqrt(2.0)},
        {"-c:a ac3 -b:a 192k -ac 2", AUDIO_CODEC_AC3_81, "DD AC3 81", 192000, 0.125 / std::sqrt(2.0)},
    };
    run_until([] { return true; });
    const int threads = dectest::count_entries("/proc/self/task");
    load();
    ASSERT_TRUE(run_until([&] { return std::filesystem::exists(decfeed::feeder::socket_path(0)); }));
    run_video(0);
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.audio);
        const std::string file = root_ / ("in" + std::to_string(n++) + ".ts");
        const std::string cmd = "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=1280x720:rate=50 "
                                "-f lavfi -i sine=frequency=1000:sample_rate=48000 -t 2 -c:v libx264 -preset ultrafast "
                                "-pix_fmt yuv420p -b:v 500k " + std::string(c.audio) + " -f mpegts " + file;
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        const auto ts = decfeed::read_ts(file);
        ASSERT_FALSE(ts.empty());
        const audio_stream_stats &a = dec().stats[0].audio_streams[0];
        decfeed::feeder feed(ts, {.channel = 0, .bitrate_bps = 4000000, .loop = true});
        feed.start();
        ASSERT_TRUE(saw([&] {
            return a.type == c.type && a.frames_tx > 40 && ancDecAudEmbedPairPosition(0, 0) >= 0;
        }, 60)) << "type " << a.type << " frames " << a.frames_tx;
        EXPECT_TRUE(a.is_active.load());
        if (c.bit_rate) {
            EXPECT_EQ(a.bit_rate.load(), c.bit_rate);
        }
        EXPECT_EQ(dec().stats[0].audio_streams_ct.load(), 1);
        EXPECT_EQ(value("decode/decoders/dec_0/audio_decode_details/audio_streams/aud_st_0/type"), c.type_text);
        // The ring is read while the embedder writes it: on a slow machine a
        // reading may catch it between frames, so wait for a whole tone.
        Tone t{};
        saw([&] {
            t = last_tone();
            return std::abs(t.crossings - 40) <= 6;
        }, 60);
        EXPECT_TRUE(t.sides_equal);
        EXPECT_NEAR(t.peak, c.peak, 0.02);
        EXPECT_NEAR(t.crossings, 40, 6) << "20 ms of 1000 Hz";
        // With audio streams, 100 ms without data rebuilds the path.
        const int resets = dec().stats[0].aud_dec_reset_ct;
        feed.stop();
        ASSERT_TRUE(run_until([&] { return dec().stats[0].aud_dec_reset_ct > resets && a.frames_tx == 0; }));
        drain_queue();
    }
    // E-AC-3 is decoded by FFmpeg but has no slot.
    const std::string file = root_ / "eac3.ts";
    const std::string cmd = "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=1280x720:rate=50 "
                            "-f lavfi -i sine=frequency=1000:sample_rate=48000 -t 1 -c:v libx264 -preset ultrafast "
                            "-pix_fmt yuv420p -b:v 500k -c:a eac3 -f mpegts " + file;
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    decfeed::feeder feed(decfeed::read_ts(file), {.channel = 0, .bitrate_bps = 4000000, .loop = true});
    feed.start();
    ASSERT_TRUE(run_until([&] {
        drain_queue();
        return log_.count("Chn 0 program:audio stream 01:00 eac3 is unsupported (codec_id = ") >= 1;
    }, 30));
    EXPECT_EQ(dec().stats[0].audio_streams_ct.load(), 0);
    EXPECT_FALSE(dec().stats[0].audio_streams[0].is_active.load());
    feed.stop();
    EXPECT_GE(log_.count("info - 720P50 "), 1) << "the video format reached the loop";

    stop_video_ = true;
    video_.join();
    unload();
    EXPECT_EQ(dectest::count_entries("/proc/self/task"), threads) << "every audio thread ended";
}

// The kind of stream the demo's forwarder hands the decoder: MPEG-2 video
// and MP2 audio as ffmpeg multiplexes them, several audio frames to a PES
// (one every 120 to 190 ms), the PAT and PMT once a second (tables are
// repeated by the output's nominal rate, far above what it carries).
std::vector<uint8_t> sparse_audio_stream(const std::filesystem::path &file)
{
    const std::string cmd = "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=1280x720:rate=50 "
                            "-f lavfi -i sine=frequency=1000:sample_rate=48000 -t 4.8 -c:v mpeg2video -b:v 3M "
                            "-maxrate 3M -bufsize 1M -c:a mp2 -b:a 192k -muxrate 4M -pat_period 1 -f mpegts " +
                            file.string();
    if (std::system(cmd.c_str()) != 0)
        return {};
    return decfeed::read_ts(file.string());
}

TEST_F(AudioCard, SparseAudioPesPlaysOnWithoutRebuilds)
{
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs ffmpeg to make the test streams";
    const auto ts = sparse_audio_stream(root_ / "sparse.ts");
    ASSERT_FALSE(ts.empty());
    const auto starts = audio_pes_starts(ts);
    ASSERT_GT(starts.size(), 2u);
    size_t widest = 0;
    for (size_t k = 1; k < starts.size(); ++k)
        widest = std::max(widest, starts[k] - starts[k - 1]);
    ASSERT_GT(double(widest) * 188 * 8 / 4e6, 0.1) << "the fixture has audio PES more than 100 ms apart";
    load();
    ASSERT_TRUE(run_until([&] { return std::filesystem::exists(decfeed::feeder::socket_path(0)); }));
    run_video(0);
    const decoder_stats &st = dec().stats[0];
    const audio_stream_stats &a = st.audio_streams[0];
    // Straight into the pipe at the stream's rate, so that only the writer
    // (whose stalls are measured) could leave the pipe dry.
    PipeFeed feed(dec().audio_decode_feed[0], ts, 4e6, {}, 256);
    decode_audio_signal_reset(0); // the first build
    ASSERT_TRUE(saw([&] { return a.type == AUDIO_CODEC_MPEG1_L2 && a.frames_tx >= 5; }, 30));
    // Two seconds of stream at a time; a stretch in which the writer itself
    // was away for 50 ms or more says nothing and is tried again.
    const uint64_t stretch = uint64_t(2 * 4e6 / (188 * 8));
    int clean = 0;
    for (int attempt = 0; attempt < 10 && clean < 1; ++attempt) {
        const int resets = st.aud_dec_reset_ct, frames = a.frames_tx;
        const uint64_t until = feed.written() + stretch;
        feed.longest_stall_ms();
        ASSERT_TRUE(run_until([&] { return feed.written() >= until; }, 60));
        if (feed.longest_stall_ms() >= 50)
            continue;
        ++clean;
        EXPECT_EQ(st.aud_dec_reset_ct.load(), resets) << "rebuilt while the stream flowed";
        EXPECT_GT(a.frames_tx.load(), frames) << "and went on decoding";
    }
    EXPECT_EQ(clean, 1) << "no stretch without a stall of the writer";
}

TEST_F(AudioCard, ABuildWaitsForThePmtBeforeItClassifiesTheAudio)
{
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs ffmpeg to make the test streams";
    // The PMT held back for longer than FFmpeg probes (5 MB): FFmpeg then
    // takes the streams from their PES headers, without their stream type,
    // and MP2 could not be told from other MPEG audio. The build waits for
    // the PMT and the audio plays as MPEG-1 layer II.
    const auto ts = sparse_audio_stream(root_ / "late_pmt.ts");
    ASSERT_FALSE(ts.empty());
    const unsigned pmt_pid = 0x1000; // ffmpeg's first PMT PID
    std::vector<uint8_t> without = ts;
    size_t removed = 0;
    for (size_t o = 0; o + 188 <= without.size(); o += 188) {
        uint8_t *p = &without[o];
        if ((unsigned(p[1] & 0x1F) << 8 | p[2]) == pmt_pid) {
            p[1] = 0x1F, p[2] = 0xFF; // a null packet keeps the timing
            ++removed;
        }
    }
    ASSERT_GT(removed, 0u);
    std::vector<uint8_t> late;
    while (late.size() < 6'000'000)
        late.insert(late.end(), without.begin(), without.end());
    late.insert(late.end(), ts.begin(), ts.end());
    load();
    ASSERT_TRUE(run_until([&] { return std::filesystem::exists(decfeed::feeder::socket_path(0)); }));
    run_video(0);
    const audio_stream_stats &a = dec().stats[0].audio_streams[0];
    PipeFeed feed(dec().audio_decode_feed[0], late, 40e6, {}, 1024);
    decode_audio_signal_reset(0);
    ASSERT_TRUE(saw([&] { return a.type == AUDIO_CODEC_MPEG1_L2 && a.frames_tx >= 5; }, 60));
    drain_queue();
    EXPECT_EQ(log_.count(" is unsupported"), 0);
}

uint32_t ring_sets(int io = 0)
{
    uint32_t sets = 0;
    ancDecAudEmbedRing(io, &sets);
    return sets;
}

// Left and right of one sample set, upper 16 bits of the ring words.
using StereoS16 = std::pair<int16_t, int16_t>;

// The last `count` sample sets written to a pair, read while its write
// position stays put (empty when the writer moved meanwhile).
std::vector<StereoS16> written_before_position(int io, int pair, int count)
{
    uint32_t sets = 0;
    const int32_t *ring = ancDecAudEmbedRing(io, &sets);
    const int end = ancDecAudEmbedPairPosition(io, pair);
    std::vector<StereoS16> out;
    if (!ring || end < 0 || uint32_t(count) >= sets)
        return out;
    for (int k = 0; k < count; ++k) {
        const uint32_t s = uint32_t(end + int(sets) - count + k) % sets;
        const int32_t l = __atomic_load_n(&ring[s * 16 + 2 * pair], __ATOMIC_RELAXED);
        const int32_t r = __atomic_load_n(&ring[s * 16 + 2 * pair + 1], __ATOMIC_RELAXED);
        out.emplace_back(int16_t(l >> 16), int16_t(r >> 16));
    }
    if (ancDecAudEmbedPairPosition(io, pair) != end)
        out.clear();
    for (int k = 0; k < count && !out.empty(); ++k) {
        const uint32_t s = uint32_t(end + int(sets) - count + k) % sets;
        if (int16_t(__atomic_load_n(&ring[s * 16 + 2 * pair], __ATOMIC_RELAXED) >> 16) != out[size_t(k)].first ||
            int16_t(__atomic_load_n(&ring[s * 16 + 2 * pair + 1], __ATOMIC_RELAXED) >> 16) != out[size_t(k)].second)
            out.clear();
    }
    return out;
}

// Where `got` sits in the interleaved s16 reference, every sample within
// `tolerance`; -1 when nowhere. `worst` gets the fewest mismatches seen.
long find_in(const std::vector<uint8_t> &ref_bytes, const std::vector<StereoS16> &got, int tolerance, size_t &worst)
{
    const auto *ref = reinterpret_cast<const int16_t *>(ref_bytes.data());
    const size_t frames = ref_bytes.size() / 4;
    worst = got.size();
    if (got.empty() || frames < got.size())
        return -1;
    for (size_t o = 0; o + got.size() <= frames; ++o) {
        size_t bad = 0;
        for (size_t k = 0; k < got.size() && bad < worst; ++k)
            bad += std::abs(ref[2 * (o + k)] - got[k].first) > tolerance ||
                   std::abs(ref[2 * (o + k) + 1] - got[k].second) > tolerance;
        worst = std::min(worst, bad);
        if (!bad)
            return long(o);
    }
    return -1;
}

// An FFmpeg-made stream: 50 Hz H.264 video (a key frame every 0.5 s) and
// `streams` audio streams of two different noise channels each (a swapped,
// shifted, repeated or dropped sample shows, and no two streams sound
// alike), encoded with `audio` (ffmpeg's audio options).
std::vector<uint8_t> noise_stream(const std::filesystem::path &file, const std::string &audio, int streams)
{
    std::string inputs, merges, maps;
    for (int i = 0; i < streams; ++i) {
        for (int side = 0; side < 2; ++side)
            inputs += "-f lavfi -i anoisesrc=r=48000:a=0.3:seed=" + std::to_string(11 + 12 * (2 * i + side)) + " ";
        merges += (i ? ";[" : "[") + std::to_string(2 * i + 1) + ":a][" + std::to_string(2 * i + 2) +
                  ":a]amerge=inputs=2[a" + std::to_string(i) + "]";
        maps += " -map \"[a" + std::to_string(i) + "]\"";
    }
    const std::string cmd = "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=1280x720:rate=50 " +
                            inputs + "-filter_complex \"" + merges + "\" -map 0:v" + maps +
                            " -t 2 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -b:v 500k -g 25 " + audio +
                            " -f mpegts " + file.string();
    if (std::system(cmd.c_str()) != 0)
        return {};
    return decfeed::read_ts(file.string());
}

// FFmpeg's own decode of the file's first audio stream as interleaved
// stereo s16; `input` are decoder options. Mono plays the same sample on
// both sides (-ac 2 would lower each side by 3 dB).
std::vector<uint8_t> reference_pcm(const std::filesystem::path &file, bool mono, const std::string &input = "",
                                   int stream = 0)
{
    std::vector<uint8_t> ref = output_of("ffmpeg -hide_banner -loglevel error " + input + " -i " + file.string() +
                                         " -map 0:a:" + std::to_string(stream) + " -f s16le -ac " +
                                         (mono ? "1" : "2") + " -ar 48000 -");
    if (mono) {
        std::vector<uint8_t> both;
        for (size_t k = 0; k + 1 < ref.size(); k += 2)
            both.insert(both.end(), {ref[k], ref[k + 1], ref[k], ref[k + 1]});
        ref = std::move(both);
    }
    return ref;
}

// Sets the version of every PMT section of an FFmpeg-made stream (one
// section in one packet, PMT PID from the PAT) and renews its CRC.
void set_pmt_version(std::vector<uint8_t> &ts, uint8_t version)
{
    auto pid_of = [](const uint8_t *p) { return unsigned(p[1] & 0x1F) << 8 | p[2]; };
    unsigned pmt_pid = 0x2000;
    for (size_t o = 0; o + 188 <= ts.size() && pmt_pid == 0x2000; o += 188) {
        const uint8_t *p = &ts[o];
        if (pid_of(p) == 0 && (p[1] & 0x40)) {
            const uint8_t *sec = p + 5 + p[4];
            pmt_pid = unsigned(sec[10] & 0x1F) << 8 | sec[11]; // the first program's PMT PID
        }
    }
    for (size_t o = 0; o + 188 <= ts.size(); o += 188) {
        uint8_t *p = &ts[o];
        if (pid_of(p) != pmt_pid || !(p[1] & 0x40) || (p[3] & 0x20))
            continue;
        uint8_t *sec = p + 5 + p[4];
        const size_t len = 3 + (size_t(sec[1] & 0x0F) << 8 | sec[2]);
        std::vector<uint8_t> v(sec, sec + len);
        v[5] = uint8_t((v[5] & 0xC1) | (version & 0x1F) << 1);
        tsb::recrc(v);
        std::memcpy(sec, v.data(), len);
    }
}

::testing::AssertionResult AudioCard::plays_in_a_row(const std::vector<uint8_t> &ref, int tolerance,
                                                     const std::function<bool()> &ready, int io, int pair)
{
    const int count = int(ring_sets(io)) - 64; // all but 64 of the ring's sets
    if (count <= 512)
        return ::testing::AssertionFailure() << "ring of " << ring_sets(io) << " sets";
    size_t worst = 0;
    long at = -1;
    const bool found = run_until([&] {
        if (at >= 0) // asked once more after the loop ends
            return true;
        if (!ready())
            return false;
        at = find_in(ref, written_before_position(io, pair, count), tolerance, worst);
        return at >= 0;
    }, 30);
    if (found)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "fewest samples differing: " << worst << " of " << count << "; pair at "
                                         << ancDecAudEmbedPairPosition(io, pair);
}

TEST_F(AudioCard, EmbeddedPcmEqualsFfmpegsDecodeSampleForSample)
{
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs ffmpeg to make the test streams";
    struct Case {
        const char *audio; // ffmpeg's audio options
        bool mono;
        const char *reference; // ffmpeg's decoder options for the reference
    } cases[] = {
        // FFmpeg's command line decodes MP2 to float here too (ffprobe: fltp),
        // so every source may round differently by 1.
        {"-c:a mp2 -b:a 192k -ac 2", false, ""},
        {"-c:a mp2 -b:a 96k -ac 1", true, ""},
        // The AAC decoder fills noise-substituted bands from a generator
        // that runs from its opening, and a decoder that starts inside the
        // stream cannot match one that started at its beginning: the
        // encoder is told not to substitute noise.
        {"-c:a aac -aac_pns 0 -b:a 128k -ac 2", false, ""},
        // The AC-3 decoders seed their dither from each frame.
        {"-c:a ac3 -b:a 192k -ac 2", false, "-cons_noisegen 1"},
    };
    load();
    ASSERT_TRUE(run_until([&] { return std::filesystem::exists(decfeed::feeder::socket_path(0)); }));
    run_video(0);
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.audio);
        const std::filesystem::path file = root_ / ("pcm" + std::to_string(n++) + ".ts");
        const auto ts = noise_stream(file, c.audio);
        ASSERT_FALSE(ts.empty());
        const std::vector<uint8_t> ref = reference_pcm(file, c.mono, c.reference);
        ASSERT_GT(ref.size(), 48000u * 4);
        const audio_stream_stats &a = dec().stats[0].audio_streams[0];
        decfeed::feeder feed(ts, {.channel = 0, .bitrate_bps = 4000000, .loop = true});
        feed.start();
        EXPECT_TRUE(plays_in_a_row(ref, 1, [&] { return a.frames_tx >= 20; }));
        const int resets = dec().stats[0].aud_dec_reset_ct;
        feed.stop();
        ASSERT_TRUE(run_until([&] { return dec().stats[0].aud_dec_reset_ct > resets && a.frames_tx == 0; }));
        drain_queue();
    }
    stop_video_ = true;
    video_.join();
    unload();
}

TEST_F(AudioCard, EachStreamOfTheSecondChannelPlaysOnItsOwnPairOfThatChannelsEmbedder)
{
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs ffmpeg to make the test streams";
    const std::filesystem::path file = root_ / "two.ts";
    const auto ts = noise_stream(file, "-c:a mp2 -b:a 192k -ac 2", 2);
    ASSERT_FALSE(ts.empty());
    load();
    ASSERT_TRUE(run_until([&] { return std::filesystem::exists(decfeed::feeder::socket_path(1)); }));
    run_video(1);
    decfeed::feeder feed(ts, {.channel = 1, .bitrate_bps = 4000000, .loop = true});
    feed.start();
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE("stream " + std::to_string(i));
        const audio_stream_stats &a = dec().stats[1].audio_streams[i];
        EXPECT_TRUE(plays_in_a_row(reference_pcm(file, false, "", i), 1, [&] { return a.frames_tx >= 20; }, 2, i));
    }
}

TEST_F(AudioCard, TheBoardPlaysFfmpegsDecode)
{
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs ffmpeg to make the test streams";
    // The feed holds after a frame of an MP2 noise stream: the board goes
    // on playing the still ring at 48 kHz, a ring a pass, and what it plays
    // is FFmpeg's decode. A stretch of 256 sets is found in the decode
    // unless it spans the write position (one in four at the most).
    const std::filesystem::path file = root_ / "played.ts";
    const auto ts = noise_stream(file, "-c:a mp2 -b:a 192k -ac 2");
    ASSERT_FALSE(ts.empty());
    const std::vector<uint8_t> ref = reference_pcm(file, false);
    board_->play_embedders(true, 4096);
    load();
    ASSERT_TRUE(run_until([&] { return std::filesystem::exists(decfeed::feeder::socket_path(0)); }));
    run_video(0);
    const audio_stream_stats &a = dec().stats[0].audio_streams[0];
    PipeFeed feed(dec().audio_decode_feed[0], ts, 1200000, audio_pes_starts(ts));
    decode_audio_signal_reset(0); // the first build
    ASSERT_TRUE(saw([&] { return a.frames_tx >= 5 && ancDecAudEmbedPairPosition(0, 0) >= 0; }, 60));
    feed.hold_at_next();
    ASSERT_TRUE(saw([&] { return feed.held(); }, 60));
    const uint32_t sets = ring_sets();
    // Two passes played while no frame was written (the frames fed before
    // the hold may still be on their way at first).
    const size_t words = size_t(16 * 2 * sets);
    std::vector<int32_t> played;
    bool still = false;
    for (int attempt = 0; attempt < 20 && !still; ++attempt) {
        const int frames = a.frames_tx, at = ancDecAudEmbedPairPosition(0, 0);
        board_->played(0);
        played.clear();
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (played.size() < words && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const auto more = board_->played(0);
            played.insert(played.end(), more.begin(), more.end());
        }
        still = played.size() >= words && a.frames_tx == frames && ancDecAudEmbedPairPosition(0, 0) == at;
    }
    ASSERT_TRUE(still);
    int found = 0;
    for (uint32_t w = 0; w < 4; ++w) {
        std::vector<StereoS16> got;
        for (uint32_t k = 0; k < sets / 4; ++k) {
            const int32_t *set = &played[size_t(sets + w * sets / 4 + k) * 16];
            got.emplace_back(int16_t(set[0] >> 16), int16_t(set[1] >> 16));
        }
        size_t worst = 0;
        found += find_in(ref, got, 1, worst) >= 0;
    }
    EXPECT_GE(found, 3);
}

TEST_F(AudioCard, APmtVersionChangeRestartsTheDecodersWithTheNewStream)
{
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs ffmpeg to make the test streams";
    // MP2 with PMT version 0, then without a pause AC-3 on the same PIDs with
    // version 1, and over again: each change rebuilds the path, and AC-3
    // after MP2 plays what FFmpeg decodes.
    const auto mp2 = noise_stream(root_ / "mp2.ts", "-c:a mp2 -b:a 192k -ac 2");
    auto ac3 = noise_stream(root_ / "ac3.ts", "-c:a ac3 -b:a 192k -ac 2");
    ASSERT_FALSE(mp2.empty());
    ASSERT_FALSE(ac3.empty());
    const std::vector<uint8_t> ref = reference_pcm(root_ / "ac3.ts", false, "-cons_noisegen 1");
    set_pmt_version(ac3, 1);
    std::vector<uint8_t> both = mp2;
    both.insert(both.end(), ac3.begin(), ac3.end());
    load();
    ASSERT_TRUE(run_until([&] { return std::filesystem::exists(decfeed::feeder::socket_path(0)); }));
    run_video(0);
    const audio_stream_stats &a = dec().stats[0].audio_streams[0];
    // About twice real time: a half lasts long enough for the analysis.
    decfeed::feeder feed(both, {.channel = 0, .bitrate_bps = 1200000, .loop = true});
    feed.start();
    ASSERT_TRUE(saw([&] { return a.type == AUDIO_CODEC_MPEG1_L2 && a.frames_tx > 5; }, 60));
    const int resets = dec().stats[0].aud_dec_reset_ct;
    ASSERT_TRUE(saw([&] { return a.type == AUDIO_CODEC_AC3_81; }, 60));
    EXPECT_GT(dec().stats[0].aud_dec_reset_ct.load(), resets);
    EXPECT_TRUE(plays_in_a_row(ref, 1, [&] { return a.type == AUDIO_CODEC_AC3_81 && a.frames_tx >= 5; }));
    ASSERT_TRUE(saw([&] { return a.type == AUDIO_CODEC_MPEG1_L2; }, 60)) << "and back";
    feed.stop();
    stop_video_ = true;
    video_.join();
    unload();
}

TEST_F(AudioCard, TheDemultiplexerRebuildsOnAPmtVersionItSeesItself)
{
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs ffmpeg to make the test streams";
    // The same MP2 / AC-3 stream, written straight into the audio pipe: the
    // ingress, which otherwise asks for the rebuild on the program change,
    // sees nothing, and only the demultiplexer notices the new version.
    const auto mp2 = noise_stream(root_ / "mp2.ts", "-c:a mp2 -b:a 192k -ac 2");
    auto ac3 = noise_stream(root_ / "ac3.ts", "-c:a ac3 -b:a 192k -ac 2");
    ASSERT_FALSE(mp2.empty());
    ASSERT_FALSE(ac3.empty());
    set_pmt_version(ac3, 1);
    std::vector<uint8_t> both = mp2;
    both.insert(both.end(), ac3.begin(), ac3.end());
    load();
    ASSERT_TRUE(run_until([&] { return std::filesystem::exists(decfeed::feeder::socket_path(0)); }));
    kd_pipe_t *pipe = dec().audio_decode_feed[0];
    ASSERT_NE(pipe, nullptr);
    const audio_stream_stats &a = dec().stats[0].audio_streams[0];
    {
        // About twice real time: a half lasts long enough for the analysis.
        PipeFeed feed(pipe, both, 1200000);
        decode_audio_signal_reset(0); // the first build
        EXPECT_TRUE(saw([&] { return a.type == AUDIO_CODEC_MPEG1_L2 && a.frames_tx > 5; }, 60));
        EXPECT_TRUE(saw([&] { return a.type == AUDIO_CODEC_AC3_81 && a.frames_tx > 5; }, 60));
    }
    drain_queue();
    EXPECT_GE(log_.count("[decode] Chn 0, PMT version changed"), 1);
    EXPECT_EQ(log_.count("Chn 0 clear local TS buffers"), 0) << "the ingress asked for nothing";
    unload();
}

TEST_F(AudioCard, BurstsLandWhereTheirTimeStampsMapAndReanchorWhenTheVideoRateChanges)
{
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs ffmpeg to make the test streams";
    // Four MP2 frames of silence and four of tone in turn (9216 samples, a
    // whole number of frames and of rings), from 0.06 s on. In FFmpeg's
    // decode (with the codec's delay) the first burst starts at sample j,
    // whose time stamp is its frame's plus j mod 1152 samples; every burst
    // starts at the same place in its frame and maps to the same ring
    // position. j falls in the last 960 samples of its frame, which the
    // ring keeps after the write. One frame a PES: the feed holds after
    // the start of the PES that follows a frame with an onset, so that
    // frame is the last one written while the ring is looked at, and
    // every frame fed before it has been counted.
    const std::filesystem::path file = root_ / "burst.ts";
    ASSERT_EQ(std::system(("ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=640x360:rate=50 -f lavfi "
                           "-i \"aevalsrc='if(gte(t,0.06-1/96000)*lt(mod(t-0.06+1/96000,0.192),0.096),"
                           "0.5*cos(2*PI*1000*t),0)':s=48000:d=4\" -t 4 -c:v libx264 -preset ultrafast -pix_fmt yuv420p "
                           "-b:v 500k -g 25 -c:a mp2 -b:a 192k -ac 2 -pes_payload_size 0 -f mpegts " + file.string())
                              .c_str()), 0);
    const std::vector<uint8_t> ref_bytes = reference_pcm(file, false);
    const auto *ref = reinterpret_cast<const int16_t *>(ref_bytes.data());
    constexpr int kLoud = 8192;
    size_t j = 0;
    while (j < ref_bytes.size() / 4 && std::abs(ref[2 * j]) <= kLoud)
        ++j;
    ASSERT_LT(j, ref_bytes.size() / 4);
    ASSERT_GE(j % 1152, 300u) << j;
    const auto first = output_of("ffprobe -v error -select_streams a:0 -show_entries packet=pts -of csv=p=0 "
                                 "-read_intervals %+#1 " + file.string());
    const int64_t p0 = std::atoll(std::string(first.begin(), first.end()).c_str());
    ASSERT_GT(p0, 0);
    const int64_t frame_pts = p0 + int64_t(j / 1152) * 2160;
    // Where the feed may hold: after the start of the PES that follows an
    // onset, the first burst of each pass left out (the pair anchors at
    // the third frame after the stream loops).
    const std::vector<uint8_t> ts = decfeed::read_ts(file.string());
    const std::vector<size_t> pes = audio_pes_starts(ts);
    std::vector<size_t> stops;
    for (size_t f = j / 1152 + 8; f + 1 < pes.size(); f += 8)
        stops.push_back(pes[f + 1]);
    ASSERT_GE(stops.size(), 4u);
    const auto counted = output_of("ffprobe -v error -select_streams a:0 -count_frames -show_entries "
                                   "stream=nb_read_frames -of csv=p=0 " + file.string());
    const size_t frames = size_t(std::atoll(std::string(counted.begin(), counted.end()).c_str()));
    ASSERT_EQ(frames, pes.size()) << "one frame a PES";

    load();
    ASSERT_TRUE(run_until([&] { return std::filesystem::exists(decfeed::feeder::socket_path(0)); }));
    // The chip reports the stream's pictures from their first time stamp on,
    // at 59.94 Hz (1501 and 1502 ticks in turn), after a decoding delay.
    const auto video = output_of("ffprobe -v error -select_streams v:0 -show_entries packet=pts -of csv=p=0 "
                                 "-read_intervals %+#1 " + file.string());
    m30sim::GeneratorConfig g;
    g.start_pts = uint64_t(std::atoll(std::string(video.begin(), video.end()).c_str()));
    g.decode_delay = 3;
    g.frame_period_us = 16683;
    g.pcr = g.audio_info = g.vsync = false;
    ASSERT_GT(g.start_pts, 0u);
    m30_channel_set_vid_std(m30_ctx(), 0, M30_VIDSTD_1080I5994);
    ASSERT_EQ(m30_channel_start(m30_ctx(), 0), 0);
    chip_.start_generator(g);
    kd_pipe_t *pipe = dec().audio_decode_feed[0];
    ASSERT_NE(pipe, nullptr);
    PipeFeed feed(pipe, ts, 1600000, stops);
    decode_audio_signal_reset(0); // the first build
    const audio_stream_stats &a = dec().stats[0].audio_streams[0];
    // The last frame fed: the one before the stop the feed holds at.
    auto frame_held = [&] { return size_t(std::lower_bound(pes.begin(), pes.end(), feed.held_at()) - pes.begin()) - 1; };
    uint32_t sets = 0;
    ancDecAudEmbedRing(0, &sets);
    const int count = int(sets) - 64;
    // Where an onset sits in the ring, and where its time stamp maps to by
    // the video anchor of the moment (-1 when the ring does not show one).
    std::string why; // the last reason no onset was taken
    auto landed = [&](int &want) {
        uint64_t vpts = 0, again = 0;
        uint32_t vss = 0;
        if (ancDecAudEmbedVideoAnchor(0, &vpts, &vss) != 0)
            return why = "no video anchor", -1;
        const int end = ancDecAudEmbedPairPosition(0, 0);
        const auto got = written_before_position(0, 0, count);
        if (got.empty() || end < 0)
            return why = "the pair has no position", -1;
        size_t k = 0;
        while (k < got.size() && std::abs(got[k].first) <= kLoud)
            ++k;
        if (k < 100 || k == got.size())
            return why = "no onset after a quiet stretch (at " + std::to_string(k) + ")", -1;
        if (ancDecAudEmbedVideoAnchor(0, &again, nullptr) != 0 || again != vpts)
            return why = "the video anchored anew meanwhile", -1;
        const int64_t n = sets;
        want = int(((int64_t(vss) + (frame_pts - int64_t(vpts)) * 24 / 45 + int64_t(j % 1152)) % n + n) % n);
        return int((end + int(sets) - count + int(k)) % int(sets));
    };
    // The feed holds after the next onset; its frame shows in the ring once
    // the demultiplexer has read the feed up to there. `ready` says when
    // the ring shows only frames written since the anchor.
    // Without real-time threads a loaded machine can leave the video time
    // stamp thread behind the chip's reports: the video then anchors anew
    // and the pair with the next frame, which a held feed never sends. Such
    // a try is given up and the feed goes on to the next onset.
    auto lands_in_step = [&](const std::function<bool()> &ready) {
        int at = -1, want = -1;
        bool seen = false;
        for (int attempt = 0; attempt < 6 && !seen; ++attempt) {
            feed.hold_at_next();
            std::optional<uint64_t> held_anchor; // the video anchor when the feed held
            bool spoiled = false;
            seen = saw([&] {
                if (!feed.held())
                    return false;
                uint64_t vpts = 0;
                const bool anchored = ancDecAudEmbedVideoAnchor(0, &vpts, nullptr) == 0;
                if (!held_anchor)
                    held_anchor = vpts;
                if (!anchored || vpts != *held_anchor || ancDecAudEmbedPairPosition(0, 0) < 0) {
                    spoiled = true;
                    return true;
                }
                return ready() && (at = landed(want)) >= 0;
            }, 30) && !spoiled;
        }
        if (!seen)
            return ::testing::AssertionFailure() << "no onset was seen in the ring: " << why << (feed.held() ? "" : ", the feed never held");
        const int off = (at - want + int(sets) + int(sets) / 2) % int(sets) - int(sets) / 2;
        if (std::abs(off) > 1)
            return ::testing::AssertionFailure() << "onset at " << at << ", its time stamp maps to " << want;
        return ::testing::AssertionSuccess();
    };
    // The pair anchors once the video has.
    ASSERT_TRUE(saw([&] {
        return ancDecAudEmbedVideoAnchor(0, nullptr, nullptr) == 0 && ancDecAudEmbedPairPosition(0, 0) >= 0;
    }, 60));
    EXPECT_TRUE(lands_in_step([] { return true; })) << "59.94 Hz";
    const size_t held_5994 = frame_held();
    const int frames_5994 = a.frames_tx;
    uint64_t anchor_5994 = 0;
    ancDecAudEmbedVideoAnchor(0, &anchor_5994, nullptr);
    // 50 Hz video while the feed holds: the queues restart, the video
    // anchors anew, and the pair follows the new anchor at its next frame.
    g.frame_period_us = 20000;
    chip_.start_generator(g);
    ASSERT_TRUE(run_until([&] {
        uint64_t vpts = 0;
        uint32_t vss = 0;
        return ancDecAudEmbedVideoAnchor(0, &vpts, &vss) == 0 && vss == 3840 % sets && vpts != anchor_5994;
    }, 60));
    // The first frame after the anchor anchors the pair before it is
    // written over the ring: two frames decoded, the first is written.
    const int since = a.frames_tx;
    EXPECT_TRUE(lands_in_step([&] { return a.frames_tx >= since + 2; })) << "50 Hz";
    // Every frame fed meanwhile (as ffprobe counts them) counted once.
    EXPECT_EQ(size_t(a.frames_tx - frames_5994), (frame_held() + frames - held_5994) % frames);
}

TEST_F(AudioCard, FailedSubmissionsLogOnceInForty)
{
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs ffmpeg to make the test streams";
    // AAC frames whose contents after the ADTS header are noise, but every
    // fourth: the decoder refuses nearly all of those (70 of the 95
    // frames are refused, 24 decoded).
    const std::filesystem::path aac = root_ / "a.aac", ts_file = root_ / "bad.ts";
    ASSERT_EQ(std::system(("ffmpeg -hide_banner -loglevel error -y -f lavfi -i anoisesrc=r=48000:a=0.3:seed=11 -t 2 "
                           "-c:a aac -b:a 128k -ac 2 -f adts " + aac.string()).c_str()), 0);
    std::vector<uint8_t> es;
    {
        std::ifstream in(aac, std::ios::binary);
        es.assign(std::istreambuf_iterator<char>(in), {});
    }
    std::mt19937 noise(5);
    unsigned frames = 0;
    for (size_t o = 0; o + 7 <= es.size(); ++frames) {
        ASSERT_EQ(es[o], 0xFF) << "ADTS header at " << o;
        const size_t len = size_t(es[o + 3] & 3) << 11 | size_t(es[o + 4]) << 3 | es[o + 5] >> 5;
        ASSERT_GT(len, 7u);
        for (size_t i = o + 7; frames % 4 && i < o + len && i < es.size(); ++i)
            es[i] = uint8_t(noise());
        o += len;
    }
    {
        std::ofstream out(aac, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(es.data()), std::streamsize(es.size()));
    }
    ASSERT_EQ(std::system(("ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=1280x720:rate=50 -i " +
                           aac.string() + " -map 0:v -map 1:a -t 2 -c:v libx264 -preset ultrafast -pix_fmt yuv420p "
                           "-b:v 500k -g 25 -c:a copy -f mpegts " + ts_file.string()).c_str()), 0);
    load();
    ASSERT_TRUE(run_until([&] { return std::filesystem::exists(decfeed::feeder::socket_path(0)); }));
    const audio_stream_stats &a = dec().stats[0].audio_streams[0];
    decfeed::feeder feed(decfeed::read_ts(ts_file.string()), {.channel = 0, .bitrate_bps = 4000000, .loop = true});
    feed.start();
    const std::string line = "Chn:As:Ps 0:0:1 audio thread ERROR, avcodec_send_packet(";
    ASSERT_TRUE(run_until([&] {
        drain_queue();
        return log_.count(line) >= 2;
    }, 60));
    // About three refusals a decoded frame, a line for each 40 of them.
    const int decoded = a.frames_tx;
    drain_queue();
    EXPECT_LE(log_.count(line), decoded / 10 + 1) << decoded << " frames decoded";
    EXPECT_EQ(a.type.load(), AUDIO_CODEC_AAC_LC);
    feed.stop();
    unload();
}

TEST_F(AudioCard, AnAudioThreadThatDoesNotEndInTimeDefersTheUnload)
{
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs ffmpeg to make the test streams";
    const StuckDebugStream debug(root_.path());
    ASSERT_TRUE(debug.opened());
    run_until([] { return true; });
    const int threads = dectest::count_entries("/proc/self/task");
    ASSERT_NO_FATAL_FAILURE(stick_demultiplexer(0, debug));
    kd_frame_unload_plugin("decode");
    EXPECT_EQ(log_.count("[decode] Audio threads did not stop in time, stopping again later"), 1);
    EXPECT_EQ(log_.count("[decode] Stopped"), 0);
    EXPECT_NE(param("decode/channel_mode"), nullptr) << "nothing the threads may use is gone";
    EXPECT_TRUE(decode_audio_running(0));
    EXPECT_EQ(decode_audio_ctor(0), -1) << "no second thread for the channel";
    // Read, the stream lets the thread go on; a later idle pass finishes.
    EXPECT_TRUE(run_until([&] {
        debug.drain();
        return param("decode/channel_mode") == nullptr;
    }, 60));
    loaded_ = false;
    EXPECT_EQ(log_.count("[decode] Stopped"), 1);
    EXPECT_FALSE(decode_audio_running(0));
    EXPECT_EQ(dectest::count_entries("/proc/self/task"), threads) << "every audio thread ended";
}

TEST_F(AudioCard, ChannelModeIsKeptWhileChannelTwosAudioThreadOutlivesItsLimit)
{
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs ffmpeg to make the test streams";
    const StuckDebugStream debug(root_.path());
    ASSERT_TRUE(debug.opened());
    ASSERT_NO_FATAL_FAILURE(stick_demultiplexer(1, debug));
    ASSERT_EQ(value("decode/channel_mode"), "MULTI");
    // Single channel stops channel 2's audio; its thread does not end in time.
    EXPECT_EQ(set("decode/channel_mode", "SINGLE"), PARAM_SET_FAILURE);
    EXPECT_EQ(log_.count("Decoder channel 2 audio threads still running, channel mode not changed"), 1);
    EXPECT_EQ(value("decode/channel_mode"), "MULTI");
    EXPECT_EQ(decode_parameters_get_num_chns(), 2);
    // Once the thread goes on and ends, the change is taken.
    EXPECT_TRUE(run_until([&] {
        debug.drain();
        return set("decode/channel_mode", "SINGLE") == PARAM_SET_SUCCESS;
    }, 60));
    EXPECT_EQ(value("decode/channel_mode"), "SINGLE");
    EXPECT_FALSE(decode_audio_running(1));
}

TEST_F(AudioCard, OtherSampleFormatsAreConvertedToTheirUpperSixteenBits)
{
    // Frames as a decoder of another sample format would hand them on,
    // written to index 1 of channel 0 (pair 1 of embedder 0 in the start-up
    // map) once video and audio time stamps have anchored it. Each sample
    // is an S16 value and half a step more, which the conversion through
    // float keeps: the ring's upper 16 bits are the S16 value exactly.
    load();
    ASSERT_TRUE(run_until([&] { return std::filesystem::exists(decfeed::feeder::socket_path(0)); }));
    constexpr int kIdx = 1, kPair = 1, kCount = 480;
    for (uint64_t k = 1; k <= 12; ++k)
        ancDecAudEmbedChnPts(0, 90000 + 1800 * k);
    for (uint64_t k = 1; k <= 3; ++k)
        ancDecAudEmbedChnIdxPts(0, kIdx, 90000 + 1920 * k);
    ASSERT_GE(ancDecAudEmbedPairPosition(0, kPair), 0) << "anchored";
    auto s16 = [](int side, int k) { return int16_t(side ? 32767 - 131 * k : -32768 + 97 * k); };
    struct Case {
        const char *what;
        AVSampleFormat format;
        int channels;
    } cases[] = {{"S32 planar stereo", AV_SAMPLE_FMT_S32P, 2}, {"double packed mono", AV_SAMPLE_FMT_DBL, 1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        AVFrame *f = av_frame_alloc();
        ASSERT_NE(f, nullptr);
        f->format = c.format;
        av_channel_layout_default(&f->ch_layout, c.channels);
        f->sample_rate = 48000;
        f->nb_samples = kCount;
        ASSERT_EQ(av_frame_get_buffer(f, 0), 0);
        for (int k = 0; k < kCount; ++k)
            for (int side = 0; side < c.channels; ++side) {
                if (c.format == AV_SAMPLE_FMT_S32P)
                    reinterpret_cast<int32_t *>(f->data[side])[k] = int32_t(uint32_t(uint16_t(s16(side, k))) << 16 | 0x8000);
                else
                    reinterpret_cast<double *>(f->data[0])[k * c.channels + side] = (s16(side, k) + 0.5) / 32768.0;
            }
        const int at = ancDecAudEmbedPairPosition(0, kPair);
        EXPECT_EQ(decode_audio_embed_frame(0, kIdx, f), 0);
        av_frame_free(&f);
        uint32_t sets = 0;
        const int32_t *ring = ancDecAudEmbedRing(0, &sets);
        ASSERT_NE(ring, nullptr);
        EXPECT_EQ(ancDecAudEmbedPairPosition(0, kPair), int((at + kCount) % sets));
        int wrong = 0;
        for (int k = 0; k < kCount; ++k) {
            const int32_t *set = ring + size_t((at + k) % sets) * 16;
            const int16_t l = int16_t(set[2 * kPair] >> 16), r = int16_t(set[2 * kPair + 1] >> 16);
            if ((l != s16(0, k) || r != s16(c.channels - 1, k)) && ++wrong == 1)
                ADD_FAILURE() << "sample " << k << ": " << l << " " << r << ", want " << s16(0, k) << " "
                              << s16(c.channels - 1, k);
        }
        EXPECT_EQ(wrong, 0);
    }
}

TEST_F(AudioCard, StopsAtAnyMomentAndLeavesNoThread)
{
    run_until([] { return true; });
    const int threads = dectest::count_entries("/proc/self/task");
    load();
    ASSERT_TRUE(run_until([&] { return std::filesystem::exists(decfeed::feeder::socket_path(0)); }));
    // Idle, building (waiting for data in the analysis), in the rebuild pause.
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(decode_audio_dtor(0), 0) << i;
        EXPECT_FALSE(decode_audio_running(0));
        ASSERT_EQ(decode_audio_ctor(0), 0) << i;
        EXPECT_EQ(decode_audio_ctor(0), 0) << "no second thread";
        if (i % 2)
            decode_audio_signal_reset(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(i % 5 * 30));
    }
    // With a stream flowing: inside the stream analysis, in the rebuild
    // pause, and decoding with the pipe full. The path is stopped at the
    // moment the loop sees it; a moment that went by unseen is sought in
    // the next rebuild.
    const auto ts = noise_stream(root_ / "mp2.ts", "-c:a mp2 -b:a 192k -ac 2");
    if (!ts.empty()) {
        kd_pipe_t *pipe = dec().audio_decode_feed[0];
        ASSERT_NE(pipe, nullptr);
        const decoder_stats &st = dec().stats[0];
        const audio_stream_stats &a = st.audio_streams[0];
        const unsigned full = kd_pipe_entries(pipe) - 1;
        int resets = 0;
        struct Moment {
            const char *what;
            double bps;
            unsigned backlog;
            std::function<bool()> reached;
        } moments[] = {
            {"inside the analysis", 600000, 64,
             [&] { return st.aud_dec_reset_ct > resets && decode_audio_is_reading_feed(0) && a.type == AUDIO_CODEC_NONE; }},
            {"in the rebuild pause", 600000, 64,
             [&] { return st.aud_dec_reset_ct > resets && !decode_audio_is_reading_feed(0); }},
            {"decoding with the pipe full", 1e12, full,
             [&] { return a.frames_tx > 5 && kd_pipe_level(pipe) >= full - 10; }},
        };
        for (const Moment &m : moments) {
            SCOPED_TRACE(m.what);
            PipeFeed feed(pipe, ts, m.bps, {}, m.backlog);
            int rc = 1;
            for (int attempt = 0; attempt < 10 && rc == 1; ++attempt) {
                resets = st.aud_dec_reset_ct;
                decode_audio_signal_reset(0);
                saw([&] {
                    if (rc == 1 && m.reached())
                        rc = decode_audio_dtor(0);
                    return rc != 1;
                }, 10);
            }
            EXPECT_EQ(rc, 0) << "every thread ended within its limit";
            EXPECT_FALSE(decode_audio_running(0));
            ASSERT_EQ(decode_audio_ctor(0), 0);
        }
    }
    unload();
    EXPECT_EQ(dectest::count_entries("/proc/self/task"), threads);
}

} // namespace
