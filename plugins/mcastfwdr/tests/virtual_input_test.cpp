// The virtual input: announced programs gather in a cache and reach the
// live tables in one step, five maintenance ticks after the first.
#include "engine_fixture.h"

#include "cfg/mcf_services.h"
#include "tables/input_tables.h"
#include "tables/virtual_input.h"

#include <kerrow/cuvent.h>
#include <kerrow/dataset.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

using kdtest::LogCapture;

std::vector<std::pair<int, int>> *g_pgm;
int *g_sdt;

pidref ref(const char *addr, int pid, int type = 0)
{
    pidref r{};
    std::memcpy(r.src_addr, addr, 4);
    r.pid = pid;
    r.strm_type = type;
    return r;
}

virtual_program_data program(int pnu, const char *name, const char *src = "x12")
{
    virtual_program_data d{};
    d.prog_num = pnu;
    std::snprintf(d.name, sizeof d.name, "%s", name);
    d.slot_num = 1;
    d.vid_index = 2;
    d.pmtref = ref(src, 0x100 + pnu);
    d.pcrref = ref(src, 0x200 + pnu);
    for (auto &e : d.entries)
        e.pid = 8191;
    d.entries[0] = ref(src, 0x200 + pnu, 0x1B);
    d.entries[1] = ref("x13", 0x300 + pnu, 0x0F);
    d.entries[1].es_info_len = 6;
    std::memcpy(d.entries[1].es_info, "\x0a\x04" "eng\x00", 6);
    return d;
}

class VirtualInput : public mcftest::EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        for (int index : {2, 3}) {
            cfg_rx *x = mcfcfg_rx_add_xsb(1, index, 1);
            ASSERT_NE(x, nullptr);
            ASSERT_EQ(x->ingress_id, 1100 + index);
        }
        ASSERT_EQ(virtual_input_init(&mcf_cfg), 0);
        g_pgm = &pgm_;
        g_sdt = &sdt_;
        static const input_tables_listener l{[](int id, int pnu) { g_pgm->emplace_back(id, pnu); },
                                             [](int) { ++*g_sdt; }, nullptr, nullptr};
        input_tables_set_listener(&l);
    }
    void TearDown() override
    {
        input_tables_set_listener(nullptr);
        virtual_input_fini();
        EngineTest::TearDown();
    }
    void announce(virtual_program_data d) { kd_cuvent_emit(mcf_pli, "virtual_program", &d); }
    // Ticks until the live tables change; how many it took.
    int ticks_until_applied(int max = 10)
    {
        for (int i = 1; i <= max; ++i) {
            const size_t before = pgm_.size();
            virtual_input_check_on_vp_updates_pending();
            if (pgm_.size() != before)
                return i;
        }
        return -1;
    }
    const input_table_info &live() { return *virtual_input_get_manager()->tables; }
    std::vector<std::pair<int, int>> pgm_;
    int sdt_ = 0;
};

TEST_F(VirtualInput, ExistsWithItsManagerFromInit)
{
    EXPECT_EQ(virtual_input_get_ingress_id(), 0);
    manager_input *mi = virtual_input_get_manager();
    ASSERT_NE(mi, nullptr);
    EXPECT_EQ(mi, manager_inputs_find_by_id(0));
    EXPECT_EQ(mi->socket_id, 20000);
    EXPECT_EQ(live().pat_version, 1);
    EXPECT_EQ(live().sdt_version, 1);
    EXPECT_EQ(mcfcfg_rx_find_by_id(0)->ingress_stream_detected, 1);
    virtual_input_check_on_vp_updates_pending(); // nothing pending: nothing happens
    EXPECT_TRUE(pgm_.empty());
}

TEST_F(VirtualInput, ABurstIsAppliedOnceFiveTicksAfterTheFirst)
{
    LogCapture log;
    announce(program(5, "Five"));
    virtual_input_check_on_vp_updates_pending();
    announce(program(6, "Six"));
    virtual_input_check_on_vp_updates_pending();
    auto again = program(5, "Fifth");
    again.encrypt_mode = 1;
    announce(again); // within the window: an update of program 5
    EXPECT_EQ(live().num_programs, 0);
    EXPECT_EQ(ticks_until_applied(), 3); // five ticks after the first announcement
    EXPECT_EQ(pgm_, (std::vector<std::pair<int, int>>{{0, -1}}));
    EXPECT_EQ(sdt_, 1);
    EXPECT_EQ(log.count("MCF: Update Virtual Programs (deferred): Adding: 2. Updating: 1"), 1);
    EXPECT_EQ(log.count("MCF: Virtual program 5: SDT name change Five -> Fifth"), 1);

    ASSERT_EQ(live().num_programs, 2);
    EXPECT_TRUE(live().populated);
    const local_pmt &p = live().services[0].pmt;
    EXPECT_EQ(p.pnu, 5);
    EXPECT_EQ(p.pmt_version, 1); // updated once
    EXPECT_EQ(live().services[1].pmt.pmt_version, 0);
    EXPECT_EQ(p.pmt_pid, 0x105);
    EXPECT_EQ(p.pcr_ingress_id, 1102);
    ASSERT_EQ(p.num_pmt_entries, 2);
    EXPECT_EQ(p.pmt_entries[1].ingress_id, 1103);
    EXPECT_EQ(p.pmt_entries[1].es_info_len, 6);
    ASSERT_EQ(p.num_pgm_info_desc_entries, 1); // CA, after the update asked for it
    EXPECT_EQ(p.program_info_desc_entries[0].tag, 0x09);
    EXPECT_EQ(live().services[0].dmux, nullptr);
    EXPECT_STREQ(input_table_info_get_sdt_service(const_cast<input_table_info *>(&live()), 5)->name.string, "Fifth");
    EXPECT_EQ(std::string(virtual_input_status_pids()), "0,16,17,18,20,261,262,517,518,773,774,8191");

    EXPECT_EQ(input_table_info_get_ingress_id(0, 5, 0x305), 1103);
    EXPECT_EQ(input_table_info_get_ingress_id(0, 5, 0x205), 1102);
    EXPECT_EQ(input_table_info_get_ingress_id(0, 0, 0x205), -1);
    kd_dataset *ids = kd_dataset_ctor(8, 0);
    EXPECT_EQ(virtual_input_collect_raw_inputs_under_program(6, ids), 0);
    EXPECT_EQ(kd_dataset_get_length(ids), 2u);
    EXPECT_EQ(virtual_input_collect_raw_inputs_under_program(9, ids), 1);
    kd_dataset_dtor(ids);

    mcf_status_queue_periodic_check();
    const cfg_rx *rx = mcfcfg_rx_find_by_id(0);
    ASSERT_EQ(rx->ingress_pgm_status_count, 2);
    EXPECT_STREQ(rx->ingress_pgm_status[0].pgm_name, "Fifth");
    EXPECT_EQ(rx->ingress_pgm_status[1].pgm_num, 6);

    // Nothing more pending; then the clear event empties everything.
    EXPECT_EQ(ticks_until_applied(), -1);
    kd_cuvent_emit(mcf_pli, "virtual_programs_clear", nullptr);
    EXPECT_EQ(live().num_programs, 0);
    EXPECT_EQ(live().pat_version, 1);
    EXPECT_EQ(rx->ingress_pgm_status_count, 0);
    announce(program(7, "Seven"));
    EXPECT_EQ(ticks_until_applied(), 5);
    EXPECT_EQ(live().num_programs, 1); // the cache was emptied too
}

