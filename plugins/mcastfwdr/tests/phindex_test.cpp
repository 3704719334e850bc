// The PID index: handlers per (input, PID), continuity, deferred rebuilds.
#include "engine_fixture.h"
#include "router/phindex.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> g_calls;
int g_cleanups = 0;

int handler_a(void *data, tsPkt *, manager_input *, const struct timespec *)
{
    g_calls.push_back(std::string("a:") + static_cast<const char *>(data));
    return 1;
}
int handler_b(void *, tsPkt *, manager_input *, const struct timespec *)
{
    g_calls.emplace_back("b");
    return 2;
}
void cleanup(void *) { ++g_cleanups; }

int g_populates = 0;
int populate()
{
    ++g_populates;
    return phindex_append(100, 300, PHDATATYPE_OTHER, nullptr, handler_b, cleanup);
}
int depopulate()
{
    phindex_clear();
    return 0;
}
// A handler that asks for a rebuild from inside the walk.
int asks_rebuild(void *, tsPkt *, manager_input *, const struct timespec *) { return phindex_repopulate(); }

tsPkt packet(int pid, unsigned afc, unsigned cc, bool discontinuity = false)
{
    tsPkt p{};
    uint8_t *b = reinterpret_cast<uint8_t *>(&p);
    b[0] = 0x47;
    b[1] = uint8_t(pid >> 8 & 0x1F);
    b[2] = uint8_t(pid);
    b[3] = uint8_t(afc << 4 | (cc & 15));
    if (afc & 2) {
        b[4] = 1; // adaptation field of one flag byte
        b[5] = discontinuity ? 0x80 : 0;
    }
    return p;
}

class PhIndex : public mcftest::EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        g_calls.clear();
        g_cleanups = g_populates = 0;
        phindex_init(populate, depopulate);
        net_input(100, "239.1.1.1", 5000);
        {
            mcf::write_lock lock;
            manager_input_output_sync(0); // rebuilds the index once
        }
        in_ = manager_inputs_find_by_id(100);
        phindex_clear();
        g_cleanups = g_populates = 0;
    }
    void TearDown() override
    {
        phindex_fini();
        EngineTest::TearDown();
    }
    manager_input *in_ = nullptr;
};

TEST_F(PhIndex, HandlersKeysAndTheirCleanups)
{
    char one[] = "1", two[] = "2";
    struct Step {
        const char *what;
        int rc;
    };
    // Each step's answer, in order, as one table.
    const std::vector<Step> steps = {
        {"append a", phindex_append(100, 256, PHDATATYPE_PMT, one, handler_a, cleanup)},
        {"second pmt refused", phindex_append(100, 256, PHDATATYPE_PMT, two, handler_a, cleanup)},
        {"append b", phindex_append(100, 256, PHDATATYPE_ROUTED_DATA, nullptr, handler_b, cleanup)},
        {"pid 8192", phindex_append(100, 8192, PHDATATYPE_OTHER, nullptr, handler_b, nullptr)},
        {"pid -1", phindex_append(100, -1, PHDATATYPE_OTHER, nullptr, handler_b, nullptr)},
        {"no function", phindex_append(100, 257, PHDATATYPE_OTHER, nullptr, nullptr, nullptr)},
        {"delete absent kind", phindex_delete(100, 256, PHDATATYPE_ECM)},
        {"delete absent key", phindex_delete(100, 999, PHDATATYPE_ECM)},
    };
    const int want[] = {0, -1, 0, -1, -1, -1, 0, -1};
    for (size_t i = 0; i < steps.size(); ++i)
        EXPECT_EQ(steps[i].rc, want[i]) << steps[i].what;
    EXPECT_EQ(__pidh_list_count(), 2u);
    EXPECT_EQ(phindex_find_handler(100, 256, PHDATATYPE_PMT)->phdata.data, one); // the first stays

    tsPkt p = packet(256, 1, 0);
    EXPECT_EQ(phindex_process(in_, 256, &p, nullptr), 2); // the last handler's answer
    EXPECT_EQ(g_calls, (std::vector<std::string>{"a:1", "b"}));
    EXPECT_EQ(phindex_is_pid_present(100, 256), 1);
    phindex_reset_pid_presence_flag();
    EXPECT_EQ(phindex_is_pid_present(100, 256), 0);

    EXPECT_EQ(phindex_delete(100, 256, PHDATATYPE_PMT), 0);
    EXPECT_EQ(g_cleanups, 1);
    ASSERT_NE(phindex_find(100, 256), nullptr);
    EXPECT_EQ(phindex_delete(100, 256, PHDATATYPE_ROUTED_DATA), 0); // the last: the key goes
    EXPECT_EQ(g_cleanups, 2);
    EXPECT_EQ(phindex_find(100, 256), nullptr);
    EXPECT_EQ(phindex_process(in_, 256, &p, nullptr), -1);

    phindex_append(100, 10, PHDATATYPE_PAT, nullptr, handler_b, cleanup);
    phindex_append(100, 10, PHDATATYPE_CAT, nullptr, handler_b, cleanup);
    phindex_append(5, 10, PHDATATYPE_PAT, nullptr, handler_b, cleanup);
    EXPECT_EQ(phindex_remove(100, 10), 0);
    EXPECT_EQ(g_cleanups, 4);
    EXPECT_EQ(phindex_remove(100, 10), -1);
    phindex_fini(); // depopulate: every remaining cleanup once
    EXPECT_EQ(g_cleanups, 5);
    EXPECT_EQ(phindex_append(5, 10, PHDATATYPE_PAT, nullptr, handler_b, nullptr), -1); // no index
    phindex_init(populate, depopulate);
}

