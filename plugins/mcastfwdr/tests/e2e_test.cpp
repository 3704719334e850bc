// The forwarder end to end on a simulated card: a two-program FFmpeg
// stream replayed at its mux rate into a UDP multicast input, through the
// ingress thread, the multiplexer, the send path and the egress thread, to
// a UDP output carrying one program with a remapped PID. A sink in the
// chassis namespace checks what arrives; the forwarder is then stopped
// while the stream still flows. Needs root.
#include "klv/klv.h"
#include "mux/multiplexer.h"
#include "rig/sink_check.h"
#include "scenario.h"
#include "sendpath_pcr.h"
#include "ts_fixtures.h"
#include "udp_sink.h"

#include <kerrow/path.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

namespace {

using namespace mcftest;

constexpr int kMuxRate = 2000000;

// The file replayed as 1316-byte datagrams at its mux rate, over and over,
// from the chassis namespace through peer1.
class paced_sender : public chassis_udp_thread {
public:
    paced_sender(const scenario &card, std::vector<uint8_t> ts, const char *group, int port, bool rtp = false)
        : chassis_udp_thread(card), ts_(std::move(ts)), rtp_(rtp)
    {
        in_addr local{};
        inet_pton(AF_INET, "10.77.1.2", &local);
        setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local);
        to_.sin_family = AF_INET;
        to_.sin_port = htons(uint16_t(port));
        inet_pton(AF_INET, group, &to_.sin_addr);
        start();
    }
    ~paced_sender() override { stop(); }
    uint64_t sent() const { return sent_; }
    // The next n datagrams are left out (the receiver sees packets lost).
    void drop(unsigned n) { drop_ = n; }

private:
    void run() override
    {
        constexpr size_t kDgram = 7 * 188;
        const auto period = std::chrono::nanoseconds(int64_t(kDgram) * 8 * 1000000000 / kMuxRate);
        auto next = std::chrono::steady_clock::now();
        size_t off = 0;
        while (!stop_) {
            if (off + kDgram > ts_.size())
                off = 0;
            uint8_t d[12 + kDgram];
            const uint8_t hdr[12] = {0x80, 33, uint8_t(sent_ >> 8), uint8_t(sent_), 0, 0, 0, 0, 1, 2, 3, 4};
            const size_t h = rtp_ ? sizeof hdr : 0;
            std::memcpy(d, hdr, h);
            std::memcpy(d + h, ts_.data() + off, kDgram);
            if (drop_ > 0) {
                --drop_;
            } else {
                sendto(fd_, d, h + kDgram, 0, reinterpret_cast<sockaddr *>(&to_), sizeof to_);
                ++sent_;
            }
            off += kDgram;
            // Held up by a loaded machine, the sender goes on at its rate
            // from now instead of sending what it missed in one burst, as a
            // steady source would (an output's pool holds 100 ms).
            next = std::max(next + period, std::chrono::steady_clock::now());
            std::this_thread::sleep_until(next);
        }
    }
    std::vector<uint8_t> ts_;
    bool rtp_;
    sockaddr_in to_{};
    std::atomic<uint64_t> sent_{0};
    std::atomic<unsigned> drop_{0};
};