TEST_F(VirtualInput, RefusalsChangeNothing)
{
    LogCapture log;
    announce(program(3, "Three", "x45")); // no such XSB input
    EXPECT_EQ(log.count("MCF: Ignore adding VP-3. Inputs not available."), 1);
    auto pcr_missing = program(4, "Four");
    pcr_missing.pcrref = ref("x99", 0x44);
    announce(pcr_missing);
    EXPECT_EQ(log.count("MCF: Ignore adding VP-4. Inputs not available."), 1);
    // Every new program brings an SDT service: the 25th finds those full.
    for (int pnu = 1; pnu <= 25; ++pnu)
        announce(program(pnu, "P"));
    EXPECT_EQ(log.count("Virtual Input tables - SDT entries - Overflow"), 1);
    EXPECT_EQ(log.count("Failed to add virtual program 25"), 1);
    EXPECT_EQ(ticks_until_applied(), 5);
    EXPECT_EQ(live().num_programs, 24);
    EXPECT_NE(input_table_info_get_service(virtual_input_get_manager()->tables, 24), nullptr);
}

// An output's service routing a virtual program follows its PIDs when the
// programs are applied; its rows are announced with the write lock free
// (a listener may take it).
TEST_F(VirtualInput, AppliedProgramsReachTheServicesRoutingThem)
{
    struct Probe {
        int events = 0, under_lock = 0;
    };
    static Probe probe; // the registrations outlive the test's body
    probe = {};
    for (const char *name : {"on_param_insert", "on_param_remove", "on_param_update"})
        kd_cuvent_register_cb(mcf_pli, name, [](cuvent_wrapper *w) {
            auto *p = static_cast<Probe *>(w->cb_ctx);
            ++p->events;
            if (pthread_rwlock_trywrlock(&ctrl_data_lock) == 0)
                pthread_rwlock_unlock(&ctrl_data_lock);
            else
                ++p->under_lock;
        }, &probe, CUVFLT_NONE);
    ASSERT_EQ(mcastfwdr_add_row_output(3), 0);
    cfg_tx *tx = mcfcfg_tx_find_by_id(3);
    ASSERT_EQ(mcastfwdr_add_row_out_input(tx, -1, 0), 0);
    cfg_tx_input *s = cfg_tx_input_find_by_id(tx, 0);
    s->input_id = virtual_input_get_ingress_id();
    s->input_prog_num = 5;
    s->is_durable_remaps = 0;

    announce(program(5, "Five"));
    probe = {};
    ASSERT_GT(ticks_until_applied(), 0);
    const std::pair<int, const char *> rows[] = {{0x105, "PMT"}, {0x205, "Video"}, {0x305, "Audio"}};
    ASSERT_EQ(mcf_list_count(s->list_pid_maps), std::size(rows));
    for (const auto &[pid, label] : rows) {
        const cfg_tx_pid_map *m = cfg_tx_pid_map_find_by_pid(s, pid);
        ASSERT_NE(m, nullptr) << pid;
        EXPECT_STREQ(m->label, label);
        EXPECT_EQ(m->out_pid, pid);
    }
    EXPECT_GT(probe.events, 0);
    EXPECT_EQ(probe.under_lock, 0);

    // The audio stream, remapped, leaves the program: its row goes.
    cfg_tx_pid_map_find_by_pid(s, 0x305)->out_pid = 0x400;
    auto fewer = program(5, "Five");
    fewer.entries[1].pid = 8191;
    announce(fewer);
    probe = {};
    ASSERT_GT(ticks_until_applied(), 0);
    EXPECT_EQ(cfg_tx_pid_map_find_by_pid(s, 0x305), nullptr);
    EXPECT_EQ(mcf_list_count(s->list_pid_maps), 2u);
    EXPECT_GT(probe.events, 0);
    EXPECT_EQ(probe.under_lock, 0);
    EXPECT_EQ(pthread_rwlock_trywrlock(&ctrl_data_lock), 0) << "released";
    pthread_rwlock_unlock(&ctrl_data_lock);
}

} // namespace
