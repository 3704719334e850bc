// Input table processing: what an input learns from its PAT, PMTs, SDT and
// CAT, fed packet by packet from an FFmpeg stream and from hand-made
// sections with the edge cases (versions, bad CRC, wrong ids, oversize).
#include "engine_fixture.h"
#include "ts_fixtures.h"

#include "cfg/mcf_services.h"
#include "tables/input_tables.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

using kdtest::LogCapture;

struct Heard {
    std::vector<std::pair<int, int>> pgm; // (input, program or -1)
    int sdt = 0;
    std::vector<std::pair<int, size_t>> emm, ecm;
};
Heard *g_heard;

const input_tables_listener kListener{
    [](int id, int pnu) { g_heard->pgm.emplace_back(id, pnu); },
    [](int) { g_heard->sdt++; },
    [](int id, const uint8_t *, size_t len) { g_heard->emm.emplace_back(id, len); },
    [](int id, const uint8_t *, size_t len) { g_heard->ecm.emplace_back(id, len); },
};

// A long-form section with its CRC: table id, extension, version, body.
std::vector<uint8_t> section(uint8_t table_id, uint16_t ext, int version, const std::vector<uint8_t> &body)
{
    std::vector<uint8_t> s = {table_id, 0, 0, uint8_t(ext >> 8), uint8_t(ext), uint8_t(0xC1 | version << 1), 0, 0};
    s.insert(s.end(), body.begin(), body.end());
    s.insert(s.end(), 4, 0);
    const size_t sl = s.size() - 3;
    s[1] = uint8_t(0xB0 | sl >> 8);
    s[2] = uint8_t(sl);
    tsUpdateCRC(reinterpret_cast<TTableBase *>(s.data()));
    return s;
}

std::vector<uint8_t> pat(int version, const std::vector<std::pair<int, int>> &programs)
{
    std::vector<uint8_t> b;
    for (auto [pnu, pid] : programs)
        b.insert(b.end(), {uint8_t(pnu >> 8), uint8_t(pnu), uint8_t(0xE0 | pid >> 8), uint8_t(pid)});
    return section(0x00, 0x0815, version, b);
}

struct Es {
    uint8_t type;
    int pid;
};
std::vector<uint8_t> pmt(int pnu, int version, int pcr, const std::vector<uint8_t> &info, const std::vector<Es> &es)
{
    std::vector<uint8_t> b = {uint8_t(0xE0 | pcr >> 8), uint8_t(pcr), uint8_t(0xF0 | info.size() >> 8),
                              uint8_t(info.size())};
    b.insert(b.end(), info.begin(), info.end());
    for (auto e : es)
        b.insert(b.end(), {e.type, uint8_t(0xE0 | e.pid >> 8), uint8_t(e.pid), 0xF0, 0});
    return section(0x02, uint16_t(pnu), version, b);
}

std::vector<uint8_t> sdt_section(int version, const std::vector<std::pair<int, std::string>> &services,
                                 uint8_t table_id = 0x42)
{
    std::vector<uint8_t> b = {0x00, 0x01, 0xFF};
    for (auto &[pnu, name] : services) {
        const size_t loop = name.size() + 5;
        b.insert(b.end(), {uint8_t(pnu >> 8), uint8_t(pnu), 0xFD, uint8_t(0x80 | loop >> 8), uint8_t(loop), 0x48,
                           uint8_t(name.size() + 3), 0x01, 0x00, uint8_t(name.size())});
        b.insert(b.end(), name.begin(), name.end());
    }
    return section(table_id, 0x0815, version, b);
}

