// KLV ingress: datagrams received by the thread on loopback become one
// packet each in the outputs routing the source; the ring's read mark
// follows the slowest output; sizes, missing PIDs, full pools and a full
// ring are counted; no thread on a decoder card.
#include "engine_fixture.h"

#include "cfg/mcf_services.h"
#include "klv/klv.h"
#include "outputs/manager_output.h"
#include "tables/input_tables.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <numeric>
#include <string>
#include <vector>

// The card's kind, as the tests set it.
static bool g_decoder_card = false;
extern "C" bool __wrap_mcf_decoder_exists(void) { return g_decoder_card; }

namespace {

using mcftest::EngineTest;
using mcftest::eventually;

int pid_of(const uint8_t *p) { return ((p[1] & 0x1F) << 8) | p[2]; }

class KlvIngress : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        mcf_ctrl_plane_configuration_is_loaded = 1;
        g_decoder_card = false;
    }
    void TearDown() override
    {
        mcastfwdr_klv_fini();
        for (cfg_rx_klv &k : mcf::records<cfg_rx_klv>(mcf_cfg.rules_rx_klv))
            if (k.sockfd >= 0) {
                close(k.sockfd);
                k.sockfd = -1;
            }
        EngineTest::TearDown();
    }

    // A KLV source on PID 0x300 receiving on a loopback socket of its own.
    cfg_rx_klv *source(int id, uint32_t pid = 0x300)
    {
        cfg_rx_klv *k = mcfcfg_add_klv_source(id);
        k->pid = pid;
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        const int on = 1;
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len), 0);
        setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        mcf::write_lock lock;
        k->sockfd = fd;
        return k;
    }
    static void send_to(const cfg_rx_klv *k, const std::vector<uint8_t> &data)
    {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        getsockname(k->sockfd, reinterpret_cast<sockaddr *>(&a), &len);
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a),
                  ssize_t(data.size()));
        close(fd);
    }
    // As the thread hands over one datagram (without the network).
    static void inject(const cfg_rx_klv *k, size_t len, uint8_t fill = 0x5A)
    {
        std::vector<uint8_t> data(len, fill);
        pthread_rwlock_rdlock(&ctrl_data_lock);
        mcf::klv::handle_datagram(k->sockfd, data.data(), data.size(), timespec{1, 2});
        pthread_rwlock_unlock(&ctrl_data_lock);
    }

    // An input with one program and an output routing it with KLV source 0.
    manager_output *routing_output(int id, bool single_input = false, int klv_id = 0)
    {
        if (!manager_inputs_find_by_id(101)) {
            net_input(101, "239.1.1.1", 5101);
            sync();
            manager_input *mi = manager_inputs_find_by_id(101);
            pmt_state *st = input_table_info_append_service(mi->tables, 0x100, 1);
            st->pmt.pcr_pid = 0x101;
            local_pmt_add_entry(&st->pmt, 0x1B, 101, 0x101);
            st->pmt.num_pmt_entries = 1;
            mi->tables->populated = 1;
        }
        cfg_tx *tx = output(id, EGRTYPE_NET);
        const std::string node = "239.9.9." + std::to_string(10 + id);
        std::snprintf(tx->dest_node, sizeof tx->dest_node, "%s", node.c_str());
        kd_remote_addr_init(&tx->ra, node.c_str(), nullptr);
        tx->dest_port = 6000;
        tx->dest_transmit = DEST_XMIT_ON;
        if (single_input) {
            tx->dest_single_input_mode = DEST_SIM_ON;
            tx->dest_single_input_id = 101;
        }
        cfg_tx_input *s = cfg_tx_input_add(tx);
        s->input_id = 101;
        s->input_prog_num = 1;
        s->klv_source_id = klv_id;
        sync();
        manager_output *mo = manager_outputs_find_by_id(id);
        EXPECT_NE(mo, nullptr);
        return mo;
    }
    int sync()
    {
        mcf::write_lock lock;
        return manager_input_output_sync(0);
    }
    // What an output's injection pool holds, taken out.
    static std::vector<const uint8_t *> drain(manager_output *mo)
    {
        std::vector<const uint8_t *> out;
        uint16_t pid;
        uint8_t meta[64];
        unsigned meta_len;
        while (const uint8_t *p = ts_pool_read_unlocked(mo->inject_ts_queue, &pid, meta, &meta_len)) {
            EXPECT_EQ(pid, 0);
            EXPECT_EQ(meta_len, 0u);
            out.push_back(p);
        }
        return out;
    }
    static int32_t counter(const int32_t &c) { return std::atomic_ref<const int32_t>(c).load(); }
};

