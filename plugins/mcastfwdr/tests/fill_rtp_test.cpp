// The fill engine and RTP framing.
#include "router/fill.h"
#include "router/rtp.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace {

TEST(McfFill, RatePairsSetTheConstants)
{
    struct Case {
        int in, out;
        double whole, fract, fill;
        int every;
    } cases[] = {
        {0, 10000000, 1.0, 0.0, 10.0, 1},            // no input yet
        {10000000, 10000000, 0.0, 0.0, 0.0, 1},      // equal
        {10000000, 25000000, 1.0, 0.5, 15.0, 1},     // faster output
        {20000000, 15000000, 0.0, -0.25, -5.0, 0},   // slower output
    };
    for (const auto &c : cases) {
        mcastfwdr_fill *f = mcastfwdr_fill_ctor(3, c.in, c.out);
        ASSERT_NE(f, nullptr);
        EXPECT_DOUBLE_EQ(mcastfwdr_fill_test_get_PKTS_WHOLE(f), c.whole) << c.in << "->" << c.out;
        EXPECT_DOUBLE_EQ(mcastfwdr_fill_test_get_PKTS_FRACT(f), c.fract) << c.in << "->" << c.out;
        EXPECT_DOUBLE_EQ(mcastfwdr_fill_get_mbps_fill(f), c.fill);
        EXPECT_EQ(f->CAN_SEND_EVERY_PACKET, c.every);
        mcastfwdr_fill_dtor(f);
    }
    const uint8_t *null_pkt = mcastfwdr_fill_get_packet();
    const uint8_t head[] = {0x47, 0x1F, 0xFF, 0x10};
    EXPECT_EQ(std::memcmp(null_pkt, head, 4), 0);
    for (int i = 4; i < 188; ++i)
        ASSERT_EQ(null_pkt[i], 0xFF) << i;
}

// Sends n input packets (every `null_every`-th a null packet) through the
// engine as the send path does; counts sent input packets, dropped ones
// (by kind) and added null packets.
struct run_result {
    long sent = 0, dropped_null = 0, dropped_other = 0, added = 0;
};
run_result run(int in, int out, long n, int null_every)
{
    run_result r;
    mcastfwdr_fill *f = mcastfwdr_fill_ctor(0, in, out);
    for (long i = 0; i < n; ++i) {
        const int pid = null_every && i % null_every == 0 ? 8191 : 256;
        if (!mcastfwdr_fill_can_send_packet(f, pid)) {
            (pid == 8191 ? r.dropped_null : r.dropped_other)++;
            continue;
        }
        ++r.sent;
        if (mcastfwdr_fill_get_mbps_fill(f) > 0)
            r.added += mcastfwdr_fill_get_num_packets(f);
    }
    mcastfwdr_fill_dtor(f);
    return r;
}

TEST(McfFill, OutputReachesItsRateAndDropsOnlyNullPackets)
{
    const long n = 100000;
    struct Case {
        int in, out;
    } faster[] = {{10000000, 25000000}, {3000000, 10000000}, {7000000, 7000000}, {1000000, 38800000}};
    for (const auto &c : faster) {
        const run_result r = run(c.in, c.out, n, 0);
        EXPECT_EQ(r.sent, n);
        EXPECT_NEAR(double(r.sent + r.added), double(c.out) / c.in * n, 1.0) << c.in << "->" << c.out;
    }
    struct Slow {
        int in, out, null_every;
    } slower[] = {{20000000, 15000000, 2}, {20000000, 19000000, 3}, {40000000, 10000000, 1}};
    for (const auto &c : slower) {
        const run_result r = run(c.in, c.out, n, c.null_every);
        EXPECT_EQ(r.dropped_other, 0);
        EXPECT_EQ(r.added, 0);
        EXPECT_NEAR(double(r.dropped_null), double(c.in - c.out) / c.in * n, 1.0) << c.in << "->" << c.out;
    }
}

// A datagram: RTP header (optionally with CSRCs and an extension) and
// seven packets whose first byte is 0x47 and second the packet's index.
std::vector<uint8_t> datagram(uint16_t seq, uint8_t pt = 33, int csrc = 0, int ext_words = -1)
{
    std::vector<uint8_t> d = {uint8_t(0x80 | csrc | (ext_words >= 0 ? 0x10 : 0)), pt, uint8_t(seq >> 8), uint8_t(seq),
                              0, 0, 0, 1, 0, 0, 0, 2};
    d.insert(d.end(), size_t(4 * csrc), 0xCC);
    if (ext_words >= 0) {
        d.insert(d.end(), {0xBE, 0xDE, 0, uint8_t(ext_words)});
        d.insert(d.end(), size_t(4 * ext_words), 0xEE);
    }
    for (int i = 0; i < 7; ++i) {
        std::vector<uint8_t> p(188, 0xAB);
        p[0] = 0x47;
        p[1] = uint8_t(i);
        d.insert(d.end(), p.begin(), p.end());
    }
    return d;
}