TEST_F(PhIndex, ARebuildAskedFromAHandlerWaitsForTheNextPacket)
{
    phindex_append(100, 256, PHDATATYPE_OTHER, nullptr, asks_rebuild, cleanup);
    tsPkt p = packet(256, 1, 0);
    EXPECT_EQ(phindex_process(in_, 256, &p, nullptr), -1); // the handler's rebuild was refused
    EXPECT_EQ(g_populates, 0);
    EXPECT_NE(phindex_find(100, 256), nullptr); // nothing changed under the walk
    EXPECT_EQ(log_.count("Routing table re-populate pending..."), 1);
    EXPECT_EQ(phindex_append(100, 1, PHDATATYPE_OTHER, nullptr, handler_b, nullptr), 0); // unlocked again

    tsPkt q = packet(300, 1, 0);
    EXPECT_EQ(phindex_process(in_, 300, &q, nullptr), 2); // rebuilt first, then found
    EXPECT_EQ(g_populates, 1);
    EXPECT_EQ(g_cleanups, 1);
    EXPECT_EQ(phindex_find(100, 256), nullptr);
}

TEST_F(PhIndex, ContinuityFollowsTheStandard)
{
    // Each row: PID, adaptation-field control, counter, discontinuity flag,
    // and the input's error count after the packet.
    struct Row {
        int pid;
        unsigned afc, cc;
        bool disc;
        uint32_t errors;
    } rows[] = {
        {256, 1, 7, false, 0},  // the first packet
        {256, 1, 8, false, 0},
        {256, 2, 8, false, 0},  // adaptation only: unchanged
        {256, 3, 9, false, 0},
        {256, 1, 9, false, 0},  // one duplicate
        {256, 1, 9, false, 1},  // a second one
        {256, 1, 10, false, 1},
        {256, 1, 12, false, 2}, // one dropped
        {256, 2, 13, false, 3}, // adaptation only must repeat
        {256, 3, 2, true, 3},   // flagged discontinuity
        {256, 1, 3, false, 3},
        {256, 1, 15, false, 4},
        {256, 1, 0, false, 4},  // 15 -> 0
        {18, 1, 3, false, 4},   // EIT and null packets are not checked
        {18, 1, 9, false, 4},
        {8191, 1, 0, false, 4},
        {8191, 1, 0, false, 4},
    };
    for (int pid : {256, 18, 8191})
        phindex_append(100, pid, PHDATATYPE_OTHER, nullptr, handler_b, nullptr);
    for (const Row &r : rows) {
        tsPkt p = packet(r.pid, r.afc, r.cc, r.disc);
        phindex_process(in_, r.pid, &p, nullptr);
        EXPECT_EQ(manager_input_get_cc_errors(in_), r.errors) << "pid " << r.pid << " cc " << r.cc;
    }
    EXPECT_EQ(log_.count("Input 100: expected cc"), 3); // at most three warnings
    EXPECT_EQ(log_.count("Input 100: expected cc  9 but found 12 for pid  256"), 0); // the fourth
    EXPECT_EQ(log_.count("Input 100: expected cc 11 but found 12 for pid  256"), 1);
}