// The decoder's side of a decoder card as the decoder plug-in has it: the
// two unix paths bound and read, and "ccset"/"ccclear" listeners that
// disable a channel and enable it again, telling the forwarder by event.
class standin_decoder {
public:
    standin_decoder()
    {
        pli_ = __test_insert_active_plugin("decode-standin", "/nonexistent/libsv-decode-standin.so");
        for (int ch = 0; ch < 2; ++ch) {
            const std::string path = kd::rooted("/var/run/decode-" + std::to_string(ch) + "-unix.sock");
            std::filesystem::create_directories(std::filesystem::path(path).parent_path());
            ::unlink(path.c_str());
            fd_[ch] = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
            bound_ = bind(fd_[ch], reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && bound_;
        }
        kd_cuvent_register_cb(pli_, "ccset", on_set, this, CUVFLT_NONE);
        kd_cuvent_register_cb(pli_, "ccclear", on_clear, this, CUVFLT_NONE);
        thread_ = std::thread([this] { run(); });
    }
    ~standin_decoder()
    {
        stop_ = true;
        thread_.join();
        kd_cuvent_unregister_cb_owner(pli_);
        for (int fd : fd_)
            ::close(fd);
    }
    bool bound() const { return bound_; }
    std::vector<std::string> events()
    {
        std::lock_guard lk(mutex_);
        return events_;
    }
    uint64_t datagrams(int ch) const { return datagrams_[ch]; }
    uint64_t wrong_sizes() const { return wrong_sizes_; }

private:
    void run()
    {
        std::vector<uint8_t> buf(3760);
        while (!stop_) {
            pollfd p[2] = {{fd_[0], POLLIN, 0}, {fd_[1], POLLIN, 0}};
            if (poll(p, 2, 50) <= 0)
                continue;
            for (int ch = 0; ch < 2; ++ch)
                if (p[ch].revents & POLLIN) {
                    const ssize_t n = recv(fd_[ch], buf.data(), buf.size(), 0);
                    if (n > 0) {
                        ++datagrams_[ch];
                        wrong_sizes_ += n != 1880;
                    }
                }
        }
    }
    static uint32_t channel_of(cuvent_wrapper *w) { return *static_cast<uint32_t *>(w->emit_ctx); }
    // Both run inside the emit, on the emitter's thread.
    static void on_set(cuvent_wrapper *w)
    {
        auto *self = static_cast<standin_decoder *>(w->cb_ctx);
        uint32_t ch = channel_of(w);
        const bool was = self->enabled_[ch & 1].exchange(false);
        self->disabled_before_[ch & 1] = !was;
        self->note("ccset " + std::to_string(ch));
        if (was)
            kd_cuvent_emit(self->pli_, "decoder_channel_disabled", &ch);
    }
    static void on_clear(cuvent_wrapper *w)
    {
        auto *self = static_cast<standin_decoder *>(w->cb_ctx);
        uint32_t ch = channel_of(w);
        self->note("ccclear " + std::to_string(ch));
        if (self->disabled_before_[ch & 1])
            return;
        self->enabled_[ch & 1] = true;
        kd_cuvent_emit(self->pli_, "decoder_channel_enabled", &ch);
    }
    void note(std::string e)
    {
        std::lock_guard lk(mutex_);
        events_.push_back(std::move(e));
    }
    plugin_load_info *pli_ = nullptr;
    int fd_[2] = {-1, -1};
    bool bound_ = true;
    std::atomic<bool> enabled_[2] = {true, true};
    std::atomic<bool> disabled_before_[2] = {false, false};
    std::mutex mutex_;
    std::vector<std::string> events_;
    std::atomic<uint64_t> datagrams_[2] = {0, 0};
    std::atomic<uint64_t> wrong_sizes_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = scenario::skip_reason();
        if (!why.empty())
            GTEST_SKIP() << why;
        if (!tsfix::have_program("ffmpeg") || !tsfix::have_program("ffprobe"))
            GTEST_SKIP() << "ffmpeg and ffprobe are needed";
        path_ = (dir_.path / "two.ts").string();
        int rc = -1;
        tsfix::run("ffmpeg -v error -nostdin -f lavfi -i testsrc=size=64x48:rate=25 -f lavfi -i sine=frequency=440 "
                   "-f lavfi -i testsrc2=size=64x48:rate=25 -map 0:v -map 1:a -map 2:v -map 1:a "
                   "-c:v mpeg2video -b:v 300k -c:a mp2 -t 25 -program title=A:st=0:st=1 -program title=B:st=2:st=3 "
                   "-muxrate " + std::to_string(kMuxRate) + " -f mpegts '" + path_ + "' 2>&1",
                   &rc);
        ts_ = tsfix::read_file(path_);
        if (rc != 0 || ts_.size() < 188 * 1000)
            GTEST_SKIP() << "ffmpeg could not make the test stream";
    }
    // A Net input on eth1 at the file's rate.
    static void net_input(int id, const char *group, int port)
    {
        cfg_rx *rx = mcftest::must(mcfcfg_rx_add_net(id), "a new input");
        std::snprintf(rx->ingress_node, sizeof rx->ingress_node, "%s", group);
        std::snprintf(rx->ingress_intf, sizeof rx->ingress_intf, "%s", "eth1");
        rx->ingress_port = port;
        rx->ingress_bps = kMuxRate;
        mcastfwdr_allocate_rule_input(mcf_cfg.tbl_inputs, rx);
    }
    // A Net output on eth0 at 3 Mbit/s.
    static cfg_tx *net_output(int id, const char *group, int port, protocol_type protocol)
    {
        cfg_tx *tx = mcftest::must(mcfcfg_tx_add_net(&mcf_cfg, id), "a new output");
        std::snprintf(tx->dest_node, sizeof tx->dest_node, "%s", group);
        kd_remote_addr_init(&tx->ra, tx->dest_node, nullptr);
        kd_remote_addr_set_port(&tx->ra, port);
        std::snprintf(tx->dest_intf, sizeof tx->dest_intf, "%s", "eth0");
        tx->dest_port = port;
        tx->dest_bps = 3000000;
        tx->dest_protocol = protocol;
        tx->dest_transmit = DEST_XMIT_ON;
        return tx;
    }
    // Input 100 (239.7.7.7:7000) with its program `program` carried by UDP
    // output 1 (239.8.8.8:8000): the service routing it.
    static cfg_tx_input *one_program_routed(int program)
    {
        net_input(100, "239.7.7.7", 7000);
        cfg_tx_input *svc = mcftest::must(cfg_tx_input_add(net_output(1, "239.8.8.8", 8000, PROTOCOL_UDP)), "a service");
        svc->input_id = 100;
        svc->input_prog_num = program;
        return svc;
    }
    // The card with the chassis' ends of its eth0 and eth1 addressed.
    static void address(scenario &card)
    {
        ASSERT_EQ(card.in_chassis("ip addr add 10.77.1.2/24 dev peer1"), 0);
        ASSERT_EQ(card.in_chassis("ip addr add 10.77.0.2/24 dev peer0"), 0);
    }
    // The programs ffprobe lists in what a sink received.
    std::string programs_of(const mcfrig::sink_check &c, const char *name)
    {
        const std::string captured = (dir_.path / name).string();
        std::ofstream(captured, std::ios::binary).write(reinterpret_cast<const char *>(c.bytes.data()),
                                                        std::streamsize(c.bytes.size()));
        return tsfix::run("ffprobe -v error -show_entries program=program_id -of default=noprint_wrappers=1 '" +
                          captured + "'");
    }
    // The video codec and frame count ffprobe decodes in what a sink received.
    std::string video_of(const mcfrig::sink_check &c, const char *name)
    {
        const std::string captured = (dir_.path / name).string();
        std::ofstream(captured, std::ios::binary).write(reinterpret_cast<const char *>(c.bytes.data()),
                                                        std::streamsize(c.bytes.size()));
        return tsfix::run("ffprobe -v error -count_frames -select_streams v "
                          "-show_entries stream=codec_name,nb_read_frames -of csv=p=0 '" + captured + "'");
    }

