// The send path on a simulated card: the forwarder started as the plug-in
// manager starts it, a Net input and a Net output configured as the
// appliers do, the output's egress thread stopped (halt, then join) and its
// pool read in order as the output stream while an FFmpeg stream is handed
// to the send path under the read lock as the multiplexer does. Needs root.
#include "scenario.h"
#include "mux/multiplexer.h"
#include "router/send.h"
#include "sendpath_pcr.h"
#include "ts_fixtures.h"

#include <set>

namespace {

using namespace mcftest;

class SendPathCard : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = scenario::skip_reason();
        if (!why.empty())
            GTEST_SKIP() << why;
        if (!tsfix::have_program("ffmpeg"))
            GTEST_SKIP() << "ffmpeg is needed";
    }
};

TEST_F(SendPathCard, ConfiguredOutputCarriesTheRestampedProgram)
{
    tsfix::TempDir dir;
    const std::string in_path = (dir.path / "in.ts").string();
    int rc = -1;
    tsfix::run("ffmpeg -v error -nostdin -f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=frequency=440 "
               "-c:v mpeg2video -b:v 1000k -c:a mp2 -b:a 128k -t 1.2 -muxrate 3000000 -pcr_period 30 -f mpegts '" +
                   in_path + "' 2>&1",
               &rc);
    std::vector<uint8_t> ts = tsfix::read_file(in_path);
    if (rc != 0 || ts.empty())
        GTEST_SKIP() << "ffmpeg could not make the test stream";

    scenario card(3);
    card.start_linked();
    mcastfwdr_multiplex_fini(); // the test drives the send path itself
    cfg_rx *rx = nullptr;
    cfg_tx *tx = nullptr;
    card.change([&] {
        rx = mcfcfg_rx_add_net(-1);
        std::snprintf(rx->ingress_node, sizeof rx->ingress_node, "%s", "239.5.5.5");
        std::snprintf(rx->ingress_intf, sizeof rx->ingress_intf, "%s", "eth0");
        rx->ingress_port = 5500;
        rx->ingress_bps = 3000000;
        tx = mcfcfg_tx_add_net(&mcf_cfg, -1);
        std::snprintf(tx->dest_node, sizeof tx->dest_node, "%s", "239.6.6.6");
        kd_remote_addr_init(&tx->ra, tx->dest_node, nullptr);
        std::snprintf(tx->dest_intf, sizeof tx->dest_intf, "%s", "eth0");
        tx->dest_port = 6600;
        tx->dest_bps = 10000000;
        tx->dest_transmit = DEST_XMIT_ON;
        cfg_tx_input *svc = cfg_tx_input_add(tx);
        svc->input_id = rx->ingress_id;
        svc->input_prog_num = 1;
    });
    manager_input *mi = manager_inputs_find_by_id(rx->ingress_id);
    ASSERT_NE(mi, nullptr);
    // The output takes packets once its input streams and the input's PMT
    // has rebuilt the output's fill with the input's rate.
    manager_output *mo = nullptr;
    auto feed = [&](size_t from, size_t to, std::vector<ts_bytes> *out) {
        for (size_t i = from; i < to; i += 7) {
            const size_t n = std::min<size_t>(7, to - i);
            pthread_rwlock_rdlock(&ctrl_data_lock);
            mcastfwdr_handle_and_send_msg_in(mi, ts.data() + i * 188, int(n * 188), nullptr);
            pthread_rwlock_unlock(&ctrl_data_lock);
            if (!out)
                continue;
            uint16_t pid = 0;
            unsigned meta_len = 0;
            uint8_t meta[64];
            while (const uint8_t *p = ts_pool_read_unlocked(mo->egress->ts_pool, &pid, meta, &meta_len)) {
                ts_bytes b;
                std::copy(p, p + 188, b.begin());
                if (pid) {
                    b[1] = uint8_t((b[1] & 0xE0) | pid >> 8);
                    b[2] = uint8_t(pid);
                }
                out->push_back(b);
            }
        }
    };
    mo = manager_outputs_find_by_id(tx->dest_id);
    ASSERT_NE(mo, nullptr) << "the output's manager";
    ASSERT_NE(mo->egress, nullptr);
    // Its egress thread stops here; the test reads the pool in its place.
    mo->egress->halt.store(true);
    ASSERT_EQ(rt_thread_join(&mo->egress->thread, 0), 0);
    ts_pool_clear(mo->egress->ts_pool);

    std::vector<ts_bytes> out;
    feed(0, ts.size() / 188, &out);
    const std::vector<pcr_at> v = pcrs_on(out, 0x100);
    ASSERT_GT(v.size(), 20u);
    EXPECT_LE(worst_error(v, 10.0), kTolerance);
    std::set<int> pids;
    for (const ts_bytes &b : out)
        pids.insert(packet_pid(b.data()));
    EXPECT_TRUE(pids.count(0) && pids.count(0x100) && pids.count(0x101) && pids.count(8191));
}

} // namespace
