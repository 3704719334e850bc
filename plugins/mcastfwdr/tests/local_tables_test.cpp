// Local table models and builders: every section we build is read back by
// libdvbpsi (CRC checked there) and parsed back into the model.
#include <gtest/gtest.h>

#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/atsc_stt.h>
#include <dvbpsi/atsc_mgt.h>
#include <dvbpsi/atsc_eit.h>
#include <dvbpsi/atsc_vct.h>
#include <dvbpsi/demux.h>
#include <dvbpsi/pmt.h>
#include <dvbpsi/psi.h>
#include <dvbpsi/sdt.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "tables/local_tables.h"
#include "test_support.h"
#include "ts_fixtures.h"

namespace {

using kdtest::LogCapture;

void set_string(local_string *s, const char *text)
{
    s->len = int(std::strlen(text));
    std::memcpy(s->string, text, size_t(s->len) + 1);
}

local_sdt_service service(int pnu, const char *name, const char *provider)
{
    local_sdt_service s{};
    s.pnu = pnu;
    s.running_status = 4;
    s.eit_present_following_flag = 1;
    s.service_type = 1;
    set_string(&s.name, name);
    set_string(&s.provider, provider);
    return s;
}

struct SdtSeen {
    int count = 0;
    uint16_t ts_id = 0, onid = 0;
    int version = -1;
    struct Svc {
        uint16_t id;
        int running;
        bool eit_pf;
        std::vector<uint8_t> desc; // the first descriptor: tag, length, data
    };
    std::vector<Svc> services;
};

// libdvbpsi's SDT decoder behind its demultiplexer.
SdtSeen dvbpsi_read_sdt(const sdt *s, int ts_id)
{
    SdtSeen seen;
    struct Ctx {
        SdtSeen *seen;
        int ts_id;
    } ctx{&seen, ts_id};
    dvbpsi_t *h = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
    EXPECT_TRUE(dvbpsi_AttachDemux(
        h,
        [](dvbpsi_t *hh, uint8_t table_id, uint16_t ext, void *d) {
            auto *c = static_cast<Ctx *>(d);
            if (table_id == 0x42 && ext == c->ts_id)
                dvbpsi_sdt_attach(
                    hh, table_id, ext,
                    [](void *dd, dvbpsi_sdt_t *p) {
                        auto *seen = static_cast<SdtSeen *>(dd);
                        seen->count++;
                        seen->ts_id = p->i_extension;
                        seen->onid = p->i_network_id;
                        seen->version = p->i_version;
                        for (dvbpsi_sdt_service_t *sv = p->p_first_service; sv; sv = sv->p_next) {
                            SdtSeen::Svc x{sv->i_service_id, sv->i_running_status, sv->b_eit_present, {}};
                            if (dvbpsi_descriptor_t *ds = sv->p_first_descriptor) {
                                x.desc.push_back(ds->i_tag);
                                x.desc.push_back(ds->i_length);
                                x.desc.insert(x.desc.end(), ds->p_data, ds->p_data + ds->i_length);
                            }
                            seen->services.push_back(x);
                        }
                        dvbpsi_sdt_delete(p);
                    },
                    c->seen);
        },
        &ctx));
    uint8_t cc = 0;
    for (auto &p : tsfix::packets_of(&s->header, 0x11, &cc))
        dvbpsi_packet_push(h, reinterpret_cast<uint8_t *>(&p));
    dvbpsi_sdt_detach(h, 0x42, uint16_t(ts_id));
    dvbpsi_DetachDemux(h);
    dvbpsi_delete(h);
    return seen;
}

TEST(LocalSdt, EmptySectionIsFifteenBytesWithValidCrc)
{
    sdt s;
    sdt_init(&s, 3, 0x1234);
    local_sdt_entry info{};
    info.ts_id = 0x1234;
    info.onit_id = 0x2222;
    ASSERT_EQ(sdt_from_local(&s, sizeof s, &info), 0);
    EXPECT_EQ(sdt_get_table_len_actuall(&s), 15);
    EXPECT_EQ(tsGetSectionLength(&s.header), 12);
    EXPECT_EQ(sdt_get_len_of_entries(&s), 0);
    EXPECT_EQ(tsTestCRC(&s.header), 1);
    SdtSeen seen = dvbpsi_read_sdt(&s, 0x1234);
    EXPECT_EQ(seen.count, 1);
    EXPECT_EQ(seen.onid, 0x2222);
    EXPECT_EQ(seen.version, 3);
    EXPECT_TRUE(seen.services.empty());
}

TEST(LocalSdt, ServicesAreReadByLibdvbpsiAndParseBack)
{
    local_sdt_entry info{};
    info.ts_id = 7;
    info.onit_id = 0x33;
    info.service_info[0] = service(101, "Channel", "Provi"); // 7-byte name, 5-byte provider
    info.service_info[1] = service(202, "News", "");
    info.service_info[1].cas_mode = 1;
    info.service_info[1].eit_sch_flag = 1;
    info.num_service_info = 2;
    sdt s;
    sdt_init(&s, 9, 7);
    ASSERT_EQ(sdt_from_local(&s, SDT_SECTION_BUF_SIZE, &info), 0);

    auto *e0 = reinterpret_cast<const sdt_entry *>(s.data);
    EXPECT_EQ(sdt_entry_get_desc_loop_len(e0), 17);
    EXPECT_EQ(e0->descriptors[1], 15);

    SdtSeen seen = dvbpsi_read_sdt(&s, 7);
    ASSERT_EQ(seen.count, 1);
    ASSERT_EQ(seen.services.size(), 2u);
    EXPECT_EQ(seen.services[0].id, 101);
    EXPECT_EQ(seen.services[0].running, 4);
    EXPECT_TRUE(seen.services[0].eit_pf);
    std::vector<uint8_t> want = {0x48, 15, 1, 5, 'P', 'r', 'o', 'v', 'i', 7, 'C', 'h', 'a', 'n', 'n', 'e', 'l'};
    EXPECT_EQ(seen.services[0].desc, want);
    EXPECT_EQ(seen.services[1].id, 202);

    local_sdt_entry back{};
    ASSERT_EQ(sdt_to_local(&back, &s, size_t(sdt_get_table_len_actuall(&s))), 0);
    EXPECT_EQ(back.ts_id, 7);
    EXPECT_EQ(back.onit_id, 0x33);
    ASSERT_EQ(back.num_service_info, 2);
    EXPECT_STREQ(back.service_info[0].name.string, "Channel");
    EXPECT_STREQ(back.service_info[0].provider.string, "Provi");
    EXPECT_EQ(back.service_info[0].desc_len, 15);
    EXPECT_EQ(back.service_info[1].cas_mode, 1);
    EXPECT_EQ(back.service_info[1].eit_sch_flag, 1);
    EXPECT_EQ(back.service_info[1].name.len, 4);
    EXPECT_EQ(back.service_info[1].provider.len, 0);
}

TEST(LocalSdt, TooManyServicesForTheBufferAreCutWithAWarning)
{
    LogCapture log;
    local_sdt_entry info{};
    info.ts_id = 1;
    std::string longname(60, 'n');
    for (int i = 0; i < LOCAL_SDT_SERVICES_MAX; ++i)
        info.service_info[i] = service(i + 1, longname.c_str(), "p");
    info.num_service_info = LOCAL_SDT_SERVICES_MAX;
    sdt s;
    sdt_init(&s, 0, 1);
    ASSERT_EQ(sdt_from_local(&s, SDT_SECTION_BUF_SIZE, &info), 0);
    EXPECT_EQ(log.count("Truncating SDT due to insufficient buffer size"), 1);
    EXPECT_LE(sdt_get_table_len_actuall(&s), SDT_SECTION_BUF_SIZE);
    SdtSeen seen = dvbpsi_read_sdt(&s, 1);
    ASSERT_EQ(seen.count, 1); // CRC holds
    EXPECT_EQ(seen.services.size(), size_t(sdt_get_len_of_entries(&s) / (5 + 66)));
    EXPECT_LT(seen.services.size(), size_t(LOCAL_SDT_SERVICES_MAX));

    EXPECT_EQ(sdt_from_local(nullptr, 10, &info), -1);
    EXPECT_EQ(log.count("Failed with null pointer"), 1);
}

TEST(LocalSdt, ParsingChecksEveryLengthAgainstTheSection)
{
    LogCapture log;
    local_sdt_entry info{};
    info.service_info[0] = service(1, "One", "P");
    info.service_info[1] = service(2, "Two", "P");
    info.num_service_info = 2;
    sdt s;
    sdt_init(&s, 0, 1);
    sdt_from_local(&s, sizeof s, &info);
    int total = sdt_get_table_len_actuall(&s);

    // The second entry claims a loop running past the section: it is dropped.
    auto *e1 = reinterpret_cast<sdt_entry *>(s.data + sdt_entry_get_size(reinterpret_cast<sdt_entry *>(s.data)));
    sdt_entry_set_desc_loop_len(e1, 900);
    local_sdt_entry back{};
    ASSERT_EQ(sdt_to_local(&back, &s, size_t(total)), 0);
    EXPECT_EQ(back.num_service_info, 1);
    EXPECT_STREQ(back.service_info[0].name.string, "One");

    // A name length past its descriptor: the service stays, without texts.
    sdt_entry_set_desc_loop_len(e1, 10);
    reinterpret_cast<sdt_entry *>(s.data)->descriptors[5] = 200;
    ASSERT_EQ(sdt_to_local(&back, &s, size_t(total)), 0);
    EXPECT_EQ(back.service_info[0].name.len, 0);
    EXPECT_EQ(back.service_info[0].desc_tag, 0);

    // The section as handed over is shorter than its section_length says.
    ASSERT_EQ(sdt_to_local(&back, &s, 13), -1);
    EXPECT_EQ(back.num_service_info, 0);

    // 26 entries: the 26th is not taken.
    local_sdt_entry many{};
    for (int i = 0; i < LOCAL_SDT_SERVICES_MAX; ++i)
        many.service_info[i] = service(i + 1, "", "");
    many.num_service_info = LOCAL_SDT_SERVICES_MAX;
    sdt_init(&s, 0, 1);
    sdt_from_local(&s, sizeof s, &many);
    // Append one more entry by hand after the 25th.
    int at = sdt_get_table_len_actuall(&s) - 4;
    std::memcpy(reinterpret_cast<uint8_t *>(&s) + at, s.data, 10);
    tsAddToSectionLength(&s.header, 10);
    tsUpdateCRC(&s.header);
    ASSERT_EQ(sdt_to_local(&back, &s, size_t(sdt_get_table_len_actuall(&s))), 0);
    EXPECT_EQ(back.num_service_info, LOCAL_SDT_SERVICES_MAX);
    EXPECT_EQ(log.count("Can not parse any more sdt services, out of space"), 1);
}

struct PmtSeen {
    int count = 0;
    uint16_t program = 0, pcr = 0;
    int version = -1;
    std::vector<std::vector<uint8_t>> program_descriptors;
    struct Es {
        uint8_t type;
        uint16_t pid;
        std::vector<std::vector<uint8_t>> desc;
    };
    std::vector<Es> es;
};

std::vector<uint8_t> desc_bytes(dvbpsi_descriptor_t *ds)
{
    std::vector<uint8_t> v{ds->i_tag, ds->i_length};
    v.insert(v.end(), ds->p_data, ds->p_data + ds->i_length);
    return v;
}

PmtSeen dvbpsi_read_pmt(const TPmt *pmt, uint16_t program)
{
    PmtSeen seen;
    dvbpsi_t *h = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
    EXPECT_TRUE(dvbpsi_pmt_attach(
        h, program,
        [](void *d, dvbpsi_pmt_t *p) {
            auto *s = static_cast<PmtSeen *>(d);
            s->count++;
            s->program = p->i_program_number;
            s->pcr = p->i_pcr_pid;
            s->version = p->i_version;
            for (dvbpsi_descriptor_t *ds = p->p_first_descriptor; ds; ds = ds->p_next)
                s->program_descriptors.push_back(desc_bytes(ds));
            for (dvbpsi_pmt_es_t *e = p->p_first_es; e; e = e->p_next) {
                PmtSeen::Es x{e->i_type, e->i_pid, {}};
                for (dvbpsi_descriptor_t *ds = e->p_first_descriptor; ds; ds = ds->p_next)
                    x.desc.push_back(desc_bytes(ds));
                s->es.push_back(x);
            }
            dvbpsi_pmt_delete(p);
        },
        &seen));
    uint8_t cc = 0;
    for (auto &p : tsfix::packets_of(&pmt->header, 0x100, &cc))
        dvbpsi_packet_push(h, reinterpret_cast<uint8_t *>(&p));
    dvbpsi_pmt_detach(h);
    dvbpsi_delete(h);
    return seen;
}

// A program with CA and CUEI program information, video, AC-3 audio and a
// KLV stream with its four descriptors.
local_pmt sample_program()
{
    local_pmt p;
    local_pmt_init(&p, 5, 0x100, 7);
    p.pcr_pid = 0x101;
    p.pcr_ingress_id = 1100;
    local_pmt_init_ca_descriptor(&p);
    local_pmt_init_dvs253_descriptor(&p);
    EXPECT_EQ(local_pmt_add_entry(&p, 0x1B, 1100, 0x101), 0);
    EXPECT_EQ(local_pmt_add_entry(&p, 0x81, 1101, 0x102), 1);
    const uint8_t ac3[] = {0x05, 0x04, 'A', 'C', '-', '3', 0x81, 0x05, 1, 2, 3, 4, 5};
    EXPECT_EQ(local_pmt_set_entry_es_info(&p, 1, ac3, sizeof ac3), 0);
    EXPECT_EQ(local_pmt_add_entry(&p, 0x15, 1102, 0x103), 2);
    uint8_t klv[LOCAL_ES_INFO_MAX];
    int n = esinfo_write_klva_descriptor(klv, sizeof klv);
    n += esinfo_write_data_alignment_descriptor(klv + n, int(sizeof klv) - n, 1);
    n += esinfo_write_metadata_descriptor(klv + n, int(sizeof klv) - n);
    n += esinfo_write_metadata_std_descriptor(klv + n, int(sizeof klv) - n, 400 * 10, 1024 * 2, 400 * 3);
    EXPECT_EQ(n, 31);
    EXPECT_EQ(local_pmt_set_entry_es_info(&p, 2, klv, n), 0);
    return p;
}

TEST(LocalPmt, SectionIsReadByLibdvbpsiAndParsesBack)
{
    local_pmt p = sample_program();
    TPmt pmt;
    ASSERT_EQ(local_pmt_to_section(&p, &pmt, 1024), 0);
    EXPECT_EQ(tsTestCRC(&pmt.header), 1);

    PmtSeen seen = dvbpsi_read_pmt(&pmt, 5);
    ASSERT_EQ(seen.count, 1);
    EXPECT_EQ(seen.pcr, 0x101);
    EXPECT_EQ(seen.version, 7);
    ASSERT_EQ(seen.program_descriptors.size(), 2u);
    EXPECT_EQ(seen.program_descriptors[0], (std::vector<uint8_t>{0x09, 4, 0x26, 0x00, 0x1F, 0xFF}));
    EXPECT_EQ(seen.program_descriptors[1], (std::vector<uint8_t>{0x05, 4, 'C', 'U', 'E', 'I'}));
    ASSERT_EQ(seen.es.size(), 3u);
    EXPECT_EQ(seen.es[2].type, 0x15);
    EXPECT_EQ(seen.es[2].pid, 0x103);
    ASSERT_EQ(seen.es[2].desc.size(), 4u);
    EXPECT_EQ(seen.es[2].desc[0], (std::vector<uint8_t>{0x05, 4, 'K', 'L', 'V', 'A'}));
    EXPECT_EQ(seen.es[2].desc[1], (std::vector<uint8_t>{0x06, 1, 1}));
    EXPECT_EQ(seen.es[2].desc[2], (std::vector<uint8_t>{0x26, 9, 0x00, 0x01, 0xFF, 'K', 'L', 'V', 'A', 0x01, 0x0F}));
    // '11' then 22 bits each: 10 units of 400 bit/s, 2 KiB, 3 units.
    EXPECT_EQ(seen.es[2].desc[3], (std::vector<uint8_t>{0x27, 9, 0xC0, 0, 10, 0xC0, 0, 2, 0xC0, 0, 3}));

    local_pmt back;
    local_pmt_init(&back, 5, 0x100, 0);
    auto *sec = reinterpret_cast<const uint8_t *>(&pmt);
    size_t len = size_t(tsGetCompleteTableLength(&pmt.header));
    ASSERT_EQ(tsGetPmtServiceInfo(sec, len, &back, 1200), 3);
    EXPECT_EQ(back.num_pgm_info_desc_entries, 2);
    EXPECT_EQ(back.program_info_desc_entries[1].tag, 0x05);
    EXPECT_EQ(back.pmt_entries[1].es_info_len, 13);
    EXPECT_EQ(back.pmt_entries[2].ingress_id, 1200);
    EXPECT_EQ(std::memcmp(back.pmt_entries[2].es_info, p.pmt_entries[2].es_info, 31), 0);

    local_pmt terse;
    local_pmt_init(&terse, 5, 0x100, 0);
    EXPECT_EQ(tsGetTersePmtServiceInfo(sec, len, &terse), 3);
    EXPECT_EQ(terse.pmt_entries[0].stream_type, 0x1B);
    EXPECT_EQ(terse.pmt_entries[0].es_info_len, 0);

    // A section cut short of its stated length is refused.
    EXPECT_EQ(tsGetPmtServiceInfo(sec, 10, &back, 1), -1);
}

TEST(LocalPmt, ParsingSkipsOversizedDescriptorsAndEsInformation)
{
    LogCapture log;
    // Hand-built: a 45-byte program descriptor, an 81-byte ES info, then a
    // fine entry, then an entry whose ES info runs past the section.
    std::vector<uint8_t> s = {0x02, 0xB0, 0, 0, 1, 0xC1, 0, 0, 0xE1, 0x00, 0xF0, 47, 0x0A, 45};
    s.resize(s.size() + 45, 0x11);
    s.insert(s.end(), {0x1B, 0xE1, 0x00, 0xF0, 81});
    s.resize(s.size() + 81, 0x22);
    s.insert(s.end(), {0x03, 0xE1, 0x01, 0xF0, 0});
    s.insert(s.end(), {0x04, 0xE1, 0x02, 0xF0, 50});
    s.insert(s.end(), {0, 0, 0, 0});
    s[1] = uint8_t(0xB0 | ((s.size() - 3) >> 8));
    s[2] = uint8_t(s.size() - 3);
    tsUpdateCRC(reinterpret_cast<TTableBase *>(s.data()));

    local_pmt p;
    local_pmt_init(&p, 1, 0x20, 0);
    ASSERT_EQ(tsGetPmtServiceInfo(s.data(), s.size(), &p, 3), 2);
    EXPECT_EQ(p.num_pgm_info_desc_entries, 0);
    EXPECT_EQ(p.pmt_entries[0].elementary_pid, 0x100);
    EXPECT_EQ(p.pmt_entries[0].es_info_len, 0);
    EXPECT_EQ(p.pmt_entries[1].stream_type, 3);
    EXPECT_EQ(log.count("PMT descriptor 0x0A of 45 bytes skipped"), 1);
    EXPECT_EQ(log.count("ES information of PID 256 (81 bytes) skipped"), 1);
    EXPECT_EQ(log.count("PMT entry of PID 258 runs past its section"), 1);
}

TEST(LocalPmt, LimitsAndLookups)
{
    LogCapture log;
    local_pmt p;
    local_pmt_init(&p, 9, 0x30, 0);
    EXPECT_EQ(p.pcr_pid, -1);
    EXPECT_EQ(p.pmt_entries[63].elementary_pid, -1);
    // An index equal to the count names no entry.
    const uint8_t d[] = {0x0A, 0x04, 'e', 'n', 'g', 0};
    EXPECT_EQ(local_pmt_set_entry_es_info(&p, 0, d, sizeof d), -1);
    for (int i = 0; i < LOCAL_PMT_ENTRIES_MAX; ++i)
        ASSERT_EQ(local_pmt_add_entry(&p, 0x04, 100 + i, 0x40 + i), i);
    EXPECT_EQ(local_pmt_add_entry(&p, 0x04, 1, 0x1000), -1);
    EXPECT_EQ(local_pmt_set_entry_es_info(&p, -1, d, sizeof d), -1);
    uint8_t big[LOCAL_ES_INFO_MAX + 1] = {};
    ASSERT_EQ(local_pmt_set_entry_es_info(&p, 2, d, sizeof d), 0);
    ASSERT_EQ(local_pmt_set_entry_es_info(&p, 3, d, sizeof d), 0);
    EXPECT_EQ(local_pmt_set_entry_es_info(&p, 3, big, sizeof big), -1);
    EXPECT_EQ(p.pmt_entries[3].es_info_len, 0);

    p.pcr_pid = 0x41;
    p.pcr_ingress_id = 77;
    EXPECT_FALSE(local_pmt_has_separate_pcr(&p)); // PCR on an entry's PID
    EXPECT_TRUE(local_pmt_contains_pid(&p, 0x30));
    EXPECT_TRUE(local_pmt_contains_pid(&p, 0x40 + 63));
    EXPECT_FALSE(local_pmt_contains_pid(&p, 8192));
    EXPECT_FALSE(local_pmt_contains_pid(nullptr, 0x30));
    EXPECT_EQ(local_pmt_get_ingress_id(&p, 0x30), -1);
    EXPECT_EQ(local_pmt_get_ingress_id(&p, 0x41), 77);
    EXPECT_EQ(local_pmt_get_ingress_id(&p, 0x42), 102);
    EXPECT_EQ(local_pmt_get_ingress_id(&p, 0x1FFF), -1);
    ASSERT_NE(local_pmt_get_entry(&p, 0x42), nullptr);
    EXPECT_EQ(local_pmt_get_entry(&p, 0x42)->es_info_len, 6);
    EXPECT_EQ(local_pmt_get_entry(&p, 0x1000), nullptr);
    p.pcr_pid = 0x1FFE;
    EXPECT_TRUE(local_pmt_has_separate_pcr(&p));
    EXPECT_FALSE(local_pmt_has_separate_pcr(nullptr));

    // 64 entries do not fit one packet's PMT: the section ends before the
    // first that does not fit, with an error, and stays valid.
    TPmt pmt;
    ASSERT_EQ(local_pmt_to_section(&p, &pmt, 1024), 0);
    EXPECT_EQ(log.count("PMT of program 9 is full"), 1);
    PmtSeen seen = dvbpsi_read_pmt(&pmt, 9);
    ASSERT_EQ(seen.count, 1);
    EXPECT_GT(seen.es.size(), 20u);
    EXPECT_LT(seen.es.size(), 64u);
    EXPECT_LE(tsGetCompleteTableLength(&pmt.header), PSI_ONE_PACKET_SECTION_MAX);

    uint8_t small[10];
    EXPECT_EQ(esinfo_write_klva_descriptor(small, 5), -1);
    EXPECT_EQ(esinfo_write_metadata_descriptor(small, 10), -1);
    EXPECT_EQ(esinfo_write_metadata_std_descriptor(small, 10, 1, 1, 1), -1);
    EXPECT_EQ(esinfo_write_data_alignment_descriptor(small, 2, 1), -1);
}

TEST(LocalAtsc, SttCarriesGpsTimeThatReceiversTurnIntoUtc)
{
    local_stt m;
    ASSERT_EQ(populateSttServiceData(&m), 0);
    EXPECT_EQ(m.stt_pid, 0x1FFB);
    EXPECT_EQ(m.offset, 18);
    tsPkt pkt;
    ASSERT_EQ(local_stt_to_stt(&m, &pkt), 0);

    struct Seen {
        int count = 0;
        uint32_t system_time = 0;
        int offset = -1;
    } seen;
    dvbpsi_t *h = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
    ASSERT_TRUE(dvbpsi_AttachDemux(
        h,
        [](dvbpsi_t *hh, uint8_t table_id, uint16_t ext, void *d) {
            if (table_id == 0xCD)
                dvbpsi_atsc_AttachSTT(
                    hh, table_id, ext,
                    [](void *dd, dvbpsi_atsc_stt_t *p) {
                        auto *s = static_cast<Seen *>(dd);
                        s->count++;
                        s->system_time = p->i_system_time;
                        s->offset = p->i_gps_utc_offset;
                        dvbpsi_atsc_DeleteSTT(p);
                    },
                    d);
        },
        &seen));
    dvbpsi_packet_push(h, reinterpret_cast<uint8_t *>(&pkt));
    dvbpsi_atsc_DetachSTT(h, 0xCD, 0);
    dvbpsi_DetachDemux(h);
    dvbpsi_delete(h);
    ASSERT_EQ(seen.count, 1);
    EXPECT_EQ(seen.offset, 18);
    long long utc = (long long)seen.system_time - seen.offset + 315964800LL;
    EXPECT_LE(std::llabs(utc - (long long)std::time(nullptr)), 1);
}

TEST(LocalAtsc, MgtListsItsTablesForLibdvbpsi)
{
    local_mgt m{};
    m.version = 4;
    m.tables_defined = LOCAL_MGT_ENTRIES;
    const int types[LOCAL_MGT_ENTRIES] = {0x0002, 0x0301, 0x0100, 0x0101, 0x0102, 0x0103};
    const int pids[LOCAL_MGT_ENTRIES] = {0x1FFB, 0x1FFB, 0x1FD0, 0x1FD1, 0x1FD2, 0x1FD3};
    for (int i = 0; i < LOCAL_MGT_ENTRIES; ++i)
        m.mgt_entries[i] = {types[i], pids[i], i + 1, 100 + i, 0};
    tsPkt pkt;
    ASSERT_EQ(local_mgt_to_mgt(&m, &pkt), 0);
    EXPECT_EQ(tsphGetPid(&pkt), 0x1FFB);

    struct Seen {
        int count = 0, version = -1;
        std::vector<std::vector<int>> tables;
    } seen;
    dvbpsi_t *h = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
    ASSERT_TRUE(dvbpsi_AttachDemux(
        h,
        [](dvbpsi_t *hh, uint8_t table_id, uint16_t ext, void *d) {
            if (table_id == 0xC7)
                dvbpsi_atsc_AttachMGT(
                    hh, table_id, ext,
                    [](void *dd, dvbpsi_atsc_mgt_t *p) {
                        auto *s = static_cast<Seen *>(dd);
                        s->count++;
                        s->version = p->i_version;
                        for (dvbpsi_atsc_mgt_table_t *t = p->p_first_table; t; t = t->p_next)
                            s->tables.push_back({t->i_table_type, t->i_table_type_pid, t->i_table_type_version,
                                                 int(t->i_number_bytes)});
                        dvbpsi_atsc_DeleteMGT(p);
                    },
                    d);
        },
        &seen));
    dvbpsi_packet_push(h, reinterpret_cast<uint8_t *>(&pkt));
    dvbpsi_atsc_DetachMGT(h, 0xC7, 0);
    dvbpsi_DetachDemux(h);
    dvbpsi_delete(h);
    ASSERT_EQ(seen.count, 1);
    EXPECT_EQ(seen.version, 4);
    ASSERT_EQ(seen.tables.size(), 6u);
    EXPECT_EQ(seen.tables[0], (std::vector<int>{0x0002, 0x1FFB, 1, 100}));
    EXPECT_EQ(seen.tables[5], (std::vector<int>{0x0103, 0x1FD3, 6, 105}));
}

struct VctSeen {
    int count = 0, version = -1;
    bool cable = false;
    struct Ch {
        std::vector<uint8_t> short_name;
        int major, minor, modulation, tsid, program, service_type, source;
        std::vector<std::vector<uint8_t>> desc;
    };
    std::vector<Ch> channels;
};

VctSeen dvbpsi_read_vct(const TVct *vct)
{
    VctSeen seen;
    dvbpsi_t *h = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
    EXPECT_TRUE(dvbpsi_AttachDemux(
        h,
        [](dvbpsi_t *hh, uint8_t table_id, uint16_t ext, void *d) {
            if (table_id == 0xC8 || table_id == 0xC9)
                dvbpsi_atsc_AttachVCT(
                    hh, table_id, ext,
                    [](void *dd, dvbpsi_atsc_vct_t *p) {
                        auto *s = static_cast<VctSeen *>(dd);
                        s->count++;
                        s->version = p->i_version;
                        s->cable = p->b_cable_vct;
                        for (dvbpsi_atsc_vct_channel_t *c = p->p_first_channel; c; c = c->p_next) {
                            VctSeen::Ch ch{std::vector<uint8_t>(c->i_short_name, c->i_short_name + 14),
                                           c->i_major_number, c->i_minor_number, c->i_modulation,
                                           c->i_channel_tsid, c->i_program_number, c->i_service_type,
                                           c->i_source_id, {}};
                            for (dvbpsi_descriptor_t *ds = c->p_first_descriptor; ds; ds = ds->p_next)
                                ch.desc.push_back(desc_bytes(ds));
                            s->channels.push_back(ch);
                        }
                        dvbpsi_atsc_DeleteVCT(p);
                    },
                    d);
        },
        &seen));
    uint8_t cc = 0;
    for (auto &p : tsfix::packets_of(tsGetVctBase(const_cast<TVct *>(vct)), 0x1FFB, &cc))
        dvbpsi_packet_push(h, reinterpret_cast<uint8_t *>(&p));
    dvbpsi_DetachDemux(h);
    dvbpsi_delete(h);
    return seen;
}

local_vct_entry channel(int pnu, const char *name, const char *longname, int elements)
{
    local_vct_entry c{};
    c.minor_chn = pnu;
    c.pnu = pnu;
    c.source_id = pnu;
    c.ts_id = 0x0815;
    c.modulation_mode = 3;
    c.service_type = 2;
    set_string(&c.short_name, name);
    set_string(&c.long_name, longname);
    c.sld.pcr_pid = 0x101;
    c.sld.num_elements = elements;
    for (int i = 0; i < elements; ++i)
        c.sld.elements[i] = {i == 0 ? 0x02 : 0x81, 0x101 + i};
    return c;
}

TEST(LocalAtsc, VctChannelsWithNamesAndServiceLocation)
{
    alignas(4) uint8_t buf[SDT_SECTION_BUF_SIZE];
    auto *vct = reinterpret_cast<TVct *>(buf);
    local_vct m{};
    m.version = 2;
    m.num_channels_in_section = 2;
    m.vct_entries[0] = channel(5, "Channel Five", "Long name of five", 2);
    m.vct_entries[1] = channel(6, "Six", "Six", 1);
    m.vct_entries[1].major_chn = 7;
    for (bool cable : {false, true}) {
        m.is_cable = cable;
        size_t len = 0;
        ASSERT_EQ(vct_from_local(vct, &m, sizeof buf, &len, 0x0815), 0);
        EXPECT_EQ(len, size_t(13 + 3) + 2 * (32 + 35) + 6 * 3);
        VctSeen seen = dvbpsi_read_vct(vct);
        ASSERT_EQ(seen.count, 1) << cable;
        EXPECT_EQ(seen.cable, cable);
        EXPECT_EQ(seen.version, 2);
        ASSERT_EQ(seen.channels.size(), 2u);
        const auto &c = seen.channels[0];
        EXPECT_EQ(c.major, cable ? 0 : 1); // 0 is kept only on cable
        EXPECT_EQ(seen.channels[1].major, 7);
        EXPECT_EQ(c.minor, 5);
        EXPECT_EQ(c.program, 5);
        EXPECT_EQ(c.tsid, 0x0815);
        EXPECT_EQ(c.modulation, 3);
        EXPECT_EQ(c.service_type, 2);
        EXPECT_EQ(c.source, 5);
        EXPECT_EQ(c.short_name, (std::vector<uint8_t>{0, 'C', 0, 'h', 0, 'a', 0, 'n', 0, 'n', 0, 'e', 0, 'l'}));
        ASSERT_EQ(c.desc.size(), 2u);
        ASSERT_EQ(c.desc[0].size(), 30u);
        EXPECT_EQ(c.desc[0][0], 0xA0);
        EXPECT_EQ(std::string(c.desc[0].begin() + 10, c.desc[0].begin() + 27), "Long name of five");
        EXPECT_EQ(c.desc[1], (std::vector<uint8_t>{0xA1, 15, 0xE1, 0x01, 2, 0x02, 0xE1, 0x01, 'e', 'n', 'g', 0x81,
                                                   0xE1, 0x02, 'e', 'n', 'g'}));
    }

    // Ten channels of many elements do not fit: the table ends before the
    // first that does not, with a warning, and stays valid.
    LogCapture log;
    m.num_channels_in_section = LOCAL_VCT_CHANNELS_MAX;
    for (int i = 0; i < LOCAL_VCT_CHANNELS_MAX; ++i)
        m.vct_entries[i] = channel(i + 1, "X", "Y", 20);
    size_t len = 0;
    ASSERT_EQ(vct_from_local(vct, &m, sizeof buf, &len, 1), 0);
    EXPECT_EQ(log.count("VCT is larger than the allocated buffer size: alloc=1048"), 1);
    VctSeen seen = dvbpsi_read_vct(vct);
    ASSERT_EQ(seen.count, 1);
    EXPECT_EQ(seen.channels.size(), size_t((1024 - 16) / (32 + 35 + 120)));
    EXPECT_LE(len, 1024u);
}

TEST(LocalAtsc, EitCoversTheKthThreeHourBlockWithTheAc3Descriptors)
{
    local_pmt p = sample_program();
    // An AC-3 entry too short to hold the audio descriptor adds nothing.
    ASSERT_EQ(local_pmt_add_entry(&p, 0x81, 1, 0x104), 3);
    const uint8_t shortinfo[] = {0x05, 0x04, 'A', 'C', '-', '3'};
    local_pmt_set_entry_es_info(&p, 3, shortinfo, sizeof shortinfo);
    local_eit eit{};
    ASSERT_EQ(update_eit_local(&p, &eit, 10801, "A title longer than twenty", 12, 34, 2), 0);
    EXPECT_EQ(eit.num_events, 1);
    EXPECT_EQ(eit.source_id, 34);
    EXPECT_EQ(eit.events[0].start_time, 32400u);
    EXPECT_EQ(eit.events[0].len_in_sec, 10800);
    EXPECT_EQ(eit.events[0].title_length, 20);
    EXPECT_EQ(std::memcmp(eit.events[0].title_text, "A title longer than ", 20), 0);
    ASSERT_EQ(eit.events[0].desc_len, 7);
    EXPECT_EQ(std::memcmp(eit.events[0].eit_desc, p.pmt_entries[1].es_info + 6, 7), 0);

    // Built as EIT-2 and read back by libdvbpsi.
    eit.version = 9;
    tsPkt pkt;
    uint32_t total = 5;
    ASSERT_EQ(local_eit_to_eit(&eit, &pkt, 2, &total), 0);
    EXPECT_EQ(tsphGetPid(&pkt), 0x1FD2);
    EXPECT_EQ(total, 5u + 10 + 40 + 7 + 4);
    struct Seen {
        int count = 0, version = -1, source = -1;
        std::vector<std::vector<uint32_t>> events;
        std::vector<uint8_t> title, desc;
    } seen;
    dvbpsi_t *h = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
    ASSERT_TRUE(dvbpsi_AttachDemux(
        h,
        [](dvbpsi_t *hh, uint8_t table_id, uint16_t ext, void *d) {
            if (table_id == 0xCB)
                dvbpsi_atsc_AttachEIT(
                    hh, table_id, ext,
                    [](void *dd, dvbpsi_atsc_eit_t *p) {
                        auto *s = static_cast<Seen *>(dd);
                        s->count++;
                        s->version = p->i_version;
                        s->source = p->i_source_id;
                        for (dvbpsi_atsc_eit_event_t *e = p->p_first_event; e; e = e->p_next) {
                            s->events.push_back({e->i_event_id, e->i_start_time, e->i_length_seconds});
                            s->title.assign(e->i_title, e->i_title + e->i_title_length);
                            if (dvbpsi_descriptor_t *ds = e->p_first_descriptor)
                                s->desc = desc_bytes(ds);
                        }
                        dvbpsi_atsc_DeleteEIT(p);
                    },
                    d);
        },
        &seen));
    dvbpsi_packet_push(h, reinterpret_cast<uint8_t *>(&pkt));
    dvbpsi_atsc_DetachEIT(h, 0xCB, 34);
    dvbpsi_DetachDemux(h);
    dvbpsi_delete(h);
    ASSERT_EQ(seen.count, 1);
    EXPECT_EQ(seen.version, 9);
    EXPECT_EQ(seen.source, 34);
    ASSERT_EQ(seen.events.size(), 1u);
    EXPECT_EQ(seen.events[0], (std::vector<uint32_t>{12, 32400, 10800}));
    ASSERT_EQ(seen.title.size(), 28u);
    EXPECT_EQ(std::string(seen.title.begin(), seen.title.begin() + 8), std::string("\x01" "eng\x01\x00\x00\x14", 8));
    EXPECT_EQ(std::string(seen.title.begin() + 8, seen.title.end()), "A title longer than ");
    EXPECT_EQ(seen.desc, (std::vector<uint8_t>{0x81, 5, 1, 2, 3, 4, 5}));
}

} // namespace
