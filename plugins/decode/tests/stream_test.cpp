// End to end on the decode-card harness: an FFmpeg-made H.264 + MP2 stream
// sent by decfeed to both decoder sockets reaches the FPGA egress rings,
// which the simulated FPGA drains at their transport rate.
#include "dec_harness.h"
#include "decfeed.h"

#include <cstdlib>
#include <cstring>

namespace {

// Offset of the first packet of the stream's first PMT (program number
// other than 0), or npos.
size_t first_pmt(const std::vector<uint8_t> &ts, uint16_t &pmt_pid)
{
    pmt_pid = 0x2000;
    for (size_t off = 0; off + 188 <= ts.size(); off += 188) {
        const uint8_t *p = ts.data() + off;
        const uint16_t pid = uint16_t((p[1] & 0x1F) << 8 | p[2]);
        const bool pusi = p[1] & 0x40;
        if (pid == 0 && pusi && pmt_pid == 0x2000) {
            const uint8_t *s = p + 5 + p[4];
            const size_t len = size_t((s[1] & 0x0F) << 8 | s[2]) + 3;
            for (size_t e = 8; e + 4 <= len - 4; e += 4)
                if ((s[e] << 8 | s[e + 1]) != 0) {
                    pmt_pid = uint16_t((s[e + 2] & 0x1F) << 8 | s[e + 3]);
                    break;
                }
        } else if (pid == pmt_pid && pusi) {
            return off;
        }
    }
    return std::string::npos;
}

std::string first_difference(const std::vector<uint8_t> &got, const uint8_t *want, size_t want_len)
{
    for (size_t i = 0; i < std::min(got.size(), want_len); ++i)
        if (got[i] != want[i])
            return "first difference at byte " + std::to_string(i) + " (packet " + std::to_string(i / 188) + ")";
    return got.size() == want_len ? "" : "lengths " + std::to_string(got.size()) + " vs " + std::to_string(want_len);
}

class Stream : public dectest::DecodeCard {};

TEST_F(Stream, BothChannelsFeedTheirRingsFromTheFirstPmtOnUntilTheStreamStops)
{
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs ffmpeg to make the test stream";
    const std::string file = root_ / "in.ts";
    const std::string cmd = "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=320x240:rate=25 "
                            "-f lavfi -i sine=frequency=1000 -t 4 -c:v libx264 -preset ultrafast -b:v 800k "
                            "-c:a mp2 -b:a 128k -f mpegts -muxrate 2000000 " + file;
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    const auto ts = decfeed::read_ts(file);
    uint16_t pmt_pid = 0;
    const size_t from = first_pmt(ts, pmt_pid);
    ASSERT_NE(from, std::string::npos);
    ASSERT_GT(ts.size() - from, 2000u * 188) << "the stream must fill the rings past their start levels";

    load();
    ASSERT_TRUE(run_until([&] {
        return std::filesystem::exists(decfeed::feeder::socket_path(0)) &&
               std::filesystem::exists(decfeed::feeder::socket_path(1));
    }));
    decfeed::feeder ch0(ts, {.channel = 0, .bitrate_bps = 8000000});
    decfeed::feeder ch1(ts, {.channel = 1, .bitrate_bps = 8000000});
    ch0.start();
    ch1.start();
    // The writer tells the FPGA of new packets in steps of 16 (the 1st, 17th,
    // 33rd ... since the ring was cleared at the first PMT), so the last up to
    // 15 packets of a stream that stops wait for a publication that never comes.
    const size_t written = (ts.size() - from) / 188;
    const size_t tail = (written - ((written - 1) & 15)) * 188;
    // What channel 0 shows is looked at while the stream flows: a second
    // after it stops the stream counts as lost, which a slow machine may
    // reach before the rings are drained.
    bool detected = false;
    const bool all = run_until([&] {
        detected = detected || (value("decode/decoders/dec_0/stream_detected") == "Yes" &&
                                value("decode/decoders/dec_0/data_path_fault") == "0");
        return detected && consumed(0).size() >= tail && consumed(1).size() >= tail;
    }, 120.0);
    EXPECT_TRUE(all) << consumed(0).size() << " and " << consumed(1).size() << " of " << tail;
    EXPECT_TRUE(detected) << "stream detected and no data path fault while the stream flowed";
    EXPECT_EQ(ch0.bytes_sent(), ts.size());
    for (unsigned ch = 0; ch < 2; ++ch)
        EXPECT_EQ(first_difference(consumed(ch), ts.data() + from, tail), "") << "channel " << ch;
    drain_queue();
    EXPECT_EQ(log_.count("[decode] Chn 0 exiting data path fault on valid program change"), 1);
    EXPECT_EQ(log_.count("[decode] Chn 1 exiting data path fault on valid program change"), 1);
    EXPECT_EQ(log_.count("[decode] Chn 0 egress buffer started"), 1);
    EXPECT_EQ(log_.count("[decode] Chn 1 egress buffer started"), 1);
    EXPECT_EQ(log_.count("[decode] Vid 1 EGRQ level markers ULO: 665 LOW: 997 MID: 1329 HI: 1661 UHI: 1993 (pkts)"), 1);
    EXPECT_EQ(log_.count("entering data path fault"), 0);
    EXPECT_GT(dec().stats[0].vid_pkts_rx.load(), 1000u);
    EXPECT_EQ(dec().stats[0].vid_pkts_pid.load(), 0x100u);

    // No PAT for a second: the data path faults and the display follows.
    ASSERT_TRUE(run_until([&] {
        drain_queue();
        return log_.count("[decode] Chn 0 entered fault on stream lost") == 1;
    }));
    EXPECT_EQ(consumed(0).size(), tail); // nothing after the stream
    EXPECT_TRUE(run_until([] { return decode_ingress_is_in_fault(1) == 1; }));
}

TEST_F(Stream, ScrambledVideoAndShortDatagramsKeepTheChannelOutOfTheRing)
{
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs ffmpeg to make the test stream";
    const std::string file = root_ / "in.ts";
    const std::string cmd = "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=160x120:rate=25 -t 1 "
                            "-c:v libx264 -preset ultrafast -f mpegts -muxrate 1000000 " + file;
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    const auto ts = decfeed::read_ts(file);
    load();
    ASSERT_TRUE(run_until([&] { return std::filesystem::exists(decfeed::feeder::socket_path(1)); }));
    // Channel 1: every video packet scrambled.
    decfeed::feeder scrambled(ts, {.channel = 1, .bitrate_bps = 0, .scramble_pid = 0x100});
    EXPECT_EQ(scrambled.send_now(0, ts.size()), ts.size());
    // Channel 0: datagrams of 200 bytes, one packet each.
    decfeed::feeder shorts(ts, {.channel = 0, .bitrate_bps = 0, .datagram = 200});
    std::vector<uint8_t> d(200, 0xFF);
    for (size_t off = 0; off < ts.size(); off += 188) {
        std::memcpy(d.data(), ts.data() + off, 188);
        ASSERT_TRUE(shorts.send_raw(d.data(), d.size()));
    }
    ASSERT_TRUE(run_until([&] {
        drain_queue();
        return log_.count("Chn 0 exiting data path fault") == 1 && dec().stats[1].pkts_encrypted_rx.load() > 0;
    }));
    EXPECT_GT(dec().stats[0].vid_pkts_rx.load(), 0u);
    // The PMT leaves the fault; the first scrambled video packet enters it
    // again, and the clear packets after it are not enough to leave.
    EXPECT_EQ(log_.count("[decode] Chn 1 entering data path fault on: Encrypted"), 1);
    EXPECT_EQ(decode_ingress_is_in_fault(1), 1u);
    EXPECT_EQ(log_.count("Chn 1 egress buffer started"), 0);
}

} // namespace
