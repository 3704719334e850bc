// PSI sections: header fields, PAT, CAT, PMT, descriptors, packetizing;
// tables we build are read back by libdvbpsi and ffprobe.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/pat.h>
#include <dvbpsi/pmt.h>
#include <dvbpsi/psi.h>

#include "ts_fixtures.h"

namespace {

using tsfix::as_section;

// The PMT most tests use: program 0x0102, PCR on 0x100, a scrambling
// descriptor, H.264 video with a stream identifier, AAC audio in English,
// AC-3 without descriptors.
void build_pmt(TPmt *pmt)
{
    std::memset(pmt, 0xAA, sizeof *pmt);
    ASSERT_EQ(tsSetPmtDefault(pmt, 0x0102, 0x100), 0);
    ASSERT_EQ(add_pmt_program_info_descriptor(pmt, 101), 1);
    TPmtEntry *v = add_pmt_entry(pmt, STREAM_TYPE_ISO_IEC_14496_10_H264_VID, 0x100);
    ASSERT_NE(v, nullptr);
    const uint8_t sid[] = {0x52, 1, 7};
    ASSERT_EQ(append_pmt_es_info(pmt, v, sid, sizeof sid), 0);
    TPmtEntry *a = add_pmt_entry(pmt, STREAM_TYPE_ISO_IEC_13818_7_ADTS_AAC, 0x101);
    ASSERT_NE(a, nullptr);
    const uint8_t lang[] = {0x0A, 4, 'e', 'n', 'g', 0};
    ASSERT_EQ(append_pmt_es_info(pmt, a, lang, sizeof lang), 0);
    ASSERT_NE(add_pmt_entry(pmt, STREAM_TYPE_DOLBY_DIGITAL_ATSC, 0x102), nullptr);
    tsUpdateCRC(&pmt->header);
}

TEST(MpegtsSection, HeaderFieldsRoundTrip)
{
    uint8_t b[16] = {};
    auto *s = reinterpret_cast<TTableBase *>(b);
    tsSetTableId(s, 0x42);
    tsSetSectionSyntaxInd(s, 1);
    tsSet0bit(s);
    tsSetReserved0(s);
    tsSetSectionLength(s, 0xABC);
    tsSetTSId(s, 0xBEEF);
    tsSetReserved1(s);
    tsSetVersion(s, 17);
    tsSetCurrentNext(s, 1);
    tsSetSectionNumber(s, 3);
    tsSetLastSectionNumber(s, 4);
    const uint8_t want[8] = {0x42, 0xBA, 0xBC, 0xBE, 0xEF, 0xE3, 3, 4};
    EXPECT_EQ(0, std::memcmp(b, want, 8));
    EXPECT_EQ(tsGetTableId(s), 0x42);
    EXPECT_EQ(tsGetSectionSyntaxInd(s), 1);
    EXPECT_EQ(tsGetSectionLength(s), 0xABC);
    EXPECT_EQ(tsGetCompleteTableLength(s), 0xABC + 3);
    EXPECT_EQ(tsGetProgramNumber(s), 0xBEEF);
    EXPECT_EQ(tsGetVersion(s), 17);
    EXPECT_EQ(tsGetCurrentNext(s), 1);
    EXPECT_EQ(tsGetSectionNumber(s), 3);
    EXPECT_EQ(tsGetLastSectionNumber(s), 4);
    tsSetVersion(s, 31);
    tsRevVersion(s);
    EXPECT_EQ(tsGetVersion(s), 0);
    EXPECT_EQ(b[5], 0xC1); // reserved and current_next kept
    EXPECT_EQ(tsAddToSectionLength(s, -0xABC), 0);
    EXPECT_EQ(tsGetSectionLength(s), 0);
    EXPECT_EQ(tsAddToSectionLength(s, -1), -1);
    EXPECT_EQ(b[1], 0xB0);
}

TEST(MpegtsSection, CrcUpdateTestAndAppend)
{
    uint8_t b[64];
    std::memset(b, 0, sizeof b);
    auto *s = reinterpret_cast<TTableBase *>(b);
    tsSetCatDefault(reinterpret_cast<TCat *>(b));
    const uint8_t want[8] = {0x01, 0xB0, 0x09, 0xFF, 0xFF, 0xC1, 0, 0};
    EXPECT_EQ(0, std::memcmp(b, want, 8));
    TTableCrc crc = tsUpdateCRC(s);
    EXPECT_EQ(DvbCrc32Compute(b, 8), crc);
    EXPECT_EQ(tsTestCRC(s), 1);
    TTableCrc stored;
    std::memcpy(&stored, b + 8, 4);
    EXPECT_EQ(tsGetCRC(s), stored);
    b[6] ^= 0x10;
    EXPECT_EQ(tsTestCRC(s), 0);
    b[6] ^= 0x10;
    const uint8_t ca[] = {0x09, 4, 0x26, 0x00, 0xE1, 0x00};
    EXPECT_EQ(tsAppendBytes(s, ca, sizeof ca), 0);
    EXPECT_EQ(tsGetSectionLength(s), 15);
    EXPECT_EQ(0, std::memcmp(b + 8, ca, sizeof ca));
    EXPECT_EQ(tsTestCRC(s), 1);
    EXPECT_EQ(tsAppendBytes(s, nullptr, 3), -1);
    // Too short to hold a CRC: nothing is written over the header.
    uint8_t tiny[8] = {0, 0xB0, 0x02, 1, 2, 3, 4, 5};
    EXPECT_EQ(tsUpdateCRC(reinterpret_cast<TTableBase *>(tiny)), 0u);
    EXPECT_EQ(tiny[4], 2);
    EXPECT_EQ(tsTestCRC(reinterpret_cast<TTableBase *>(tiny)), 0);
}

TEST(MpegtsPat, BuildGrowAndEdit)
{
    TPat pat;
    std::memset(&pat, 0, sizeof pat);
    tsSetPatDefault(&pat, 0x0815);
    EXPECT_EQ(tsGetSectionLength(&pat.header), 9);
    EXPECT_EQ(tsGetPatNumPrograms(&pat), 0);
    EXPECT_EQ(tsAddPatProgram(&pat, 1, 0x100, 0), 0);
    EXPECT_EQ(tsAddPatProgram(&pat, 2, 0x200, 0), 0);
    EXPECT_EQ(tsAddPatProgram(&pat, 0x1234, 0x300, 0), 0);
    EXPECT_EQ(tsGetSectionLength(&pat.header), 21);
    EXPECT_EQ(tsGetPatNumPrograms(&pat), 3);
    EXPECT_EQ(tsTestCRC(&pat.header), 0);
    tsSetPatDefault(&pat, 0x0815);
    tsAddPatProgram(&pat, 1, 0x100, 0);
    tsAddPatProgram(&pat, 2, 0x200, 0);
    tsAddPatProgram(&pat, 0x1234, 0x300, 1);
    EXPECT_EQ(tsTestCRC(&pat.header), 1);
    // Entries carry '111' reserved bits, the same bytes every run.
    const uint8_t e2[4] = {0x12, 0x34, 0xE3, 0x00};
    EXPECT_EQ(0, std::memcmp(pat.data + 8, e2, 4));
    EXPECT_EQ(tsGetPatProgramNumber(&pat, 2), 0x1234);
    EXPECT_EQ(tsGetPatProgramPid(&pat, 1), 0x200);
    EXPECT_EQ(tsGetPatProgramPid(&pat, 3), 0);
    EXPECT_EQ(tsCheckPatProgramExists(&pat, 2), 1);
    EXPECT_EQ(tsCheckPatProgramExists(&pat, 3), 0);

    // A program number above 255 is found (a 16-bit program to overwrite).
    EXPECT_EQ(tsReplacePatByProgram(&pat, 0x4321, 0x1FF0, 1, 0x1234), 0);
    EXPECT_EQ(tsGetPatProgramNumber(&pat, 2), 0x4321);
    EXPECT_EQ(tsGetPatProgramPid(&pat, 2), 0x1FF0);
    EXPECT_EQ(tsTestCRC(&pat.header), 1);
    EXPECT_EQ(tsReplacePatByProgram(&pat, 9, 9, 1, 0x34), 0); // absent: nothing changes
    EXPECT_EQ(tsCheckPatProgramExists(&pat, 9), 0);
    EXPECT_EQ(tsReplacePatByProgramIndx(&pat, 7, 0x700, 1, 0), 0);
    EXPECT_EQ(tsGetPatProgramNumber(&pat, 0), 7);
    EXPECT_EQ(tsReplacePatByProgramIndx(&pat, 8, 0x800, 1, 3), -1);
    EXPECT_EQ(tsGetSectionLength(&pat.header), 21);
    EXPECT_EQ(tsSetPatProgramPid(&pat, 0, 0xFFFF), 0);
    EXPECT_EQ(pat.data[2], 0xFF);
    EXPECT_EQ(tsSetPatProgramNumber(&pat, 5, 1), -1);
}

TEST(MpegtsPat, RefusesWhatDoesNotFitOnePacket)
{
    TPat pat;
    std::memset(&pat, 0x5A, sizeof pat);
    tsSetPatDefault(&pat, 1);
    std::vector<uint16_t> numbers(PAT_MAX_PROGRAMS + 1), pids(PAT_MAX_PROGRAMS + 1);
    for (size_t i = 0; i < numbers.size(); ++i) {
        numbers[i] = uint16_t(i + 1);
        pids[i] = uint16_t(0x100 + i);
    }
    EXPECT_EQ(tsSetPatPrograms(&pat, numbers.data(), pids.data(), PAT_MAX_PROGRAMS + 1), -1);
    EXPECT_EQ(tsGetSectionLength(&pat.header), 9);
    EXPECT_EQ(pat.data[0], 0x5A);
    EXPECT_EQ(tsSetPatPrograms(&pat, numbers.data(), pids.data(), PAT_MAX_PROGRAMS), 0);
    EXPECT_EQ(tsTestCRC(&pat.header), 1);
    EXPECT_EQ(tsAddPatProgram(&pat, 99, 0x99, 1), -1);
    EXPECT_EQ(tsGetPatNumPrograms(&pat), PAT_MAX_PROGRAMS);
    EXPECT_LE(tsGetCompleteTableLength(&pat.header), PSI_ONE_PACKET_SECTION_MAX);
    tsPkt pkts[2];
    EXPECT_EQ(packetize_section(pkts, 2, &pat.header, 0), 1);
    TPat *in = nullptr;
    ASSERT_EQ(tsGetPat(&pkts[0], &in), 0);
    EXPECT_EQ(tsGetPatProgramPid(in, PAT_MAX_PROGRAMS - 1), 0x100 + PAT_MAX_PROGRAMS - 1);
}

TEST(MpegtsPsi, LocateTableInPacket)
{
    TPat pat;
    tsSetPatDefault(&pat, 1);
    tsAddPatProgram(&pat, 1, 0x100, 1);
    tsPkt p;
    packetize_section(&p, 1, &pat.header, 0);
    // Move the table behind a pointer_field of 3.
    std::memmove(p.payload + 4, p.payload + 1, 17);
    p.payload[0] = 3;
    TPat *found = nullptr;
    ASSERT_EQ(tsGetPat(&p, &found), 0);
    EXPECT_EQ(reinterpret_cast<uint8_t *>(found), p.payload + 4);
    EXPECT_EQ(tsTestCRC(&found->header), 1);
    struct Case {
        const char *name;
        void (*spoil)(tsPkt *);
    };
    const Case bad[] = {
        {"no PUSI", [](tsPkt *q) { tsphSetPLStartIndicator(q, 0); }},
        {"adaptation field", [](tsPkt *q) { tsphSetAFCtrl(q, 3); }},
        {"pointer past the end", [](tsPkt *q) { q->payload[0] = 182; }},
        {"section longer than the packet", [](tsPkt *q) { q->payload[5] = 0xB0 | 0x0F; }},
    };
    for (const Case &c : bad) {
        tsPkt q = p;
        c.spoil(&q);
        TPat *none = nullptr;
        EXPECT_EQ(tsGetPat(&q, &none), -1) << c.name;
        EXPECT_EQ(none, nullptr) << c.name;
    }
    TPmt *pmt = nullptr;
    TCat *cat = nullptr;
    EXPECT_EQ(tsGetPmt(&p, &pmt), 0);
    EXPECT_EQ(tsGetCat(&p, &cat), 0);
}

TEST(MpegtsPmt, BuildReadAndCapacity)
{
    TPmt pmt;
    build_pmt(&pmt);
    EXPECT_EQ(tsGetTableId(&pmt.header), TABLEID_PMT);
    EXPECT_EQ(tsGetVersion(&pmt.header), 1);
    EXPECT_EQ(tsGetProgramNumber(&pmt.header), 0x0102);
    EXPECT_EQ(tsGetPmtPCRPid(&pmt), 0x100);
    EXPECT_EQ(tsGetPmtProgramInfoLength(&pmt), 3);
    EXPECT_EQ(tsGetSectionLength(&pmt.header), 13 + 3 + 5 + 3 + 5 + 6 + 5);
    EXPECT_EQ(tsGetPmtEntriesLength(&pmt), 5 + 3 + 5 + 6 + 5);
    EXPECT_EQ(tsTestCRC(&pmt.header), 1);
    EXPECT_EQ(tsGetPmtServiceDescriptorTag(&pmt), 0x65);
    EXPECT_EQ(tsGetPmtServiceDescriptorLen(&pmt), 1);
    uint8_t out[8];
    EXPECT_EQ(tsGetPmtServiceDescriptor(&pmt, out, sizeof out), 1);
    EXPECT_EQ(out[0], 2);
    EXPECT_EQ(tsGetPmtServiceDescriptor(&pmt, out, 0), -1);

    const uint16_t pids[] = {0x100, 0x101, 0x102};
    const uint8_t types[] = {0x1B, 0x0F, 0x81};
    const uint8_t tags[] = {0x52, 0x0A, 0};
    for (int i = 0; i < 3; ++i) {
        TPmtEntry *e = get_pmt_entry(&pmt, i);
        ASSERT_NE(e, nullptr) << i;
        EXPECT_EQ(tsGetPmtEntryPID(e), pids[i]);
        EXPECT_EQ(tsGetPmtEntryStreamType(e), types[i]);
        EXPECT_EQ(tsGetPmtDescriptorTag(e), tags[i]);
        EXPECT_EQ(e->elementary_pid[0] & 0xE0, 0xE0);
        EXPECT_EQ(e->es_info_length[0] & 0xF0, 0xF0);
    }
    EXPECT_EQ(get_pmt_entry(&pmt, 3), nullptr);
    EXPECT_EQ(get_pmt_entry(&pmt, -1), nullptr);
    EXPECT_EQ(tsGetPmtDescriptor(get_pmt_entry(&pmt, 1), out, sizeof out), 4);
    EXPECT_EQ(0, std::memcmp(out, "eng", 4));

    // ES info may not pass 64 bytes: 65 is refused and nothing changes.
    TPmt copy = pmt;
    std::vector<uint8_t> big(60, 0x01);
    big[0] = 0x80;
    big[1] = 58;
    EXPECT_EQ(append_pmt_es_info(&pmt, get_pmt_entry(&pmt, 1), big.data(), 59), -1);
    EXPECT_EQ(0, std::memcmp(&copy, &pmt, sizeof pmt));
    EXPECT_EQ(append_pmt_es_info(&pmt, get_pmt_entry(&pmt, 1), nullptr, 2), -1);
    TPmtEntry foreign{};
    EXPECT_EQ(append_pmt_es_info(&pmt, &foreign, big.data(), 2), -1);

    // On an entry that is not the last, the entries behind it move.
    const uint8_t two[] = {0x0E, 0};
    ASSERT_EQ(append_pmt_es_info(&pmt, get_pmt_entry(&pmt, 0), two, 2), 0);
    EXPECT_EQ(tsGetPmtEntryESInfoLength(get_pmt_entry(&pmt, 0)), 5);
    EXPECT_EQ(tsGetPmtEntryPID(get_pmt_entry(&pmt, 1)), 0x101);
    EXPECT_EQ(tsGetPmtEntryPID(get_pmt_entry(&pmt, 2)), 0x102);
    EXPECT_EQ(tsGetPmtDescriptorTag(get_pmt_entry(&pmt, 1)), 0x0A);

    // Growing stops at what one packet carries.
    int added = 0;
    while (add_pmt_entry(&pmt, 0x06, uint16_t(0x200 + added)))
        ++added;
    EXPECT_GT(added, 0);
    EXPECT_LE(tsGetCompleteTableLength(&pmt.header), PSI_ONE_PACKET_SECTION_MAX);
    EXPECT_GT(tsGetCompleteTableLength(&pmt.header) + 5, PSI_ONE_PACKET_SECTION_MAX);
    EXPECT_EQ(add_pmt_program_info_descriptor(&pmt, 134), -1);
    EXPECT_EQ(std::memcmp(reinterpret_cast<uint8_t *>(&pmt) + PSI_ONE_PACKET_SECTION_MAX,
                          reinterpret_cast<uint8_t *>(&copy) + PSI_ONE_PACKET_SECTION_MAX,
                          sizeof pmt - PSI_ONE_PACKET_SECTION_MAX),
              0);
}

TEST(MpegtsPmt, ProgramInfoDescriptorsInsertAndRemove)
{
    TPmt pmt;
    build_pmt(&pmt);
    const int len0 = tsGetSectionLength(&pmt.header);
    EXPECT_EQ(add_pmt_program_info_descriptor(&pmt, 134), 7);
    EXPECT_EQ(add_pmt_program_info_descriptor(&pmt, 9), 4);
    EXPECT_EQ(add_pmt_program_info_descriptor(&pmt, 42), -1);
    EXPECT_EQ(tsGetPmtProgramInfoLength(&pmt), 3 + 9 + 6);
    EXPECT_EQ(tsGetSectionLength(&pmt.header), len0 + 15);
    const uint8_t *pi = reinterpret_cast<uint8_t *>(&pmt) + 12;
    const uint8_t want[] = {0x65, 1, 2, 0x86, 7, 0xE1, 'e', 'n', 'g', 0xC1, 0x40, 0x3F, 0x09, 4, 0x26, 0x00, 0xFF, 0xFF};
    EXPECT_EQ(0, std::memcmp(pi, want, sizeof want));
    EXPECT_EQ(tsGetPmtEntryPID(get_pmt_entry(&pmt, 2)), 0x102);

    EXPECT_EQ(rem_pmt_program_info_descriptor(&pmt, 0x86), 0);
    EXPECT_EQ(rem_pmt_program_info_descriptor(&pmt, 0x86), -1);
    EXPECT_EQ(tsGetPmtProgramInfoLength(&pmt), 9);
    EXPECT_EQ(tsGetSectionLength(&pmt.header), len0 + 6);
    const uint8_t left[] = {0x65, 1, 2, 0x09, 4, 0x26, 0x00, 0xFF, 0xFF, 0x1B};
    EXPECT_EQ(0, std::memcmp(pi, left, sizeof left));
    EXPECT_EQ(tsGetPmtEntryPID(get_pmt_entry(&pmt, 2)), 0x102);
    const uint8_t *end = reinterpret_cast<uint8_t *>(&pmt) + tsGetCompleteTableLength(&pmt.header) - 4;
    for (int i = 0; i < 9 + 4; ++i) // the freed bytes and the old CRC read as stuffing
        EXPECT_EQ(end[i], 0xFF) << i;
    tsUpdateCRC(&pmt.header);
    EXPECT_EQ(tsTestCRC(&pmt.header), 1);
}

TEST(MpegtsPmt, TextDumpMatchesStoredText)
{
    TPmt pmt;
    build_pmt(&pmt);
    char buf[2048];
    int n = tsPmtToString(&pmt, buf, sizeof buf);
    ASSERT_GT(n, 0);
    char crc[64];
    const uint8_t *s = reinterpret_cast<uint8_t *>(&pmt);
    const int at = tsGetCompleteTableLength(&pmt.header) - 4;
    uint32_t v = uint32_t(s[at]) << 24 | uint32_t(s[at + 1]) << 16 | uint32_t(s[at + 2]) << 8 | s[at + 3];
    std::snprintf(crc, sizeof crc, "0x%08X CRC_32: %u\n", v, v);
    const std::string want = std::string("0x02 table_id: 2\n"
                                         "0xB028 section_syntax_indicator: 1\n"
                                         "0xB028 section_length: 40\n"
                                         "0x0102 program_number: 258\n"
                                         "0xC3 version_number: 1\n"
                                         "0xC3 current_next_indicator: 1\n"
                                         "0x00 section_number: 0\n"
                                         "0x00 last_section_number: 0\n"
                                         "0xE100 PCR_PID: 256\n"
                                         "0xF003 program_info_length: 3\n"
                                         "0x?? program_info: { 0x65 0x01 0x02  }\n"
                                         "  -----------------\n"
                                         "  0x1B stream_type: 27\n"
                                         "  0xE100 elementary_PID: 256\n"
                                         "  0xF003 ES_info_length: 3\n"
                                         "  0x?? ES_info: { 0x52 0x01 0x07  }\n"
                                         "  -----------------\n"
                                         "  0x0F stream_type: 15\n"
                                         "  0xE101 elementary_PID: 257\n"
                                         "  0xF006 ES_info_length: 6\n"
                                         "  0x?? ES_info: { 0x0A 0x04 0x65 0x6E 0x67 0x00  }\n"
                                         "  -----------------\n"
                                         "  0x81 stream_type: 129\n"
                                         "  0xE102 elementary_PID: 258\n"
                                         "  0xF000 ES_info_length: 0\n"
                                         "  0x?? ES_info: {  }\n"
                                         "  -----------------\n") +
                             crc;
    EXPECT_EQ(std::string(buf, size_t(n)), want);
    EXPECT_EQ(tsPmtToString(&pmt, buf, size_t(n)), -1); // no room for the NUL
    EXPECT_EQ(tsPmtToString(&pmt, buf, 30), -1);
    // A section too short to be a PMT is neither dumped nor walked.
    tsSetSectionLength(&pmt.header, 9);
    EXPECT_EQ(tsPmtToString(&pmt, buf, sizeof buf), -1);
    EXPECT_EQ(get_pmt_entry(&pmt, 0), nullptr);
    EXPECT_EQ(tsGetPmtEntriesLength(&pmt), -1);
}

TEST(MpegtsDescriptor, LoopWalkAndScrambling)
{
    const uint8_t loop[] = {0x65, 1, 5, 0x0A, 4, 'd', 'e', 'u', 0, 0x52, 0, 0x48, 9, 1};
    const size_t whole = 11; // the last descriptor (0x48) claims more than the loop holds
    const descriptor *d = descriptor_loop_next(loop, whole, nullptr);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(scrambling_descr_get_mode(d), 5);
    d = descriptor_loop_next(loop, whole, d);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->tag, 0x0A);
    EXPECT_EQ(descriptor_get_size(d), 6);
    EXPECT_EQ(descriptor_get_data(d), loop + 5);
    EXPECT_EQ(scrambling_descr_get_mode(d), -1);
    d = descriptor_loop_next(loop, whole, d);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->tag, 0x52);
    EXPECT_EQ(descriptor_loop_next(loop, whole, d), nullptr);          // the last one
    EXPECT_EQ(descriptor_loop_next(loop, sizeof loop, d), nullptr);    // truncated next
    EXPECT_EQ(descriptor_loop_next(loop, 0, nullptr), nullptr);
    EXPECT_EQ(descriptor_loop_next(loop, 2, nullptr), nullptr);        // data past the end
    EXPECT_EQ(descriptor_loop_find(loop, whole, 0x52), reinterpret_cast<const descriptor *>(loop + 9));
    EXPECT_EQ(descriptor_loop_find(loop, sizeof loop, 0x48), nullptr);
    EXPECT_EQ(descriptor_loop_find(loop, 0, 0x65), nullptr);
    uint8_t out[3];
    EXPECT_EQ(scrambling_descr_init(out, 2, 1), -1);
    EXPECT_EQ(scrambling_descr_init(out, 3, SCRAMBLING_MODE_CISSA_V1), 0);
    EXPECT_EQ(out[0], 0x65);
    EXPECT_EQ(scrambling_descr_get_mode(reinterpret_cast<descriptor *>(out)), 16);
    EXPECT_STREQ(strings_descriptor_type[DESCRIPTOR_TYPE_CA], "CA");
    EXPECT_STREQ(strings_descriptor_type[19], "RES19");
    EXPECT_STREQ(strings_descriptor_type[255], "RES255");
}

