// The forwarder streaming on the rig: the card's host program starts from a
// store file holding two inputs and three outputs; multicat replays the
// rig's two files from the generator at their own rate, rig_a.ts into a UDP
// input and rig_b.ts into an RTP input; the sink captures the UDP output,
// the RTP output and both paths of the redundant RTP output and checks each
// as a receiver would: framing, RTP sequence, continuity per PID, PCRs on
// time (on the output fed by one input), PAT/PMT/SDT as configured, no PID
// of a program not routed there, both paths alike; ffprobe lists exactly
// the configured programs and decodes their video.
// Half way through, a remap is changed through the rig's control socket
// and the new PID replaces the old one on the output. The host program then
// ends on SIGTERM with status 0 (its threads joined, no leak). On a decoder
// card, the programs routed to the decoder outputs reach the decoder's two
// unix paths in 1880-byte datagrams that ffprobe decodes.
//
// KD_RIG_SECONDS: how long the outputs are checked (default 5; the full run
// is 30, at most the stream files' length less five seconds). KD_RIG_KEEP:
// the captures, the host's log and multicat's are left in /tmp/kdrigstream.*.
// Needs root.
#include "rig_ask.h"
#include "rig_card.h"
#include "sink_check.h"
#include "ts_fixtures.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Each output's rate holds the inputs it draws from (their whole rates: every
// packet of a routed input takes an output slot, unrouted ones as null packets).
constexpr int kOutBps[] = {8000000, 8000000, 5000000, 5000000}; // by captured stream

