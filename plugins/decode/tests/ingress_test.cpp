// The packet rules of one decoder channel, driven directly: program
// acquisition, table faults, scrambling, the full queue, SDT names, the
// stream-lost mark, datagram cutting and the start of the egress ring.
#include "board_fixture.h"
#include "ingress.h"
#include "ts_build.h"

#include <kerrow/pipe.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr uint16_t kPmt = 0x100, kVideo = 0x101, kAudio = 0x102, kPcr = 0x101;

class Rules : public BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        dec().mqueue = kd_mqueue_ctor(400, nullptr);
        dec().audio_decode_feed[0] = kd_pipe_ctor(8192, 188);
        dec().stats[0].zero();
        chan_ = std::make_unique<ingress_channel>(0, ctx_);
        take();
    }
    void TearDown() override
    {
        chan_.reset();
        kd_pipe_dtor(dec().audio_decode_feed[0]);
        dec().audio_decode_feed[0] = nullptr;
        kd_mqueue_dtor(dec().mqueue);
        dec().mqueue = nullptr;
        BoardTest::TearDown();
    }

public: // the case table's steps use these
    void feed(const std::vector<tsb::packet> &pkts)
    {
        for (const auto &p : pkts)
            chan_->datagram(p.data(), p.size());
    }
    void feed(const tsb::packet &p) { chan_->datagram(p.data(), p.size()); }
    // PAT and PMT of an H.264 + MP2 program.
    void program(uint8_t version = 0, std::vector<tsb::es> streams = {{0x1B, kVideo}, {0x03, kAudio}})
    {
        feed(tsb::packetize(0, tsb::pat({{1, kPmt}}, version)));
        feed(tsb::packetize(kPmt, tsb::pmt(kPcr, streams, version)));
    }
    // Queue contents since the last call: log texts and program reports.
    void take()
    {
        kd_mqueue_entry e;
        while (kd_mqueue_read(dec().mqueue, &e) == 0) {
            if (e.type == DEC_MSG_LOG_WRITE)
                logs_.emplace_back(static_cast<log_write_data *>(e.data)->log);
            else if (e.type == DEC_MSG_PID_INFO)
                programs_.push_back(*static_cast<pid_info_data *>(e.data));
            std::free(e.data);
        }
    }
    int count(const std::string &needle)
    {
        take();
        int n = 0;
        for (const auto &l : logs_)
            n += l.find(needle) != std::string::npos;
        return n;
    }
    int level() { return kt3300_egr_wrtr_get_level(chan_->writer()); }

    std::unique_ptr<ingress_channel> chan_;
    std::vector<std::string> logs_;
    std::vector<pid_info_data> programs_;
};

TEST_F(Rules, AProgramWithVideoLeavesTheFaultAtItsPmtAndIsReported)
{
    EXPECT_TRUE(chan_->in_fault());
    feed(tsb::payload(kVideo)); // before any table: not forwarded
    program();
    EXPECT_FALSE(chan_->in_fault());
    EXPECT_EQ(count("Chn 0 exiting data path fault on valid program change"), 1);
    ASSERT_EQ(programs_.size(), 1u);
    EXPECT_EQ(programs_[0].ch_idx, 0u);
    EXPECT_EQ(programs_[0].video_pid, kVideo);
    EXPECT_EQ(programs_[0].pcr_pid, kPcr);
    EXPECT_EQ(programs_[0].video_mode, M30_VIDEO_MODE_H264);
    ASSERT_EQ(programs_[0].audio_count, 1u);
    EXPECT_EQ(programs_[0].audio[0].pid, kAudio);
    EXPECT_EQ(programs_[0].audio[0].mode, M30_AUDIO_MODE_MPEG1_L2);
    EXPECT_EQ(level(), 1); // the PMT packet itself is the first one forwarded
    feed(tsb::payload(kVideo));
    EXPECT_EQ(dec().stats[0].vid_pkts_rx.load(), 1u); // counted once the PMT named the video PID
    program();                                       // the same versions again: nothing new
    EXPECT_EQ(programs_.size(), 1u);
    EXPECT_EQ(kd_pipe_level(dec().audio_decode_feed[0]), 4u);
}