TEST(McfRtp, SkipFindsTheTransportStreamAfterEveryHeaderKind)
{
    struct Case {
        std::vector<uint8_t> d;
        int is_rtp;
        int offset;
    } cases[] = {
        {datagram(1), 1, 12},
        {datagram(2, 33, 2), 1, 20},     // two CSRCs
        {datagram(3, 33, 0, 1), 1, 20},  // an extension of one word
        {datagram(4, 33, 1, 0), 1, 20},  // a CSRC and an empty extension
        {datagram(5, 96), 0, 0},         // another payload type: not ours
    };
    for (auto &c : cases) {
        mcastfwdr_rtp_hdr state{};
        int new_len = 0, is_rtp = -1;
        uint8_t *ts = rtp_hdr_skip_state(&state, c.d.data(), int(c.d.size()), &new_len, &is_rtp);
        EXPECT_EQ(is_rtp, c.is_rtp);
        EXPECT_EQ(ts - c.d.data(), c.offset);
        EXPECT_EQ(new_len, int(c.d.size()) - c.offset);
        if (c.is_rtp) {
            EXPECT_EQ(new_len, 7 * 188);
            EXPECT_EQ(ts[0], 0x47);
            EXPECT_EQ(ts[1], 0);
        }
    }
    // Shorter than its own header: not RTP.
    std::vector<uint8_t> cut = datagram(9, 33, 3);
    int new_len = 0, is_rtp = -1;
    EXPECT_EQ(rtp_hdr_skip_state(nullptr, cut.data(), 20, &new_len, &is_rtp), cut.data());
    EXPECT_EQ(is_rtp, 0);
    EXPECT_EQ(new_len, 20);
    EXPECT_EQ(rtp_hdr_length(cut.data(), 11), -1);
}

TEST(McfRtp, SequenceChecksWrapAndResynchronise)
{
    kdtest::LogCapture log;
    mcastfwdr_rtp_hdr *h = rtp_hdr_ctor();
    struct Step {
        uint16_t seq;
        int rc;
    } steps[] = {{65534, 0}, {65535, 0}, {0, 0}, {1, 0}, {5, -1}, {7, -1}, {8, 0}, {8, -1}};
    for (const auto &s : steps) {
        std::vector<uint8_t> d = datagram(s.seq);
        EXPECT_EQ(rtp_hdr_verify_seq_num(h, d.data()), s.rc) << s.seq;
    }
    // One line a second: the first jump's; the two after it are counted.
    EXPECT_EQ(log.count("unexpected rtp sequence number. act: 5, exp: 2 "), 1);
    EXPECT_EQ(log.count("unexpected rtp sequence number"), 1);
    h->log_ns -= 1000000000; // as a second later
    std::vector<uint8_t> d = datagram(20);
    EXPECT_EQ(rtp_hdr_verify_seq_num(h, d.data()), -1);
    EXPECT_EQ(log.count("unexpected rtp sequence number. act: 20, exp: 9 "), 1);
    EXPECT_EQ(log.count("unexpected rtp sequence number"), 2);
    rtp_hdr_dtor(h);

    // 5 then 7 through skip: one warning of each kind, 8 is fine again.
    mcastfwdr_rtp_hdr state{};
    log.clear();
    for (uint16_t seq : {5, 7, 8}) {
        std::vector<uint8_t> d = datagram(seq);
        int n = 0, is_rtp = 0;
        rtp_hdr_skip_state(&state, d.data(), int(d.size()), &n, &is_rtp);
    }
    EXPECT_EQ(log.count("Detected bad rtp seq num!"), 1);
    EXPECT_EQ(log.count("unexpected rtp sequence number"), 1);
    // Another jump within the second is counted; the next one a second on
    // tells how many were left out.
    for (uint16_t seq : {20, 40}) {
        if (seq == 40)
            state.log_ns -= 1000000000;
        std::vector<uint8_t> d = datagram(seq);
        int n = 0, is_rtp = 0;
        rtp_hdr_skip_state(&state, d.data(), int(d.size()), &n, &is_rtp);
    }
    EXPECT_EQ(log.count("Detected bad rtp seq num!"), 2);
    EXPECT_EQ(log.count("Detected bad rtp seq num! (1 more since)"), 1);
    EXPECT_EQ(log.count("act: 40, exp: 21 "), 1);
}

TEST(McfRtp, OutgoingHeaderAndFieldReaders)
{
    uint8_t buf[12 + 188];
    std::memset(buf, 0x55, sizeof buf);
    rtp_hdr_set_initial(buf);
    rtp_hdr_set_update(buf, 0xBEEF, 0x01020304);
    const uint8_t want[12] = {0x80, 0x21, 0xBE, 0xEF, 0x01, 0x02, 0x03, 0x04, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(buf, want, 12), 0);
    const rtp_hdr h = rtp_hdr_parse(buf);
    EXPECT_EQ(h.version, 2);
    EXPECT_EQ(h.payload_type, 33);
    EXPECT_EQ(h.sequence_number, 0xBEEF);
    EXPECT_EQ(h.timestamp, 0x01020304u);
    EXPECT_EQ(h.marker, 0);
    EXPECT_EQ(rtp_hdr_is_rtp_packet(buf), 1);
    buf[12] = 0x47;
    EXPECT_EQ(rtp_hdr_remove(buf, int(sizeof buf)), 188);
    EXPECT_EQ(buf[0], 0x47);
}

} // namespace