TEST(MpegtsPsi, PacketizeSection)
{
    struct Case {
        size_t total;
        unsigned max;
        int packets;
    };
    const Case cases[] = {{183, 1, 1}, {184, 2, 2}, {184, 1, -1}, {367, 2, 2}, {368, 3, 3}, {1024, 6, 6}, {1024, 5, -1}};
    for (const Case &c : cases) {
        auto s = tsfix::make_section(0x80, c.total);
        std::vector<tsPkt> pkts(8);
        std::memset(pkts.data(), 0x33, pkts.size() * sizeof(tsPkt));
        int n = packetize_section(pkts.data(), c.max, as_section(s), 0x1FC6);
        EXPECT_EQ(n, c.packets) << c.total;
        EXPECT_EQ(reinterpret_cast<uint8_t *>(&pkts[c.max])[0], 0x33) << "wrote past the maximum";
        if (n < 0)
            continue;
        std::vector<uint8_t> back;
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(tsphGetPid(&pkts[i]), 0x1FC6);
            EXPECT_EQ(tsphGetPLStartIndicator(&pkts[i]), i == 0);
            EXPECT_EQ(tsphGetContinuityCounter(&pkts[i]), 0);
            const uint8_t *pl = pkts[i].payload + (i == 0 ? 1 : 0);
            back.insert(back.end(), pl, static_cast<const uint8_t *>(pkts[i].payload + 184));
        }
        EXPECT_EQ(pkts[0].payload[0], 0);
        ASSERT_GE(back.size(), c.total);
        EXPECT_EQ(0, std::memcmp(back.data(), s.data(), c.total)) << c.total;
        for (size_t i = c.total; i < back.size(); ++i)
            ASSERT_EQ(back[i], 0xFF) << c.total << " stuffing at " << i;
        if (c.total == 184) {
            EXPECT_EQ(back.size() - c.total, 183u);
        }
    }
}

