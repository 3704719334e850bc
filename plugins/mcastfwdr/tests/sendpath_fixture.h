// Send-path fixtures: input managers with programs in their tables, and
// the PID index populated over hand-made output managers
// (sendpath_output.h).
#pragma once

#include "engine_fixture.h"
#include "sendpath_output.h"
#include "router/packet_proc.h"
#include "router/populate.h"
#include "router/send.h"

#include <array>
#include <cstring>
#include <memory>
#include <vector>

namespace mcftest {

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