    // The restamped PCRs of pid match their positions in the received
    // stream at the outputs' rate (3 Mbit/s).
    static void expect_pcrs_on_time(const mcfrig::sink_check &c, int pid)
    {
        std::vector<ts_bytes> packets(c.bytes.size() / 188);
        for (size_t i = 0; i < packets.size(); ++i)
            std::copy_n(c.bytes.begin() + std::ptrdiff_t(i * 188), 188, packets[i].begin());
        const std::vector<pcr_at> pcrs = pcrs_on(packets, pid);
        ASSERT_GT(pcrs.size(), 20u);
        EXPECT_LE(worst_error(pcrs, 3.0), kTolerance);
    }
    // About two seconds of 25 frames a second decode.
    static void expect_video(const std::string &probe)
    {
        EXPECT_EQ(probe.rfind("mpeg2video,", 0), 0u) << probe;
        EXPECT_GT(std::atoi(probe.c_str() + std::strlen("mpeg2video,")), 25) << probe;
    }

    tsfix::TempDir dir_;
    std::string path_;
    std::vector<uint8_t> ts_;
};

TEST_F(EndToEnd, OneProgramOfAMultiProgramInputReachesAUdpOutputRemapped)
{
    scenario card(3);
    address(card);
    card.start_linked();
    card.change([] {
        mcftest::must(cfg_tx_pid_map_add(one_program_routed(2), "Video", 0x102), "a PID map")->out_pid = 0x222;
    });
    ASSERT_NE(manager_inputs_find_by_id(100), nullptr);
    ASSERT_NE(manager_outputs_find_by_id(1), nullptr);

    sink out(card, "239.8.8.8", 8000);
    ASSERT_TRUE(out.joined());
    paced_sender in(card, ts_, "239.7.7.7", 7000);
    // About two seconds of the output.
    const bool enough = run_loop_until([&] {
        return out.with([](mcfrig::sink_check &c) { return c.pmt.count(2) && c.packets > 4000; });
    }, 120.0);
    uint64_t rx_packets = 0;
    if (const manager_input *mi = manager_inputs_find_by_id(100))
        rx_packets = mi->ts_packets_rx.load();
    const uint64_t entries = mcf::ingress_stats(INGRESS_SRC_NET).entries.load();
    const uint64_t cycles = mcf::mux::cycles();
    uint64_t got = 0;
    out.with([&](mcfrig::sink_check &c) {
        got = c.packets;
        return true;
    });
    // Stopped while the stream flows: every thread joined, nothing leaked.
    kd_frame_unload_plugin("mcastfwdr");
    EXPECT_EQ(card.log().count("multiplexer: thread join... done"), 1);
    EXPECT_EQ(card.log().count("maintainer: thread join done"), 1);
    out.stop();
    ASSERT_TRUE(enough) << in.sent() << " datagrams sent, " << entries << " pipe entries, " << cycles
                        << " multiplexer cycles, " << rx_packets << " packets received by the input, " << got
                        << " by the sink";

    mcfrig::sink_check &c = out.result();
    EXPECT_TRUE(out.sizes_ok_);
    EXPECT_EQ(c.framing_errors, 0u);
    EXPECT_EQ(c.cc_errors, 0u) << c.cc_report();
    ASSERT_EQ(c.programs.size(), 1u);
    EXPECT_EQ(c.programs.begin()->first, 2);
    const int pmt_pid = c.programs.begin()->second;
    EXPECT_EQ(c.pmt[2].es, (std::set<int>{0x222, 0x103}));
    EXPECT_EQ(c.pmt[2].pcr_pid, 0x222);
    ASSERT_EQ(c.sdt.size(), 1u); // the program's service only, named as in the input
    EXPECT_EQ(c.sdt.begin()->first, 2);
    EXPECT_EQ(c.sdt.begin()->second, "B");
    // Program 1's PIDs, its PMT and the unmapped video PID never appear.
    for (int pid : c.pids)
        EXPECT_TRUE(pid == 0 || pid == 1 || pid == 17 || pid == pmt_pid || pid == 0x222 || pid == 0x103 || pid == 0x1FFF)
            << "PID " << pid;
    EXPECT_TRUE(c.pids.count(0x222) && c.pids.count(0x103));
    expect_pcrs_on_time(c, 0x222);

    EXPECT_EQ(programs_of(c, "out.ts"), "program_id=2\n");
    expect_video(video_of(c, "out.ts"));
}