int env_int(const char *name, int fallback)
{
    const char *v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

// Polls `done` until it holds or `limit` passes.
bool wait_until(const std::function<bool()> &done, std::chrono::seconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// ---- the card's configuration, as its store file keeps it ----

using store_rows = std::vector<std::pair<std::string, std::string>>;

std::string input(int id, const char *key) { return "mcastfwdr/rules/inputs/input_" + std::to_string(id) + "/" + key; }
std::string output(int id, const std::string &key)
{
    return "mcastfwdr/rules/outputs/output_" + std::to_string(id) + "/" + key;
}
std::string service(int out, int svc, const std::string &key)
{
    return output(out, "input_refs/service_" + std::to_string(svc) + "/" + key);
}
std::string remap(int out, int svc, int id, const char *key)
{
    return service(out, svc, "remaps/remap_" + std::to_string(id) + "/" + key);
}

// A Net input on the card's eth1 ("Port 2").
void net_input(store_rows &r, int id, const char *group, const char *port, const char *bps)
{
    r.insert(r.end(), {{input(id, "ip_address"), group},
                       {input(id, "port"), port},
                       {input(id, "interface"), "Port 2"},
                       {input(id, "trans_mux_rate"), bps}});
}

// Inputs: 100 (UDP, rig_a: programs 1, 2) and 101 (RTP, rig_b: 11, 12, 13),
// each at its file's mux rate on the card's eth1 ("Port 2").
// Outputs on eth0 ("Port 1"):
//   1 UDP, 8 Mbit/s: program 1 (video 0x100 as 0x300) and program 12
//   2 RTP, 8 Mbit/s: program 11 as program 77, program 2 (audio 0x103 as 0x333)
//   3 RTP with a second path, 5 Mbit/s: program 13
store_rows scenario()
{
    store_rows r = {{"mcastfwdr/input_net_keys", "100,101"}, {"mcastfwdr/output_keys", "1[0,1];2[0,1];3[0]"}};
    net_input(r, 100, "239.35.1.1", "5000", "3000000");
    net_input(r, 101, "239.35.1.2", "5002", "4000000");
    const struct {
        int id;
        const char *group, *port, *protocol;
        int bps;
    } outs[] = {{1, "239.35.2.1", "6001", "UDP", kOutBps[0]},
                {2, "239.35.2.2", "6002", "RTP", kOutBps[1]},
                {3, "239.35.2.3", "6003", "RTP", kOutBps[2]}};
    for (const auto &o : outs)
        r.insert(r.end(), {{output(o.id, "ip_address"), o.group},
                           {output(o.id, "port"), o.port},
                           {output(o.id, "interface"), "Port 1"},
                           {output(o.id, "trans_mux_rate"), std::to_string(o.bps)},
                           {output(o.id, "protocol"), o.protocol},
                           {output(o.id, "transmit"), "On"}});
    r.insert(r.end(), {{output(3, "2022-7_output"), "On"},
                       {output(3, "path_2_address"), "239.35.2.4"},
                       {output(3, "path_2_port"), "6004"},
                       {output(3, "path_2_connector"), "Port 1"}});
    const struct {
        int out, svc;
        const char *input, *program, *overwrite;
    } services[] = {{1, 0, "100", "1", nullptr},
                    {1, 1, "101", "12", nullptr},
                    {2, 0, "101", "11", "77"},
                    {2, 1, "100", "2", nullptr},
                    {3, 0, "101", "13", nullptr}};
    for (const auto &s : services) {
        r.insert(r.end(), {{service(s.out, s.svc, "input_id"), s.input},
                           {service(s.out, s.svc, "program_number"), s.program}});
        if (s.overwrite)
            r.emplace_back(service(s.out, s.svc, "overwrite_program_number"), s.overwrite);
    }
    r.insert(r.end(), {{"mcastfwdr/pidmap_keys_1", "0[0]"},
                       {remap(1, 0, 0, "label"), "Video"},
                       {remap(1, 0, 0, "pid_in"), "256"},
                       {remap(1, 0, 0, "pid_out"), "768"},
                       {"mcastfwdr/pidmap_keys_2", "1[0]"},
                       {remap(2, 1, 0, "label"), "Audio"},
                       {remap(2, 1, 0, "pid_in"), "259"},
                       {remap(2, 1, 0, "pid_out"), "819"}});
    return r;
}

std::string store_json(const store_rows &rows)
{
    std::string s = "{\n  \"mcastfwdr\": {";
    for (size_t i = 0; i < rows.size(); ++i)
        s += std::string(i ? "," : "") + "\n    \"" + rows[i].first + "\": \"" + rows[i].second + "\"";
    return s + "\n  }\n}\n";
}

// ---- the generator: multicat replays a file at its rate ----

// multicat paces a file by the PCRs that ingests writes to its ".aux"
// beside it: the file is linked into `dir` for that. Sent from the
// generator namespace; RTP unless `udp`.
class replay {
public:
    replay(const rig::net &n, const fs::path &file, int pcr_pid, const fs::path &dir, const std::string &to, bool udp)
    {
        const fs::path ts = dir / file.filename();
        fs::create_symlink(file, ts);
        const std::string aux = tsfix::run("cd '" + dir.string() + "' && ingests -p " + std::to_string(pcr_pid) + " '" +
                                          ts.filename().string() + "' 2>&1 && echo made");
        if (aux.find("made") == std::string::npos)
            throw std::runtime_error("ingests failed: " + aux);
        std::vector<std::string> args = {"ip", "netns", "exec", n.generator(), "multicat", "-t", "2"};
        if (udp)
            args.push_back("-U");
        args.insert(args.end(), {ts.string(), to});
        pid_ = rig::start_program(args, (dir / (file.stem().string() + ".multicat.log")).string());
    }
    ~replay() { stop(); }
    replay(const replay &) = delete;
    replay &operator=(const replay &) = delete;

    void stop() { rig::stop_program(pid_); }

private:
    pid_t pid_ = -1;
};

// ---- the sink: captures in the sink namespace ----

struct captured {
    std::string group;
    int port;
    bool rtp;
    int fd = -1;
    std::unique_ptr<mcfrig::sink_check> check = std::make_unique<mcfrig::sink_check>();
    uint64_t wrong_sizes = 0;
    int first_seq = -1;
};

// One thread reads every output's group on sink0, each into its checker.
class sink {
public:
    struct want {
        const char *group;
        int port;
        bool rtp;
    };
    sink(const rig::net &n, std::initializer_list<want> streams)
    {
        rig_enter in(n.sink());
        for (const want &w : streams) {
            auto c = std::make_unique<captured>();
            c->group = w.group;
            c->port = w.port;
            c->rtp = w.rtp;
            c->fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            const int on = 1, size = 8 << 20;
            setsockopt(c->fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            setsockopt(c->fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(uint16_t(w.port));
            inet_pton(AF_INET, w.group, &a.sin_addr);
            ip_mreq m{};
            m.imr_multiaddr = a.sin_addr;
            inet_pton(AF_INET, rig::sink_addr, &m.imr_interface);
            if (bind(c->fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
                setsockopt(c->fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) != 0)
                throw std::runtime_error(std::string("cannot join ") + w.group);
            streams_.push_back(std::move(c));
        }
        thread_ = std::thread([this] { run(); });
    }
    ~sink()
    {
        stop();
        for (auto &c : streams_)
            ::close(c->fd);
    }
    sink(const sink &) = delete;
    sink &operator=(const sink &) = delete;

    void stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    // `f` on stream i's checker while capturing.
    template <class F> auto with(size_t i, F f)
    {
        std::lock_guard lk(mutex_);
        return f(*streams_.at(i)->check);
    }
    // Every stream checked afresh from here on.
    void restart()
    {
        std::lock_guard lk(mutex_);
        for (auto &c : streams_) {
            c->check = std::make_unique<mcfrig::sink_check>();
            c->wrong_sizes = 0;
            c->first_seq = -1;
        }
    }
    // Stream i, once stopped.
    captured &operator[](size_t i) { return *streams_.at(i); }
    size_t size() const { return streams_.size(); }

private:
    // The rig's namespace entry for this thread (the constructor's sockets
    // stay in the sink namespace afterwards).
    using rig_enter = xsbsim::net_rig::enter;

    void run()
    {
        std::vector<pollfd> fds;
        for (auto &c : streams_)
            fds.push_back({c->fd, POLLIN, 0});
        std::vector<uint8_t> buf(2048);
        while (!stop_) {
            if (poll(fds.data(), fds.size(), 50) <= 0)
                continue;
            for (size_t i = 0; i < fds.size(); ++i) {
                captured &c = *streams_[i];
                ssize_t n;
                while ((n = recv(c.fd, buf.data(), buf.size(), 0)) > 0) {
                    std::lock_guard lk(mutex_);
                    if (c.rtp && c.first_seq < 0 && n >= 4)
                        c.first_seq = buf[2] << 8 | buf[3];
                    c.wrong_sizes += n != 7 * 188 + (c.rtp ? 12 : 0);
                    c.check->datagram(buf.data(), size_t(n), c.rtp);
                }
            }
        }
    }

    std::vector<std::unique_ptr<captured>> streams_;
    std::mutex mutex_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The decoder's ends of a decoder card's link: the two unix paths under the
// card's root, read by one thread. Every datagram's size is counted; its
// packets but the null ones go to the channel's checker (the outputs run at
// the decoder's rates, mostly null packets). A unix datagram socket queues
// as many datagrams as its namespace allows (10 by default, some 1.5 ms of
// channel 0): the sockets are made in the card's namespace, which queues
// more, so that a receiver on a loaded machine keeps up as the decoder does.
class decoder_ends {
public:
    decoder_ends(const rig::net &n, const std::string &root)
    {
        if (std::system(("ip netns exec " + n.card() + " sysctl -qw net.unix.max_dgram_qlen=4096").c_str()) != 0)
            bound_ = false;
        xsbsim::net_rig::enter in(n.card());
        for (int ch = 0; ch < 2; ++ch) {
            const std::string path = root + "/var/run/decode-" + std::to_string(ch) + "-unix.sock";
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
            fd_[ch] = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            const int size = 8 << 20;
            setsockopt(fd_[ch], SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
            ::unlink(path.c_str());
            bound_ = bind(fd_[ch], reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && bound_;
        }
        thread_ = std::thread([this] { run(); });
    }
    ~decoder_ends()
    {
        stop();
        for (int fd : fd_)
            ::close(fd);
    }
    decoder_ends(const decoder_ends &) = delete;
    decoder_ends &operator=(const decoder_ends &) = delete;

    bool bound() const { return bound_; }
    void stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    template <class F> auto with(int ch, F f)
    {
        std::lock_guard lk(mutex_);
        return f(check_[ch]);
    }
    // Once stopped.
    mcfrig::sink_check &check(int ch) { return check_[ch]; }
    uint64_t datagrams(int ch) const { return datagrams_[ch]; }
    uint64_t wrong_sizes(int ch) const { return wrong_sizes_[ch]; }

private:
    void run()
    {
        std::vector<uint8_t> buf(4096);
        while (!stop_) {
            pollfd p[2] = {{fd_[0], POLLIN, 0}, {fd_[1], POLLIN, 0}};
            if (poll(p, 2, 50) <= 0)
                continue;
            for (int ch = 0; ch < 2; ++ch) {
                ssize_t n;
                while ((n = recv(fd_[ch], buf.data(), buf.size(), 0)) > 0) {
                    ++datagrams_[ch];
                    wrong_sizes_[ch] += n != 1880;
                    std::lock_guard lk(mutex_);
                    for (ssize_t off = 0; off + 188 <= n; off += 188)
                        if (((buf[size_t(off) + 1] & 0x1F) << 8 | buf[size_t(off) + 2]) != 0x1FFF)
                            check_[ch].packet(buf.data() + off);
                }
            }
        }
    }

    int fd_[2] = {-1, -1};
    bool bound_ = true;
    std::mutex mutex_;
    mcfrig::sink_check check_[2];
    std::atomic<uint64_t> datagrams_[2] = {0, 0}, wrong_sizes_[2] = {0, 0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// ---- what each output should carry ----

struct program_want {
    int number;
    std::set<int> es; // after every remap
    int pcr;
    const char *name;
};

struct output_want {
    const char *what;
    std::vector<program_want> programs;
    std::set<int> foreign; // PIDs of programs not routed here, and input PIDs remapped
    std::set<int> earlier; // PIDs that came before a change
    // PCRs checked against the packets' positions: on an output fed by one
    // input. An output mixing two inputs places their packets in the order
    // they arrive, and a PCR counts the other input's packets since the
    // last: when one sender's packets come over 13 ms late (a loaded
    // machine), the PCRs drift that far from the input's and the forwarder
    // realigns them, a step by design. There the largest error is recorded.
    bool pcr_on_position;
};

// The PIDs of the rig's files: rig_a program n (1, 2): PMT 0x1000 + n - 1,
// video 0x100 + 2(n - 1), audio one above; rig_b program n (11..13): PMT
// 0x1100 + n - 11, video 0x200 + 2(n - 11), audio one above.
std::set<int> pids_a(int n) { return {0x1000 + n - 1, 0x100 + 2 * (n - 1), 0x101 + 2 * (n - 1)}; }
std::set<int> pids_b(int n) { return {0x1100 + n - 11, 0x200 + 2 * (n - 11), 0x201 + 2 * (n - 11)}; }
std::set<int> joined(std::initializer_list<std::set<int>> sets)
{
    std::set<int> out;
    for (const auto &s : sets)
        out.insert(s.begin(), s.end());
    return out;
}

class RigStream : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string why = xsbsim::net_rig::skip_reason(); !why.empty())
            GTEST_SKIP() << why;
        for (const char *p : {"multicat", "ingests", "ffprobe"})
            if (!tsfix::have_program(p))
                GTEST_SKIP() << p << " is needed";
        const char *build = std::getenv("KD_BUILD_DIR");
        ASSERT_NE(build, nullptr) << "KD_BUILD_DIR is not set";
        streams_ = fs::path(build) / "rig";
        if (!fs::exists(streams_ / "rig_a.ts") || !fs::exists(streams_ / "rig_b.ts"))
            GTEST_SKIP() << "the rig's streams were not made (ffmpeg missing?)";
        char tmpl[] = "/tmp/kdrigstream.XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl));
        dir_ = tmpl;
    }
    void TearDown() override
    {
        if (!dir_.empty() && !std::getenv("KD_RIG_KEEP"))
            fs::remove_all(dir_);
    }

    // ffprobe in the sink namespace on what a receiver got.
    std::string probe(const rig::net &n, const mcfrig::sink_check &k, const std::string &name, const std::string &what)
    {
        const fs::path file = dir_ / name;
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char *>(k.bytes.data()), std::streamsize(k.bytes.size()));
        return tsfix::run("ip netns exec " + n.sink() + " ffprobe -v error " + what + " '" + file.string() +
                         "' 2>/dev/null");
    }

    void expect_output(const rig::net &n, captured &c, const output_want &w, int bps, double seconds)
    {
        SCOPED_TRACE(w.what);
        mcfrig::sink_check &k = *c.check;
        EXPECT_EQ(c.wrong_sizes, 0u);
        EXPECT_EQ(k.framing_errors, 0u);
        EXPECT_EQ(k.cc_errors, 0u) << k.cc_report();
        if (c.rtp) {
            EXPECT_EQ(k.rtp_seq_errors, 0u);
            EXPECT_EQ(k.rtp_payload_types, std::set<int>{33});
        }
        std::set<int> numbers, allowed = w.earlier;
        allowed.insert({0, 1, 17, 0x1FFF});
        for (const program_want &p : w.programs) {
            numbers.insert(p.number);
            allowed.insert(p.es.begin(), p.es.end());
            EXPECT_EQ(k.pmt[p.number].es, p.es) << "program " << p.number;
            EXPECT_EQ(k.pmt[p.number].pcr_pid, p.pcr) << "program " << p.number;
            EXPECT_EQ(k.sdt[p.number], p.name) << "program " << p.number;
            for (int pid : p.es)
                EXPECT_TRUE(k.pids.count(pid)) << "PID " << pid << " of program " << p.number << " never came";
            const double err = k.pcr_worst_error(p.pcr, bps);
            EXPECT_GE(err, 0) << "program " << p.number << ": too few PCRs";
            if (w.pcr_on_position)
                EXPECT_LE(err, 13.5) << "program " << p.number << ": PCR off by " << err / 27 << " us";
            else
                RecordProperty(std::string(w.what) + "_program_" + std::to_string(p.number) + "_pcr_error_us",
                               std::to_string(err / 27));
        }
        std::set<int> listed;
        for (const auto &[number, pmt_pid] : k.programs) {
            listed.insert(number);
            allowed.insert(pmt_pid);
        }
        EXPECT_EQ(listed, numbers);
        EXPECT_EQ(k.sdt.size(), numbers.size());
        for (int pid : k.pids) {
            EXPECT_TRUE(allowed.count(pid)) << "PID " << pid << " not configured";
            EXPECT_FALSE(w.foreign.count(pid)) << "PID " << pid << " of another program";
        }
        // The whole run at the output's rate arrived.
        EXPECT_GE(double(k.packets), seconds * bps / 1504);

        const std::string name = std::string(w.what) + ".ts";
        // ffprobe lists programs in the PAT's order.
        std::vector<int> probed;
        std::istringstream list(probe(n, k, name, "-show_entries program=program_num -of csv=p=0"));
        for (std::string line; std::getline(list, line);)
            if (!line.empty())
                probed.push_back(std::atoi(line.c_str()));
        std::sort(probed.begin(), probed.end());
        EXPECT_EQ(probed, std::vector<int>(numbers.begin(), numbers.end()));
        // Every video stream decodes, about a second of frames at least.
        EXPECT_GE(videos_decoded(n, k, name), int(numbers.size()));
    }

    // How many video streams ffprobe finds in what a receiver got; each
    // decodes, about a second of frames at least.
    int videos_decoded(const rig::net &n, const mcfrig::sink_check &k, const std::string &name)
    {
        std::istringstream videos(probe(n, k, name, "-count_frames -select_streams v -show_entries "
                                                    "stream=id,codec_name,nb_read_frames -of compact=p=0"));
        int streams = 0;
        for (std::string line; std::getline(videos, line);) {
            if (line.empty())
                continue;
            ++streams;
            EXPECT_NE(line.find("codec_name=mpeg2video"), std::string::npos) << line;
            const auto frames = line.find("nb_read_frames=");
            EXPECT_GE(frames == std::string::npos ? 0 : std::atoi(line.c_str() + frames + 15), 25) << line;
        }
        return streams;
    }

    fs::path streams_, dir_;
};

TEST_F(RigStream, TwoFilesThroughUdpRtpAndRedundantRtpOutputsCheckClean)
{
    const int seconds = env_int("KD_RIG_SECONDS", 5);
    const int file_seconds = env_int("KD_RIG_STREAM_SECONDS", 35);
    ASSERT_GT(seconds, 1);
    ASSERT_LE(seconds + 5, file_seconds) << "KD_RIG_SECONDS runs beyond the stream files";

    rig::net n;
    rig::card c(n, store_json(scenario()));
    ASSERT_TRUE(c.wait_ready()) << c.log();
    sink out(n, {{"239.35.2.1", 6001, false}, {"239.35.2.2", 6002, true}, {"239.35.2.3", 6003, true},
                 {"239.35.2.4", 6004, true}});
    replay a(n, streams_ / "rig_a.ts", 0x100, dir_, "239.35.1.1:5000", true);
    replay b(n, streams_ / "rig_b.ts", 0x200, dir_, "239.35.1.2:5002", false);

    // Every output carries its programs...
    const std::vector<std::set<int>> programs = {{1, 12}, {2, 77}, {13}, {13}};
    auto all_programs = [&] {
        for (size_t i = 0; i < out.size(); ++i)
            if (!out.with(i, [&](mcfrig::sink_check &k) {
                    return std::all_of(programs[i].begin(), programs[i].end(),
                                       [&](int p) { return k.pmt.count(p) > 0; });
                }))
                return false;
        return true;
    };
    const bool flowing = wait_until(all_programs, 60s);
    // ... and is checked from here on (what came while the inputs were
    // still found and the outputs made is left out) for `seconds` at its
    // rate, the remap of output 1 changed through the control socket half way.
    out.restart();
    auto packets = [&](size_t i) { return out.with(i, [](mcfrig::sink_check &k) { return k.packets; }); };
    // Packets of stream i in s seconds.
    auto in_seconds = [](size_t i, double s) { return s * kOutBps[i] / 1504; };
    std::string changed;
    bool new_pid_seen = false, enough = false;
    if (flowing) {
        wait_until([&] { return double(packets(0)) >= in_seconds(0, seconds / 2.0); },
                   std::chrono::seconds(seconds * 3));
        changed = rig::ask(c.socket(), remap(1, 0, 0, "pid_out") + " 784");
        new_pid_seen = wait_until(
            [&] { return out.with(0, [](mcfrig::sink_check &k) { return k.pids.count(0x310) > 0; }); }, 20s);
        enough = wait_until(
            [&] {
                for (size_t i = 0; i < out.size(); ++i)
                    if (double(packets(i)) < in_seconds(i, seconds))
                        return false;
                return true;
            },
            std::chrono::seconds(seconds * 3 + 30));
    }
    // The card stops while the files still stream.
    out.stop();
    const int status = c.stop();
    a.stop();
    b.stop();
    const std::string log = c.log();
    std::ofstream(dir_ / "host.log") << log;
    ASSERT_TRUE(flowing) << log;
    EXPECT_EQ(changed, "ok 784");
    EXPECT_TRUE(new_pid_seen) << log;
    EXPECT_TRUE(enough);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n" << log;
    EXPECT_NE(log.find("multiplexer: thread join... done"), std::string::npos) << log;
    EXPECT_NE(log.find("maintainer: thread join done"), std::string::npos) << log;
    EXPECT_EQ(log.find("Mux Ingress rate exceeded"), std::string::npos) << log;

    // Output 1: the old video PID 0x300 is gone once 0x310 came.
    {
        const std::vector<uint8_t> &bytes = out[0].check->bytes;
        size_t last_old = 0, first_new = bytes.size();
        for (size_t off = 0; off + 188 <= bytes.size(); off += 188) {
            const int pid = (bytes[off + 1] & 0x1F) << 8 | bytes[off + 2];
            if (pid == 0x300)
                last_old = off;
            else if (pid == 0x310)
                first_new = std::min(first_new, off);
        }
        EXPECT_LT(last_old, first_new);
    }
    const std::set<int> not_13 = joined({pids_a(1), pids_a(2), pids_b(11), pids_b(12)});
    const output_want wants[] = {
        {"udp",
         {{1, {0x310, 0x101}, 0x310, "P1"}, {12, {0x202, 0x203}, 0x202, "P12"}},
         joined({pids_a(2), pids_b(11), pids_b(13), {0x100}}),
         {0x300},
         false},
        {"rtp",
         {{77, {0x200, 0x201}, 0x200, "P11"}, {2, {0x102, 0x333}, 0x102, "P2"}},
         joined({pids_a(1), pids_b(12), pids_b(13), {0x103}}),
         {},
         false},
        {"rtp-path1", {{13, {0x204, 0x205}, 0x204, "P13"}}, not_13, {}, true},
        {"rtp-path2", {{13, {0x204, 0x205}, 0x204, "P13"}}, not_13, {}, true},
    };
    for (size_t i = 0; i < out.size(); ++i)
        expect_output(n, out[i], wants[i], kOutBps[i], seconds);

    // Both paths of output 3 carry the same datagrams.
    captured &p1 = out[2], &p2 = out[3];
    ASSERT_GE(p1.first_seq, 0);
    ASSERT_GE(p2.first_seq, 0);
    const int skew = int16_t(uint16_t(p2.first_seq - p1.first_seq));
    const size_t dg = 7 * 188, skip1 = skew > 0 ? size_t(skew) * dg : 0, skip2 = skew < 0 ? size_t(-skew) * dg : 0;
    const auto &b1 = p1.check->bytes, &b2 = p2.check->bytes;
    ASSERT_GT(b1.size(), skip1);
    ASSERT_GT(b2.size(), skip2);
    const size_t common = std::min(b1.size() - skip1, b2.size() - skip2);
    EXPECT_GT(double(common), in_seconds(2, seconds) * 188 / 2);
    EXPECT_TRUE(std::equal(b1.begin() + std::ptrdiff_t(skip1), b1.begin() + std::ptrdiff_t(skip1 + common),
                           b2.begin() + std::ptrdiff_t(skip2)));
}

} // namespace

namespace {

TEST_F(RigStream, ADecoderCardsOutputsReachTheDecoderInWholeDatagrams)
{
    const int seconds = env_int("KD_RIG_SECONDS", 5);
    store_rows rows = {{"mcastfwdr/input_net_keys", "100"}};
    net_input(rows, 100, "239.35.1.1", "5000", "3000000");
    // The decoder outputs 0 and 1 are the card's own, a service each.
    for (int ch : {0, 1})
        rows.insert(rows.end(), {{service(ch, 0, "input_id"), "100"}, {service(ch, 0, "program_number"), ch ? "2" : "1"}});

    rig::net n;
    rig::card c(n, store_json(rows), "decode");
    decoder_ends dec(n, c.root());
    ASSERT_TRUE(dec.bound());
    ASSERT_TRUE(c.wait_ready()) << c.log();
    replay a(n, streams_ / "rig_a.ts", 0x100, dir_, "239.35.1.1:5000", true);
    // Each channel carries its program for `seconds` (its video near 600 kbit/s).
    const bool enough = wait_until(
        [&] {
            for (int ch : {0, 1})
                if (!dec.with(ch, [&](mcfrig::sink_check &k) {
                        return k.pmt.count(ch + 1) && k.pids.count(0x100 + 2 * ch) && k.packets > 400u * unsigned(seconds);
                    }))
                    return false;
            return true;
        },
        std::chrono::seconds(seconds * 3 + 30));
    dec.stop();
    const int status = c.stop();
    a.stop();
    const std::string log = c.log();
    std::ofstream(dir_ / "host.log") << log;
    ASSERT_TRUE(enough) << dec.datagrams(0) << " and " << dec.datagrams(1) << " datagrams\n" << log;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n" << log;
    for (int ch : {0, 1}) {
        SCOPED_TRACE("channel " + std::to_string(ch));
        mcfrig::sink_check &k = dec.check(ch);
        EXPECT_EQ(dec.wrong_sizes(ch), 0u);
        EXPECT_EQ(k.framing_errors, 0u);
        EXPECT_EQ(k.cc_errors, 0u) << k.cc_report();
        ASSERT_EQ(k.programs.size(), 1u);
        EXPECT_EQ(k.programs.begin()->first, ch + 1);
        for (int pid : pids_a(2 - ch))
            EXPECT_FALSE(k.pids.count(pid)) << "PID " << pid << " of the other program";
        EXPECT_GE(videos_decoded(n, k, "decoder" + std::to_string(ch) + ".ts"), 1);
    }
}

} // namespace

namespace {

// Two inputs multiplexed into one output whose fill engine and PCR windows
// must follow the inputs. Both are configured at the other's rate: input
// 100 at 4 Mbit/s for rig_a's 3, input 101 at 3 for rig_b's 4. Input 100
// is set right through its row while its sender streams; input 101 while
// silent, which holds its rate back until its sender starts. Then input
// 101's sender stops, and its rate leaves the output. Each time the output
// runs at its configured rate (measured against the time that passed), its
// PCRs sit where their positions put them, and its programs arrive without
// a continuity error.
TEST_F(RigStream, AMultiplexedOutputFollowsItsInputsRatesAndStreams)
{
    const int seconds = env_int("KD_RIG_SECONDS", 5);
    const int file_seconds = env_int("KD_RIG_STREAM_SECONDS", 35);
    ASSERT_LE(2 * seconds + 10, file_seconds) << "KD_RIG_SECONDS runs beyond the stream files";
    constexpr int kBps = 8000000;
    // An output mixing two inputs places their packets as they arrive: when
    // one sender's packets come over 20 ms behind the other's (a loaded
    // machine), a program's PCRs drift 13 ms from its input's clock, and
    // the output realigns them to it, a step by design. The PCRs between
    // such steps must sit within 500 ns.
    constexpr double kRealignTicks = 12.5e-3 * 27e6; // the output realigns beyond 350,000 ticks
    store_rows r = {{"mcastfwdr/input_net_keys", "100,101"}, {"mcastfwdr/output_keys", "1[0,1]"}};
    net_input(r, 100, "239.35.1.1", "5000", "4000000");
    net_input(r, 101, "239.35.1.2", "5002", "3000000");
    r.insert(r.end(), {{output(1, "ip_address"), "239.35.2.1"},
                       {output(1, "port"), "6001"},
                       {output(1, "interface"), "Port 1"},
                       {output(1, "trans_mux_rate"), std::to_string(kBps)},
                       {output(1, "transmit"), "On"},
                       {service(1, 0, "input_id"), "100"},
                       {service(1, 0, "program_number"), "1"},
                       {service(1, 1, "input_id"), "101"},
                       {service(1, 1, "program_number"), "12"}});

    rig::net n;
    rig::card c(n, store_json(r));
    ASSERT_TRUE(c.wait_ready()) << c.log();
    sink out(n, {{"239.35.2.1", 6001, false}});
    replay a(n, streams_ / "rig_a.ts", 0x100, dir_, "239.35.1.1:5000", true);
    std::unique_ptr<replay> b;
    auto packets = [&] { return out.with(0, [](mcfrig::sink_check &k) { return k.packets; }); };
    auto carries = [&](int program) {
        return wait_until(
            [&] { return out.with(0, [&](mcfrig::sink_check &k) { return k.pmt.count(program) > 0; }); }, 60s);
    };
    const double per_second = kBps / 1504.0;

    // One stretch of the output from a fresh start, half a second after the
    // change before it (what left before the change, and the PCR windows'
    // first PCRs after it, are not judged), for `seconds` at the output's
    // rate: its rate over the time that really passed, its continuity, and
    // the PCRs of program 1 (rig_a) and, while it streams, program 12 (rig_b).
    auto check_stretch = [&](const char *what, bool with_12) {
        SCOPED_TRACE(what);
        out.restart();
        wait_until([&] { return double(packets()) >= per_second / 2; }, 30s);
        out.restart();
        const auto from = std::chrono::steady_clock::now();
        EXPECT_TRUE(wait_until([&] { return double(packets()) >= seconds * per_second; },
                               std::chrono::seconds(seconds * 3 + 30)));
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
        out.with(0, [&](mcfrig::sink_check &k) {
            const double bps = double(k.packets) * 1504 / took;
            RecordProperty(std::string(what) + ": bit/s", std::to_string(bps));
            EXPECT_NEAR(bps / kBps, 1.0, 0.02) << bps << " bit/s";
            EXPECT_EQ(k.framing_errors, 0u);
            EXPECT_EQ(k.cc_errors, 0u) << k.cc_report();
            EXPECT_EQ(k.pmt[1].es, (std::set<int>{0x100, 0x101}));
            for (int pid : with_12 ? std::vector<int>{0x100, 0x202} : std::vector<int>{0x100}) {
                const mcfrig::sink_check::pcr_report pcr = k.pcr_check(pid, kBps, kRealignTicks);
                const std::string name = std::string(what) + ": PID " + std::to_string(pid);
                RecordProperty(name + " PCR error (us)", std::to_string(pcr.worst / 27));
                RecordProperty(name + " PCR realignments", std::to_string(pcr.steps));
                EXPECT_GE(pcr.worst, 0) << "too few PCRs on PID " << pid;
                EXPECT_LE(pcr.worst, 13.5) << "PID " << pid << ": PCR off by " << pcr.worst / 27 << " us";
                // A window whose input rate is not its stream's starts again at every PCR, flagged.
                EXPECT_EQ(pcr.discontinuities, 0u) << "PID " << pid;
            }
            const bool has_12 = k.pids.count(0x202) && k.pids.count(0x203);
            EXPECT_EQ(has_12, with_12) << "program 12";
            return 0;
        });
    };

    bool flowing = carries(1), lost = false;
    std::string set_100, set_101;
    if (flowing) {
        set_100 = rig::ask(c.socket(), input(100, "trans_mux_rate") + std::string(" 3000000"));
        set_101 = rig::ask(c.socket(), input(101, "trans_mux_rate") + std::string(" 4000000"));
        b = std::make_unique<replay>(n, streams_ / "rig_b.ts", 0x200, dir_, "239.35.1.2:5002", false);
        flowing = carries(12);
    }
    if (flowing) {
        check_stretch("both inputs at their streams' rates", true);
        b->stop();
        lost = c.wait_for_log("MCF: Input 101 stream lost.") &&
               c.wait_for_log("Output 1 removing Input 101 (bps 4000000) from aggregate input bps which is now "
                              "3000000");
        if (lost)
            check_stretch("input 101 stopped", false);
    }
    out.stop();
    const int status = c.stop();
    a.stop();
    const std::string log = c.log();
    std::ofstream(dir_ / "host.log") << log;
    ASSERT_TRUE(flowing) << log;
    EXPECT_EQ(set_100, "ok 3000000");
    EXPECT_EQ(set_101, "ok 4000000");
    EXPECT_NE(log.find("Input 101 rate change. Outputs pending update until input streaming."), std::string::npos);
    EXPECT_NE(log.find("Output 1 adding Input 101 (bps 4000000) to aggregate input bps which is now 7000000"),
              std::string::npos);
    EXPECT_TRUE(lost) << log;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n" << log;
}

} // namespace

namespace {

// The lines of `log` after its first `from` bytes that hold `tag`, each from
// the tag's end on.
std::vector<std::string> lines_after(const std::string &log, size_t from, const std::string &tag)
{
    std::vector<std::string> out;
    std::istringstream in(log.substr(std::min(from, log.size())));
    for (std::string line; std::getline(in, line);)
        if (const size_t at = line.find(tag); at != std::string::npos)
            out.push_back(line.substr(at + tag.size()));
    return out;
}

// The diagnostic actions on a card that streams one input to two outputs:
// "Diag Outputs" logs each running output's packet counts in list order,
// "Diag PIDH Tree" the PID index with the outputs and remaps of its data
// handlers.
TEST_F(RigStream, DiagnosticActionsLogTheOutputsAndThePidIndex)
{
    store_rows r = {{"mcastfwdr/input_net_keys", "100"}, {"mcastfwdr/output_keys", "1[0];2[0]"}};
    net_input(r, 100, "239.35.1.1", "5000", "3000000");
    for (int o : {1, 2})
        r.insert(r.end(), {{output(o, "ip_address"), o == 1 ? "239.35.2.1" : "239.35.2.2"},
                           {output(o, "port"), o == 1 ? "6001" : "6002"},
                           {output(o, "interface"), "Port 1"},
                           {output(o, "trans_mux_rate"), "4000000"},
                           {output(o, "transmit"), "On"},
                           {service(o, 0, "input_id"), "100"},
                           {service(o, 0, "program_number"), o == 1 ? "1" : "2"}});
    r.insert(r.end(), {{"mcastfwdr/pidmap_keys_1", "0[0]"},
                       {remap(1, 0, 0, "label"), "Video"},
                       {remap(1, 0, 0, "pid_in"), "256"},
                       {remap(1, 0, 0, "pid_out"), "768"}});

    rig::net n;
    rig::card c(n, store_json(r));
    ASSERT_TRUE(c.wait_ready()) << c.log();
    sink out(n, {{"239.35.2.1", 6001, false}, {"239.35.2.2", 6002, false}});
    replay a(n, streams_ / "rig_a.ts", 0x100, dir_, "239.35.1.1:5000", true);
    const bool flowing = wait_until(
        [&] {
            return out.with(0, [](mcfrig::sink_check &k) { return k.pmt.count(1) > 0; }) &&
                   out.with(1, [](mcfrig::sink_check &k) { return k.pmt.count(2) > 0; });
        },
        60s);
    std::string outputs_reply, pidh_reply, refused;
    size_t outputs_from = 0, pidh_from = 0;
    bool logged = false;
    if (flowing) {
        outputs_from = c.log().size();
        outputs_reply = rig::ask(c.socket(), "mcastfwdr/diag_outputs Yes");
        logged = c.wait_for_log("Output 2 TS pkts");
        pidh_from = c.log().size();
        pidh_reply = rig::ask(c.socket(), "mcastfwdr/diag_pidh_tree Yes");
        logged = logged && c.wait_for_log("PIDH: pidh_index size");
        refused = rig::ask(c.socket(), "mcastfwdr/diag_outputs No");
    }
    out.stop();
    const int status = c.stop();
    a.stop();
    const std::string log = c.log();
    std::ofstream(dir_ / "host.log") << log;
    ASSERT_TRUE(flowing && logged) << log;
    EXPECT_EQ(outputs_reply, "ok");
    EXPECT_EQ(pidh_reply, "ok");
    EXPECT_EQ(refused.substr(0, 4), "fail");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n" << log;

    // "Output %u TS pkts - Rx: %9u Tx: %9u", output 1 first; every packet
    // sent was routed there first.
    const std::vector<std::string> counts = lines_after(log.substr(0, pidh_from), outputs_from, "[mcastfwdr] ");
    // A count as written: blanks, then digits, at least nine characters.
    auto count_field = [](const std::string &f) {
        const size_t digits = f.find_first_not_of(' ');
        const bool ok = f.size() >= 9 && digits != std::string::npos &&
                        f.find_first_not_of("0123456789", digits) == std::string::npos;
        return ok ? std::stoll(f) : -1LL;
    };
    std::vector<int> ids;
    for (const std::string &line : counts) {
        int id = 0, at = 0;
        const size_t tx = line.find(" Tx: ");
        if (std::sscanf(line.c_str(), "Output %d TS pkts - Rx: %n", &id, &at) != 1 || at == 0 || tx == std::string::npos)
            continue;
        ids.push_back(id);
        const long long rx_count = count_field(line.substr(line.find("Rx: ") + 4, tx - line.find("Rx: ") - 4));
        const long long tx_count = count_field(line.substr(tx + 5));
        EXPECT_GT(tx_count, 0) << line;
        EXPECT_LE(tx_count, rx_count) << line;
    }
    EXPECT_EQ(ids, (std::vector<int>{1, 2})) << log.substr(outputs_from);

    // The dump: a header, then per key its handlers, each followed by its
    // data: the routing context's outputs for the data kinds, else "{ }".
    const std::vector<std::string> dump = lines_after(log, pidh_from, "[mcastfwdr] ");
    ASSERT_GE(dump.size(), 2u);
    EXPECT_EQ(dump[0].rfind("PIDH: pidh_index 0x", 0), 0u) << dump[0];
    int size = -1;
    ASSERT_EQ(std::sscanf(dump[1].c_str(), "PIDH: pidh_index size %d", &size), 1) << dump[1];
    // key "in_id/pid" -> handler kind -> its data lines
    std::map<std::string, std::map<std::string, std::vector<std::string>>> keys;
    std::string key, kind;
    for (size_t i = 2; i < dump.size() && dump[i].rfind("PIDH: pidh_index", 0) != 0; ++i) {
        int id = 0, pid = 0, entries = 0;
        char name[16];
        if (std::sscanf(dump[i].c_str(), "PIDH: id %d pid %d entries %d.......", &id, &pid, &entries) == 3) {
            key = std::to_string(id) + "/" + std::to_string(pid);
            keys[key];
        } else if (std::sscanf(dump[i].c_str(), "PIDH: handler: %15s", name) == 1) {
            kind = name;
            keys[key][kind];
        } else if (!dump[i].empty() && dump[i][0] == '\t') {
            keys[key][kind].push_back(dump[i].substr(1));
        }
    }
    EXPECT_EQ(size_t(size), keys.size());
    using data = std::vector<std::string>;
    EXPECT_EQ(keys["100/0"]["pat"], data{"{ }"});
    // Program 1's video reaches output 1 as PID 768, and output 2 sees it unrouted.
    EXPECT_EQ(keys["100/256"]["routed"], data{"{Output ID 1 (768,-1)}"});
    EXPECT_EQ(keys["100/256"]["unrouted"], data{"{Output ID 2 (0,-1)}"});
    EXPECT_EQ(keys["100/256"]["all"], (data{"{Output ID 1 (0,-1)}", "{Output ID 2 (0,-1)}"}));
    EXPECT_EQ(keys["100/258"]["routed"], data{"{Output ID 2 (0,-1)}"});
}

} // namespace
