// Send-path fixtures: input managers with programs in their tables, output
// managers made by hand with the engines the routing uses (PCR windows,
// fill engine, a pool with no egress thread behind it), and the PID index
// populated over those outputs. The test reads each pool as the output
// stream.
#pragma once

#include "engine_fixture.h"
#include "outputs/manager_output.h"
#include "router/packet_proc.h"
#include "router/populate.h"
#include "router/send.h"

#include <array>
#include <cstring>
#include <memory>
#include <vector>

namespace mcftest {

using ts_bytes = std::array<uint8_t, 188>;

// One output manager and what it owns.
class test_output {
public:
    test_output(int id, int bps_in, int bps_out, tables_type tables = TABLES_TYPE_DVB)
        : mo_(std::make_unique<manager_output>()), egress_(std::make_unique<mcastfwdr_egress>())
    {
        manager_output &mo = *mo_;
        mo.id = id;
        mo.type = EGRTYPE_NET;
        mo.configured_dest_bps = bps_out;
        mo.configured_tables_type = tables;
        mo.pcrs = pcr_windows_ctor();
        mo.fill = mcastfwdr_fill_ctor(uint32_t(id), bps_in, bps_out);
        egress_->ts_pool = ts_pool_ctor(double(bps_out), 1000.0);
        egress_->tx_id = id;
        mo.egress = egress_.get();
        // The repetition intervals an output of this rate gets.
        const double p = bps_out / 8.0 / 188.0;
        mo.PTKS_PER_SDT = uint32_t(p);
        mo.PTKS_PER_CAT = mo.PKTS_PER_STT = uint32_t(0.5 * p);
        mo.PTKS_PER_PMT = mo.PKTS_PER_EIT = uint32_t(0.25 * p);
        mo.PTKS_PER_PAT = uint32_t(0.1 * p);
        mo.PKTS_PER_MGT = uint32_t(p * 0.07142857142857142);
        mo.PKTS_PER_VCT = uint32_t(0.2 * p);
        mo.PKTS_PER_RRT = uint32_t(59 * p);
        mo.PTKS_PER_SYS = uint32_t(p / (bps_out <= 39999999 ? 53.0 : double(bps_out / 752000)));
        mo.tables.rrt_cur_pkt = mo.tables.rrt_pkts;
        mo.tables.vct_cur_pkt = mo.tables.vct_pkts;
    }
    ~test_output()
    {
        pcr_windows_dtor(mo_->pcrs);
        mcastfwdr_fill_dtor(mo_->fill);
        ts_pool_dtor(egress_->ts_pool);
    }
    test_output(const test_output &) = delete;
    test_output &operator=(const test_output &) = delete;

    manager_output *get() { return mo_.get(); }
    manager_output *operator->() { return mo_.get(); }

    // Routes program pnu of the input, with PID maps {in, out}.
    routed_pgm_cfg &route(int input_id, int pnu, std::vector<pid_map> maps = {}, int ca_session_id = -1)
    {
        out_services *s = nullptr;
        for (out_services &u : mo_->unique_inputs)
            s = u.input_id == input_id ? &u : s;
        if (!s) {
            mo_->unique_inputs.push_back({input_id, {}});
            s = &mo_->unique_inputs.back();
        }
        routed_pgm_cfg p{};
        p.pnu = pnu;
        p.klv_source_id = -1;
        p.ca_session_id = ca_session_id;
        for (const pid_map &m : maps)
            p.pid_maps[p.num_pid_maps++] = m;
        s->services.push_back(p);
        return s->services.back();
    }
    void single_input(int input_id)
    {
        mo_->cfg_single_input_rtg_enabled = true;
        mo_->cfg_single_input_rtg_id = uint32_t(input_id);
    }
    // The packets in the pool, in order, with the output PID applied; the
    // scrambling data of each in metas (when given).
    std::vector<ts_bytes> drain(std::vector<ss_meta> *metas = nullptr)
    {
        std::vector<ts_bytes> out;
        uint16_t pid = 0;
        unsigned meta_len = 0;
        alignas(8) uint8_t meta[64];
        while (const uint8_t *p = ts_pool_read_unlocked(egress_->ts_pool, &pid, meta, &meta_len)) {
            ts_bytes b;
            std::copy(p, p + 188, b.begin());
            if (pid) {
                b[1] = uint8_t((b[1] & 0xE0) | pid >> 8);
                b[2] = uint8_t(pid);
            }
            out.push_back(b);
            if (metas) {
                ss_meta m{};
                m.ca_id = -1;
                if (meta_len == sizeof m)
                    std::memcpy(&m, meta, sizeof m);
                metas->push_back(m);
            }
        }
        return out;
    }

private:
    std::unique_ptr<manager_output> mo_;
    std::unique_ptr<mcastfwdr_egress> egress_;
};

inline int packet_pid(const uint8_t *b) { return (b[1] & 0x1F) << 8 | b[2]; }

// The outputs the index is populated over (the population callback's list).
inline std::vector<manager_output *> &populated()
{
    static std::vector<manager_output *> v;
    return v;
}
inline int populate_test_outputs()
{
    mcf::populate_from(populated().data(), unsigned(populated().size()));
    return -1;
}

// The engine with the PID index populated over the test's outputs.
class SendPathTest : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        populated().clear();
        circbuf = kd_circbuf_ctor(MCF_CIRCBUF_SIZE, MCF_CIRCBUF_MAX_WRITE);
        phindex_init(populate_test_outputs, mcastfwdr_depopulate_pidh);
    }
    void TearDown() override
    {
        phindex_fini();
        kd_circbuf_dtor(circbuf);
        circbuf = nullptr;
        populated().clear();
        EngineTest::TearDown();
    }
    // A Net input's manager (records only), streaming.
    manager_input *input(int id, int bps, int port)
    {
        cfg_rx *rx = net_input(id, "239.1.1.1", port);
        rx->ingress_bps = bps;
        {
            mcf::write_lock lock;
            manager_input_output_sync(0);
        }
        manager_input *mi = manager_inputs_find_by_id(id);
        if (mi)
            mi->configured_bps = bps;
        return mi;
    }
    // A program in the input's tables: PMT PID, PCR PID and ES PIDs.
    static local_pmt *program(manager_input *mi, int pnu, int pmt_pid, int pcr_pid, std::vector<int> es)
    {
        pmt_state *s = input_table_info_append_service(mi->tables, pmt_pid, pnu);
        if (!s)
            return nullptr;
        s->pmt.pcr_pid = pcr_pid;
        s->pmt.pcr_ingress_id = mi->id;
        for (int pid : es)
            local_pmt_add_entry(&s->pmt, 0x1B, mi->id, pid);
        return &s->pmt;
    }
    void use(std::initializer_list<test_output *> outs)
    {
        populated().clear();
        for (test_output *o : outs)
            populated().push_back(o->get());
        mcf::write_lock lock;
        phindex_repopulate();
    }
};

} // namespace mcftest
