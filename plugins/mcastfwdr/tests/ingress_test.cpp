// Ingress on a simulated card: Net inputs get host routes and shared
// sockets, datagrams sent from the chassis side reach the Net pipe
// byte-exact with their group and kernel time stamp, a full pipe leaves
// datagrams in the socket, entries of a closed socket are recognised as
// stale, a link going down deletes its managers, XSB frames reach the
// XSB pipe or are dropped and counted, and each thread posts its statistics
// for the multiplexer's budgets. Needs root; skips otherwise.
#include "egress/statistics.h"
#include "ingress/ingress.h"
#include "ingress/manager_input.h"
#include "ingress/xsb_bridge.h"
#include "mux/maintainer.h"
#include "mux/multiplexer.h"
#include "scenario.h"

#include <interlink.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <ctime>
#include <string>
#include <vector>

namespace {

using mcftest::scenario;

int64_t realtime_ns()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// A UDP sender in the chassis namespace, multicast leaving through peer1.
class chassis_sender {
public:
    explicit chassis_sender(const scenario &card)
    {
        xsbsim::net_rig::enter in(card.rig().chassis());
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        in_addr local{};
        inet_pton(AF_INET, "10.77.1.2", &local);
        setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local);
    }
    ~chassis_sender() { ::close(fd_); }
    int fd() const { return fd_; }
    bool send(const char *addr, int port, const std::vector<uint8_t> &data) const
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(uint16_t(port));
        inet_pton(AF_INET, addr, &to.sin_addr);
        return sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) ==
               ssize_t(data.size());
    }

private:
    int fd_ = -1;
};

// 1316 bytes of seven packets (or 1328 with an RTP header), numbered n.
std::vector<uint8_t> datagram(uint32_t n, bool rtp = false)
{
    std::vector<uint8_t> d;
    if (rtp) {
        const uint8_t hdr[12] = {0x80, 0x21, uint8_t(n >> 8), uint8_t(n), 0, 0, 0, 1, 0x12, 0x34, 0x56, 0x78};
        d.assign(hdr, hdr + 12);
    }
    for (int p = 0; p < 7; ++p) {
        d.push_back(0x47);
        d.push_back(0x01);
        d.push_back(0x00);
        d.push_back(uint8_t(0x10 | (n + p) % 16));
        for (int i = 4; i < 188; ++i)
            d.push_back(uint8_t(n * 7 + p * 31 + i));
    }
    std::memcpy(d.data() + (rtp ? 16 : 4), &n, sizeof n);
    return d;
}

// What the thread feeding a pipe last posted.
mcast_stats_t posted(ingress_src_t src)
{
    mcast_stats_t r{};
    mcastfwdr_statistics_posted(STATS_SRC_INGRESS, mcf::ingress_stats_index(src), &r);
    return r;
}

std::vector<ingress_to_mux_item> drain(ingress_src_t src, size_t want, int ms = 5000)
{
    std::vector<ingress_to_mux_item> got;
    mcftest::eventually([&] {
        ingress_to_mux_item e;
        while (kd_pipe_read_unlocked(ingress_pipe[src], &e) == 0)
            got.push_back(e);
        return got.size() >= want;
    }, ms);
    return got;
}

class Ingress : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = scenario::skip_reason();
        if (!why.empty())
            GTEST_SKIP() << why;
    }
    // The card with its ingress threads, the multiplexer stopped: the test
    // reads the pipes itself. With a sender, the chassis side gets an
    // address to send from.
    static void start(scenario &card, bool sender)
    {
        if (sender) {
            ASSERT_EQ(card.in_chassis("ip addr add 10.77.1.2/24 dev peer1"), 0);
        }
        card.start_linked();
        mcastfwdr_multiplex_fini();
    }
    // A Net input; none (and a failure) when it cannot be added: callers
    // check the count that change() answers before going on.
    static cfg_rx *input(int id, const char *node, int port)
    {
        cfg_rx *rx = mcfcfg_rx_add_net(id);
        if (!rx) {
            ADD_FAILURE() << "input " << id << " not added";
            return nullptr;
        }
        std::snprintf(rx->ingress_node, sizeof rx->ingress_node, "%s", node);
        rx->ingress_port = port;
        return rx;
    }
    static int socket_of(int id)
    {
        const manager_input *mi = manager_inputs_find_by_id(id);
        return mi ? mi->socket_id : -1;
    }
    static void remove_input(int id)
    {
        mcf::write_lock lock;
        cfg_rx *rx = mcfcfg_rx_find_by_id(id);
        ASSERT_NE(rx, nullptr) << "no input " << id;
        const int n = mcastfwdr_delete_input_and_outputs_using_it(rx);
        mcfcfg_rx_rem(rx);
        manager_input_output_sync(n);
    }
};

