// Input managers as the control side sees them: sync against the records,
// lookups, and the monitors the multiplexer runs (stream loss, PCR-lock
// and continuity alarms, program status).
#include "engine_fixture.h"
#include "ingress/manager_input.h"
#include "router/phindex.h"
#include "status_queue.h"
#include "tables/virtual_input.h"

#include <kerrow/alarm.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

using mcftest::EngineTest;

class ManagerInputs : public EngineTest {
protected:
    int sync()
    {
        mcf::write_lock lock;
        return manager_input_output_sync(0);
    }
};

TEST_F(ManagerInputs, SyncFollowsTheRecordsAndLookupsFindThem)
{
    net_input(100, "239.1.1.1", 5000);
    net_input(101); // no address yet: no manager
    cfg_rx *xsb = mcfcfg_rx_add_xsb(2, 1, 1);
    xsb->ingress_bay = 3;
    cfg_rx *far = mcfcfg_rx_add_xsb(2, 2, 1);
    far->ingress_bay = 8;
    mcfcfg_rx_add_virt(); // the virtual input's manager lives elsewhere
    EXPECT_EQ(sync(), 3);
    EXPECT_EQ(manager_inputs_find_by_id(101), nullptr);
    EXPECT_EQ(manager_inputs_find_by_id(0), nullptr);
    EXPECT_EQ(manager_inputs_find_by_id(1201)->socket_id, 10003);
    EXPECT_EQ(manager_inputs_find_by_id(1202)->socket_id, -1);
    EXPECT_EQ(manager_inputs_find_by_port(5000), manager_inputs_find_by_id(100));
    EXPECT_EQ(manager_inputs_find_net_input_by_socket(0), nullptr);
    EXPECT_EQ(log_.count("MCF: Input 1201 Added as type Routable XSB (srt disabled)"), 1);

    manager_input *keep = manager_inputs_find_by_id(1201);
    mcfcfg_rx_rem(mcfcfg_rx_find_by_id(100));
    EXPECT_EQ(sync(), 1);
    EXPECT_EQ(manager_inputs_find_by_id(100), nullptr);
    EXPECT_EQ(manager_inputs_find_by_id(1201), keep); // the others stay in place
    EXPECT_EQ(log_.count("MCF: Input 100 Deleted"), 1);
    EXPECT_EQ(manager_inputs_delete(100), 0);
}

// Loss goes by the datagrams' receive time against the ingress thread's
// sweeps, never by how often the monitor ran.
TEST_F(ManagerInputs, StreamLossIsDecidedByReceiveTimeOncePerSilence)
{
    net_input(100, "239.1.1.1", 5000);
    sync();
    manager_input *mi = manager_inputs_find_by_id(100);
    constexpr int64_t t0 = int64_t(1700000000) * 1000000000, ms = 1000000;
    mi->rx_ns = t0; // as the multiplexer hands over a stamped datagram
    manager_input_update_stream_status(mi);
    manager_input_update_stream_status(mi);
    mi->rx_ns = 0;
    EXPECT_EQ(log_.count("MCF: Input 100 is now streaming."), 1);
    struct Pass {
        const char *what;
        int64_t swept; // the Net thread's last full sweep, after t0
        bool pipe_empty;
        int lost; // "stream lost" lines so far
    } passes[] = {
        {"no sweep since the datagram", 0, true, 0},
        {"swept before the period ran out", 197 * ms, true, 0},
        {"a later sweep, but entries wait in the pipe", 5000 * ms, false, 0},
        {"a sweep after the period, nothing waiting", 198 * ms, true, 1},
        {"told once per silence", 9000 * ms, true, 1},
    };
    for (const Pass &p : passes) {
        SCOPED_TRACE(p.what);
        mcf::rx_progress rx{};
        for (int src = 0; src <= INGRESS_SRC_NUM; ++src) {
            rx.swept_ns[src] = t0 + p.swept;
            rx.pipe_empty[src] = p.pipe_empty;
        }
        mcf::monitor_stream_loss(rx);
        EXPECT_EQ(log_.count("MCF: Input 100 stream lost."), p.lost);
    }
    manager_input_update_stream_status(mi);
    EXPECT_EQ(log_.count("MCF: Input 100 is now streaming."), 2);
    // Without ingress threads (as here) the monitor goes by the clock: a
    // datagram just taken in is not lost.
    manager_inputs_datapath_monitor_for_stream_loss();
    EXPECT_EQ(log_.count("stream lost"), 1);
}

