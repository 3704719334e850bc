// The video format of ffmpeg-made streams as the card applies it: each
// stream goes through the ingress into the audio path's demultiplexer,
// whose analysis posts the video record the loop turns into the chip
// channel's video standard.
#include "dec_harness.h"
#include "decfeed.h"
#include "ffmpeg_tool.h"

#include <cstdlib>
#include <string>

namespace {

class VideoFormatCard : public dectest::DecodeCard {
protected:
    void SetUp() override
    {
        DecodeCard::SetUp();
        g_decode_clock_settle = std::chrono::milliseconds(0);
    }
    void TearDown() override
    {
        g_decode_clock_settle = std::chrono::milliseconds(600);
        DecodeCard::TearDown();
    }
};

const char *name_of(m30_vidstd s)
{
    return s >= 0 && s < M30_VIDSTD_END && m30_vidstd_strings[s] ? m30_vidstd_strings[s] : "?";
}

// The list of encoders this ffmpeg has, a line each: " V....D libx264   description".
std::string encoder_list()
{
    const auto out = dectest::output_of("ffmpeg -hide_banner -encoders 2>/dev/null");
    return std::string(out.begin(), out.end());
}

// What ffprobe reports of a file's video.
std::string ffmpeg_view(const std::string &file)
{
    const auto out = dectest::output_of("ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,width,"
                                        "height,field_order,r_frame_rate,avg_frame_rate -of compact=p=0 " + file);
    return std::string(out.begin(), out.end());
}

TEST_F(VideoFormatCard, FfmpegMadeStreamsLeadToTheirStandards)
{
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs ffmpeg to make the test streams";
    // A second of each, a key frame every 25 pictures.
    struct Case {
        const char *what, *encoder;
        const char *source, *video; // ffmpeg's test source and video options
        m30_vidstd want;
    } cases[] = {
        {"1080i29.97 H.264", "libx264",
         "size=1920x1080:rate=30000/1001",
         "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -b:v 500k -g 25 -flags +ildct+ilme -x264-params tff=1",
         M30_VIDSTD_1080I5994},
        {"1080i29.97 MPEG-2", "mpeg2video",
         "size=1920x1080:rate=30000/1001",
         "-c:v mpeg2video -pix_fmt yuv420p -b:v 1M -g 25 -flags +ildct+ilme -top 1",
         M30_VIDSTD_1080I5994},
        {"1080p59.94 H.264", "libx264",
         "size=1920x1080:rate=60000/1001",
         "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -b:v 500k -g 25",
         M30_VIDSTD_1080P5994},
        {"720p50 HEVC", "libx265",
         "size=1280x720:rate=50",
         "-c:v libx265 -preset ultrafast -pix_fmt yuv420p -b:v 300k -g 25 -x265-params log-level=error",
         M30_VIDSTD_720P50},
        {"field-coded HEVC, 1920x540 at 50 fields/s", "libx265",
         "size=1920x540:rate=50",
         "-c:v libx265 -preset ultrafast -pix_fmt yuv420p -b:v 300k -g 25 -x265-params log-level=error:interlace=tff",
         M30_VIDSTD_1080I50},
    };
    const std::string have = encoder_list();
    std::string missing;
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (have.find(std::string(" ") + c.encoder + " ") == std::string::npos) {
            missing += std::string(missing.empty() ? "" : ", ") + c.encoder + " (" + c.what + ")";
            continue;
        }
        const std::string file = root_ / ("v" + std::to_string(n) + ".ts");
        const std::string cmd = "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=" + std::string(c.source) +
                                " -t 1 " + c.video + " -f mpegts " + file;
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        const auto ts = decfeed::read_ts(file);
        ASSERT_FALSE(ts.empty());
        // A plug-in of its own for each stream: no record of the one before
        // is left in a queue or in the demultiplexer's analysis.
        load({.carrier = n++ == 0});
        ASSERT_TRUE(run_until([&] { return std::filesystem::exists(decfeed::feeder::socket_path(0)); }));
        m30_channel_set_vid_std(m30_ctx(), 0, M30_VIDSTD_INVALID);
        const int faults = log_.count("Chn 0 video display fault");
        decfeed::feeder feed(ts, {.channel = 0, .bitrate_bps = 4000000, .loop = true});
        feed.start();
        m30_vidstd got = M30_VIDSTD_INVALID;
        run_until([&] {
            got = m30_channel_get_vid_std(m30_ctx(), 0);
            return got != M30_VIDSTD_INVALID || log_.count("Chn 0 video display fault") > faults;
        }, 60);
        EXPECT_EQ(got, c.want) << name_of(got) << ", wanted " << name_of(c.want) << "; FFmpeg reports "
                               << ffmpeg_view(file);
        feed.stop();
        unload();
    }
    if (!missing.empty())
        GTEST_SKIP() << "ffmpeg has no " << missing;
}

} // namespace