// libdvbpsi as an independent reader of what we build.
struct DvbpsiSeen {
    int pats = 0, pmts = 0;
    std::vector<std::pair<uint16_t, uint16_t>> programs;
    uint16_t ts_id = 0, program = 0, pcr = 0;
    int version = -1;
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> program_descriptors;
    struct Es {
        uint8_t type;
        uint16_t pid;
        std::vector<uint8_t> tags;
    };
    std::vector<Es> es;
};

TEST(MpegtsPsiOracle, LibdvbpsiDecodesOurPatAndPmt)
{
    TPat pat;
    tsSetPatDefault(&pat, 0x0815);
    tsAddPatProgram(&pat, 0x0102, 0x1000, 0);
    tsAddPatProgram(&pat, 0x0203, 0x1001, 1);
    TPmt pmt;
    build_pmt(&pmt);

    DvbpsiSeen seen;
    dvbpsi_t *pat_h = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
    dvbpsi_t *pmt_h = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
    ASSERT_TRUE(dvbpsi_pat_attach(
        pat_h,
        [](void *d, dvbpsi_pat_t *p) {
            auto *s = static_cast<DvbpsiSeen *>(d);
            s->pats++;
            s->ts_id = p->i_ts_id;
            for (dvbpsi_pat_program_t *pr = p->p_first_program; pr; pr = pr->p_next)
                s->programs.emplace_back(pr->i_number, pr->i_pid);
            dvbpsi_pat_delete(p);
        },
        &seen));
    ASSERT_TRUE(dvbpsi_pmt_attach(
        pmt_h, 0x0102,
        [](void *d, dvbpsi_pmt_t *p) {
            auto *s = static_cast<DvbpsiSeen *>(d);
            s->pmts++;
            s->program = p->i_program_number;
            s->pcr = p->i_pcr_pid;
            s->version = p->i_version;
            for (dvbpsi_descriptor_t *ds = p->p_first_descriptor; ds; ds = ds->p_next)
                s->program_descriptors.emplace_back(ds->i_tag,
                                                    std::vector<uint8_t>(ds->p_data, ds->p_data + ds->i_length));
            for (dvbpsi_pmt_es_t *e = p->p_first_es; e; e = e->p_next) {
                DvbpsiSeen::Es x{e->i_type, e->i_pid, {}};
                for (dvbpsi_descriptor_t *ds = e->p_first_descriptor; ds; ds = ds->p_next)
                    x.tags.push_back(ds->i_tag);
                s->es.push_back(x);
            }
            dvbpsi_pmt_delete(p);
        },
        &seen));
    uint8_t cc0 = 0, cc1 = 0;
    for (auto &p : tsfix::packets_of(&pat.header, 0, &cc0))
        dvbpsi_packet_push(pat_h, reinterpret_cast<uint8_t *>(&p));
    for (auto &p : tsfix::packets_of(&pmt.header, 0x1000, &cc1))
        dvbpsi_packet_push(pmt_h, reinterpret_cast<uint8_t *>(&p));
    dvbpsi_pat_detach(pat_h);
    dvbpsi_pmt_detach(pmt_h);
    dvbpsi_delete(pat_h);
    dvbpsi_delete(pmt_h);

    EXPECT_EQ(seen.pats, 1);
    EXPECT_EQ(seen.ts_id, 0x0815);
    ASSERT_EQ(seen.programs.size(), 2u);
    EXPECT_EQ(seen.programs[1], std::make_pair(uint16_t(0x0203), uint16_t(0x1001)));
    ASSERT_EQ(seen.pmts, 1);
    EXPECT_EQ(seen.program, 0x0102);
    EXPECT_EQ(seen.pcr, 0x100);
    EXPECT_EQ(seen.version, 1);
    ASSERT_EQ(seen.program_descriptors.size(), 1u);
    EXPECT_EQ(seen.program_descriptors[0].first, 0x65);
    EXPECT_EQ(seen.program_descriptors[0].second, std::vector<uint8_t>{2});
    ASSERT_EQ(seen.es.size(), 3u);
    EXPECT_EQ(seen.es[0].type, 0x1B);
    EXPECT_EQ(seen.es[0].tags, std::vector<uint8_t>{0x52});
    EXPECT_EQ(seen.es[1].pid, 0x101);
    EXPECT_EQ(seen.es[1].tags, std::vector<uint8_t>{0x0A});
    EXPECT_EQ(seen.es[2].type, 0x81);
    EXPECT_TRUE(seen.es[2].tags.empty());
}

