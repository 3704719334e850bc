// PID-handler population, read back from the index: table handlers per
// input, all/unrouted/routed data handlers per output with their remaps and
// CA sessions, single-input outputs, large outputs.
#include "sendpath_fixture.h"

#include "tables/virtual_input.h"

#include <kerrow/cuvent.h>
#include <kerrow/dataset.h>

#include <string>

namespace {

using mcftest::SendPathTest;
using mcftest::test_output;

const routing_context *context(int in_id, int pid, phdatatype kind)
{
    const pid_handler *h = phindex_find_handler(in_id, pid, kind);
    return h ? static_cast<const routing_context *>(h->phdata.data) : nullptr;
}
bool lists(int in_id, int pid, phdatatype kind, manager_output *mo)
{
    return routing_context_find(context(in_id, pid, kind), mo) != nullptr;
}

class Population : public SendPathTest {};

TEST_F(Population, OneProgramOfThreeIsRoutedAndTheRestUnrouted)
{
    manager_input *in = input(100, 10000000, 5000);
    ASSERT_NE(in, nullptr);
    program(in, 1, 0x100, 0x101, {0x101, 0x102});
    program(in, 2, 0x200, 0x201, {0x201, 0x202});
    program(in, 3, 0x300, 0x310, {0x301, 0x302}); // PCR on a PID of its own
    test_output a(1, 10000000, 20000000), b(2, 10000000, 20000000), single(3, 10000000, 20000000);
    a.route(100, 2, {{0x201, 0x1201}, {0x202, 0x202}}, 5);
    b.route(100, 2, {{0x202, 0x1302}}, 7);
    single.single_input(100);
    use({&a, &b, &single});

    // Table handlers of the input: PAT, CAT, SDT and each PMT; no CA on it.
    EXPECT_NE(phindex_find_handler(100, 0, PHDATATYPE_PAT), nullptr);
    EXPECT_NE(phindex_find_handler(100, 1, PHDATATYPE_CAT), nullptr);
    EXPECT_NE(phindex_find_handler(100, 17, PHDATATYPE_SDT), nullptr);
    for (int pmt : {0x100, 0x200, 0x300})
        EXPECT_EQ(phindex_find_handler(100, pmt, PHDATATYPE_PMT)->phdata.data, &in->tables->services[pmt / 0x100 - 1]);
    EXPECT_EQ(phindex_find_handler(100, 8191, PHDATATYPE_EMM), nullptr);
    EXPECT_EQ(phindex_find_handler(100, 8191, PHDATATYPE_ECM), nullptr);

    // The routed program's PCR and ES PIDs: one routed handler for both
    // outputs, each with its own remap and CA session.
    for (int pid : {0x201, 0x202}) {
        SCOPED_TRACE(pid);
        EXPECT_TRUE(lists(100, pid, PHDATATYPE_ROUTED_DATA, a.get()));
        EXPECT_TRUE(lists(100, pid, PHDATATYPE_ROUTED_DATA, b.get()));
        EXPECT_EQ(routing_context_count(context(100, pid, PHDATATYPE_ROUTED_DATA)), 2u);
        EXPECT_FALSE(lists(100, pid, PHDATATYPE_UNROUTED_DATA, a.get()));
    }
    const routing_context *rc1 = context(100, 0x201, PHDATATYPE_ROUTED_DATA);
    const routing_context *rc2 = context(100, 0x202, PHDATATYPE_ROUTED_DATA);
    EXPECT_EQ(routing_context_find(rc1, a.get())->remap_pid, 0x1201u);
    EXPECT_EQ(routing_context_find(rc1, b.get())->remap_pid, 0u);
    EXPECT_EQ(routing_context_find(rc2, a.get())->remap_pid, 0u); // a map onto itself sets nothing
    EXPECT_EQ(routing_context_find(rc2, b.get())->remap_pid, 0x1302u);
    EXPECT_EQ(routing_context_find(rc1, a.get())->ca_id, 5);
    EXPECT_EQ(routing_context_find(rc2, b.get())->ca_id, 7);

    // Everything else the input may carry is unrouted; all of it counts.
    for (int pid : {0, 1, 16, 17, 18, 20, 8191, 0x100, 0x101, 0x102, 0x200, 0x300, 0x301, 0x302, 0x310}) {
        SCOPED_TRACE(pid);
        EXPECT_TRUE(lists(100, pid, PHDATATYPE_UNROUTED_DATA, a.get()));
        EXPECT_FALSE(lists(100, pid, PHDATATYPE_ROUTED_DATA, a.get()));
    }
    for (int pid : {0, 8191, 0x101, 0x201, 0x202, 0x310})
        EXPECT_TRUE(lists(100, pid, PHDATATYPE_ALL_DATA, a.get()));
    EXPECT_EQ(phindex_find_handler(100, 0x203, PHDATATYPE_ALL_DATA), nullptr);

    // The single-input output gets no data handlers, only its place in the
    // input's list.
    for (int pid : {0, 0x201, 0x301, 8191})
        EXPECT_FALSE(lists(100, pid, PHDATATYPE_ALL_DATA, single.get()));
    unsigned n = 0;
    manager_output *const *singles = mcf::single_input_outputs(100, &n);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(singles[0], single.get());
    mcf::single_input_outputs(101, &n);
    EXPECT_EQ(n, 0u);
}

TEST_F(Population, ThirtyProgramsOfEightPidsAreAllRouted)
{
    manager_input *in = input(101, 38000000, 5001);
    ASSERT_NE(in, nullptr);
    test_output o(1, 38000000, 40000000);
    for (int p = 0; p < 30; ++p) {
        const int base = 0x400 + p * 16;
        program(in, p + 1, 0x100 + p, base, {base, base + 1, base + 2, base + 3, base + 4, base + 5, base + 6, base + 7});
        o.route(101, p + 1);
    }
    use({&o});
    int routed = 0;
    for (int p = 0; p < 30; ++p)
        for (int i = 0; i < 8; ++i)
            routed += lists(101, 0x400 + p * 16 + i, PHDATATYPE_ROUTED_DATA, o.get());
    EXPECT_EQ(routed, 240);
    EXPECT_TRUE(lists(101, 0x100 + 29, PHDATATYPE_UNROUTED_DATA, o.get()));
    EXPECT_EQ(log_.count("OVERFLOW"), 0);
}

TEST_F(Population, RebuildFreesContextsAndSingleEntriesAddToTheIndex)
{
    manager_input *in = input(100, 10000000, 5000);
    program(in, 1, 0x100, 0x101, {0x101});
    test_output a(1, 10000000, 20000000);
    a.route(100, 1);
    use({&a});
    // A PID nobody knew: the output takes it from now on...
    EXPECT_EQ(add_unreferenced_pid_handler(a.get(), 100, 0x777), 0);
    EXPECT_TRUE(lists(100, 0x777, PHDATATYPE_ALL_DATA, a.get()));
    EXPECT_TRUE(lists(100, 0x777, PHDATATYPE_UNROUTED_DATA, a.get()));
    // ...and one nobody wants is dropped quietly.
    EXPECT_EQ(add_ignored_pid_handler(in, 0x778), 0);
    EXPECT_EQ(phindex_find_handler(100, 0x778, PHDATATYPE_OTHER)->process_pkt, process_ignored_data);
    EXPECT_EQ(add_ca_to_pid_handler(a.get(), 100, 0x779, 3), -1);
    EXPECT_EQ(log_.count("PIDH: add_ca_to_pid_handler failed to add"), 1);

    // A rebuild starts again from the managers (ASan checks the contexts are freed).
    use({});
    EXPECT_EQ(phindex_find_handler(100, 0x777, PHDATATYPE_ALL_DATA), nullptr);
    EXPECT_EQ(phindex_find_handler(100, 0x101, PHDATATYPE_ROUTED_DATA), nullptr);
    EXPECT_NE(phindex_find_handler(100, 0, PHDATATYPE_PAT), nullptr);
}

TEST_F(Population, VirtualProgramsRouteTheirSourcesPids)
{
    for (int index : {2, 3})
        mcfcfg_rx_add_xsb(1, index, 1); // inputs 1102 and 1103
    {
        mcf::write_lock lock;
        manager_input_output_sync(0);
    }
    ASSERT_EQ(virtual_input_init(&mcf_cfg), 0);
    // Program 5: PCR and video from input 1102 (0x205), audio from 1103 (0x305).
    virtual_program_data d{};
    d.prog_num = 5;
    d.pmtref.pid = 0x105;
    std::memcpy(d.pmtref.src_addr, "x12", 4);
    d.pcrref.pid = 0x205;
    std::memcpy(d.pcrref.src_addr, "x12", 4);
    for (auto &e : d.entries)
        e.pid = 8191;
    d.entries[0] = d.pcrref;
    d.entries[0].strm_type = 0x1B;
    d.entries[1].pid = 0x305;
    d.entries[1].strm_type = 0x0F;
    std::memcpy(d.entries[1].src_addr, "x13", 4);
    kd_cuvent_emit(mcf_pli, "virtual_program", &d);
    for (int i = 0; i < 6; ++i)
        virtual_input_check_on_vp_updates_pending();
    ASSERT_EQ(virtual_input_get_manager()->tables->num_programs, 1);

    test_output o(1, 10000000, 20000000);
    o.route(virtual_input_get_ingress_id(), 5, {{0x305, 0x405}}, 4);
    use({&o});
    const routing_context *video = context(1102, 0x205, PHDATATYPE_ROUTED_DATA);
    const routing_context *audio = context(1103, 0x305, PHDATATYPE_ROUTED_DATA);
    ASSERT_NE(routing_context_find(video, o.get()), nullptr);
    ASSERT_NE(routing_context_find(audio, o.get()), nullptr);
    EXPECT_EQ(routing_context_find(audio, o.get())->remap_pid, 0x405u);
    EXPECT_EQ(routing_context_find(video, o.get())->remap_pid, 0u);
    EXPECT_EQ(routing_context_find(audio, o.get())->ca_id, 4);
    EXPECT_EQ(routing_context_find(video, o.get())->ca_id, 4);
    virtual_input_fini();
}

TEST(PopulationText, KeysAsInputAndPidWhileTheyFit)
{
    kd_dataset *set = kd_dataset_ctor(8, 0);
    for (int k : {100 * 8192 + 17, 100 * 8192 + 256, 1201 * 8192 + 8191})
        kd_dataset_insert(set, k);
    char buf[64];
    unique_pid_dataset_to_string(set, buf, sizeof buf);
    EXPECT_STREQ(buf, "100-17,100-256,1201-8191,");
    char small[16];
    unique_pid_dataset_to_string(set, small, sizeof small);
    EXPECT_STREQ(small, "100-17,100-256,"); // the third did not fit whole
    kd_dataset_dtor(set);

    kd_dataset *pids = kd_dataset_ctor(8, 0);
    char text[16] = "";
    for (int pid : {256, 17, 256, 8191})
        EXPECT_EQ(mcastfwdr_update_pid_list(pids, text, sizeof text, pid), 0);
    EXPECT_STREQ(text, "17,256,8191");
    kd_dataset_dtor(pids);
}

TEST(RoutingContext, OneEntryPerOutputAndValidRemaps)
{
    routing_context rc{};
    routing_context_init(&rc);
    auto *mo = reinterpret_cast<manager_output *>(uintptr_t(0x1000));
    EXPECT_EQ(routing_context_append(&rc, mo), 1);
    EXPECT_EQ(routing_context_append(&rc, mo), 0);
    EXPECT_EQ(routing_context_count(&rc), 1u);
    EXPECT_EQ(routing_context_set_remap_pid(&rc, mo, 8192), -1);
    EXPECT_EQ(routing_context_set_remap_pid(&rc, mo, 8191), 0);
    EXPECT_EQ(routing_context_set_remap_pid(&rc, reinterpret_cast<manager_output *>(uintptr_t(0x2000)), 5), -1);
    EXPECT_EQ(routing_context_output_exists(&rc, nullptr), -1);
    EXPECT_EQ(routing_context_find(&rc, mo)->remap_pid, 8191u);
    routing_context_fini(&rc);
    EXPECT_EQ(rc.entries, nullptr);
    EXPECT_EQ(routing_context_append(&rc, mo), -1);
}

} // namespace