// A client changes the input's rate while the stream flows: the ingress
// and the multiplexer go on at once, before the loop turns again, and the
// output flows on once the loop has taken the change.
TEST_F(EndToEnd, AnInputRateChangedWhileStreamingKeepsTheOutputFlowing)
{
    scenario card(3);
    address(card);
    card.start_linked();
    card.change([] { one_program_routed(1); });
    sink out(card, "239.8.8.8", 8000);
    ASSERT_TRUE(out.joined());
    paced_sender in(card, ts_, "239.7.7.7", 7000);
    auto sent = [&] {
        uint64_t n = 0;
        out.with([&](mcfrig::sink_check &c) { return n = c.packets, true; });
        return n;
    };
    // The card's own count of the packets its inputs took in.
    auto taken = [] {
        char *v = kd_param_get_value_text(kd_param_get_by_route("mcastfwdr/ts_packets_received"));
        const long n = v ? std::atol(v) : 0;
        std::free(v);
        return n;
    };
    ASSERT_TRUE(run_loop_until([&] { return sent() > 1000; }, 30.0)) << in.sent() << " datagrams sent";
    ASSERT_EQ(set_param("mcastfwdr/rules/inputs/input_100/trans_mux_rate", "2500000"), PARAM_SET_SUCCESS);
    // Over a second of the input (1330 packets a second), then of the output.
    const long at_change = taken();
    const bool taking = eventually([&] { return taken() > at_change + 1500; }, 30000);
    const uint64_t before = sent();
    const bool flowing = run_loop_until([&] { return sent() > before + 1500; }, 30.0);
    const long in_total = taken();
    const uint64_t out_total = sent();
    kd_frame_unload_plugin("mcastfwdr");
    out.stop();
    EXPECT_TRUE(taking) << at_change << " packets taken in at the change, " << in_total << " since";
    EXPECT_TRUE(flowing) << before << " packets out once the input went on, " << out_total << " since";
}