class InputTables : public mcftest::EngineTest {
protected:
    static void SetUpTestSuite()
    {
        if (!tsfix::have_program("ffmpeg"))
            return;
        dir_ = new tsfix::TempDir;
        const std::string path = (dir_->path / "two.ts").string();
        int rc = -1;
        tsfix::run("ffmpeg -v error -nostdin -f lavfi -i testsrc=size=64x48:rate=25 -f lavfi -i sine=frequency=440 "
                   "-f lavfi -i testsrc2=size=64x48:rate=25 -map 0:v -map 1:a -map 2:v -map 1:a "
                   "-c:v mpeg2video -b:v 300k -c:a mp2 -t 1 -program title=A:st=0:st=1 -program title=B:st=2:st=3 "
                   "-muxrate 3000000 -mpegts_flags +resend_headers -f mpegts '" +
                       path + "' 2>&1",
                   &rc);
        if (rc == 0)
            stream_ = tsfix::read_file(path);
    }
    static void TearDownTestSuite()
    {
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override
    {
        EngineTest::SetUp();
        rx_ = net_input(100, "239.1.1.1", 5000);
        {
            mcf::write_lock lock;
            manager_input_output_sync(0);
        }
        mi_ = manager_inputs_find_by_id(100);
        ASSERT_NE(mi_, nullptr);
        ASSERT_NE(mi_->tables, nullptr);
        g_heard = &heard_;
        input_tables_set_listener(&kListener);
    }
    void TearDown() override
    {
        input_tables_set_listener(nullptr);
        g_heard = nullptr;
        EngineTest::TearDown();
    }

    // What the PID index would do for the input's table PIDs.
    int feed(tsPkt *p)
    {
        const int pid = tsphGetPid(p);
        input_table_info *t = mi_->tables;
        if (pid == 0x00)
            return process_pkt_pat(nullptr, p, mi_, nullptr);
        if (pid == 0x01)
            return process_pkt_cat(nullptr, p, mi_, nullptr);
        if (pid == 0x11)
            return process_pkt_sdt(nullptr, p, mi_, nullptr);
        if (t->ca.emm_dmux && pid == t->ca.emm_pid)
            return process_pkt_emm(nullptr, p, mi_, nullptr);
        if (t->ca.ecm_dmux && pid == t->ca.ecm_pid)
            return process_pkt_ecm(nullptr, p, mi_, nullptr);
        for (int i = 0; i < t->num_programs; ++i)
            if (t->services[i].pmt.pmt_pid == pid)
                return process_pkt_pmt(&t->services[i], p, mi_, nullptr);
        return 0;
    }
    int send(const std::vector<uint8_t> &sec, uint16_t pid)
    {
        std::vector<tsPkt> pkts(32);
        const int n = packetize_section(pkts.data(), unsigned(pkts.size()),
                                        reinterpret_cast<const TTableBase *>(sec.data()), pid);
        EXPECT_GT(n, 0);
        int rc = 0;
        for (int i = 0; i < n; ++i) {
            tsphSetContinuityCounter(&pkts[size_t(i)], cc_[pid]);
            cc_[pid] = uint8_t((cc_[pid] + 1) & 15);
            rc = feed(&pkts[size_t(i)]);
        }
        return rc;
    }
    std::vector<std::string> status_names()
    {
        mcf_status_queue_periodic_check();
        std::vector<std::string> v;
        for (int i = 0; i < rx_->ingress_pgm_status_count; ++i)
            v.push_back(std::to_string(rx_->ingress_pgm_status[i].pgm_num) + ":" + rx_->ingress_pgm_status[i].pgm_name +
                        ":" + std::to_string(rx_->ingress_pgm_status[i].ca_status));
        return v;
    }

    static inline tsfix::TempDir *dir_ = nullptr;
    static inline std::vector<uint8_t> stream_;
    cfg_rx *rx_ = nullptr;
    manager_input *mi_ = nullptr;
    Heard heard_;
    uint8_t cc_[8192] = {};
};

TEST_F(InputTables, FfmpegStreamPopulatesProgramsWithSdtNames)
{
    if (stream_.empty())
        GTEST_SKIP() << "ffmpeg could not make the test stream";
    LogCapture log;
    for (size_t i = 0; i + 188 <= stream_.size(); i += 188)
        feed(reinterpret_cast<tsPkt *>(stream_.data() + i));
    const input_table_info *t = mi_->tables;
    EXPECT_TRUE(t->populated);
    ASSERT_EQ(t->num_programs, 2);
    EXPECT_EQ(t->services[0].pmt.pnu, 1);
    EXPECT_EQ(t->services[0].pmt.pmt_pid, 4096);
    EXPECT_EQ(t->services[0].pmt.pcr_pid, 256);
    ASSERT_EQ(t->services[1].pmt.num_pmt_entries, 2);
    EXPECT_EQ(t->services[1].pmt.pmt_entries[0].elementary_pid, 258);
    EXPECT_EQ(t->services[1].pmt.pmt_entries[0].stream_type, 0x02);
    EXPECT_EQ(t->services[1].pmt.pmt_entries[1].ingress_id, 100);
    EXPECT_EQ(t->sdt.num_service_info, 2);
    EXPECT_STREQ(t->sdt.service_info[1].provider.string, "FFmpeg");
    // Repeated tables change nothing: one population, one SDT read.
    EXPECT_EQ(log.count("All PMT tables populated!"), 1);
    EXPECT_EQ(log.count("SDT tables_changed"), 1);
    EXPECT_EQ(heard_.pgm, (std::vector<std::pair<int, int>>{{100, -1}}));
    EXPECT_EQ(heard_.sdt, 1);
    // The rows were added with program numbers (the SDT came later), then named.
    EXPECT_EQ(status_names(), (std::vector<std::string>{"1:A:0", "2:B:0"}));

    EXPECT_EQ(input_table_info_get_ingress_id(100, 2, 259), 100);
    EXPECT_EQ(input_table_info_get_ingress_id(100, 0, 259), -1);
    EXPECT_EQ(input_table_info_get_ingress_id(100, 2, 4097), -1); // the PMT PID
    EXPECT_EQ(input_table_info_get_ingress_id(101, 2, 259), -1);
    EXPECT_TRUE(input_table_info_is_pmt_pid(t, 4097));
    EXPECT_FALSE(input_table_info_is_pmt_pid(t, 258));
    EXPECT_TRUE(input_table_info_is_data_pid(t, 258));
}

TEST_F(InputTables, PatVersionsAndRefusals)
{
    LogCapture log;
    EXPECT_EQ(send(pat(1, {{0, 0x10}, {1, 0x100}, {2, 0x200}}), 0), 1);
    input_table_info *t = mi_->tables;
    EXPECT_EQ(t->pat_version, 1);
    EXPECT_EQ(t->nit_pid, 0x10);
    EXPECT_EQ(t->ts_id, 0x0815);
    ASSERT_EQ(t->num_programs, 2);
    EXPECT_EQ(log.count("MCF: Input 100 PAT tables_changed (version -1 to 1), Programs 2"), 1);
    EXPECT_EQ(log.count("pnu 2, pmt pid 512"), 1);

    // Same version with other content; only program 0; bad CRC; a CAT id.
    EXPECT_EQ(send(pat(1, {{3, 0x300}}), 0), 0);
    EXPECT_EQ(send(pat(2, {{0, 0x10}}), 0), 0);
    auto bad = pat(3, {{3, 0x300}});
    bad.back() ^= 1;
    EXPECT_EQ(send(bad, 0), 0);
    EXPECT_EQ(log.count("Input 100 PAT failed CRC check"), 1);
    auto wrong_id = pat(4, {{3, 0x300}});
    wrong_id[0] = 0x01;
    tsUpdateCRC(reinterpret_cast<TTableBase *>(wrong_id.data()));
    EXPECT_EQ(send(wrong_id, 0), 0);
    EXPECT_EQ(t->num_programs, 2);
    EXPECT_EQ(t->pat_version, 1);

    // A truncated section (its second packet never comes) is not taken.
    std::vector<std::pair<int, int>> many;
    for (int i = 1; i <= 60; ++i)
        many.emplace_back(i, 0x100 + i);
    auto big = pat(5, many);
    std::vector<tsPkt> pkts(4);
    ASSERT_EQ(packetize_section(pkts.data(), 4, reinterpret_cast<const TTableBase *>(big.data()), 0), 2);
    tsphSetContinuityCounter(&pkts[0], cc_[0]);
    EXPECT_EQ(feed(&pkts[0]), 0);
    EXPECT_EQ(t->num_programs, 2);
    // A new version replaces everything learnt.
    cc_[0] = uint8_t((cc_[0] + 1) & 15);
    EXPECT_EQ(send(pat(6, {{7, 0x700}}), 0), 1);
    EXPECT_EQ(t->num_programs, 1);
    EXPECT_EQ(t->nit_pid, 8191);
    EXPECT_NE(input_table_info_get_service(t, 7), nullptr);
    EXPECT_EQ(input_table_info_get_service(t, 1), nullptr);
}

TEST_F(InputTables, PmtsPopulateThenReportEachChangeWithCaStatus)
{
    LogCapture log;
    send(pat(1, {{1, 0x100}, {2, 0x200}}), 0);
    input_table_info *t = mi_->tables;
    // The SDT is not read before every PMT is known.
    EXPECT_EQ(send(sdt_section(0, {{1, "One"}}), 0x11), 0);
    EXPECT_EQ(t->sdt_version, -1);

    const std::vector<uint8_t> ca = {0x09, 0x04, 0x26, 0x10, 0xE3, 0x00, 0x65, 0x01, 0x10};
    EXPECT_EQ(send(pmt(1, 3, 0x101, ca, {{0x1B, 0x101}, {0x0F, 0x102}}), 0x100), 0);
    EXPECT_FALSE(t->populated);
    EXPECT_EQ(t->services[0].pmt.ca_sys_id, 0x2610);
    EXPECT_EQ(t->services[0].pmt.ecm_pid, 0x300);
    EXPECT_EQ(t->services[0].pmt.scram_mode, 0x10);
    EXPECT_EQ(t->ca.ecm_pid, 0x300);
    auto bad = pmt(2, 0, 0x201, {}, {{0x02, 0x201}});
    bad[12] ^= 0xFF;
    EXPECT_EQ(send(bad, 0x200), 0);
    EXPECT_EQ(log.count("Input 100 PMT failed CRC check"), 1);
    EXPECT_EQ(send(pmt(2, 0, 0x201, {}, {{0x02, 0x201}}), 0x200), 1);
    EXPECT_TRUE(t->populated);
    EXPECT_EQ(heard_.pgm, (std::vector<std::pair<int, int>>{{100, -1}}));
    EXPECT_EQ(status_names(), (std::vector<std::string>{"1:1:3", "2:2:0"}));

    // A later change of one program is reported for that program; the same
    // version again is not.
    EXPECT_EQ(send(pmt(1, 4, 0x101, {}, {{0x1B, 0x101}}), 0x100), 2);
    EXPECT_EQ(send(pmt(1, 4, 0x101, {}, {{0x1B, 0x105}}), 0x100), 0);
    EXPECT_EQ(heard_.pgm.back(), std::make_pair(100, 1));
    EXPECT_EQ(heard_.pgm.size(), 2u);
    EXPECT_EQ(t->services[0].pmt.ca_sys_id, 0);
    EXPECT_EQ(status_names(), (std::vector<std::string>{"1:1:0", "2:2:0"}));

    // The SDT now: wrong id, oversize and bad CRC are refused with their logs.
    EXPECT_EQ(send(sdt_section(1, {{1, "One"}}, 0x46), 0x11), 0);
    EXPECT_EQ(log.count("Input 100 Incorrect SDT table ID. Corrupt SDT? Ignoring."), 1);
    EXPECT_EQ(send(sdt_section(1, {{1, std::string(250, 'x')}, {2, std::string(250, 'y')},
                                   {3, std::string(250, 'z')}, {4, std::string(250, 'w')}}),
                   0x11),
              0);
    EXPECT_EQ(log.count("Input 100 SDT section store is full. Corrupt SDT? Ignoring."), 1);
    auto badsdt = sdt_section(1, {{1, "One"}});
    badsdt[12] ^= 0xFF;
    EXPECT_EQ(send(badsdt, 0x11), 0);
    EXPECT_EQ(log.count("Input 100 SDT failed CRC check"), 1);
    EXPECT_EQ(send(sdt_section(1, {{1, "One"}, {2, "Two"}}), 0x11), 1);
    EXPECT_EQ(heard_.sdt, 1);
    EXPECT_EQ(status_names(), (std::vector<std::string>{"1:One:0", "2:Two:0"}));

    // The ECM of program 1's CA descriptor reaches the outputs.
    EXPECT_EQ(send(section(0x80, 0, 0, std::vector<uint8_t>(300, 0xAB)), 0x300), 0);
    ASSERT_EQ(heard_.ecm.size(), 1u);
    EXPECT_EQ(heard_.ecm[0], std::make_pair(100, size_t(312)));
}

TEST_F(InputTables, UnroutableInputWithUnchangedContentReportsNothing)
{
    mi_->is_routable = 0;
    LogCapture log;
    send(pat(1, {{1, 0x100}}), 0);
    EXPECT_EQ(send(pmt(1, 0, 0x101, {}, {{0x1B, 0x101}, {0x03, 0x102}}), 0x100), 1);
    EXPECT_TRUE(heard_.pgm.empty()); // unroutable: no outputs, no rows
    EXPECT_TRUE(status_names().empty());
    // New versions with the same content.
    EXPECT_EQ(send(pat(2, {{1, 0x100}}), 0), 0);
    EXPECT_EQ(send(pmt(1, 1, 0x101, {}, {{0x1B, 0x101}, {0x03, 0x102}}), 0x100), 0);
    EXPECT_EQ(log.count("PAT tables_changed"), 1);
    EXPECT_EQ(log.count("PMT tables_changed"), 1);
    // Other content is taken.
    EXPECT_EQ(send(pmt(1, 2, 0x101, {}, {{0x1B, 0x101}, {0x04, 0x102}}), 0x100), 2);
    EXPECT_EQ(mi_->tables->services[0].pmt.pmt_entries[1].stream_type, 0x04);
}

TEST_F(InputTables, CatTakesTheFirstCaDescriptorOnce)
{
    LogCapture log;
    input_table_info *t = mi_->tables;
    EXPECT_EQ(process_pkt_emm(nullptr, nullptr, mi_, nullptr), -1);
    const std::vector<uint8_t> two = {0x09, 0x04, 0x26, 0x10, 0xE4, 0x00, 0x09, 0x04, 0x0B, 0x00, 0xE5, 0x00};
    EXPECT_EQ(send(section(0x01, 0xFFFF, 0, two), 0x01), 1);
    EXPECT_EQ(t->ca.emm_pid, 0x400);
    EXPECT_EQ(t->ca.ca_sys_id, 0x2610);
    EXPECT_EQ(log.count("MCF: Input 100 CAT system 2610, EMM PID 1024"), 1);
    const std::vector<uint8_t> other = {0x09, 0x04, 0x0B, 0x00, 0xE5, 0x00};
    EXPECT_EQ(send(section(0x01, 0xFFFF, 0, other), 0x01), 0); // same version
    EXPECT_EQ(send(section(0x01, 0xFFFF, 1, other), 0x01), 1);
    EXPECT_EQ(t->ca.emm_pid, 0x400);
    EXPECT_EQ(t->cat_version, 1);
    EXPECT_EQ(send(section(0x82, 0, 0, std::vector<uint8_t>(20, 1)), 0x400), 0);
    EXPECT_EQ(heard_.emm, (std::vector<std::pair<int, size_t>>{{100, 32}}));

    // The table information's own limits.
    EXPECT_EQ(input_table_info_init_ecm(t, 8191), -1);
    EXPECT_EQ(t->ca.ecm_dmux, nullptr);
    EXPECT_EQ(input_table_info_init_emm(t, 0x500, 1), -1); // exists already
    input_table_info_clear(t);
    EXPECT_EQ(t->ca.emm_pid, 8191);
    EXPECT_EQ(t->pat_version, -1);
    for (int i = 0; i < INPUT_PROGRAMS_MAX; ++i)
        ASSERT_NE(input_table_info_append_service(t, 0x20 + i, i + 1), nullptr);
    EXPECT_EQ(input_table_info_append_service(t, 0x1000, 99), nullptr);
    EXPECT_EQ(t->services[5].pmt.scram_mode, -1);
    EXPECT_EQ(get_ca_status(100, &t->services[5].pmt), CASTATUS_CLEAR);
    for (auto [sys, want] : {std::pair{0x2600, CASTATUS_BISS1}, std::pair{0x2602, CASTATUS_BISS2_M1},
                             std::pair{0x2610, CASTATUS_BISS2_CA}, std::pair{0x0B00, CASTATUS_ENCRYPTED_OTHER}}) {
        t->services[5].pmt.ca_sys_id = sys;
        EXPECT_EQ(get_ca_status(100, &t->services[5].pmt), want);
    }
}

} // namespace