TEST_F(ManagerInputs, AlarmsFollowTheIntervalsAndTellTheDecoder)
{
    net_input(100, "239.1.1.1", 5000);
    cfg_tx *dec = output(0, EGRTYPE_DEC);
    cfg_tx_input_add(dec)->input_id = 100;
    mcf_ctrl_plane_configuration_is_loaded = 1;
    sync();
    manager_input *mi = manager_inputs_find_by_id(100);
    ASSERT_NE(manager_outputs_find_by_id(0), nullptr);

    struct Pass {
        uint32_t cc_errors;
        bool pcr_lost;
        unsigned result;
        bool cc_alarm, pcr_alarm;
    } passes[] = {
        {3, true, 1, true, true},    // both raised
        {1, false, 1, true, false},  // continuity still, PCR lock back
        {0, false, 2, false, false}, // cleared while a decoder output uses the input
        {0, false, 0, false, false}, // nothing to do
    };
    for (const Pass &p : passes) {
        for (uint32_t i = 0; i < p.cc_errors; ++i)
            manager_input_add_cc_error(mi);
        mi->pcr_discontinuity_occurred = p.pcr_lost ? 1 : 0;
        EXPECT_EQ(manager_inputs_datapath_check_alarm_state(), p.result);
        EXPECT_EQ(mi->cc_errors_alarm_is_set, p.cc_alarm ? 1u : 0u);
        EXPECT_EQ(mi->pcr_lost_lock_alarm_is_set, p.pcr_alarm ? 1u : 0u);
    }
    EXPECT_EQ(log_.count("MCF: Input 100 CC errors alarm SET."), 1);
    EXPECT_EQ(log_.count("MCF: Input 100 total CC errors this interval: 3."), 1);
    EXPECT_EQ(log_.count("MCF: Input 100 CC errors alarm CLEAR."), 1);
    EXPECT_EQ(log_.count("MCF: Input 100 PCR lost lock alarm SET."), 1);
    EXPECT_EQ(log_.count("MCF: Input 100 PCR lost lock alarm CLEAR."), 1);

    // A report the alarm queue refuses leaves the flag, so the next pass reports again.
    int queued = 0;
    while (kd_alarm_detected_in_worker_thread("filler", ALARM_ACTIVE) == 0 && queued < 100000)
        ++queued;
    manager_input_add_cc_error(mi);
    EXPECT_EQ(manager_inputs_datapath_check_alarm_state(), 1u);
    EXPECT_EQ(mi->cc_errors_alarm_is_set, 0u);
    kd_alarm_queue_periodic_check(nullptr);
    manager_input_add_cc_error(mi);
    EXPECT_EQ(manager_inputs_datapath_check_alarm_state(), 1u);
    EXPECT_EQ(mi->cc_errors_alarm_is_set, 1u);
}

// Program status from the PIDs that arrived between two passes.
class ProgramStatus : public ManagerInputs {
protected:
    void SetUp() override
    {
        ManagerInputs::SetUp();
        net_input(100, "239.1.1.1", 5000);
        net_input(101, "239.1.1.2", 5000)->ingress_is_routable = 0;
        net_input(102, "239.1.1.3", 5000); // its tables never populated
        ASSERT_EQ(virtual_input_init(&mcf_cfg), 0);
        sync();
        phindex_init([] { return 0; }, [] { return 0; });
        in_ = manager_inputs_find_by_id(100);
        ASSERT_NE(in_, nullptr);
        for (int pid = 0x100; pid <= 0x103; ++pid)
            ASSERT_EQ(phindex_append(100, pid, PHDATATYPE_ROUTED_DATA, nullptr, ignore, nullptr), 0);
    }
    void TearDown() override
    {
        phindex_fini();
        virtual_input_fini();
        ManagerInputs::TearDown();
    }
    static int ignore(void *, tsPkt *, manager_input *, const struct timespec *) { return 0; }
    // A program of the input listing (input id, PID) entries.
    static void program(manager_input *mi, int pnu, std::vector<std::pair<int, int>> entries)
    {
        pmt_state *st = input_table_info_append_service(mi->tables, 0x1000 + pnu, pnu);
        ASSERT_NE(st, nullptr);
        for (auto [id, pid] : entries)
            local_pmt_add_entry(&st->pmt, 0x1B, id, pid);
    }
    // A packet of each PID on input 100.
    void arrive(std::initializer_list<int> pids)
    {
        for (int pid : pids) {
            uint8_t b[188] = {0x47, uint8_t(pid >> 8), uint8_t(pid), uint8_t(0x10 | (cc_++ & 15))};
            tsPkt p;
            std::memcpy(&p, b, sizeof p);
            phindex_process(in_, pid, &p, nullptr);
        }
    }
    // One pass and the loop's handling of what it posted.
    void pass()
    {
        manager_inputs_datapath_update_program_status();
        mcf_status_queue_periodic_check();
    }
    static std::string told(int input, int pnu, int status)
    {
        return "MCF: StatQ update STATUS " + std::to_string(status) + " on Program " + std::to_string(pnu) +
               " for Input " + std::to_string(input);
    }
    manager_input *in_ = nullptr;
    unsigned cc_ = 0;
};