TEST_F(Ingress, NetInputsShareSocketsAndRoutesAndFeedThePipe)
{
    scenario card(3);
    ASSERT_NO_FATAL_FAILURE(start(card, true));
    auto &log = card.log();
    ASSERT_EQ(card.change([] {
        input(100, "239.1.1.1", 5000);
        input(101, "239.1.1.2", 5000); // same interface and port: shares 100's socket
        input(102, "0.0.0.0", 5010);   // own socket, no route
        input(103, "239.1.1.1", 5020); // same group and interface: shares 100's route
        input(104, "10.77.1.1", 5030); // unicast: no route
    }), 5);
    const int s100 = socket_of(100);
    ASSERT_GT(s100, 0);
    EXPECT_EQ(socket_of(101), s100);
    EXPECT_EQ(log.count("Created Rx socket (" + std::to_string(s100) + ") for Input 100"), 1);
    EXPECT_EQ(log.count("Reused Rx socket (" + std::to_string(s100) + ") for Input 101"), 1);
    EXPECT_EQ(log.count("Route not added <239.1.1.1 eth1> - already exists"), 1);
    EXPECT_EQ(log.count("Added route (239.1.1.1 eth1)"), 1);
    EXPECT_EQ(log.count("Added route (239.1.1.2 eth1)"), 1);
    EXPECT_EQ(log.count("Added route ("), 2); // none for 0.0.0.0 or unicast
    const std::string routes = card.card_output("ip route show");
    EXPECT_NE(routes.find("239.1.1.1 dev eth1"), std::string::npos) << routes;
    EXPECT_NE(routes.find("239.1.1.2 dev eth1"), std::string::npos) << routes;

    // One datagram per input, plus an RTP one: byte-exact, addressed, stamped.
    struct Send {
        const char *addr;
        int port;
        int input;
        bool rtp;
        const char *ip; // what the entry names
    } sends[] = {
        {"239.1.1.1", 5000, 100, false, "239.1.1.1"}, {"239.1.1.2", 5000, 101, true, "239.1.1.2"},
        {"10.77.1.1", 5010, 102, false, ""},          {"239.1.1.1", 5020, 103, false, "239.1.1.1"},
        {"10.77.1.1", 5030, 104, false, "10.77.1.1"}, // a unicast input names its address
    };
    chassis_sender tx(card);
    const int64_t before = realtime_ns();
    for (uint32_t i = 0; i < std::size(sends); ++i)
        ASSERT_TRUE(tx.send(sends[i].addr, sends[i].port, datagram(i, sends[i].rtp)));
    std::vector<ingress_to_mux_item> got = drain(INGRESS_SRC_NET, std::size(sends));
    const int64_t after = realtime_ns();
    ASSERT_EQ(got.size(), std::size(sends));
    for (const ingress_to_mux_item &e : got) {
        uint32_t n;
        std::memcpy(&n, e.buf + (e.len == 1328 ? 16 : 4), sizeof n);
        ASSERT_LT(n, std::size(sends));
        const Send &s = sends[n];
        const std::vector<uint8_t> want = datagram(n, s.rtp);
        EXPECT_EQ(e.src, INGRESS_SRC_NET);
        ASSERT_EQ(size_t(e.len), want.size()) << n;
        EXPECT_EQ(std::memcmp(e.buf, want.data(), want.size()), 0) << n;
        EXPECT_STREQ(e.ip, s.ip) << n;
        EXPECT_EQ(e.sock_id, socket_of(s.input)) << n;
        const int64_t stamp = int64_t(uint32_t(e.tstamp.tv_sec)) * 1000000000 + e.tstamp.tv_nsec;
        EXPECT_GE(stamp, before) << n;
        EXPECT_LE(stamp, after) << n;
        EXPECT_TRUE(mcf::net_socket_is_current(e.sock_id, ingress_item_socket_gen(&e)));
    }
    const ingress_to_mux_item old = got[0];

    // The last user of a group's route removes it; a shared socket stays
    // with its last user.
    log.clear();
    remove_input(100);
    EXPECT_EQ(log.count("Left Rx socket (" + std::to_string(s100) + ") for Input 100. Remaining: 1"), 1);
    EXPECT_EQ(log.count("Route not deleted <239.1.1.1 eth1> - used by another socket"), 1);
    remove_input(101);
    EXPECT_EQ(log.count("Closed Rx socket (" + std::to_string(s100) + ") for Input 101"), 1);
    EXPECT_EQ(log.count("Deleted route (239.1.1.2 eth1)"), 1);
    remove_input(103);
    EXPECT_EQ(log.count("Deleted route (239.1.1.1 eth1)"), 1);
    EXPECT_EQ(card.card_output("ip route show").find("239.1.1."), std::string::npos);
    // An entry of the closed socket is stale, even when its number comes back.
    ASSERT_EQ(card.change([] { input(105, "239.1.1.5", 5040); }), 1);
    EXPECT_FALSE(mcf::net_socket_is_current(old.sock_id, ingress_item_socket_gen(&old)));

    // Link down: the interface's managers go; up again: they come back.
    ASSERT_EQ(card.in_card("ip link set eth1 down"), 0);
    EXPECT_TRUE(mcftest::run_loop_until([] { return !manager_inputs_find_by_id(104) && !manager_inputs_find_by_id(105); }));
    ASSERT_EQ(card.in_card("ip link set eth1 up"), 0);
    EXPECT_TRUE(mcftest::run_loop_until([] { return manager_inputs_find_by_id(104) && manager_inputs_find_by_id(105); }));
}

