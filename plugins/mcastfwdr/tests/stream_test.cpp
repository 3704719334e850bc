// The routing core against independent tools: an FFmpeg constant-rate
// stream read by tsreport (tstools) for PCRs, the same stream with packets
// dropped for continuity, and FFmpeg's RTP muxer for RTP framing. Skips
// when the tools are missing.
#include "engine_fixture.h"
#include "router/pcr_window.h"
#include "router/phindex.h"
#include "router/rtp.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

bool have(const char *program) { return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0; }

std::string run_output(const std::string &cmd)
{
    std::string out;
    if (FILE *p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        pclose(p);
    }
    return out;
}

std::vector<uint8_t> read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int pid_of(const uint8_t *p) { return (p[1] & 0x1F) << 8 | p[2]; }

// One second of MPEG-2 video at a constant 1.5 Mbit/s, made once.
class StreamTest : public mcftest::EngineTest {
protected:
    static void SetUpTestSuite()
    {
        if (!have("ffmpeg"))
            return;
        dir_ = "/tmp/mcfts." + std::to_string(getpid());
        std::filesystem::create_directories(dir_);
        const std::string cmd = "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=160x120:rate=25 -t 1 "
                                "-c:v mpeg2video -b:v 300k -muxrate 1500000 -f mpegts " + dir_ + "/cbr.ts";
        if (std::system(cmd.c_str()) == 0)
            ts_ = read_file(dir_ + "/cbr.ts");
    }
    static void TearDownTestSuite()
    {
        if (!dir_.empty())
            std::filesystem::remove_all(dir_);
    }
    void SetUp() override
    {
        EngineTest::SetUp();
        if (ts_.empty())
            GTEST_SKIP() << "needs ffmpeg";
    }
    static inline std::string dir_;
    static inline std::vector<uint8_t> ts_;
};

TEST_F(StreamTest, PcrsReadAsTsreportPrintsThem)
{
    if (!have("tsreport"))
        GTEST_SKIP() << "needs tsreport (tstools)";
    std::vector<uint64_t> theirs;
    std::istringstream lines(run_output("tsreport -t " + dir_ + "/cbr.ts"));
    for (std::string line; std::getline(lines, line);) {
        unsigned long long v;
        if (std::sscanf(line.c_str(), " .. PCR %llu", &v) == 1)
            theirs.push_back(v);
    }
    std::vector<uint64_t> ours;
    for (size_t off = 0; off + 188 <= ts_.size(); off += 188) {
        const uint8_t *p = ts_.data() + off;
        if ((p[3] & 0x20) && p[4] >= 7 && (p[5] & 0x10))
            ours.push_back(pcr_t_to_pcr(tsphPcrGet(p + 6)));
    }
    ASSERT_GE(theirs.size(), 10u);
    EXPECT_EQ(ours, theirs);
}

TEST_F(StreamTest, DroppedPacketsCountOnceEachAndWarnThreeTimes)
{
    net_input(100, "239.1.1.1", 5000);
    {
        mcf::write_lock lock;
        manager_input_output_sync(0);
    }
    manager_input *in = manager_inputs_find_by_id(100);
    phindex_init(mcastfwdr_phindex_populate, mcastfwdr_phindex_depopulate);
    auto nothing = [](void *, tsPkt *, manager_input *, const struct timespec *) { return 0; };
    for (int pid = 0; pid < 8192; ++pid)
        phindex_append(100, pid, PHDATATYPE_OTHER, nullptr, nothing, nullptr);
    // Drop every 40th packet of the video PID that carries a payload (a
    // packet without one does not advance the counter), never the last.
    const int video = 0x100;
    int total = 0;
    for (size_t off = 0; off + 188 <= ts_.size(); off += 188)
        total += pid_of(ts_.data() + off) == video;
    int seen = 0, dropped = 0;
    std::vector<uint8_t> copy = ts_;
    for (size_t off = 0; off + 188 <= copy.size(); off += 188) {
        auto *p = reinterpret_cast<tsPkt *>(copy.data() + off);
        const int pid = pid_of(copy.data() + off);
        if (pid == video && ++seen % 40 == 0 && seen < total && (copy[off + 3] & 0x10)) {
            ++dropped;
            continue;
        }
        phindex_process(in, pid, p, nullptr);
    }
    ASSERT_GT(dropped, 3);
    EXPECT_EQ(manager_input_get_cc_errors(in), uint32_t(dropped));
    EXPECT_EQ(log_.count("Input 100: expected cc"), 3);
    phindex_fini();
}

TEST_F(StreamTest, RtpDatagramsFromFfmpegGiveBackTheTransportStream)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int big = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    const std::string cmd = "ffmpeg -hide_banner -loglevel error -y -i " + dir_ + "/cbr.ts -c copy -f rtp_mpegts rtp://127.0.0.1:" +
                            std::to_string(ntohs(a.sin_port));
    ASSERT_EQ(std::system(cmd.c_str()), 0); // everything is queued on our socket when it returns

    mcastfwdr_rtp_hdr state{};
    std::vector<uint8_t> back;
    int datagrams = 0;
    uint8_t buf[2048];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0; ++datagrams) {
        int new_len = 0, is_rtp = 0;
        uint8_t *ts = rtp_hdr_skip_state(&state, buf, int(n), &new_len, &is_rtp);
        ASSERT_EQ(is_rtp, 1);
        ASSERT_EQ(ts, buf + 12);
        ASSERT_EQ(new_len % 188, 0);
        for (int i = 0; i < new_len; i += 188)
            ASSERT_EQ(ts[i], 0x47);
        back.insert(back.end(), ts, ts + new_len);
    }
    close(fd);
    ASSERT_GT(datagrams, 5);
    EXPECT_EQ(log_.count("Detected bad rtp seq num!"), 0);
    // An independent reader decodes the same frames from what came back.
    const std::string path = dir_ + "/back.ts";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(back.data()), std::streamsize(back.size()));
    auto frames = [](const std::string &f) {
        return std::atoi(run_output("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                                    "stream=nb_read_frames -of csv=p=0 " + f + " 2>/dev/null").c_str());
    };
    EXPECT_EQ(frames(path), frames(dir_ + "/cbr.ts"));
    EXPECT_EQ(frames(path), 25);
}

} // namespace