TEST_F(ProgramStatus, ActiveWhenEveryPidArrivedAndEachChangeIsToldOnce)
{
    manager_input *vi = virtual_input_get_manager();
    ASSERT_NE(vi, nullptr);
    const int v = vi->id;
    program(in_, 1, {{100, 0x100}, {100, 0x101}});
    program(in_, 2, {}); // no entries: active
    program(in_, 3, {{100, 0x102}});
    in_->tables->populated = 1;
    program(vi, 7, {{100, 0x103}}); // the virtual input's PIDs arrive on other inputs; no populated tables
    for (int id : {101, 102})
        program(manager_inputs_find_by_id(id), 1, {});
    manager_inputs_find_by_id(101)->tables->populated = 1;

    struct Pass {
        std::initializer_list<int> pids;
        std::vector<uint32_t> status; // programs 1, 2, 3 of input 100, then 7 of the virtual input
    } passes[] = {
        {{0x100, 0x101, 0x103}, {1, 1, 0, 1}},
        {{0x100, 0x102}, {0, 1, 1, 0}}, // 0x101 missing: one PID is not enough
        {{}, {0, 1, 0, 0}},
    };
    for (const Pass &p : passes) {
        arrive(p.pids);
        pass();
        const uint32_t *st = in_->tables->program_status;
        EXPECT_EQ((std::vector<uint32_t>{st[0], st[1], st[2], vi->tables->program_status[0]}), p.status);
        EXPECT_EQ(phindex_is_pid_present(100, 0x100), 0); // the next pass starts afresh
    }
    EXPECT_EQ(log_.count(told(100, 1, 1)), 1);
    EXPECT_EQ(log_.count(told(100, 1, 0)), 1);
    EXPECT_EQ(log_.count(told(100, 2, 1)), 1);
    EXPECT_EQ(log_.count(told(100, 3, 1)), 1);
    EXPECT_EQ(log_.count(told(100, 3, 0)), 1);
    EXPECT_EQ(log_.count(told(v, 7, 1)), 1);
    EXPECT_EQ(log_.count(told(v, 7, 0)), 1);
    EXPECT_EQ(log_.count("for Input 101"), 0); // not routable
    EXPECT_EQ(log_.count("for Input 102"), 0); // tables not populated

    // A change the full status queue refused is told by a later pass.
    int queued = 0;
    while (mcf_post_program_status_state(999, 1, true) == 0 && queued < 100000)
        ++queued;
    arrive({0x102});
    manager_inputs_datapath_update_program_status();
    EXPECT_EQ(in_->tables->program_status[2], 0u);
    mcf_status_queue_periodic_check();
    arrive({0x102});
    pass();
    EXPECT_EQ(in_->tables->program_status[2], 1u);
    EXPECT_EQ(log_.count(told(100, 3, 1)), 2);
}

// The input managers' program tables at debug level, every input in list
// order with each program's entries.
TEST_F(ProgramStatus, DebugSummaryListsEachProgramsEntries)
{
    program(in_, 1, {{100, 0x100}, {101, 0x101}});
    program(in_, 2, {});
    log_.clear();
    manager_inputs_debug();
    std::vector<std::string> lines;
    for (const auto &l : log_.lines())
        lines.push_back(l.text.substr(l.text.find("] ") + 2));
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "Input 0 Program Table Summary:\n", "..Total of 0 Programs.\n", // the virtual input's
                         "Input 100 Program Table Summary:\n", "..Total of 2 Programs.\n",
                         "....Program: 1 has 2 PID entries\n", "......0 - Input 100 PID 256\n",
                         "......1 - Input 101 PID 257\n", "....Program: 2 has 0 PID entries\n",
                         "Input 101 Program Table Summary:\n", "..Total of 0 Programs.\n",
                         "Input 102 Program Table Summary:\n", "..Total of 0 Programs.\n"}));
}

} // namespace