// A Net input takes only the datagrams addressed to it: its group, its
// unicast address, or (on "0.0.0.0") the card's own address on its
// interface; the rest reach no input, however the socket is shared, and
// are counted. The entry names the input's own address, so that inputs of
// one socket are told apart.
TEST_F(Ingress, ADatagramReachesOnlyTheInputItIsAddressedTo)
{
    scenario card(3);
    ASSERT_NO_FATAL_FAILURE(start(card, true));
    card.change([] {
        input(100, "239.1.1.1", 5000);
        input(101, "0.0.0.0", 5010);
        input(102, "239.1.1.2", 5020);
        input(103, "10.77.1.1", 5020); // shares 102's socket
    });
    ASSERT_EQ(socket_of(103), socket_of(102));
    struct Send {
        const char *addr;
        int port;
        int input; // 0: none takes it
        const char *ip;
    } sends[] = {
        {"10.77.1.1", 5000, 0, ""},           // the card's address on a multicast input's port
        {"239.1.1.1", 5000, 100, "239.1.1.1"},
        {"10.77.1.1", 5010, 101, ""},
        {"10.77.1.255", 5010, 0, ""},         // broadcast on the interface
        {"10.77.1.1", 5020, 103, "10.77.1.1"},
        {"239.1.1.2", 5020, 102, "239.1.1.2"},
    };
    chassis_sender tx(card);
    const int on = 1;
    setsockopt(tx.fd(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    const uint64_t refused_before = mcf::ingress_stats(INGRESS_SRC_NET).misaddressed.load();
    size_t taken = 0;
    for (uint32_t i = 0; i < std::size(sends); ++i) {
        ASSERT_TRUE(tx.send(sends[i].addr, sends[i].port, datagram(i)));
        taken += sends[i].input != 0;
    }
    ASSERT_TRUE(mcftest::eventually([&] {
        return mcf::ingress_stats(INGRESS_SRC_NET).misaddressed.load() - refused_before >= 2 &&
               kd_pipe_level(ingress_pipe[INGRESS_SRC_NET]) >= taken;
    }));
    std::vector<ingress_to_mux_item> got = drain(INGRESS_SRC_NET, taken);
    ASSERT_EQ(got.size(), taken);
    for (const ingress_to_mux_item &e : got) {
        uint32_t n;
        std::memcpy(&n, e.buf + 4, sizeof n);
        ASSERT_LT(n, std::size(sends));
        const Send &s = sends[n];
        EXPECT_NE(s.input, 0) << s.addr << ":" << s.port;
        EXPECT_STREQ(e.ip, s.ip) << n;
        // The multiplexer's lookup finds the input it was addressed to.
        const manager_input *mi = e.ip[0] ? manager_inputs_find_net_input_by_node_socket(e.ip, e.sock_id)
                                          : manager_inputs_find_net_input_by_socket(e.sock_id);
        ASSERT_NE(mi, nullptr) << n;
        EXPECT_EQ(mi->id, s.input) << n;
    }
    EXPECT_EQ(mcf::ingress_stats(INGRESS_SRC_NET).misaddressed.load() - refused_before, 2u);
    manager_input_status st;
    ASSERT_TRUE(manager_input_get_status(100, &st));
    EXPECT_EQ(st.rx_misaddressed, 1u);
    ASSERT_TRUE(manager_input_get_status(101, &st));
    EXPECT_EQ(st.rx_misaddressed, 1u);
}

// A Net socket holds 200 ms of its inputs' rates (never less than
// 1,250,000 bytes), also after a rate change and as inputs join and leave.
TEST_F(Ingress, ReceiveBuffersFollowTheRates)
{
    struct Case {
        int64_t bps;
        int bytes;
    } cases[] = {{0, 1250000}, {20000000, 1250000}, {50000000, 1250000}, {210000000, 5250000},
                 {1000000000, 25000000}, {int64_t(1) << 40, 0x3FFFFFFF}};
    for (const Case &c : cases)
        EXPECT_EQ(mcf::net_rx_buffer_bytes(c.bps), c.bytes) << c.bps;

    scenario card(3);
    ASSERT_NO_FATAL_FAILURE(start(card, false));
    // The kernel keeps twice the size it is given.
    auto rcvbuf = [](int id) {
        int size = 0;
        socklen_t len = sizeof size;
        getsockopt(socket_of(id), SOL_SOCKET, SO_RCVBUF, &size, &len);
        return size / 2;
    };
    card.change([] { input(100, "239.1.1.1", 5000)->ingress_bps = 210000000; });
    EXPECT_EQ(rcvbuf(100), 5250000);
    card.change([] { input(101, "239.1.1.2", 5000)->ingress_bps = 90000000; });
    ASSERT_EQ(socket_of(101), socket_of(100));
    EXPECT_EQ(rcvbuf(100), 7500000);
    {
        cfg_rx *rx = mcfcfg_rx_find_by_id(100);
        rx->ingress_bps = 400000000;
        mcf::write_lock lock;
        ASSERT_EQ(mcastfwdr_update_input_bps_and_outputs_using_it(rx, 210000000), 0);
    }
    EXPECT_EQ(rcvbuf(100), 12250000);
    remove_input(100);
    EXPECT_EQ(rcvbuf(101), 2250000);
}

// The thread takes no more than the pipe holds: with nobody reading, the
// pipe fills and the rest waits in the socket; every datagram then arrives
// once, in order, none overwritten.
TEST_F(Ingress, AFullPipeLeavesDatagramsInTheSocket)
{
    scenario card(3);
    ASSERT_NO_FATAL_FAILURE(start(card, true));
    ASSERT_EQ(card.change([] { input(100, "239.1.1.1", 5000); }), 1);
    chassis_sender tx(card);
    const uint32_t cap = INGRESS_PIPE_ENTRIES - 1, extra = 300;
    kd_pipe_t *pipe = ingress_pipe[INGRESS_SRC_NET];
    const uint64_t full_before = mcf::ingress_stats(INGRESS_SRC_NET).pipe_full.load();
    for (uint32_t n = 0; n < cap + extra; ++n) {
        ASSERT_TRUE(tx.send("239.1.1.1", 5000, datagram(n)));
        if (n % 100 == 99) { // paced so that the socket never overflows while the pipe has room
            ASSERT_TRUE(mcftest::eventually([&] { return kd_pipe_level(pipe) >= std::min(n + 1, cap); }));
        }
    }
    ASSERT_TRUE(mcftest::eventually([&] { return mcf::ingress_stats(INGRESS_SRC_NET).pipe_full.load() > full_before; }));
    EXPECT_EQ(kd_pipe_level(pipe), cap);
    EXPECT_TRUE(mcftest::eventually([] { return posted(INGRESS_SRC_NET).evt[STATS_EVT_OVERFLOW_WARN] > 0; }));
    std::vector<ingress_to_mux_item> got = drain(INGRESS_SRC_NET, cap + extra);
    ASSERT_EQ(got.size(), size_t(cap + extra));
    for (uint32_t i = 0; i < got.size(); ++i) {
        const std::vector<uint8_t> want = datagram(i);
        ASSERT_EQ(size_t(got[i].len), want.size()) << i;
        ASSERT_EQ(std::memcmp(got[i].buf, want.data(), want.size()), 0) << i;
    }
}

// Each second a thread posts the entries it wrote, what waited in its pipe
// and its events; the multiplexer sizes the pipe's budget from it.
TEST_F(Ingress, ThreadsPostTheirSecondsAndTheBudgetFollows)
{
    scenario card(3);
    ASSERT_NO_FATAL_FAILURE(start(card, true));
    ASSERT_EQ(card.change([] { input(100, "239.1.1.1", 5000); }), 1);
    ime_buffer_ms_update();
    ASSERT_EQ(get_ime_buffer_ms(IME_MULTIPLEX), 10);
    chassis_sender tx(card);
    constexpr unsigned kSent = 20;
    for (uint32_t n = 0; n < kSent; ++n)
        ASSERT_TRUE(tx.send("239.1.1.1", 5000, datagram(n)));
    ASSERT_TRUE(mcftest::eventually([] { return kd_pipe_level(ingress_pipe[INGRESS_SRC_NET]) == kSent; }));

    // A whole second with them waiting in the pipe.
    EXPECT_TRUE(mcftest::eventually([&] {
        const mcast_stats_t r = posted(INGRESS_SRC_NET);
        return r.post && r.bits.avg == 0 && r.buf_bits.min == kSent * INGRESS_ENTRY_BITS &&
               r.buf_bits.max == kSent * INGRESS_ENTRY_BITS && r.evt[STATS_EVT_UNDERFLOW_WARN] == 0;
    }));
    // Nothing arrives any more: each ms may take an eleventh (B + 1 ms) of
    // what waits, plus one entry.
    EXPECT_EQ(mcf::mux::pipe_budget_now(INGRESS_SRC_NET, kSent), 29669u);
    // The idle XSB thread posts too: cycles that found its pipe empty.
    EXPECT_TRUE(mcftest::eventually([] {
        const mcast_stats_t r = posted(INGRESS_SRC_XSB);
        return r.post && r.evt[STATS_EVT_UNDERFLOW_WARN] > 0;
    }));
}

// XSB frames as carriers and other cards send them.
TEST_F(Ingress, XsbFramesReachThePipeOrAreDroppedAndCounted)
{
    scenario card(3);
    ASSERT_NO_FATAL_FAILURE(start(card, false));
    xsb_sock *raw = nullptr;
    {
        xsbsim::net_rig::enter in(card.rig().chassis());
        raw = xsb_open("peer2", XSB_ETH_P_CONFIG);
    }
    ASSERT_GE(xsb_fileno(raw), 0);
    struct Frame {
        uint8_t src4, src5; // the last two source-address bytes
        std::string body;   // after the Ethernet header
        bool entry;
        uint32_t bay;
        int ts_pkt, map_idx;
    };
    const std::string ts(188, '\x47');
    const std::vector<Frame> frames = {
        {0x00, 0x20, std::string("LINK") + char(0) + ts, true, 2, 0, 0},
        {0x00, 0x70, std::string("LINK") + char(54) + ts, true, 7, 0, 54},
        {0x00, 0x20, std::string("LINK") + char(55) + ts, false, 0, 0, 0}, // no such index
        {0x00, 0x20, "LIN", false, 0, 0, 0},                                // shorter than the header
        {0x00, 0x20, std::string("LINX") + char(1) + ts, false, 0, 0, 0},   // not a LINK frame
        {0x00, 0x80, std::string("LINK") + char(1) + ts, false, 0, 0, 0},   // bay 8
        {0x00, 0x39, ts, true, 3, 1, 1},                                    // plain TS, nibble 9
        {0x00, 0x31, ts, true, 3, 1, 0},                                    // plain TS, another nibble
        {0x0F, 0x30, "ASI information", false, 0, 0, 0},                    // to the ASI ports
    };
    const uint64_t dropped_before = mcf::ingress_stats(INGRESS_SRC_XSB).dropped.load();
    size_t entries = 0;
    for (const Frame &f : frames) {
        xsb_pkt pkt{};
        const uint8_t dst[6] = {0x00, 0x90, 0x1F, 0x00, 0x01, 0x23};
        const uint8_t src[6] = {0x00, 0x90, 0x1F, 0x00, f.src4, f.src5};
        std::memcpy(pkt.dst, dst, 6);
        std::memcpy(pkt.src, src, 6);
        pkt.proto[0] = 0x88;
        pkt.proto[1] = 0xB4;
        std::memcpy(pkt.data, f.body.data(), f.body.size());
        ASSERT_EQ(xsb_send(raw, &pkt, int(XSB_HDR_LEN + f.body.size())), int(XSB_HDR_LEN + f.body.size()));
        entries += f.entry;
    }
    std::vector<ingress_to_mux_item> got = drain(INGRESS_SRC_XSB, entries);
    EXPECT_TRUE(mcftest::eventually([&] { return mcf::ingress_stats(INGRESS_SRC_XSB).dropped.load() - dropped_before >= 4; }));
    EXPECT_EQ(mcf::ingress_stats(INGRESS_SRC_XSB).dropped.load() - dropped_before, 4u);
    ASSERT_EQ(got.size(), entries);
    size_t i = 0;
    for (const Frame &f : frames) {
        if (!f.entry)
            continue;
        const ingress_to_mux_item &e = got[i++];
        EXPECT_EQ(e.src, INGRESS_SRC_XSB);
        EXPECT_EQ(e.baypos, f.bay);
        EXPECT_EQ(e.ts_pkt, f.ts_pkt);
        EXPECT_EQ(e.input_map_idx, f.map_idx);
        ASSERT_EQ(e.len, 188);
        EXPECT_EQ(std::memcmp(e.buf, ts.data(), 188), 0);
        EXPECT_GT(e.tstamp.tv_sec, 0);
    }
    xsb_close(raw);
}

} // namespace

namespace {

internal_ts_info announcement(const char *src, const char *dst, uint32_t index, uint32_t routable, uint32_t rate)
{
    internal_ts_info info{};
    std::memcpy(info.src, src, std::min<size_t>(std::strlen(src), 4));
    std::memcpy(info.dst, dst, std::min<size_t>(std::strlen(dst), 4));
    info.index = index;
    info.routable = routable;
    info.rate = rate;
    return info;
}

unsigned input_count()
{
    return mcf_list_count(mcf_cfg.rules_rx);
}

// Other cards' flows become XSB inputs, mapped once per bay after the
// start-up delay; the last withdrawal unmaps; hostile payloads change nothing.
TEST_F(Ingress, AnnouncedFlowsBecomeXsbInputsAndMapTheirAddress)
{
    scenario card(3);
    ASSERT_NO_FATAL_FAILURE(start(card, false));
    startup_time_current = 0; // within the start-up delay
    auto &log = card.log();
    xsbsim::carrier_sim &sim = card.carrier();

    internal_ts_info a = announcement("e21", "1a0", 5, 1, 5000000);
    kd_cuvent_emit(nullptr, "internal_ts", &a); // bay 2 is UI slot 7
    cfg_rx *rx = mcfcfg_rx_find_by_id(1705);
    ASSERT_NE(rx, nullptr);
    EXPECT_EQ(rx->ingress_type, INGRTYPE_XSB);
    EXPECT_EQ(rx->ingress_bps, 5000000);
    manager_input *mi = manager_inputs_find_by_id(1705);
    ASSERT_NE(mi, nullptr);
    EXPECT_EQ(mi->socket_id, 10002);
    ingress_to_mux_item e{};
    e.baypos = 2;
    e.input_map_idx = 5;
    EXPECT_EQ(mcastfwdr_ingress_get_xsb_input_map(&e), mi);
    EXPECT_EQ(log.count("MCF: Internal TS notify referencing UI slot 7, HW bay 2 - added input, Ingress ID 1705"), 1);
    EXPECT_EQ(sim.vmap().count(0x1a0), 0u); // not during the delay

    mcastfwdr_ingress_set_ts_flow_vmaps(); // the delay is over
    EXPECT_TRUE(mcftest::eventually([&] { auto m = sim.vmap(); return m.count(0x1a0) && m[0x1a0] != 0; }));
    startup_time_current = 10;

    // The same flow again with another rate; a second flow from the bay.
    a.rate = 6000000;
    kd_cuvent_emit(nullptr, "internal_ts", &a);
    EXPECT_EQ(rx->ingress_bps, 6000000);
    internal_ts_info b = announcement("e21", "1a0", 6, 1, 1000000);
    kd_cuvent_emit(nullptr, "internal_ts", &b);
    ASSERT_NE(manager_inputs_find_by_id(1706), nullptr);

    // Unroutable: the index follows src character 2.
    internal_ts_info u = announcement("e29", "1a1", 0, 0, 2000000);
    kd_cuvent_emit(nullptr, "internal_ts", &u);
    ASSERT_NE(mcfcfg_rx_find_by_id(71), nullptr);
    EXPECT_EQ(mcastfwdr_ingress_get_xsb_unr_input_id(2, 9), 71u);
    EXPECT_EQ(mcastfwdr_ingress_get_xsb_unr_input_id(2, 1), 0u);

    // Hostile payloads change nothing.
    const unsigned inputs = input_count();
    const char unterminated[4] = {'e', '2', '1', '1'};
    internal_ts_info hostile[] = {
        announcement("e/1", "1a0", 1, 1, 1), announcement("e91", "1a0", 1, 1, 1),
        announcement("e81", "1a0", 1, 1, 1), announcement("e21", "1a0", 55, 1, 1),
        announcement("", "1a0", 1, 1, 1),    announcement("e2g", "1a0", 1, 1, 1),
        announcement("e21", "1a0", 1, 1, 1),
    };
    std::memcpy(hostile[6].dst, unterminated, 4);
    internal_ts_info no_nul = announcement("e21", "1a0", 2, 1, 1);
    std::memcpy(no_nul.src, unterminated, 4);
    for (internal_ts_info &h : hostile)
        kd_cuvent_emit(nullptr, "internal_ts", &h);
    kd_cuvent_emit(nullptr, "internal_ts", &no_nul);
    for (internal_ts_info &h : hostile)
        kd_cuvent_emit(nullptr, "internal_ts_clear", &h);
    EXPECT_EQ(input_count(), inputs);
    EXPECT_NE(manager_inputs_find_by_id(1705), nullptr);

    // Withdrawing the first keeps the mapping; the last removes it.
    kd_cuvent_emit(nullptr, "internal_ts_clear", &a);
    EXPECT_EQ(mcfcfg_rx_find_by_id(1705), nullptr);
    EXPECT_EQ(manager_inputs_find_by_id(1705), nullptr);
    EXPECT_EQ(mcastfwdr_ingress_get_xsb_input_map(&e), nullptr);
    EXPECT_NE(sim.vmap()[0x1a0], 0u);
    kd_cuvent_emit(nullptr, "internal_ts_clear", &b);
    EXPECT_TRUE(mcftest::eventually([&] { auto m = sim.vmap(); return !m.count(0x1a0) || m[0x1a0] == 0; }));
    EXPECT_EQ(mcfcfg_rx_find_by_id(1706), nullptr);
}

// This card's bridged inputs: announced with its own addresses (and not
// heard by itself), and their datagrams sent as LINK frames.
TEST_F(Ingress, BridgedInputsLeaveAsLinkFrames)
{
    scenario card(3);
    ASSERT_NO_FATAL_FAILURE(start(card, false));
    auto &log = card.log();
    static internal_ts_info heard;
    static int heard_count;
    heard_count = 0;
    kd_cuvent_register_cb(nullptr, "internal_ts", [](cuvent_wrapper *w) {
        std::memcpy(&heard, w->emit_ctx, sizeof heard);
        ++heard_count;
    }, nullptr, CUVFLT_NONE);
    const unsigned inputs = input_count();
    EXPECT_EQ(mcastfwdr_ingress_notify_internal_ts(7000000, 101), 0);
    EXPECT_EQ(heard_count, 1);
    EXPECT_EQ(input_count(), inputs); // our own announcement adds nothing here
    const std::string src = mcastfwdr_ingress_get_local_bridge_src_addr();
    ASSERT_FALSE(src.empty());
    EXPECT_EQ(std::string(heard.src, strnlen(heard.src, 4)), src);
    EXPECT_EQ(heard.index, 1u);
    EXPECT_EQ(heard.routable, 1u);
    EXPECT_EQ(heard.rate, 7000000u);
    EXPECT_EQ(mcastfwdr_ingress_notify_internal_ts(7000000, 155), -1); // no LINK index 55
    EXPECT_EQ(heard_count, 1);
    EXPECT_EQ(log.count("MCF: Input 155 cannot be bridged"), 1);

    // Once the other cards are connected, every bridged Net input is announced.
    ASSERT_EQ(card.change([] {
        if (cfg_rx *rx = input(102, "239.1.1.2", 5000))
            rx->ingress_is_bridged = 1;
        input(103, "239.1.1.3", 5000);
    }), 2);
    kd_cuvent_emit(nullptr, "on_proxy_all_slaves_connected", nullptr);
    EXPECT_EQ(heard_count, 2);
    EXPECT_EQ(heard.index, 2u);

    xsb_sock *raw = nullptr;
    {
        xsbsim::net_rig::enter in(card.rig().chassis());
        raw = xsb_open("peer2", XSB_ETH_P_CONFIG);
    }
    ASSERT_GE(xsb_fileno(raw), 0);
    std::vector<uint8_t> payload = datagram(3);
    EXPECT_EQ(mcastfwdr_ingress_send_ts_data_into_ring(payload.data(), payload.size(), 154), 0);
    EXPECT_EQ(mcastfwdr_ingress_send_ts_data_into_ring(payload.data(), payload.size(), 155), -1);
    EXPECT_EQ(mcastfwdr_ingress_send_ts_data_into_ring(payload.data(), 1501, 101), -1);
    EXPECT_EQ(log.count("TS data too large to send into ring: 1501"), 1);

    bool seen = false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!seen && std::chrono::steady_clock::now() < until) {
        pollfd p{xsb_fileno(raw), POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        xsb_pkt pkt{};
        const int n = xsb_recv(raw, &pkt, sizeof pkt);
        if (n < XSB_HDR_LEN + 5 || std::memcmp(pkt.data, "LINK", 4) != 0)
            continue;
        seen = true;
        char from[8] = {};
        xsbpkt_get_source(&pkt, from, sizeof from);
        EXPECT_EQ(std::string(from), src);
        EXPECT_EQ(pkt.data[4], 54);
        ASSERT_EQ(size_t(n), XSB_HDR_LEN + 5 + payload.size());
        EXPECT_EQ(std::memcmp(pkt.data + 5, payload.data(), payload.size()), 0);
    }
    EXPECT_TRUE(seen);
    xsb_close(raw);
}

} // namespace

namespace {

bool have(const char *program)
{
    return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

std::vector<uint8_t> read_file(const std::string &path)
{
    std::vector<uint8_t> d;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        uint8_t buf[65536];
        while (size_t n = std::fread(buf, 1, sizeof buf, f))
            d.insert(d.end(), buf, buf + n);
        std::fclose(f);
    }
    return d;
}

// Everything a finished sender left: the entries until the input's socket
// is empty and the pipe drained.
std::vector<ingress_to_mux_item> drain_sent(int input_id)
{
    std::vector<ingress_to_mux_item> got;
    const manager_input *mi = manager_inputs_find_by_id(input_id);
    if (!mi) {
        ADD_FAILURE() << "no input " << input_id;
        return got;
    }
    const int fd = mi->socket_id;
    mcftest::eventually([&] {
        int queued = 0;
        ioctl(fd, FIONREAD, &queued);
        ingress_to_mux_item e;
        while (kd_pipe_read_unlocked(ingress_pipe[INGRESS_SRC_NET], &e) == 0)
            got.push_back(e);
        return queued == 0 && kd_pipe_level(ingress_pipe[INGRESS_SRC_NET]) == 0;
    });
    // A batch taken from the socket but not yet written: two more cycles.
    const uint64_t cycles = mcf::ingress_stats(INGRESS_SRC_NET).cycles.load();
    mcftest::eventually([&] { return mcf::ingress_stats(INGRESS_SRC_NET).cycles.load() >= cycles + 2; });
    ingress_to_mux_item e;
    while (kd_pipe_read_unlocked(ingress_pipe[INGRESS_SRC_NET], &e) == 0)
        got.push_back(e);
    return got;
}

// Streams as the usual tools send them: socat and FFmpeg's mpegts output
// arrive byte for byte, rtp_mpegts as RTP datagrams of seven packets.
TEST_F(Ingress, ToolStreamsArriveByteExact)
{
    if (!have("ffmpeg") || !have("socat"))
        GTEST_SKIP() << "needs ffmpeg and socat";
    scenario card(3);
    ASSERT_NO_FATAL_FAILURE(start(card, true));
    ASSERT_EQ(card.change([] {
        input(100, "239.1.1.1", 5000);
        input(101, "239.1.1.2", 5002);
        input(102, "239.1.1.3", 5004);
    }), 3);
    const std::string dir = "/tmp/mcfingress." + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    const std::string gen = "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=160x120:rate=25 -t 1 "
                            "-c:v mpeg2video -b:v 300k -muxrate 1500000 -fflags +bitexact -flags +bitexact ";
    ASSERT_EQ(std::system((gen + "-f mpegts " + dir + "/a.ts").c_str()), 0);
    const std::vector<uint8_t> ts = read_file(dir + "/a.ts");
    ASSERT_GT(ts.size(), 100000u);
    auto concat = [](const std::vector<ingress_to_mux_item> &v, size_t skip) {
        std::vector<uint8_t> out;
        for (const ingress_to_mux_item &e : v)
            out.insert(out.end(), e.buf + skip, e.buf + e.len);
        return out;
    };

    ASSERT_EQ(card.in_chassis("socat -u -b 1316 OPEN:" + dir + "/a.ts UDP4-DATAGRAM:239.1.1.1:5000,ip-multicast-if=10.77.1.2"), 0);
    std::vector<ingress_to_mux_item> got = drain_sent(100);
    EXPECT_TRUE(concat(got, 0) == ts) << "socat";
    for (const ingress_to_mux_item &e : got)
        EXPECT_STREQ(e.ip, "239.1.1.1");

    ASSERT_EQ(card.in_chassis(gen + "-f mpegts 'udp://239.1.1.2:5002?pkt_size=1316&localaddr=10.77.1.2'"), 0);
    got = drain_sent(101);
    EXPECT_TRUE(concat(got, 0) == ts) << "ffmpeg mpegts";

    ASSERT_EQ(card.in_chassis(gen + "-f rtp_mpegts 'rtp://239.1.1.3:5004?pkt_size=1328&localaddr=10.77.1.2'"), 0);
    got = drain_sent(102);
    ASSERT_GT(got.size(), 10u);
    uint16_t seq = uint16_t(got[0].buf[2] << 8 | got[0].buf[3]);
    for (const ingress_to_mux_item &e : got) {
        ASSERT_GE(e.len, 12 + 188);
        EXPECT_EQ(e.buf[0], 0x80);
        EXPECT_EQ(e.buf[1] & 0x7F, 33);
        EXPECT_EQ(uint16_t(e.buf[2] << 8 | e.buf[3]), seq++);
        EXPECT_EQ((e.len - 12) % 188, 0);
        for (int p = 12; p < e.len; p += 188)
            EXPECT_EQ(e.buf[p], 0x47);
    }
    std::filesystem::remove_all(dir);
}

} // namespace