TEST_F(KlvIngress, ReceivedDatagramsReachEveryRoutingOutputInOrder)
{
    manager_output *a = routing_output(0);
    manager_output *b = routing_output(1);
    manager_output *single = routing_output(2, true);
    manager_output *other = routing_output(3, false, 7);
    ASSERT_TRUE(a && b && single && other);
    cfg_rx_klv *k = source(0);
    k->cc = 13; // the counters continue from the record's
    ASSERT_EQ(mcastfwdr_klv_init(pli_), 0);
    ASSERT_TRUE(mcf::klv::thread_running());

    std::vector<std::vector<uint8_t>> sent;
    for (int i = 0; i < 20; ++i) {
        std::vector<uint8_t> d(size_t(1 + i * 9 % 173));
        std::iota(d.begin(), d.end(), uint8_t(i));
        send_to(k, d);
        sent.push_back(d);
        // One at a time, so that the order on the socket is the order sent.
        ASSERT_TRUE(eventually([&] { return counter(k->pkts_rx) == i + 1; })) << i;
    }
    EXPECT_TRUE(std::atomic_ref<bool>(k->detected).load());
    EXPECT_GT(std::atomic_ref<time_t>(k->last_tstamp.tv_sec).load(), 0);

    const auto in_a = drain(a), in_b = drain(b);
    ASSERT_EQ(in_a.size(), 20u);
    EXPECT_EQ(in_a, in_b); // the same packets of the ring
    EXPECT_EQ(std::atomic_ref<uint8_t *>(k->last_pkt).load(), in_a.back());
    for (size_t i = 0; i < in_a.size(); ++i) {
        const uint8_t *p = in_a[i];
        EXPECT_EQ(p[0], 0x47);
        EXPECT_EQ(pid_of(p), 0x300);
        EXPECT_EQ(p[3] & 0x0F, int(13 + i) % 16) << i;
        const std::vector<uint8_t> tail(p + 188 - sent[i].size(), p + 188);
        EXPECT_EQ(tail, sent[i]) << i;
    }
    EXPECT_EQ(drain(single).size(), 0u);
    EXPECT_EQ(drain(other).size(), 0u);
    EXPECT_EQ(k->errs_packetizing + k->errs_overflow, 0);

    // The read mark waits for the slower output.
    EXPECT_EQ(mcf::klv::ring_level(), 20u);
    for (const uint8_t *p : in_b)
        EXPECT_EQ(mcastfwdr_klv_mark_pkt_injected(p), 0);
    EXPECT_EQ(mcf::klv::ring_level(), 20u);
    mcastfwdr_klv_mark_pkt_injected(in_a[0]);
    EXPECT_EQ(mcf::klv::ring_level(), 19u);
    for (size_t i = 1; i < in_a.size(); ++i)
        mcastfwdr_klv_mark_pkt_injected(in_a[i]);
    EXPECT_EQ(mcf::klv::ring_level(), 0u);

    // Stop: the thread is joined and the ring freed.
    mcastfwdr_klv_fini();
    EXPECT_FALSE(mcf::klv::thread_running());
    EXPECT_EQ(klv_pkt_pool, nullptr);
}

