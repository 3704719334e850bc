// Input managers as the control side sees them: sync against the records,
// lookups, and the monitors the multiplexer runs (stream loss, PCR-lock
// and continuity alarms).
#include "engine_fixture.h"
#include "ingress/manager_input.h"

#include <kerrow/alarm.h>

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

TEST_F(ManagerInputs, StreamLossIsReportedOncePerSilence)
{
    net_input(100, "239.1.1.1", 5000);
    sync();
    manager_input *mi = manager_inputs_find_by_id(100);
    manager_input_update_stream_status(mi);
    manager_input_update_stream_status(mi);
    EXPECT_EQ(log_.count("MCF: Input 100 is now streaming."), 1);
    manager_inputs_datapath_monitor_for_stream_loss(); // data since the last pass
    EXPECT_EQ(log_.count("stream lost"), 0);
    manager_inputs_datapath_monitor_for_stream_loss();
    manager_inputs_datapath_monitor_for_stream_loss();
    EXPECT_EQ(log_.count("MCF: Input 100 stream lost."), 1);
    manager_input_update_stream_status(mi);
    EXPECT_EQ(log_.count("MCF: Input 100 is now streaming."), 2);
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

} // namespace
