// Stream analyzer: sync, continuity per ISO/IEC 13818-1 and missing PIDs,
// on hand-made packets and on an FFmpeg stream with injected errors.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "ts_fixtures.h"

namespace {

void put(std::vector<uint8_t> &buf, uint16_t pid, uint8_t cc, bool payload = true)
{
    tsPkt p;
    generateDefaultTsPacket(&p, pid);
    tsphSetContinuityCounter(&p, cc);
    if (!payload) {
        tsphSetAFCtrl(&p, 2);
        p.payload[0] = 183;
    }
    const auto *b = reinterpret_cast<const uint8_t *>(&p);
    buf.insert(buf.end(), b, b + 188);
}

struct Analyzer {
    analyzer *a = analyzer_ctor();
    ~Analyzer() { analyzer_dtor(a); }
    int feed(const std::vector<uint8_t> &buf) { return analyzer_process(a, buf.data(), int(buf.size())); }
};

TEST(MpegtsAnalyzer, SyncErrorDecidesTheResult)
{
    Analyzer an;
    std::vector<uint8_t> buf;
    put(buf, 0x100, 0);
    put(buf, 0x100, 1);
    buf[188] = 0x46;
    EXPECT_EQ(an.feed(buf), -1);
    EXPECT_EQ(analyzer_get_sync_byte_errors(an.a), 1);
    EXPECT_EQ(analyzer_get_pkt_count(an.a), 2);
    EXPECT_STREQ(analyzer_strerror(an.a, "in1"), "in1: Sync byte error");
    // A new PID last in the buffer turns the answer to 1.
    buf.clear();
    put(buf, 0x100, 1);
    buf[0] = 0;
    put(buf, 0x200, 0);
    EXPECT_EQ(an.feed(buf), 1);
    EXPECT_STREQ(analyzer_strerror(an.a, "x"), "x: Adding pid  512 with cc  0");
    EXPECT_EQ(analyzer_get_sync_byte_errors(an.a), 2);
    EXPECT_EQ(analyzer_reset_errors(an.a), 0);
    EXPECT_EQ(analyzer_get_sync_byte_errors(an.a), 0);
    EXPECT_STREQ(analyzer_strerror(an.a, "x"), "x: ");
}

TEST(MpegtsAnalyzer, ContinuityFollowsTheStandard)
{
    struct Step {
        uint8_t cc;
        bool payload;
    };
    struct Case {
        const char *name;
        std::vector<Step> steps;
        int errors;
    };
    const Case cases[] = {
        {"in order with wrap", {{14, true}, {15, true}, {0, true}, {1, true}}, 0},
        {"gap", {{3, true}, {4, true}, {6, true}, {7, true}}, 1},
        {"no payload repeats the counter", {{3, true}, {3, false}, {4, true}, {4, false}, {5, true}}, 0},
        {"no payload may not advance it", {{3, true}, {4, false}, {4, true}}, 1},
        {"one duplicate allowed", {{3, true}, {3, true}, {4, true}}, 0},
        {"two duplicates are an error", {{3, true}, {3, true}, {3, true}, {4, true}}, 1},
        {"duplicates again later", {{3, true}, {3, true}, {4, true}, {4, true}, {5, true}}, 0},
    };
    for (const Case &c : cases) {
        Analyzer an;
        std::vector<uint8_t> buf;
        for (const Step &s : c.steps)
            put(buf, 0x100, s.cc, s.payload);
        an.feed(buf);
        EXPECT_EQ(analyzer_get_cc_errors(an.a), c.errors) << c.name;
    }
    // Null packets and PID 0x12 are not tracked.
    Analyzer an;
    std::vector<uint8_t> buf;
    for (uint8_t cc : {0, 5, 9}) {
        put(buf, 0x1FFF, cc);
        put(buf, 0x12, cc);
    }
    EXPECT_EQ(an.feed(buf), 0);
    EXPECT_EQ(analyzer_get_cc_errors(an.a), 0);
    buf.clear();
    put(buf, 0x30, 1);
    put(buf, 0x30, 9);
    EXPECT_EQ(an.feed(buf), -1);
    EXPECT_STREQ(analyzer_strerror(an.a, "p"), "p: Expected cc  2 but found  9 for pid   48");
}

TEST(MpegtsAnalyzer, MissingReferencedPidOncePerInterval)
{
    Analyzer an;
    EXPECT_EQ(analyzer_add_referenced_pid(an.a, 0x50), 0);
    EXPECT_EQ(analyzer_add_referenced_pid(an.a, 0x60), 0);
    EXPECT_EQ(analyzer_set_pid_error_distance(an.a, 100), 0);
    int next_cc = 0;
    auto thousand = [&] {
        std::vector<uint8_t> buf;
        for (int i = 0; i < 1000; ++i)
            put(buf, 0x60, uint8_t(next_cc++ & 15));
        return buf;
    };
    EXPECT_EQ(an.feed(thousand()), -1); // the check at packet 1000 is the last event
    EXPECT_EQ(analyzer_get_pid_errors(an.a), 10);
    EXPECT_STREQ(analyzer_strerror(an.a, "r"), "r: PID   80 has not been received");
    EXPECT_EQ(analyzer_drop_referenced_pid(an.a, 0x50), 0);
    EXPECT_EQ(analyzer_drop_referenced_pid(an.a, 0x51), -1);
    EXPECT_EQ(an.feed(thousand()), 0);
    EXPECT_EQ(analyzer_get_pid_errors(an.a), 10);
    analyzer_set_pid_error_distance(an.a, 0);
    analyzer_add_referenced_pid(an.a, 0x50);
    EXPECT_EQ(an.feed(thousand()), 0);
    EXPECT_EQ(analyzer_get_pid_errors(an.a), 10);
    EXPECT_EQ(analyzer_get_cc_errors(an.a), 0);
}

TEST(MpegtsAnalyzer, FullPidPoolRefusesAndCounts)
{
    Analyzer an;
    std::vector<uint8_t> buf;
    const int extra = 76;
    for (int i = 0; i < ANALYZER_MAX_PIDS + extra; ++i)
        put(buf, uint16_t(0x20 + i), 0);
    EXPECT_EQ(an.feed(buf), -1);
    EXPECT_EQ(analyzer_get_refused_pids(an.a), extra);
    EXPECT_EQ(analyzer_add_referenced_pid(an.a, 0x1F00), -1);
    EXPECT_EQ(an.feed(buf), 0); // known PIDs in order, refused ones ignored
    EXPECT_EQ(analyzer_get_refused_pids(an.a), extra);
    EXPECT_EQ(analyzer_get_cc_errors(an.a), 0);
}

TEST(MpegtsAnalyzer, BadArguments)
{
    Analyzer an;
    uint8_t b[188] = {};
    EXPECT_EQ(analyzer_process(nullptr, b, 188), -1);
    EXPECT_EQ(analyzer_process(an.a, nullptr, 188), -1);
    EXPECT_STREQ(analyzer_strerror(an.a, "a"), "a: Invalid packet buffer");
    EXPECT_EQ(analyzer_process(an.a, b, 100), -1);
    EXPECT_STREQ(analyzer_strerror(an.a, "a"), "a: Buflen not a multiple of 188! buflen: 100");
    EXPECT_EQ(analyzer_process(an.a, b, 0), 0);
    EXPECT_EQ(analyzer_get_pkt_count(an.a), 0);
    EXPECT_EQ(analyzer_get_cc_errors(nullptr), -1);
    EXPECT_EQ(analyzer_get_pkt_count(nullptr), -1);
    EXPECT_EQ(analyzer_strerror(nullptr, "a"), nullptr);
    EXPECT_EQ(test_analyzer_set_cc_errors(an.a, 5), 0);
    EXPECT_EQ(test_analyzer_set_sync_byte_errors(an.a, 6), 0);
    EXPECT_EQ(analyzer_get_cc_errors(an.a), 5);
    EXPECT_EQ(analyzer_get_sync_byte_errors(an.a), 6);
}

using FfmpegStream = tsfix::FfmpegTwoPrograms;

TEST_F(FfmpegStream, CountsEqualTheInjectedErrors)
{
    // PIDs of FFmpeg's layout: video and audio of two programs.
    const std::vector<uint16_t> referenced = {0x100, 0x101, 0x102, 0x103};
    const uint16_t dropped_pid = 0x100, vanishing_pid = 0x103;
    const int64_t distance = 500;

    std::vector<uint8_t> out;
    int seen_dropped_pid = 0, drops = 0, syncs = 0, nulls = 0;
    bool last_was_dropped = false;
    const size_t half = count() / 2;
    for (size_t i = 0; i < count(); ++i) {
        const tsPkt *p = packet(i);
        const uint16_t pid = tsphGetPid(p);
        if (pid == vanishing_pid && i > half)
            continue;
        // Every 40th payload packet of the video PID goes missing (never two
        // in a row on the PID): one continuity error each.
        if (pid == dropped_pid && (tsphGetAFCtrl(p) & 1) && ++seen_dropped_pid % 40 == 20 && !last_was_dropped) {
            ++drops;
            last_was_dropped = true;
            continue;
        }
        if (pid == dropped_pid)
            last_was_dropped = false;
        const auto *b = reinterpret_cast<const uint8_t *>(p);
        out.insert(out.end(), b, b + 188);
        if (pid == TS_PID_NULL && ++nulls % 25 == 0) { // a broken sync byte on a null packet
            out[out.size() - 188] = 0x00;
            ++syncs;
        }
    }
    ASSERT_GT(drops, 3);
    ASSERT_GT(syncs, 3);

    // The expected missing-PID reports: every window of `distance` packets
    // in which a referenced PID has no packet.
    const size_t n = out.size() / 188;
    int missing = 0;
    for (uint16_t ref : referenced) {
        for (size_t end = size_t(distance); end <= n; end += size_t(distance)) {
            bool present = false;
            for (size_t k = end - size_t(distance); k < end && !present; ++k)
                present = out[k * 188] == 0x47 && tsphGetPid(out.data() + k * 188) == ref;
            missing += !present;
        }
    }
    ASSERT_GT(missing, 0);

    analyzer *a = analyzer_ctor();
    for (uint16_t ref : referenced)
        analyzer_add_referenced_pid(a, ref);
    analyzer_set_pid_error_distance(a, distance);
    for (size_t off = 0; off < out.size(); off += 7 * 188) { // datagrams of seven packets
        size_t len = std::min(out.size() - off, size_t(7 * 188));
        analyzer_process(a, out.data() + off, int(len));
    }
    EXPECT_EQ(analyzer_get_pkt_count(a), int64_t(n));
    EXPECT_EQ(analyzer_get_sync_byte_errors(a), syncs);
    EXPECT_EQ(analyzer_get_cc_errors(a), drops);
    EXPECT_EQ(analyzer_get_pid_errors(a), missing);
    analyzer_dtor(a);
}

} // namespace