TEST_F(KlvIngress, SizesAndMissingPidAreCounted)
{
    manager_output *mo = routing_output(0);
    ASSERT_NE(mo, nullptr);
    cfg_rx_klv *k = source(0);
    cfg_rx_klv *no_pid = source(1, MCF_KLV_NO_PID);
    const int first_cc = k->cc;
    ASSERT_EQ(mcastfwdr_klv_init(pli_), 0);

    struct Case {
        size_t len;
        int packets, packetizing_errors;
    } cases[] = {{1, 1, 0}, {173, 1, 0}, {174, 0, 1}, {1025, 0, 1}};
    for (const Case &c : cases) {
        const int32_t errs = k->errs_packetizing;
        inject(k, c.len);
        EXPECT_EQ(drain(mo).size(), size_t(c.packets)) << c.len;
        EXPECT_EQ(k->errs_packetizing - errs, c.packetizing_errors) << c.len;
    }
    EXPECT_EQ(k->pkts_rx, 4);
    EXPECT_EQ(k->cc, (first_cc + 2) % 16); // only packets count the counter up

    inject(no_pid, 20);
    EXPECT_EQ(no_pid->pkts_rx, 1);
    EXPECT_TRUE(no_pid->detected);
    EXPECT_EQ(drain(mo).size(), 0u);
    EXPECT_EQ(no_pid->errs_packetizing, 0);
}

TEST_F(KlvIngress, FullPoolsAndAFullRingLoseNothingStillQueued)
{
    manager_output *mo = routing_output(0);
    ASSERT_NE(mo, nullptr);
    cfg_rx_klv *routed = source(0);
    cfg_rx_klv *unrouted = source(1);
    const int first_cc = routed->cc;
    ASSERT_EQ(mcastfwdr_klv_init(pli_), 0);

    // A source nobody routes never holds ring space.
    for (int i = 0; i < 4000; ++i)
        inject(unrouted, 100);
    EXPECT_EQ(unrouted->errs_overflow, 0);
    EXPECT_EQ(mcf::klv::ring_level(), 0u);

    // An output that never sends: its pool fills, then the ring behind its
    // oldest packet; the packets it holds stay intact.
    const uint32_t pool = ts_pool_entries(mo->inject_ts_queue) - 1;
    const size_t ring = MCF_KLV_POOL_SIZE / MCF_KLV_PKT_SIZE - 1;
    inject(routed, 100, 0x11);
    for (size_t i = 1; i < ring + 40; ++i)
        inject(routed, 100, 0x22);
    EXPECT_EQ(mo->inject_errors_counter.load(), ring - pool);
    EXPECT_EQ(routed->errs_overflow, 40);
    EXPECT_EQ(mcf::klv::ring_level(), ring);
    const auto held = drain(mo);
    ASSERT_EQ(held.size(), pool);
    EXPECT_EQ(held[0][187], 0x11);
    EXPECT_EQ(held[0][3] & 0x0F, first_cc);

    // The output goes away: what it held is handed back.
    for (const uint8_t *p : held)
        ASSERT_EQ(ts_pool_write_unlocked(mo->inject_ts_queue, p, 0, nullptr, 0), 0);
    mcf::klv::release_queue(mo->inject_ts_queue);
    EXPECT_EQ(mcf::klv::ring_level(), 0u);
    EXPECT_EQ(mcastfwdr_klv_mark_pkt_injected(reinterpret_cast<const uint8_t *>(&pool)), -1);
}

TEST_F(KlvIngress, ADecoderCardHasNoThreadAndNoRing)
{
    g_decoder_card = true;
    manager_output *mo = routing_output(0);
    cfg_rx_klv *k = source(0);
    ASSERT_EQ(mcastfwdr_klv_init(pli_), 0);
    EXPECT_FALSE(mcf::klv::thread_running());
    EXPECT_EQ(klv_pkt_pool, nullptr);
    inject(k, 10);
    EXPECT_EQ(drain(mo).size(), 0u);
}

} // namespace
