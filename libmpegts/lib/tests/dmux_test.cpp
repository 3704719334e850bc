// Section demultiplexer and carousel: hand-made fixtures for what FFmpeg
// never produces, and every section of an FFmpeg-muxed file.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ts_fixtures.h"

namespace {

using tsfix::as_section;
using tsfix::make_section;

// A packet of the PID whose payload is the given bytes, then 0xFF.
tsPkt raw_packet(uint16_t pid, bool pusi, uint8_t cc, const std::vector<uint8_t> &payload)
{
    tsPkt p;
    generateDefaultTsPacket(&p, pid);
    tsphSetPLStartIndicator(&p, pusi);
    tsphSetContinuityCounter(&p, cc);
    std::memset(p.payload, 0xFF, sizeof p.payload);
    EXPECT_LE(payload.size(), 184u);
    std::memcpy(p.payload, payload.data(), payload.size());
    return p;
}

tsPkt no_payload(uint16_t pid, uint8_t cc)
{
    tsPkt p = raw_packet(pid, false, cc, {183, 0});
    tsphSetAFCtrl(&p, 2);
    return p;
}

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<uint8_t> slice(const std::vector<uint8_t> &v, size_t from, size_t n)
{
    return std::vector<uint8_t>(v.begin() + long(from), v.begin() + long(from + n));
}

struct Dmux {
    section_dmux *d;
    explicit Dmux(uint16_t pid, size_t size = 1024, bool cc = true)
        : d(cc ? section_dmux_ctor(pid, size) : section_dmux_nocc_ctor(pid, size))
    {
    }
    ~Dmux() { section_dmux_dtor(d); }
    std::vector<uint8_t> section()
    {
        std::vector<uint8_t> out(4096);
        int n = section_dmux_get_section(d, out.data(), out.size());
        out.resize(size_t(n < 0 ? 0 : n));
        return out;
    }
};

TEST(MpegtsDmux, SectionSpanningPacketsCompletesUpTo1024Bytes)
{
    for (size_t total : {size_t(1024), size_t(1025)}) {
        Dmux dm(0x20);
        auto s = make_section(0x80, total);
        uint8_t cc = 5;
        auto pkts = tsfix::packets_of(as_section(s), 0x20, &cc);
        ASSERT_EQ(pkts.size(), 6u);
        int last = 0;
        for (size_t i = 0; i < pkts.size(); ++i) {
            last = section_dmux_process(dm.d, &pkts[i]);
            if (i + 1 < pkts.size() && total == 1024) {
                EXPECT_EQ(last, 0) << i;
                EXPECT_EQ(section_dmux_get_status(dm.d), DMUXSTAT_PARTIAL);
            }
        }
        if (total == 1024) {
            EXPECT_EQ(last, 1);
            EXPECT_EQ(section_dmux_get_status(dm.d), DMUXSTAT_COMPLETE);
            EXPECT_EQ(section_dmux_get_table_id(dm.d), 0x80);
            EXPECT_EQ(section_dmux_get_section_length(dm.d), 1021);
            EXPECT_EQ(dm.section(), s);
        } else {
            // Refused at its first packet; the rest starts nothing.
            Dmux again(0x20);
            EXPECT_EQ(section_dmux_process(again.d, &pkts[0]), -1);
            EXPECT_EQ(section_dmux_get_status(again.d), DMUXSTAT_OVERFLOW);
            EXPECT_EQ(section_dmux_process(again.d, &pkts[1]), 0);
            EXPECT_EQ(section_dmux_get_status(again.d), DMUXSTAT_NOTSTARTED);
            EXPECT_EQ(last, 0);
            EXPECT_EQ(section_dmux_get_section(dm.d, nullptr, 0), -1);
        }
    }
}

TEST(MpegtsDmux, EverySectionOfAPacketIsDeliveredOnePerCall)
{
    auto a = make_section(0x42, 20, 1), b = make_section(0x42, 30, 2), c = make_section(0x46, 15, 3);
    Dmux dm(0x11);
    tsPkt p = raw_packet(0x11, true, 0, cat({{0}, a, b, c}));
    EXPECT_EQ(section_dmux_process(dm.d, &p), 1);
    EXPECT_EQ(dm.section(), a);
    // The next packets of the PID (here without payload) hand out the rest.
    tsPkt idle = no_payload(0x11, 0);
    EXPECT_EQ(section_dmux_process(dm.d, &idle), 1);
    EXPECT_EQ(dm.section(), b);
    EXPECT_EQ(section_dmux_process(dm.d, &idle), 1);
    EXPECT_EQ(section_dmux_get_table_id(dm.d), 0x46);
    EXPECT_EQ(dm.section(), c);
    EXPECT_EQ(section_dmux_process(dm.d, &idle), 0);
    EXPECT_EQ(section_dmux_get_status(dm.d), DMUXSTAT_NOPAYLOAD);
    EXPECT_EQ(section_dmux_get_section(dm.d, nullptr, 0), -1);
}

TEST(MpegtsDmux, TailBeforePointerAndLengthSplitAcrossPackets)
{
    // Packet 1: section X (200 bytes) starts. Packet 2: pointer_field 17 for
    // X's last 17 bytes, then Y (170 bytes) of which only table_id and one
    // length byte fit. Packet 3 continues Y.
    auto x = make_section(0x02, 200, 4), y = make_section(0x02, 170, 5);
    Dmux dm(0x100);
    tsPkt p1 = raw_packet(0x100, true, 0, cat({{0}, slice(x, 0, 183)}));
    std::vector<uint8_t> body2 = cat({{17}, slice(x, 183, 17)});
    // Fill between X and Y with a section Z that ends two bytes before the end.
    auto z = make_section(0x02, 184 - body2.size() - 2, 6);
    tsPkt p2 = raw_packet(0x100, true, 1, cat({body2, z, slice(y, 0, 2)}));
    tsPkt p3 = raw_packet(0x100, false, 2, slice(y, 2, 168));
    EXPECT_EQ(section_dmux_process(dm.d, &p1), 0);
    EXPECT_EQ(section_dmux_process(dm.d, &p2), 1);
    EXPECT_EQ(dm.section(), x);
    EXPECT_EQ(section_dmux_process(dm.d, &p3), 1);
    EXPECT_EQ(dm.section(), z);
    tsPkt idle = no_payload(0x100, 2);
    EXPECT_EQ(section_dmux_process(dm.d, &idle), 1);
    EXPECT_EQ(dm.section(), y);
    EXPECT_EQ(tsTestCRC(as_section(y)), 1);
}

TEST(MpegtsDmux, ContinuityFollowsTheStandard)
{
    auto s = make_section(0x80, 600);
    uint8_t cc = 0;
    auto pkts = tsfix::packets_of(as_section(s), 0x30, &cc); // 4 packets
    ASSERT_EQ(pkts.size(), 4u);
    struct Case {
        const char *name;
        std::vector<int> order;   // packet indexes fed (-1: a packet without payload)
        std::vector<uint8_t> ccs; // their counters
        std::vector<int> results;
        bool nocc = false;
    };
    const Case cases[] = {
        {"gap drops the section", {0, 1, 2, 3}, {3, 4, 6, 7}, {0, 0, -1, 0}},
        {"one duplicate is ignored", {0, 1, 1, 2, 3}, {3, 4, 4, 5, 6}, {0, 0, 0, 0, 1}},
        {"two duplicates are an error", {0, 1, 1, 1, 2}, {3, 4, 4, 4, 5}, {0, 0, 0, -1, 0}},
        {"no payload does not advance", {0, -1, 1, 2, -1, 3}, {3, 3, 4, 5, 5, 6}, {0, 0, 0, 0, 0, 1}},
        {"without the check a gap passes", {0, 1, 2, 3}, {3, 4, 6, 7}, {0, 0, 0, 1}, true},
    };
    for (const Case &c : cases) {
        Dmux dm(0x30, 1024, !c.nocc);
        for (size_t i = 0; i < c.order.size(); ++i) {
            tsPkt p = c.order[i] < 0 ? no_payload(0x30, 0) : pkts[size_t(c.order[i])];
            tsphSetContinuityCounter(&p, c.ccs[i]);
            EXPECT_EQ(section_dmux_process(dm.d, &p), c.results[i]) << c.name << " packet " << i;
            if (c.results[i] == -1) {
                EXPECT_EQ(section_dmux_get_status(dm.d), DMUXSTAT_CCERROR) << c.name;
            }
        }
        if (c.results.back() == 1) {
            EXPECT_EQ(dm.section(), s) << c.name;
        }
    }
}

TEST(MpegtsDmux, RefusalsAndReset)
{
    auto s = make_section(0x02, 40);
    Dmux dm(0x100);
    uint8_t cc = 0;
    auto p = tsfix::packets_of(as_section(s), 0x100, &cc)[0];
    tsPkt foreign = p;
    tsphSetPid(&foreign, 0x101);
    EXPECT_EQ(section_dmux_process(dm.d, &foreign), -1);
    EXPECT_EQ(section_dmux_get_status(dm.d), DMUXSTAT_PIDERROR);
    tsPkt bad_ptr = p;
    bad_ptr.payload[0] = 200;
    EXPECT_EQ(section_dmux_process(dm.d, &bad_ptr), -1);
    tsPkt bad_af = p;
    tsphSetAFCtrl(&bad_af, 3);
    bad_af.payload[0] = 190;
    tsphSetContinuityCounter(&bad_af, 1);
    EXPECT_EQ(section_dmux_process(dm.d, &bad_af), -1);
    tsPkt no_room = p; // PUSI, but the adaptation field leaves no pointer_field
    tsphSetAFCtrl(&no_room, 3);
    no_room.payload[0] = 183;
    tsphSetContinuityCounter(&no_room, 2);
    EXPECT_EQ(section_dmux_process(dm.d, &no_room), -1);

    section_dmux_reset(dm.d);
    EXPECT_EQ(section_dmux_get_status(dm.d), DMUXSTAT_READY);
    EXPECT_EQ(section_dmux_process(dm.d, &p), 1);
    uint8_t small[10];
    EXPECT_EQ(section_dmux_get_section(dm.d, small, sizeof small), -1); // never truncated
    std::vector<uint8_t> fit(40);
    EXPECT_EQ(section_dmux_get_section(dm.d, fit.data(), fit.size()), 40);
    EXPECT_EQ(fit, s);
    EXPECT_EQ(section_dmux_ctor(0, 2), nullptr);
}

// A pointer_field may point at the payload's last byte, never past it; the
// refused packet sits at the very end of its allocation so that any read
// beyond it is caught.
TEST(MpegtsDmux, PointerFieldAtThePayloadEndIsRefusedWithoutReadingPastThePacket)
{
    struct Case {
        uint8_t af_length; // 0: no adaptation field
    };
    for (Case c : {Case{0}, Case{10}, Case{181}}) {
        SCOPED_TRACE(int(c.af_length));
        const size_t start = c.af_length ? 1u + c.af_length : 0; // pointer_field's offset
        const size_t n = 184 - start;                             // payload from the pointer_field on
        // X fills the first packet after its pointer_field and exactly the
        // second packet's n - 1 bytes before the pointer target.
        auto x = make_section(0x02, 183 + (n - 1), 7);
        auto second = [&](uint8_t pointer) {
            tsPkt p = raw_packet(0x100, true, 1, {0});
            if (c.af_length) {
                tsphSetAFCtrl(&p, 3);
                p.payload[0] = c.af_length;
                std::memset(p.payload + 1, 0, c.af_length); // no flags
            }
            p.payload[start] = pointer;
            std::memcpy(p.payload + start + 1, x.data() + 183, n - 1);
            return p;
        };
        tsPkt first = raw_packet(0x100, true, 0, cat({{0}, slice(x, 0, 183)}));

        Dmux ok(0x100);
        EXPECT_EQ(section_dmux_process(ok.d, &first), 0);
        tsPkt last = second(uint8_t(n - 1));
        EXPECT_EQ(section_dmux_process(ok.d, &last), 1);
        EXPECT_EQ(ok.section(), x);

        Dmux refused(0x100);
        EXPECT_EQ(section_dmux_process(refused.d, &first), 0);
        std::vector<uint8_t> heap(sizeof(tsPkt));
        tsPkt bad = second(uint8_t(n));
        std::memcpy(heap.data(), &bad, sizeof bad);
        EXPECT_EQ(section_dmux_process(refused.d, reinterpret_cast<tsPkt *>(heap.data())), -1);
        EXPECT_EQ(section_dmux_get_section(refused.d, nullptr, 0), -1);
    }
}

TEST(MpegtsDmux, FullBacklogIsCountedAndReported)
{
    // Packets each carrying many small sections while the caller fetches
    // one per call: the backlog fills, the excess is counted, the rest is
    // still delivered, and the loss is reported once the backlog drained.
    Dmux dm(0x40, 64);
    auto s = make_section(0x80, 12);
    std::vector<uint8_t> body = {0};
    while (body.size() + s.size() <= 184)
        body.insert(body.end(), s.begin(), s.end());
    const int per_packet = int((body.size() - 1) / s.size());
    int delivered = 0, reports = 0;
    auto take = [&](int r) {
        if (r == 1) {
            ++delivered;
            EXPECT_EQ(dm.section(), s);
        }
        reports += r == -1;
    };
    for (int i = 0; i < 40; ++i) {
        tsPkt p = raw_packet(0x40, true, uint8_t(i & 15), body);
        take(section_dmux_process(dm.d, &p));
    }
    EXPECT_EQ(reports, 0);
    tsPkt idle = no_payload(0x40, 7);
    int r;
    while ((r = section_dmux_process(dm.d, &idle)) == 1)
        take(r);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(section_dmux_get_status(dm.d), DMUXSTAT_OVERFLOW);
    EXPECT_EQ(section_dmux_process(dm.d, &idle), 0);
    EXPECT_GT(section_dmux_get_dropped(dm.d), 0);
    EXPECT_EQ(delivered + section_dmux_get_dropped(dm.d), 40 * per_packet);
}

using FfmpegFile = tsfix::FfmpegTwoPrograms;

TEST_F(FfmpegFile, EverySectionIsReassembledWithAValidCrc)
{
    // The PAT names the PMT PIDs; PAT, PMT and SDT sections start once per
    // PUSI packet in FFmpeg's output.
    std::map<uint16_t, std::unique_ptr<Dmux>> dmux;
    std::map<uint16_t, int> starts, complete, bad_crc;
    dmux[0] = std::make_unique<Dmux>(0);
    dmux[0x11] = std::make_unique<Dmux>(0x11);
    std::set<int> table_ids;
    for (size_t i = 0; i < count(); ++i) {
        const tsPkt *p = packet(i);
        uint16_t pid = tsphGetPid(p);
        auto it = dmux.find(pid);
        if (it == dmux.end())
            continue;
        starts[pid] += tsphGetPLStartIndicator(p);
        int r = section_dmux_process(it->second->d, p);
        ASSERT_GE(r, 0) << "packet " << i;
        if (r != 1)
            continue;
        std::vector<uint8_t> s = it->second->section();
        ASSERT_FALSE(s.empty());
        complete[pid]++;
        table_ids.insert(s[0]);
        if (!tsTestCRC(as_section(s)))
            bad_crc[pid]++;
        if (pid == 0) {
            const auto *pat = reinterpret_cast<const TPat *>(s.data());
            for (int k = 0; k < tsGetPatNumPrograms(pat); ++k) {
                uint16_t pmt = tsGetPatProgramPid(pat, k);
                if (!dmux.count(pmt))
                    dmux[pmt] = std::make_unique<Dmux>(pmt);
            }
        }
    }
    EXPECT_EQ(dmux.size(), 4u); // PAT, SDT and two PMTs
    EXPECT_EQ(table_ids, (std::set<int>{0x00, 0x02, 0x42}));
    for (const auto &[pid, n] : starts) {
        EXPECT_GT(n, 1) << pid;
        EXPECT_EQ(complete[pid], n) << "pid " << pid;
        EXPECT_EQ(bad_crc[pid], 0) << "pid " << pid;
    }
}

TEST(MpegtsCarousel, TimingCountersAndCycles)
{
    section_reader *r = section_reader_ctor_multi(1024, 100, 0x1FC0, 1);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(section_reader_has_section(r), 0);
    EXPECT_EQ(section_reader_read(r, 1000), nullptr);
    auto s = make_section(0x80, 400); // three packets
    ASSERT_EQ(section_reader_set_section(r, as_section(s)), 0);
    EXPECT_EQ(section_reader_get_pkts_used(r), 3);
    EXPECT_EQ(section_reader_is_starting(r), 1);
    std::vector<int> at;
    std::vector<int> ccs;
    Dmux dm(0x1FC0);
    int sections = 0;
    for (int pos = 0; pos <= 300; ++pos) {
        tsPkt *p = section_reader_read(r, pos);
        if (!p)
            continue;
        at.push_back(pos);
        ccs.push_back(tsphGetContinuityCounter(p));
        if (section_dmux_process(dm.d, p) == 1) {
            ++sections;
            EXPECT_EQ(dm.section(), s);
        }
    }
    EXPECT_EQ(at, (std::vector<int>{100, 101, 102, 200, 201, 202, 300}));
    EXPECT_EQ(ccs, (std::vector<int>{0, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(sections, 2);
    EXPECT_EQ(section_reader_get_completion_count(r), 2);
    EXPECT_EQ(section_reader_is_starting(r), 0);

    // Room for one 1024-byte section: six packets; a larger one is refused.
    auto big = make_section(0x80, 1024), bigger = make_section(0x80, 1025);
    EXPECT_EQ(section_reader_set_section(r, as_section(big)), 0);
    EXPECT_EQ(section_reader_get_pkts_used(r), 6);
    EXPECT_EQ(section_reader_set_section(r, as_section(bigger)), -1);
    EXPECT_EQ(section_reader_get_pkts_used(r), 6);
    EXPECT_EQ(section_reader_append_section(r, as_section(s)), -1); // made for one section
    EXPECT_EQ(section_reader_set_section(r, nullptr), -1);

    // Spacing between the packets of a cycle; positions wrap around.
    section_reader_set_spacing(r, 10);
    EXPECT_EQ(section_reader_get_spacing(r), 10);
    ASSERT_EQ(section_reader_set_section(r, as_section(s)), 0);
    const int32_t base = INT32_MAX - 5;
    at.clear();
    for (int64_t k = 0; k <= 400; ++k) {
        int32_t pos = int32_t(uint32_t(base) + uint32_t(k));
        if (section_reader_read(r, pos))
            at.push_back(int(k));
    }
    // The last start was at 300; positions keep growing across the wrap.
    EXPECT_FALSE(at.empty());
    for (size_t i = 1; i < at.size(); ++i)
        EXPECT_GE(at[i] - at[i - 1], 10);

    section_reader_set_pid(r, 0x1234);
    EXPECT_EQ(section_reader_get_pid(r), 0x1234);
    tsPkt *next = nullptr;
    for (int32_t pos = 0; !next; pos += 1000)
        next = section_reader_read(r, pos);
    EXPECT_EQ(tsphGetPid(next), 0x1234);
    section_reader_clear(r);
    EXPECT_EQ(section_reader_has_section(r), 0);
    EXPECT_EQ(section_reader_get_completion_count(r), 0);
    section_reader_dtor(r);
}

TEST(MpegtsCarousel, SeveralSections)
{
    section_reader *r = section_reader_ctor_multi(400, 0, 0x50, 2);
    ASSERT_NE(r, nullptr);
    auto a = make_section(0x80, 200, 1), b = make_section(0x81, 300, 2), c = make_section(0x82, 20, 3);
    ASSERT_EQ(section_reader_set_section(r, as_section(a)), 0);
    ASSERT_EQ(section_reader_append_section(r, as_section(b)), 0);
    EXPECT_EQ(section_reader_append_section(r, as_section(c)), -1); // full
    EXPECT_EQ(section_reader_get_pkts_used(r), 4);
    Dmux dm(0x50);
    std::vector<std::vector<uint8_t>> got;
    for (int pos = 0; pos < 8; ++pos) {
        tsPkt *p = section_reader_read(r, pos);
        ASSERT_NE(p, nullptr);
        if (section_dmux_process(dm.d, p) == 1)
            got.push_back(dm.section());
    }
    EXPECT_EQ(got, (std::vector<std::vector<uint8_t>>{a, b, a, b}));
    EXPECT_EQ(section_reader_get_completion_count(r), 2);
    section_reader_dtor(r);
    EXPECT_EQ(section_reader_ctor_multi(0, 1, 1, 1), nullptr);
}

} // namespace
