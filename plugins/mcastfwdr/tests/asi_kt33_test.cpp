// ASI inputs of a KT-3300 "asi" carrier: the tag map, seven-packet
// datagrams in the packet ring, malformed frames, and the rate measured
// from the board's time stamps.
#include "asi/asi_kt33.h"
#include "mcastfwdr.h"

#include <kt3300.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <vector>

namespace {

using mcf::asi::kt33_set_row_for_test;
using mcf::asi::kt33_set_state_for_test;

// A board frame with packet `n` (PID 0x100, counter n) at `at`, stamped t.
kt3300_igr_frm frame(unsigned n, uint32_t t = 0, unsigned at = 12, uint8_t tag = 1)
{
    kt3300_igr_frm f{};
    auto *raw = reinterpret_cast<uint8_t *>(&f);
    f.offset = uint8_t(at);
    f.tag = tag;
    f.tstamp = htonl(t);
    if (at + 188 <= sizeof f) {
        uint8_t *p = raw + at;
        p[0] = 0x47;
        p[1] = 0x01;
        p[2] = 0x00;
        p[3] = uint8_t(0x10 | (n & 0x0F));
        std::memset(p + 4, int(n), 184);
    }
    return f;
}

class AsiKt33 : public ::testing::Test {
protected:
    void SetUp() override
    {
        ring_ = kd_circbuf_ctor(MCF_CIRCBUF_SIZE, MCF_CIRCBUF_MAX_WRITE);
        ASSERT_NE(ring_, nullptr);
        circbuf = ring_;
    }
    void TearDown() override
    {
        for (int i = 0; i < MCF_ASI_INPUTS; ++i)
            kt33_set_state_for_test(i, nullptr);
        kt33_set_row_for_test(true);
        circbuf = nullptr;
        kd_circbuf_dtor(ring_);
    }
    kd_circbuf *ring_ = nullptr;
};

TEST_F(AsiKt33, TagsFeedTheInputsOfTheRow)
{
    kt33_set_row_for_test(true);
    EXPECT_EQ((std::vector<int>{asi_tag_offset(1), asi_tag_offset(2), asi_tag_offset(3), asi_tag_offset(4)}),
              (std::vector<int>{0, 1, 2, 3}));
    kt33_set_row_for_test(false);
    EXPECT_EQ((std::vector<int>{asi_tag_offset(1), asi_tag_offset(2), asi_tag_offset(3), asi_tag_offset(4)}),
              (std::vector<int>{3, 2, 1, 0}));
    EXPECT_EQ(asi_tag_offset(0), -1);
    EXPECT_EQ(asi_tag_offset(5), -1);

    manager_input *mi = reinterpret_cast<manager_input *>(&mi);
    EXPECT_EQ(asi_input_set_manager(153, mi), 0);
    EXPECT_EQ(asi_input_get_manager(3), mi);
    EXPECT_EQ(asi_input_set_manager(154, mi), -1);
    EXPECT_EQ(asi_input_set_manager(150, nullptr), -1);
    EXPECT_EQ(asi_input_clear_manager(149), -1);
    EXPECT_EQ(asi_input_clear_manager(153), 0);
    EXPECT_EQ(asi_input_get_manager(3), nullptr);
    EXPECT_EQ(asi_input_get_manager(4), nullptr);
}

TEST_F(AsiKt33, SevenPacketsMakeADatagramAndTheEighthIsRefused)
{
    kt33_set_state_for_test(0, asi_input_state_ctor(false));
    int len = 0;
    for (unsigned n = 0; n < 6; ++n) {
        const kt3300_igr_frm f = frame(n);
        EXPECT_EQ(asi_input_state_append(0, &f, &len), nullptr);
        EXPECT_EQ(len, int(188 * (n + 1)));
    }
    const kt3300_igr_frm last = frame(6);
    const uint8_t *d = asi_input_state_append(0, &last, &len);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(len, 1316);
    for (unsigned n = 0; n < 7; ++n) {
        EXPECT_EQ(d[188 * n], 0x47);
        EXPECT_EQ(d[188 * n + 3] & 0x0F, int(n));
        EXPECT_EQ(d[188 * n + 187], n);
    }
    const kt3300_igr_frm eighth = frame(7);
    EXPECT_EQ(asi_input_state_append(0, &eighth, &len), nullptr);
    EXPECT_EQ(len, 1316);

    // A clear starts the next datagram in a new slot of the ring.
    EXPECT_EQ(asi_input_state_clear(0), 0);
    EXPECT_EQ(asi_input_state_append(0, &eighth, &len), nullptr);
    EXPECT_EQ(len, 188);
    EXPECT_EQ(d[0], 0x47); // the handed-on datagram stays intact

    // A packet reaching past its 256-byte frame is never copied; no state: nothing.
    const kt3300_igr_frm past = frame(8, 0, 69);
    EXPECT_EQ(asi_input_state_append(0, &past, &len), nullptr);
    EXPECT_EQ(len, 188);
    EXPECT_EQ(asi_input_state_append(1, &eighth, &len), nullptr);
    EXPECT_EQ(asi_input_state_append(4, &eighth, &len), nullptr);
}

TEST_F(AsiKt33, RateFromTheBoardsTimeStamps)
{
    kt33_set_state_for_test(0, asi_input_state_ctor(true));
    kt33_set_state_for_test(1, asi_input_state_ctor(false));
    kt33_set_state_for_test(2, asi_input_state_ctor(true));
    int len = 0;
    // 499 packets of 1504 bits over 27,000,000 ticks: 750,496 bit/s.
    auto feed = [&](int offset, unsigned first, unsigned count, uint32_t t0, uint32_t step) {
        for (unsigned i = 0; i < count; ++i) {
            const kt3300_igr_frm f = frame(first + i, t0 + i * step);
            if (asi_input_state_append(offset, &f, &len))
                asi_input_state_clear(offset);
        }
    };
    const uint32_t step = 27000000 / 499 + 1; // 54,109 ticks a packet
    feed(0, 0, 499, 0xFFF00000u, step);       // across the counter's wrap
    EXPECT_EQ(asi_input_state_get_rate(0), -1); // the ring's oldest slot is still empty
    feed(0, 499, 1, 0xFFF00000u + 499 * step, step);
    EXPECT_EQ(asi_input_state_get_rate(0), int(750496.0 / (499.0 * step) * 27000000.0));

    // A continuity error: no rate for the next 498 packets.
    feed(0, 600, 1, 0, step);
    EXPECT_EQ(asi_input_state_get_rate(0), -1);
    feed(0, 601, 497, step, step);
    EXPECT_EQ(asi_input_state_get_rate(0), -1);
    feed(0, 1098, 1, 498 * step, step);
    EXPECT_GT(asi_input_state_get_rate(0), 0);

    // Equal stamps give no rate; nor does an input without detection, or none.
    feed(2, 0, 600, 1000, 0);
    EXPECT_EQ(asi_input_state_get_rate(2), -1);
    feed(1, 0, 600, 0, step);
    EXPECT_EQ(asi_input_state_get_rate(1), -1);
    EXPECT_EQ(asi_input_state_get_rate(4), -1);
    EXPECT_EQ(asi_input_state_get_rate(3), -1);
}

} // namespace