// A forwarder thread that the system does not run for 300 ms while data
// arrives (a test seam holds it) loses no stream and rebuilds nothing; the
// sender really falling silent for 300 ms is a lost stream, and its return
// rebuilds the output's fill engine. Meanwhile datagrams to the card's own
// address on the input's port never reach the output.
TEST_F(EndToEnd, AStalledThreadIsNoStreamLossButASilentSenderIs)
{
    scenario card(3);
    address(card);
    card.start_linked();
    card.change([] { one_program_routed(1); });
    sink out(card, "239.8.8.8", 8000);
    ASSERT_TRUE(out.joined());
    paced_sender in(card, ts_, "239.7.7.7", 7000);
    // The program's video, marked: a flood to the card's address.
    std::vector<uint8_t> flood(7 * 188);
    for (size_t p = 0; p < flood.size(); p += 188) {
        const uint8_t hdr[4] = {0x47, 0x01, 0x00, 0x10};
        std::memcpy(&flood[p], hdr, 4);
        std::memset(&flood[p + 4], 0xA5, 184);
    }
    std::atomic<bool> flooding{true};
    std::atomic<unsigned> flooded{0};
    std::thread unicast([&] {
        xsbsim::net_rig::enter ns(card.rig().chassis());
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(7000);
        inet_pton(AF_INET, "10.77.1.1", &to.sin_addr);
        while (flooding) {
            if (sendto(fd, flood.data(), flood.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) > 0)
                ++flooded;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ::close(fd);
    });
    auto sent = [&] {
        uint64_t n = 0;
        out.with([&](mcfrig::sink_check &c) { return n = c.packets, true; });
        return n;
    };
    auto &log = card.log();
    ASSERT_TRUE(run_loop_until([&] { return sent() > 1000 && log.count("Output 1 adding Input 100") == 1; }, 30.0))
        << in.sent() << " datagrams sent";
    const int engines = log.count("MCF: Output 1 new fill engine");
    // After a stall: at least half a second (several checks) and a thousand
    // packets more of the output.
    auto flows_on = [&] {
        const uint64_t at = sent();
        const auto since = std::chrono::steady_clock::now();
        return run_loop_until([&] {
            return sent() > at + 1000 && std::chrono::steady_clock::now() - since > std::chrono::milliseconds(500);
        }, 30.0);
    };
    const struct {
        const char *what;
        void (*hold)(bool);
    } stalls[] = {
        {"ingress", [](bool on) { mcf::ingress_hold(INGRESS_SRC_NET, on); }},
        {"multiplexer", [](bool on) { mcf::mux::hold(on); }},
    };
    for (const auto &st : stalls) {
        SCOPED_TRACE(st.what);
        st.hold(true);
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the stall itself
        st.hold(false);
        EXPECT_TRUE(flows_on());
        EXPECT_EQ(log.count("stream lost"), 0);
        EXPECT_EQ(log.count("MCF: Output 1 new fill engine"), engines);
    }
    // 57 datagrams of 5.26 ms: 300 ms of silence.
    in.drop(57);
    EXPECT_TRUE(run_loop_until([&] { return log.count("MCF: Input 100 is now streaming.") == 2; }, 30.0));
    EXPECT_EQ(log.count("MCF: Input 100 stream lost."), 1);
    EXPECT_TRUE(flows_on());
    // Its rate taken out, then back in.
    EXPECT_EQ(log.count("MCF: Output 1 new fill engine"), engines + 2);
    EXPECT_EQ(log.count("Output 1 removing Input 100 (bps 2000000)"), 1);
    flooding = false;
    unicast.join();
    manager_input_status st;
    ASSERT_TRUE(manager_input_get_status(100, &st));
    const uint64_t refused = st.rx_misaddressed;
    kd_frame_unload_plugin("mcastfwdr");
    out.stop();
    EXPECT_GT(flooded.load(), 100u);
    EXPECT_GT(refused, 100u);
    const std::vector<uint8_t> &bytes = out.result().bytes;
    const uint8_t mark[8] = {0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5};
    EXPECT_EQ(std::search(bytes.begin(), bytes.end(), mark, mark + 8), bytes.end()) << "the flood reached the output";
}

// The packets of pid in a received stream, in order.
std::vector<const uint8_t *> packets_of(const mcfrig::sink_check &c, int pid)
{
    std::vector<const uint8_t *> out;
    for (size_t i = 0; i + 188 <= c.bytes.size(); i += 188) {
        const uint8_t *p = c.bytes.data() + i;
        if (((p[1] & 0x1F) << 8 | p[2]) == pid)
            out.push_back(p);
    }
    return out;
}

TEST_F(EndToEnd, KlvDatagramsAreInjectedIntoEveryOutputRoutingTheSource)
{
    constexpr int kKlvPid = 300;
    constexpr int kDatagrams = 40;
    scenario card(3);
    address(card);
    card.start_linked();
    ASSERT_EQ(set_param("mcastfwdr/add_klv_source_rule", "Yes"), PARAM_SET_SUCCESS);
    const std::string klv = "mcastfwdr/rules/klv_sources/klv_source_0/";
    ASSERT_EQ(set_param(klv + "pid", "300"), PARAM_SET_SUCCESS);
    ASSERT_EQ(set_param(klv + "ip_address", "239.10.0.1"), PARAM_SET_SUCCESS);
    ASSERT_NE(mcfcfg_rx_klv_find_by_id(0), nullptr);
    ASSERT_GE(mcfcfg_rx_klv_find_by_id(0)->sockfd, 0);
    card.change([] {
        net_input(100, "239.7.7.7", 7000);
        for (int id : {1, 2}) {
            const char *group = id == 1 ? "239.8.8.8" : "239.8.8.9";
            cfg_tx_input *svc = mcftest::must(cfg_tx_input_add(net_output(id, group, 8000, PROTOCOL_UDP)), "a service");
            svc->input_id = 100;
            svc->input_prog_num = 1;
            svc->klv_source_id = 0;
        }
    });
    ASSERT_NE(manager_outputs_find_by_id(1), nullptr);
    ASSERT_NE(manager_outputs_find_by_id(2), nullptr);

    sink one(card, "239.8.8.8", 8000), two(card, "239.8.8.9", 8000);
    ASSERT_TRUE(one.joined() && two.joined());
    paced_sender in(card, ts_, "239.7.7.7", 7000);
    auto seen = [&](sink &s) {
        return s.with([&](mcfrig::sink_check &c) { return c.pmt.count(1) && c.packets > 500; });
    };
    ASSERT_TRUE(run_loop_until([&] { return seen(one) && seen(two); }, 120.0));
    // One datagram after the other (the source's socket holds 2048 bytes,
    // metadata comes at a low rate), each a different payload of 173
    // bytes, the most one packet takes.
    const cfg_rx_klv *src = mcfcfg_rx_klv_find_by_id(0);
    ASSERT_NE(src, nullptr);
    for (int i = 0; i < kDatagrams; ++i) {
        ASSERT_TRUE(send_to_card(card, "239.10.0.1", 3000, std::string(173, char('A' + i % 26))));
        auto received = [&] { return std::atomic_ref<int32_t>(const_cast<int32_t &>(src->pkts_rx)).load(); };
        ASSERT_TRUE(run_loop_until([&] { return received() > i; }, 120.0)) << i;
    }
    auto injected = [&](sink &s) {
        return s.with([&](mcfrig::sink_check &c) { return packets_of(c, kKlvPid).size() >= size_t(kDatagrams); });
    };
    const bool all = run_loop_until([&] { return injected(one) && injected(two); }, 120.0);
    const size_t left_in_ring = mcf::klv::ring_level();
    std::string why = "source received " + std::to_string(src->pkts_rx) + ", packetizing errors " +
                      std::to_string(src->errs_packetizing) + ", overflows " + std::to_string(src->errs_overflow) +
                      ", ring " + std::to_string(left_in_ring);
    for (sink *s : {&one, &two})
        s->with([&](mcfrig::sink_check &c) {
            why += ", sink " + std::to_string(packets_of(c, kKlvPid).size());
            return true;
        });
    kd_frame_unload_plugin("mcastfwdr");
    one.stop();
    two.stop();
    ASSERT_TRUE(all) << why;
    // Every injected packet left the ring once both outputs had sent it.
    EXPECT_EQ(left_in_ring, 0u);

    int n = 0;
    for (sink *s : {&one, &two}) {
        SCOPED_TRACE(++n);
        mcfrig::sink_check &c = s->result();
        EXPECT_EQ(c.cc_errors, 0u) << c.cc_report(); // the KLV PID's counters included
        EXPECT_TRUE(c.pmt[1].es.count(kKlvPid));
        const std::vector<const uint8_t *> k = packets_of(c, kKlvPid);
        ASSERT_EQ(k.size(), size_t(kDatagrams));
        for (int i = 0; i < kDatagrams; ++i) {
            const uint8_t *p = k[size_t(i)];
            // The datagram's bytes end the packet, in the order sent.
            EXPECT_EQ(p[187], uint8_t('A' + i % 26)) << i;
        }
        const std::string captured = (dir_.path / ("klv" + std::to_string(n) + ".ts")).string();
        std::ofstream(captured, std::ios::binary).write(reinterpret_cast<const char *>(c.bytes.data()),
                                                        std::streamsize(c.bytes.size()));
        const std::string probe =
            tsfix::run("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + captured + "'");
        EXPECT_NE(probe.find("klv"), std::string::npos) << probe;
    }
}

TEST_F(EndToEnd, AnRtpInputReachesAnRtpOutputAndItsRedundantPathRenumbered)
{
    scenario card(3);
    address(card);
    card.start_linked();
    card.change([] {
        net_input(101, "239.7.7.8", 7002);
        cfg_tx *tx = net_output(2, "239.8.8.9", 8002, PROTOCOL_RTP);
        tx->redundant_transmit = REDUNDANT_XMIT_ON;
        std::snprintf(tx->redundant_node, sizeof tx->redundant_node, "%s", "239.8.8.10");
        kd_remote_addr_init(&tx->redundant_ra, tx->redundant_node, nullptr);
        kd_remote_addr_set_port(&tx->redundant_ra, 8004);
        std::snprintf(tx->redundant_intf, sizeof tx->redundant_intf, "%s", "eth0");
        tx->redundant_port = 8004;
        cfg_tx_input *svc = mcftest::must(cfg_tx_input_add(tx), "a service");
        svc->input_id = 101;
        svc->input_prog_num = 1;
        svc->overwrite_prog_num = 77;
    });
    ASSERT_NE(manager_outputs_find_by_id(2), nullptr);

    sink main_path(card, "239.8.8.9", 8002, true), second_path(card, "239.8.8.10", 8004, true);
    ASSERT_TRUE(main_path.joined() && second_path.joined());
    paced_sender in(card, ts_, "239.7.7.8", 7002, true);
    auto enough = [](mcfrig::sink_check &c) { return c.pmt.count(77) && c.packets > 4000; };
    const bool got = run_loop_until([&] { return main_path.with(enough) && second_path.with(enough); }, 120.0);
    kd_frame_unload_plugin("mcastfwdr");
    main_path.stop();
    second_path.stop();
    ASSERT_TRUE(got) << in.sent() << " datagrams sent";

    for (sink *s : {&main_path, &second_path}) {
        mcfrig::sink_check &c = s->result();
        EXPECT_TRUE(s->sizes_ok_);
        EXPECT_EQ(c.framing_errors, 0u);
        EXPECT_EQ(c.rtp_seq_errors, 0u);
        EXPECT_EQ(c.rtp_payload_types, std::set<int>{33});
        EXPECT_EQ(c.cc_errors, 0u) << c.cc_report();
        ASSERT_EQ(c.programs.size(), 1u);
        EXPECT_EQ(c.programs.begin()->first, 77);
        EXPECT_EQ(c.pmt[77].es, (std::set<int>{0x100, 0x101}));
        ASSERT_EQ(c.sdt.size(), 1u);
        EXPECT_EQ(c.sdt.begin()->first, 77);
        expect_pcrs_on_time(c, 0x100);
        for (int pid : c.pids)
            EXPECT_FALSE(pid == 0x102 || pid == 0x103 || pid == 0x1001) << "PID " << pid << " of the other program";
    }
    EXPECT_EQ(programs_of(main_path.result(), "rtp.ts"), "program_id=77\n");
    expect_video(video_of(main_path.result(), "rtp.ts"));
}

// Eight inputs each routed to an output, at about a tenth of the full load
// (the full 210 Mbit/s is the relay benchmark's run): every datagram sent
// reaches its input, every output is continuity clean. Under
// ThreadSanitizer, whose threads run many times slower without real-time
// priority, three inputs carry the test.
TEST_F(EndToEnd, EightRoutedInputsLoseNothing)
{
#ifdef __SANITIZE_THREAD__
    constexpr int kN = 3;
#else
    constexpr int kN = 8;
#endif
    scenario card(3);
    address(card);
    card.start_linked();
    card.change([] {
        for (int i = 0; i < kN; ++i) {
            const std::string in = "239.7.8." + std::to_string(i + 1), out = "239.8.9." + std::to_string(i + 1);
            net_input(110 + i, in.c_str(), 7100);
            cfg_tx_input *svc = mcftest::must(cfg_tx_input_add(net_output(10 + i, out.c_str(), 8100, PROTOCOL_UDP)), "a service");
            svc->input_id = 110 + i;
            svc->input_prog_num = 1 + i % 2;
        }
    });
    std::vector<std::unique_ptr<sink>> outs;
    for (int i = 0; i < kN; ++i) {
        outs.push_back(std::make_unique<sink>(card, ("239.8.9." + std::to_string(i + 1)).c_str(), 8100));
        ASSERT_TRUE(outs.back()->joined());
    }
    std::vector<std::unique_ptr<paced_sender>> ins;
    for (int i = 0; i < kN; ++i)
        ins.push_back(std::make_unique<paced_sender>(card, ts_, ("239.7.8." + std::to_string(i + 1)).c_str(), 7100));
    EXPECT_TRUE(run_loop_until([&] {
        for (auto &o : outs)
            if (!o->with([](mcfrig::sink_check &c) { return c.packets > 3000; }))
                return false;
        return true;
    }, 120.0));
    // Stopped: every packet sent arrives at its input.
    for (auto &in : ins)
        in->stop();
    auto received = [](int i) {
        const manager_input *mi = manager_inputs_find_by_id(110 + i);
        return mi ? mi->ts_packets_rx.load() : 0;
    };
    run_loop_until([&] {
        for (int i = 0; i < kN; ++i)
            if (received(i) != ins[size_t(i)]->sent() * 7)
                return false;
        return true;
    }, 120.0);
    for (int i = 0; i < kN; ++i)
        EXPECT_EQ(received(i), ins[size_t(i)]->sent() * 7) << "input " << 110 + i;
    // Where an output's packets went, for a failure: taken into its pool,
    // sent by its egress thread, and what that thread counted.
    std::vector<std::string> path(kN);
    for (int i = 0; i < kN; ++i)
        if (const manager_output *mo = manager_outputs_find_by_id(10 + i); mo && mo->egress)
            path[size_t(i)] = "pooled " + std::to_string(mo->ts_pkts_rx.load()) + ", sent " +
                              std::to_string(mo->ts_pkts_tx.load()) + ", socket errors " +
                              std::to_string(mo->egress->stats.socket_error.load()) + ", ring full " +
                              std::to_string(mo->egress->stats.ring_full.load()) + "; ";
    kd_frame_unload_plugin("mcastfwdr");
    for (auto &o : outs)
        o->stop();
    EXPECT_EQ(card.log().count("Mux Ingress rate exceeded"), 0);
    for (int i = 0; i < kN; ++i) {
        mcfrig::sink_check &c = outs[size_t(i)]->result();
        EXPECT_EQ(c.cc_errors, 0u) << "output " << 10 + i << ": " << path[size_t(i)] << c.packets << " received; "
                                   << c.cc_report();
        EXPECT_EQ(c.framing_errors, 0u) << "output " << 10 + i;
        ASSERT_EQ(c.programs.size(), 1u) << "output " << 10 + i;
        EXPECT_EQ(c.programs.begin()->first, 1 + i % 2) << "output " << 10 + i;
    }
}

// A decoder card: programs routed to its decoder outputs 0 and 1 arrive in
// 1880-byte datagrams. Packets lost on their input clear into "ccset" for
// both channels at the first error-free check; the decoder's answer stops
// the outputs through the loop; "ccclear" 1000 cycles later starts them again.
TEST_F(EndToEnd, ADecoderCardSignalsLostPacketsToItsDecoder)
{
    scenario card(3, false, "decode");
    address(card);
    standin_decoder dec;
    ASSERT_TRUE(dec.bound());
    card.start_linked();
    ASSERT_TRUE(mcf_decoder_exists());
    card.change([] {
        net_input(100, "239.7.7.7", 7000);
        for (int ch : {0, 1}) {
            cfg_tx *tx = mcftest::must(mcfcfg_tx_find_by_id(ch), "a decoder output");
            tx->dest_transmit = DEST_XMIT_ON;
            cfg_tx_input *svc = mcftest::must(cfg_tx_input_add(tx), "a service");
            svc->input_id = 100;
            svc->input_prog_num = 1 + ch;
            manager_outputs_delete(ch); // made again with its services
        }
    });
    paced_sender in(card, ts_, "239.7.7.7", 7000);
    ASSERT_TRUE(run_loop_until([&] { return dec.datagrams(0) > 100 && dec.datagrams(1) > 100; }, 120.0))
        << dec.datagrams(0) << " and " << dec.datagrams(1) << " datagrams, " << in.sent() << " sent";
    in.drop(5);
    auto transmit = [](int ch) {
        const cfg_tx *tx = mcfcfg_tx_find_by_id(ch);
        return tx ? tx->dest_transmit : DEST_XMIT_OFF;
    };
    // The next input alarm check may be up to about 6 s away.
    EXPECT_TRUE(run_loop_until([&] { return dec.events().size() >= 2; }, 120.0));
    EXPECT_TRUE(run_loop_until([&] { return transmit(0) == DEST_XMIT_OFF && transmit(1) == DEST_XMIT_OFF; }));
    EXPECT_TRUE(run_loop_until([&] { return dec.events().size() >= 4; }, 120.0));
    EXPECT_TRUE(run_loop_until([&] { return transmit(0) == DEST_XMIT_ON && transmit(1) == DEST_XMIT_ON; }));
    EXPECT_EQ(dec.events(), (std::vector<std::string>{"ccset 0", "ccset 1", "ccclear 0", "ccclear 1"}));
    EXPECT_EQ(mcf::ingress_stats(INGRESS_SRC_NET).pipe_full.load(), 0u);
    EXPECT_EQ(dec.wrong_sizes(), 0u);
    kd_frame_unload_plugin("mcastfwdr");
    EXPECT_EQ(card.log().count("MCF: emit CC set 1"), 1);
    EXPECT_EQ(card.log().count("MCF: emit CC clear 2"), 1);
}

} // namespace