// The packet path keeps a shortcut for the usual packet and for a key with
// one handler: a first packet at counter 0, and a key going from two
// handlers to one and back, take the same course as any other.
TEST_F(PhIndex, ShortcutsAgreeWithTheFullPath)
{
    char one[] = "1";
    phindex_append(100, 256, PHDATATYPE_OTHER, nullptr, handler_b, nullptr);
    const struct {
        unsigned afc, cc;
        uint32_t errors;
    } rows[] = {{1, 0, 0}, {1, 0, 0}, {1, 0, 1}, {1, 1, 1}, {2, 1, 1}, {1, 3, 2}};
    for (const auto &r : rows) {
        tsPkt p = packet(256, r.afc, r.cc);
        EXPECT_EQ(phindex_process(in_, 256, &p, nullptr), 2);
        EXPECT_EQ(manager_input_get_cc_errors(in_), r.errors) << "cc " << r.cc;
    }
    EXPECT_EQ(phindex_find(100, 256)->cc, 3);

    tsPkt p = packet(256, 1, 4);
    phindex_append(100, 256, PHDATATYPE_PMT, one, handler_a, cleanup);
    EXPECT_EQ(phindex_process(in_, 256, &p, nullptr), 1);
    EXPECT_EQ(phindex_delete(100, 256, PHDATATYPE_OTHER), 0);
    EXPECT_EQ(phindex_process(in_, 256, &p, nullptr), 1); // a repeat: allowed once
    phindex_append(100, 256, PHDATATYPE_ROUTED_DATA, nullptr, handler_b, nullptr);
    EXPECT_EQ(phindex_process(in_, 256, &p, nullptr), 2);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"b", "b", "b", "b", "b", "b", "b", "a:1", "a:1", "a:1", "b"}));
    EXPECT_EQ(manager_input_get_cc_errors(in_), 3u); // the second repeat

    // After a presence reset the counter runs on from the last packet; a
    // call without a packet marks the PID present and checks nothing.
    for (const auto &r : {std::pair{5u, 3u}, std::pair{7u, 4u}}) {
        phindex_reset_pid_presence_flag();
        tsPkt q = packet(256, 1, r.first);
        EXPECT_EQ(phindex_process(in_, 256, &q, nullptr), 2);
        EXPECT_EQ(phindex_is_pid_present(100, 256), 1);
        EXPECT_EQ(manager_input_get_cc_errors(in_), r.second) << "cc " << r.first;
    }
    phindex_reset_pid_presence_flag();
    EXPECT_EQ(phindex_process(in_, 256, nullptr, nullptr), 2);
    EXPECT_EQ(phindex_is_pid_present(100, 256), 1);
    tsPkt q = packet(256, 1, 8);
    EXPECT_EQ(phindex_process(in_, 256, &q, nullptr), 2);
    EXPECT_EQ(manager_input_get_cc_errors(in_), 4u);
}

TEST_F(PhIndex, NamesAndDebugDump)
{
    EXPECT_STREQ(phdatatype_to_string(PHDATATYPE_UNROUTED_DATA), "unrouted");
    EXPECT_STREQ(phdatatype_to_string(PHDATATYPE_SDT), "sdt");
    EXPECT_EQ(phdatatype_to_string(10), nullptr);
    EXPECT_EQ(phdatatype_to_string(-1), nullptr);
    phindex_append(101, 5, PHDATATYPE_PAT, nullptr, handler_b, nullptr);
    phindex_append(100, 700, PHDATATYPE_PMT, nullptr, handler_b, nullptr);
    phindex_append(100, 20, PHDATATYPE_SDT, nullptr, handler_b, nullptr);
    phindex_debug();
    std::vector<std::string> keys;
    for (const auto &l : log_.lines())
        if (l.text.find("PIDH: id ") != std::string::npos)
            keys.push_back(l.text.substr(l.text.find("PIDH: id ")));
    EXPECT_EQ(keys, (std::vector<std::string>{"PIDH: id 100 pid 20 entries 1.......\n",
                                              "PIDH: id 100 pid 700 entries 1.......\n",
                                              "PIDH: id 101 pid 5 entries 1.......\n"}));
    EXPECT_EQ(log_.count("PIDH: pidh_index size 3"), 1);
    EXPECT_EQ(log_.count("PIDH: handler: pmt"), 1);
}

} // namespace
