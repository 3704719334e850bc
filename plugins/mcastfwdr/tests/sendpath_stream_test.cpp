// The send path with the real output managers and the index's own
// population: an FFmpeg stream of two programs into an output that takes
// one of them with a remapped video PID. The output stream is checked by
// libdvbpsi (its PAT and PMT), by ffprobe (the program's frames decode) and
// by its PIDs (only routed, table and null packets).
#include "sendpath_fixture.h"
#include "ts_fixtures.h"

#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/pat.h>
#include <dvbpsi/pmt.h>
#include <dvbpsi/psi.h>

#include <fstream>
#include <set>

namespace {

using mcftest::packet_pid;
using mcftest::ts_bytes;

struct psi_seen {
    std::vector<std::pair<int, int>> programs; // program number, PMT PID
    int pcr_pid = -1;
    std::set<int> es;
};

// The first PAT and the first PMT of program pnu that libdvbpsi decodes.
psi_seen read_psi(const std::vector<ts_bytes> &out, int pnu)
{
    psi_seen seen;
    dvbpsi_t *h = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
    dvbpsi_pat_attach(
        h,
        [](void *d, dvbpsi_pat_t *p) {
            auto *s = static_cast<psi_seen *>(d);
            if (s->programs.empty())
                for (dvbpsi_pat_program_t *pg = p->p_first_program; pg; pg = pg->p_next)
                    s->programs.emplace_back(pg->i_number, pg->i_pid);
            dvbpsi_pat_delete(p);
        },
        &seen);
    for (ts_bytes b : out)
        if (packet_pid(b.data()) == 0)
            dvbpsi_packet_push(h, b.data());
    dvbpsi_pat_detach(h);
    dvbpsi_delete(h);
    int pmt_pid = -1;
    for (auto [n, pid] : seen.programs)
        pmt_pid = n == pnu ? pid : pmt_pid;
    if (pmt_pid < 0)
        return seen;
    h = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
    dvbpsi_pmt_attach(
        h, uint16_t(pnu),
        [](void *d, dvbpsi_pmt_t *p) {
            auto *s = static_cast<psi_seen *>(d);
            if (s->pcr_pid < 0) {
                s->pcr_pid = p->i_pcr_pid;
                for (dvbpsi_pmt_es_t *e = p->p_first_es; e; e = e->p_next)
                    s->es.insert(e->i_pid);
            }
            dvbpsi_pmt_delete(p);
        },
        &seen);
    for (ts_bytes b : out)
        if (packet_pid(b.data()) == pmt_pid)
            dvbpsi_packet_push(h, b.data());
    dvbpsi_pmt_detach(h);
    dvbpsi_delete(h);
    return seen;
}

class SendPathStream : public mcftest::SendPathTest {
protected:
    void SetUp() override
    {
        SendPathTest::SetUp();
        // The index fills itself from the running managers.
        phindex_fini();
        phindex_init(mcastfwdr_populate_pidh, mcastfwdr_depopulate_pidh);
        mcf_ctrl_plane_configuration_is_loaded = 1;
    }
    void TearDown() override
    {
        for (manager_output *mo : attached_)
            mo->egress = nullptr;
        eg_.clear();
        SendPathTest::TearDown();
    }
    // The output's packets go to a pool of our own: no egress thread.
    mcastfwdr_ts_pool *attach_pool(manager_output *mo)
    {
        eg_.push_back(std::make_unique<egress_holder>());
        eg_.back()->eg.ts_pool = ts_pool_ctor(mo->configured_dest_bps, 1000.0);
        mo->egress = &eg_.back()->eg;
        attached_.push_back(mo);
        return mo->egress->ts_pool;
    }

private:
    struct egress_holder {
        mcastfwdr_egress eg;
        ~egress_holder() { ts_pool_dtor(eg.ts_pool); }
    };
    std::vector<std::unique_ptr<egress_holder>> eg_;
    std::vector<manager_output *> attached_;
};

TEST_F(SendPathStream, OneProgramOfTwoDecodesWithItsTablesAndNothingElse)
{
    if (!tsfix::have_program("ffmpeg") || !tsfix::have_program("ffprobe"))
        GTEST_SKIP() << "ffmpeg and ffprobe are needed";
    tsfix::TempDir dir;
    const std::string in_path = (dir.path / "in.ts").string(), out_path = (dir.path / "out.ts").string();
    int rc = -1;
    // Program 1: video 0x100 (with the PCR), audio 0x101; program 2: 0x102, 0x103.
    tsfix::run("ffmpeg -v error -nostdin -f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=frequency=440 "
               "-f lavfi -i testsrc2=size=160x120:rate=25 -map 0:v -map 1:a -map 2:v -map 1:a "
               "-c:v mpeg2video -b:v 600k -c:a mp2 -b:a 96k -t 2 -program title=A:st=0:st=1 -program title=B:st=2:st=3 "
               "-muxrate 3000000 -pcr_period 30 -f mpegts '" + in_path + "' 2>&1",
               &rc);
    std::vector<uint8_t> ts = tsfix::read_file(in_path);
    if (rc != 0 || ts.empty())
        GTEST_SKIP() << "ffmpeg could not make the test stream";

    manager_input *mi = input(100, 3000000, 5000);
    ASSERT_NE(mi, nullptr);
    cfg_tx *tx = output(1, EGRTYPE_NET);
    std::snprintf(tx->dest_node, sizeof tx->dest_node, "239.9.9.9");
    kd_remote_addr_init(&tx->ra, tx->dest_node, nullptr);
    tx->dest_port = 6000;
    tx->dest_transmit = DEST_XMIT_ON;
    tx->dest_bps = 6000000;
    tx->ts_id = 0x33;
    cfg_tx_input *svc = cfg_tx_input_add(tx);
    svc->input_id = 100;
    svc->input_prog_num = 1;
    cfg_tx_pid_map_add(svc, "Video", 0x100)->out_pid = 0x200;
    {
        mcf::write_lock lock;
        manager_input_output_sync(0);
    }
    manager_output *mo = manager_outputs_find_by_id(1);
    ASSERT_NE(mo, nullptr);
    mcastfwdr_ts_pool *pool = attach_pool(mo);

    std::vector<ts_bytes> out;
    for (size_t i = 0; i < ts.size() / 188; i += 7) {
        const size_t n = std::min<size_t>(7, ts.size() / 188 - i);
        pthread_rwlock_rdlock(&ctrl_data_lock);
        mcastfwdr_handle_and_send_msg_in(mi, ts.data() + i * 188, int(n * 188), nullptr);
        pthread_rwlock_unlock(&ctrl_data_lock);
        uint16_t pid = 0;
        unsigned meta_len = 0;
        uint8_t meta[64];
        while (const uint8_t *p = ts_pool_read_unlocked(pool, &pid, meta, &meta_len)) {
            ts_bytes b;
            std::copy(p, p + 188, b.begin());
            if (pid) {
                b[1] = uint8_t((b[1] & 0xE0) | pid >> 8);
                b[2] = uint8_t(pid);
            }
            out.push_back(b);
        }
    }
    ASSERT_GT(out.size(), ts.size() / 188); // 3 -> 6 Mbit/s: about twice as many

    // The output's own PAT and PMT, the PAT first.
    const psi_seen psi = read_psi(out, 1);
    ASSERT_EQ(psi.programs.size(), 1u);
    EXPECT_EQ(psi.programs[0].first, 1);
    const int pmt_pid = psi.programs[0].second;
    EXPECT_EQ(psi.pcr_pid, 0x200);
    EXPECT_EQ(psi.es, (std::set<int>{0x200, 0x101}));
    size_t first_pat = out.size(), first_pmt = out.size();
    std::set<int> pids;
    for (size_t i = 0; i < out.size(); ++i) {
        const int pid = packet_pid(out[i].data());
        pids.insert(pid);
        if (pid == 0 && first_pat == out.size())
            first_pat = i;
        if (pid == pmt_pid && first_pmt == out.size())
            first_pmt = i;
    }
    EXPECT_LT(first_pat, first_pmt);
    // Routed (remapped) PIDs, the output's tables and null packets only.
    for (int pid : pids)
        EXPECT_TRUE(pid == 0x200 || pid == 0x101 || pid == 0 || pid == 1 || pid == 17 || pid == pmt_pid || pid == 8191)
            << pid;
    EXPECT_TRUE(pids.count(0x200) && pids.count(0x101));

    {
        std::ofstream f(out_path, std::ios::binary);
        for (const ts_bytes &b : out)
            f.write(reinterpret_cast<const char *>(b.data()), 188);
    }
    const std::string probe = tsfix::run("ffprobe -v error -count_frames -show_entries stream=codec_name,nb_read_frames "
                                         "-of csv=p=0 '" + out_path + "' 2>&1");
    EXPECT_NE(probe.find("mpeg2video,"), std::string::npos) << probe;
    EXPECT_NE(probe.find("mp2,"), std::string::npos) << probe;
    const size_t at = probe.find("mpeg2video,");
    if (at != std::string::npos) {
        EXPECT_GE(std::atoi(probe.c_str() + at + 11), 40) << probe; // two seconds at 25 frames a second
    }
    EXPECT_EQ(probe.find("rror"), std::string::npos) << probe;
}

TEST_F(SendPathStream, AnOutputDeletedBeforeASyncLeavesTheIndex)
{
    manager_input *mi = input(100, 3000000, 5000);
    ASSERT_NE(mi, nullptr);
    program(mi, 1, 0x1000, 0x100, {0x100, 0x101});
    cfg_tx *tx = output(1, EGRTYPE_NET);
    std::snprintf(tx->dest_node, sizeof tx->dest_node, "239.9.9.9");
    kd_remote_addr_init(&tx->ra, tx->dest_node, nullptr);
    tx->dest_port = 6000;
    tx->dest_transmit = DEST_XMIT_ON;
    tx->dest_bps = 6000000;
    cfg_tx_input *svc = cfg_tx_input_add(tx);
    svc->input_id = 100;
    svc->input_prog_num = 1;
    mcf::write_lock lock;
    manager_input_output_sync(0);
    ASSERT_NE(phindex_find_handler(100, 0x101, PHDATATYPE_ROUTED_DATA), nullptr);
    // Deleted on its own, as the rate and FIPS paths do, and not made again.
    tx->dest_transmit = DEST_XMIT_OFF;
    EXPECT_EQ(manager_outputs_delete(1), 1);
    EXPECT_EQ(manager_input_output_sync(0), 0);
    EXPECT_EQ(phindex_find_handler(100, 0x101, PHDATATYPE_ROUTED_DATA), nullptr);
    EXPECT_NE(phindex_find_handler(100, 0, PHDATATYPE_PAT), nullptr);
}

} // namespace