TEST_F(Rules, TableFaults)
{
    struct Case {
        const char *what;
        std::function<void(Rules &)> send;
        const char *reason; // null: no fault
        unsigned reported;
    };
    const std::vector<Case> cases = {
        {"PAT over two packets",
         [](Rules &t) {
             std::vector<std::pair<uint16_t, uint16_t>> many;
             for (uint16_t i = 1; i <= 50; ++i)
                 many.emplace_back(i, uint16_t(0x100 + i));
             t.program();
             t.feed(tsb::packetize(0, tsb::pat(many, 1)));
         },
         "PAT handling", 1},
        {"PAT without programs", [](Rules &t) { t.program(); t.feed(tsb::packetize(0, tsb::pat({}, 1))); },
         "PAT handling", 1},
        {"audio-only PMT",
         [](Rules &t) {
             t.program();
             t.program(1, {{0x03, kAudio}, {0x11, 0x103}});
         },
         "Incompatible Pgm", 1},
        {"ES loop past the section",
         [](Rules &t) {
             auto pmt = tsb::pmt(kPcr, {{0x1B, kVideo}});
             pmt[16] = 0x0F; // ES_info_length 0xF.. runs past the end
             tsb::recrc(pmt);
             t.feed(tsb::packetize(0, tsb::pat({{1, kPmt}})));
             t.feed(tsb::packetize(kPmt, pmt));
         },
         nullptr, 0},
        {"PMT with a bad CRC",
         [](Rules &t) {
             auto pmt = tsb::pmt(kPcr, {{0x1B, kVideo}});
             pmt.back() ^= 1;
             t.feed(tsb::packetize(0, tsb::pat({{1, kPmt}})));
             t.feed(tsb::packetize(kPmt, pmt));
         },
         nullptr, 0},
        {"SDT other and BAT are not examined",
         [](Rules &t) {
             t.program();
             t.feed(tsb::packetize(0x11, tsb::sdt("p", "n", 0, 0x46)));
             t.feed(tsb::packetize(0x11, tsb::sdt("p", "n", 0, 0x4A)));
         },
         nullptr, 1},
        {"SDT whose name runs past its descriptor",
         [](Rules &t) {
             t.program();
             auto s = tsb::sdt("prov", "name");
             s[19 + 1 + 4] = 40; // the name length byte
             tsb::recrc(s);
             t.feed(tsb::packetize(0x11, s));
         },
         "SDT handling", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        chan_ = std::make_unique<ingress_channel>(0, ctx_);
        logs_.clear(), programs_.clear();
        take();
        c.send(*this);
        take();
        EXPECT_EQ(programs_.size(), c.reported);
        if (c.reason) {
            EXPECT_TRUE(chan_->in_fault());
            EXPECT_EQ(count(std::string("Chn 0 entering data path fault on: ") + c.reason), 1);
            EXPECT_EQ(chan_->tables().pmt_version, -1); // the program is acquired again
            EXPECT_EQ(level(), 0);
        } else {
            EXPECT_EQ(count("entering data path fault"), 0);
            EXPECT_EQ(chan_->in_fault(), c.reported == 0);
        }
    }
}

TEST_F(Rules, TheProgramIsThatOfTheFirstProgramOtherThanTheNetwork)
{
    feed(tsb::packetize(0, tsb::pat({{0, 0x10}, {7, kPmt}})));
    EXPECT_EQ(chan_->tables().pmt_pid, kPmt);
    feed(tsb::packetize(kPmt, tsb::pmt(kPcr, {{0x24, kVideo}}, 0, 7)));
    take();
    ASSERT_EQ(programs_.size(), 1u);
    EXPECT_EQ(programs_[0].video_mode, M30_VIDEO_MODE_HEVC);
}

TEST_F(Rules, FiveAudioStreamsReportFour)
{
    program(0, {{0x02, kVideo}, {0x03, 0x201}, {0x11, 0x202}, {0x03, 0x203}, {0x03, 0x204}, {0x03, 0x205}});
    take();
    ASSERT_EQ(programs_.size(), 1u);
    EXPECT_EQ(programs_[0].video_mode, M30_VIDEO_MODE_MPEG2);
    ASSERT_EQ(programs_[0].audio_count, 4u);
    EXPECT_EQ(programs_[0].audio[1].mode, M30_AUDIO_MODE_AAC_LC);
    EXPECT_EQ(programs_[0].audio[3].pid, 0x204u);
}

TEST_F(Rules, OneScrambledVideoPacketFaultsUntil2000ClearOnes)
{
    program();
    feed(tsb::payload(kVideo, 0, true));
    EXPECT_TRUE(chan_->in_fault());
    EXPECT_EQ(count("entering data path fault on: Encrypted"), 1);
    EXPECT_EQ(dec().stats[0].pkts_encrypted_rx.load(), 1u);
    program(); // the tables alone do not clear it
    EXPECT_TRUE(chan_->in_fault());
    for (int i = 0; i < 1999; ++i)
        feed(tsb::payload(kVideo));
    EXPECT_TRUE(chan_->in_fault());
    feed(tsb::payload(kVideo));
    EXPECT_FALSE(chan_->in_fault());
    EXPECT_EQ(count("exiting data path fault"), 2);
}

TEST_F(Rules, AScrambledPacketBeforeAnyVideoStillFaults)
{
    program();
    feed(tsb::payload(0x300, 0, true)); // no video counted yet on this PID
    ASSERT_TRUE(chan_->in_fault());
    program();
    EXPECT_TRUE(chan_->in_fault());
}

TEST_F(Rules, AFullQueueFaultsAndTheProgramIsReportedOnceThereIsRoom)
{
    for (;;) { // fill the queue
        kd_mqueue_entry e{99, std::malloc(1)};
        if (kd_mqueue_write(dec().mqueue, &e) != 0) {
            std::free(e.data);
            break;
        }
    }
    program();
    EXPECT_TRUE(chan_->in_fault());
    take(); // drained: the fault line itself was lost with the full queue
    EXPECT_TRUE(programs_.empty());
    program();
    take();
    EXPECT_FALSE(chan_->in_fault());
    EXPECT_EQ(programs_.size(), 1u);
}

TEST_F(Rules, SdtNamesAndTheTriggeredProgram)
{
    program();
    feed(tsb::packetize(0x11, tsb::sdt("Provider A", "Service B")));
    EXPECT_EQ(dec().stats[0].service_name(), "Service B");
    EXPECT_EQ(dec().stats[0].service_provider(), "Provider A");
    take();
    chan_->request_trigger_program();
    program();
    take();
    EXPECT_EQ(programs_.size(), 2u); // the same PMT reported again
    feed(tsb::payload(kVideo, 0, true));
    EXPECT_EQ(dec().stats[0].service_name(), ""); // the fault forgets the names
}

TEST_F(Rules, StreamLostAtTheSecondMarkAndPatAloneKeepsItOut)
{
    program();
    chan_->second();
    EXPECT_EQ(dec().state[0].is_stream.load(), 1);
    EXPECT_FALSE(chan_->in_fault());
    feed(tsb::packetize(0, tsb::pat({{1, kPmt}})));
    chan_->second();
    EXPECT_FALSE(chan_->in_fault());
    chan_->second(); // a second without a PAT
    EXPECT_TRUE(chan_->in_fault());
    EXPECT_EQ(dec().state[0].dp_in_fault.load(), 1);
    EXPECT_EQ(count("Chn 0 entered fault on stream lost"), 1);
}

TEST_F(Rules, DatagramsAreCutToWholePacketsAndTheRingStartsPast20Ms)
{
    program();
    ASSERT_EQ(level(), 1);
    std::vector<uint8_t> d(200, 0xFF);
    auto v = tsb::payload(kVideo);
    std::copy(v.begin(), v.end(), d.begin());
    chan_->datagram(d.data(), d.size()); // one packet and 12 ignored bytes
    EXPECT_EQ(level(), 2);
    EXPECT_EQ(chan_->start_level(), 1329u);
    while (level() < 1329)
        feed(tsb::payload(kVideo));
    EXPECT_FALSE(chan_->egress_started());
    feed(tsb::payload(kVideo));
    EXPECT_TRUE(chan_->egress_started());
    EXPECT_EQ(count("Chn 0 egress buffer started"), 1);
    EXPECT_TRUE(chan_->egress_monitor()->ops.is_active);
    chan_->request_reset_monitor(); // the chip starts the channel
    feed(tsb::payload(kVideo));
    EXPECT_FALSE(chan_->egress_started());
    EXPECT_EQ(level(), 1);
    EXPECT_EQ(count("Chn 0 clear local TS buffers"), 1);
}

} // namespace
