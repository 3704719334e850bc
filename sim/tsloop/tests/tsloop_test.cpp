// The looped stream as a receiver sees it: ffprobe reads three loops of an
// ffmpeg-made file as one stream (no corrupt packet, every frame one frame
// after the last across the seams), and every PCR keeps its distance to the
// time the packet is due.
#include "tsloop.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> read_file(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string text_of(const fs::path &p)
{
    std::ifstream in(p);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int64_t pcr_of(const uint8_t *p)
{
    if (!(p[3] & 0x20) || p[4] < 7 || !(p[5] & 0x10))
        return -1;
    const uint64_t base = uint64_t(p[6]) << 25 | uint64_t(p[7]) << 17 | uint64_t(p[8]) << 9 | uint64_t(p[9]) << 1 |
                          uint64_t(p[10]) >> 7;
    return int64_t(base * 300 + (uint64_t(p[10] & 1) << 8 | p[11]));
}

class Loop : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::system("ffmpeg -version >/dev/null 2>&1") != 0 || std::system("ffprobe -version >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "needs ffmpeg and ffprobe";
        dir_ = fs::temp_directory_path() / ("tsloop_test." + std::to_string(getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override
    {
        if (!dir_.empty())
            fs::remove_all(dir_);
    }
    fs::path dir_;
};

TEST_F(Loop, ThreeLoopsReadAsOneStream)
{
    // 0.96 s: 48 frames of 50 Hz video and 40 frames of MPEG audio (1152
    // samples at 48 kHz), both ending on a whole frame; a constant 2 Mbit/s.
    const fs::path in = dir_ / "in.ts", out = dir_ / "out.ts";
    const std::string make = "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc=size=320x240:rate=50 "
                             "-f lavfi -i sine=frequency=1000:sample_rate=48000 -t 0.96 -c:v mpeg2video -b:v 800k "
                             "-c:a mp2 -b:a 128k -muxrate 2M -f mpegts " + in.string();
    ASSERT_EQ(std::system(make.c_str()), 0);
    tsloop::looper loop(read_file(in), 0.96);
    EXPECT_NEAR(loop.rate_bps(), 2e6, 2e3);
    const size_t per_loop = loop.file_packets() + loop.fill_packets();
    EXPECT_NEAR(double(per_loop) * 188 * 8 / loop.rate_bps(), 0.96, 188 * 8 / loop.rate_bps())
        << "one loop fills its period";

    std::vector<uint8_t> stream(3 * per_loop * 188);
    std::vector<int64_t> pcr_ahead; // PCR minus the time the packet is due
    for (size_t i = 0; i < 3 * per_loop; ++i) {
        uint64_t due = 0;
        loop.next(&stream[i * 188], due);
        if (i % per_loop == 0) {
            EXPECT_EQ(due, i / per_loop * 96 * 270000) << "loop " << i / per_loop << " starts on its period";
        }
        if (const int64_t pcr = pcr_of(&stream[i * 188]); pcr >= 0)
            pcr_ahead.push_back(pcr - int64_t(due));
    }
    std::ofstream(out, std::ios::binary).write(reinterpret_cast<const char *>(stream.data()), std::streamsize(stream.size()));
    ASSERT_GT(pcr_ahead.size(), 6u);
    for (const int64_t d : pcr_ahead)
        EXPECT_NEAR(double(d), double(pcr_ahead[0]), 27.0) << "a PCR one microsecond off its packet's time";

    // ffprobe: every packet whole, every frame 1800 (video) or 2160 (audio)
    // ticks after the one before it, over both seams.
    const fs::path csv = dir_ / "packets.csv", err = dir_ / "ffprobe.err";
    const std::string probe = "ffprobe -hide_banner -loglevel warning -show_entries packet=stream_index,dts,flags "
                              "-of csv=p=0 " + out.string() + " >" + csv.string() + " 2>" + err.string();
    ASSERT_EQ(std::system(probe.c_str()), 0);
    EXPECT_EQ(text_of(err).find("corrupt"), std::string::npos) << text_of(err);
    std::map<int, std::vector<int64_t>> dts;
    std::istringstream lines(text_of(csv));
    for (std::string line; std::getline(lines, line);) {
        int index = -1;
        long long d = 0;
        char flags[8] = {};
        if (std::sscanf(line.c_str(), "%d,%lld,%7s", &index, &d, flags) == 3) {
            EXPECT_EQ(std::string(flags).find('C'), std::string::npos) << line;
            dts[index].push_back(d);
        }
    }
    ASSERT_EQ(dts.size(), 2u);
    const size_t frames[2] = {48, 40};
    const int64_t step[2] = {1800, 2160};
    for (int s = 0; s < 2; ++s) {
        SCOPED_TRACE(s ? "audio" : "video");
        EXPECT_EQ(dts[s].size(), 3 * frames[s]);
        for (size_t k = 1; k < dts[s].size(); ++k)
            ASSERT_EQ(dts[s][k] - dts[s][k - 1], step[s]) << "frame " << k;
    }
}

TEST_F(Loop, RefusesWhatItCannotLoop)
{
    const fs::path in = dir_ / "in.ts";
    const std::string make = "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc=size=160x120:rate=50 "
                             "-t 0.4 -c:v mpeg2video -muxrate 1M -f mpegts " + in.string();
    ASSERT_EQ(std::system(make.c_str()), 0);
    const std::vector<uint8_t> good = read_file(in);
    ASSERT_GE(good.size(), 188u * 10);
    std::vector<uint8_t> unsynced = good;
    unsynced[188 * 5] = 0x48;
    std::vector<uint8_t> no_pcr;
    for (size_t o = 0; o < good.size(); o += 188)
        if (pcr_of(&good[o]) < 0)
            no_pcr.insert(no_pcr.end(), good.begin() + long(o), good.begin() + long(o + 188));
    struct Case {
        const char *what;
        std::vector<uint8_t> ts;
        double period;
        const char *says;
    } cases[] = {
        {"empty", {}, 0, "whole number"},
        {"a cut packet", std::vector<uint8_t>(good.begin(), good.end() - 1), 0, "whole number"},
        {"lost sync", unsynced, 0, "sync lost at packet 5"},
        {"no PCR", no_pcr, 0, "two PCRs"},
        {"a period shorter than the file", good, 0.2, "shorter than the file"},
    };
    for (const Case &c : cases) {
        try {
            tsloop::looper loop(c.ts, c.period);
            ADD_FAILURE() << c.what << ": taken";
        } catch (const std::invalid_argument &e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << c.what << ": " << e.what();
        }
    }
}

} // namespace
