// An output manager made by hand with the engines the routing uses (PCR
// windows, fill engine, a pool with no egress thread behind it), for the
// send-path tests and benchmark: the caller reads the pool as the output
// stream.
#pragma once

#include "outputs/manager_output.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

namespace mcftest {

inline int packet_pid(const uint8_t *b) { return (b[1] & 0x1F) << 8 | b[2]; }

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

} // namespace mcftest