TEST(MpegtsPsiOracle, FfprobeReadsOurProgram)
{
    if (!tsfix::have_program("ffprobe"))
        GTEST_SKIP() << "ffprobe is not installed";
    TPat pat;
    tsSetPatDefault(&pat, 0x0815);
    tsAddPatProgram(&pat, 0x0102, 0x1000, 1);
    TPmt pmt;
    build_pmt(&pmt);
    std::vector<tsPkt> file;
    uint8_t cc0 = 0, cc1 = 0;
    for (int i = 0; i < 20; ++i) {
        for (auto &p : tsfix::packets_of(&pat.header, 0, &cc0))
            file.push_back(p);
        for (auto &p : tsfix::packets_of(&pmt.header, 0x1000, &cc1))
            file.push_back(p);
    }
    tsfix::TempDir dir;
    tsfix::write_file(dir.path / "pmt.ts", file);
    int rc = -1;
    std::string out = tsfix::run("ffprobe -v error -show_programs -of flat '" + (dir.path / "pmt.ts").string() + "'", &rc);
    ASSERT_EQ(rc, 0) << out;
    for (const char *want : {"programs.program.0.program_id=258", "programs.program.0.pmt_pid=4096",
                             "programs.program.0.pcr_pid=256", "programs.program.0.nb_streams=3",
                             "programs.program.0.streams.stream.0.id=\"0x100\"",
                             "programs.program.0.streams.stream.0.codec_name=\"h264\"",
                             "programs.program.0.streams.stream.1.id=\"0x101\"",
                             "programs.program.0.streams.stream.1.codec_name=\"aac\"",
                             "programs.program.0.streams.stream.2.id=\"0x102\""})
        EXPECT_NE(out.find(want), std::string::npos) << want << "\n" << out;
}

} // namespace
