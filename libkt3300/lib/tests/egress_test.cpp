// Egress writer, CPU/FPGA queues and the region table, against the
// simulated board and its FPGA model.
#include "board_fixture.h"
#include "cqf.h"
#include "fpga.h"
#include "kt3300_egr.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t egress_pos(unsigned ch) { return 0x4018 + ch * 0x400; }
constexpr uint32_t fpga_pos(unsigned ch) { return egress_pos(ch) + 2; } // low half

std::vector<uint8_t> packet(uint32_t n)
{
    std::vector<uint8_t> p(188, 0xFF);
    p[0] = 0x47;
    for (int b = 0; b < 4; ++b)
        p[4 + b] = static_cast<uint8_t>(n >> (24 - 8 * b));
    return p;
}

uint32_t packet_number(const uint8_t *pkt)
{
    return uint32_t(pkt[4]) << 24 | pkt[5] << 16 | pkt[6] << 8 | pkt[7];
}

} // namespace

class EgressTest : public BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        w_ = kt3300_egr_wrtr_alloc(1, ctx_);
        ASSERT_NE(w_, nullptr);
    }
    void TearDown() override
    {
        kt3300_egr_wrtr_free(w_);
        BoardTest::TearDown();
    }
    unsigned published() const { return sim_->wr32(egress_pos(1)) >> 16; }
    kt3300_egr_wrtr *w_ = nullptr;
};

TEST_F(EgressTest, ChannelOwnsItsHalfOfTheBuffer)
{
    EXPECT_EQ(kt3300_egr_wrtr_get_length(w_), 4096);
    EXPECT_EQ(sim_->wr32(0x4410), 0xF2000000u + 0x100000u);
    EXPECT_EQ(sim_->wr32(0x4414), 4096u << 16); // cleared: stopped
    ASSERT_EQ(kt3300_egr_wrtr_start(w_), 0);
    EXPECT_EQ(sim_->wr32(0x4414), 4096u << 16 | 1);
    EXPECT_EQ(kt3300_egr_wrtr_alloc(2, ctx_), nullptr);
    EXPECT_EQ(kt3300_egr_wrtr_init(w_, 0, nullptr), -1);
}

TEST_F(EgressTest, ClearRestartsWhereTheFpgaStandsAndPublishesEvery16)
{
    sim_->set16(fpga_pos(1), 100);
    ASSERT_EQ(kt3300_egr_wrtr_clear(w_), 0);
    EXPECT_EQ(published(), 100u);
    ASSERT_EQ(kt3300_egr_wrtr_write(w_, packet(0).data()), 0);
    EXPECT_EQ(published(), 101u);
    const uint8_t *slot100 = sim_->region(0, 2) + 0x100000 + 100 * 256;
    EXPECT_EQ(slot100[0], 8);
    EXPECT_EQ(slot100[8], 0x47);
    for (uint32_t n = 1; n < 16; ++n)
        ASSERT_EQ(kt3300_egr_wrtr_write(w_, packet(n).data()), 0);
    EXPECT_EQ(published(), 101u); // the 16th publishes nothing
    ASSERT_EQ(kt3300_egr_wrtr_write(w_, packet(16).data()), 0);
    EXPECT_EQ(published(), 117u); // the 17th publishes the slot after it
    EXPECT_EQ(kt3300_egr_wrtr_get_packets(w_), 17u);
    EXPECT_EQ(kt3300_egr_wrtr_get_position(w_), 117);
    EXPECT_EQ(kt3300_egr_wrtr_get_level(w_), 17);

    kt3300_egr_frm frm = {};
    frm.offset = 12;
    frm.tag = 3;
    frm.data[4] = 0x47;
    ASSERT_EQ(kt3300_egr_wrtr_write_frame(w_, &frm), 0);
    const uint8_t *slot117 = slot100 + 17 * 256;
    EXPECT_EQ(slot117[0], 12);
    EXPECT_EQ(slot117[3], 3);
    EXPECT_EQ(slot117[12], 0x47);
}

TEST_F(EgressTest, LevelAcrossWrapAround)
{
    // Own index 5, FPGA at 4090 in a ring of 4096: 11 waiting.
    sim_->set16(fpga_pos(1), 4090);
    ASSERT_EQ(kt3300_egr_wrtr_clear(w_), 0);
    for (uint32_t n = 0; n < 11; ++n)
        ASSERT_EQ(kt3300_egr_wrtr_write(w_, packet(n).data()), 0);
    EXPECT_EQ(kt3300_egr_wrtr_get_position(w_), 5);
    EXPECT_EQ(kt3300_egr_wrtr_get_level(w_), 11);
}

// A stalled FPGA is never lapped: once the ring is full, writes fail with
// EAGAIN and count the drops; the FPGA's next slot keeps its packet.
TEST_F(EgressTest, StalledFpgaIsNeverLapped)
{
    ASSERT_EQ(kt3300_egr_wrtr_clear(w_), 0);
    for (uint32_t n = 0; n < 4095; ++n)
        ASSERT_EQ(kt3300_egr_wrtr_write(w_, packet(n).data()), 0) << n;
    errno = 0;
    EXPECT_EQ(kt3300_egr_wrtr_write(w_, packet(4095).data()), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(kt3300_egr_wrtr_write(w_, packet(4096).data()), -1);
    EXPECT_EQ(w_->dropped, 2u);
    EXPECT_EQ(packet_number(sim_->region(0, 2) + 0x100000 + 8), 0u);
    EXPECT_EQ(kt3300_egr_wrtr_get_level(w_), 4095);
    // The FPGA takes 3: exactly 3 more fit.
    sim_->set16(fpga_pos(1), 3);
    for (uint32_t n = 0; n < 3; ++n)
        EXPECT_EQ(kt3300_egr_wrtr_write(w_, packet(5000 + n).data()), 0);
    EXPECT_EQ(kt3300_egr_wrtr_write(w_, packet(6000).data()), -1);
    EXPECT_EQ(packet_number(sim_->region(0, 2) + 0x100000 + 3 * 256 + 8), 3u);
}

// 100,001 packets through the model's consumer: none lost, none reordered,
// and the level never exceeds what was written and not yet consumed.
TEST_F(EgressTest, EveryPacketReachesTheFpgaInOrder)
{
    constexpr uint32_t total = 100001;
    std::vector<uint32_t> seen;
    seen.reserve(total);
    sim_->start([&](unsigned ch, const uint8_t *slot) {
        if (ch == 1 && slot[0] == 8)
            seen.push_back(packet_number(slot + 8));
    });
    ASSERT_EQ(kt3300_egr_wrtr_clear(w_), 0);
    ASSERT_EQ(kt3300_egr_wrtr_start(w_), 0);
    uint32_t n = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (n < total && std::chrono::steady_clock::now() < deadline) {
        if (kt3300_egr_wrtr_write(w_, packet(n).data()) == 0) {
            ++n;
            // The model counts a packet after moving its position: read the
            // count first.
            uint64_t consumed = sim_->consumed(1);
            int level = kt3300_egr_wrtr_get_level(w_);
            ASSERT_GE(level, 0);
            ASSERT_LE(static_cast<uint64_t>(level), n - consumed);
        } else {
            ASSERT_EQ(errno, EAGAIN);
            std::this_thread::yield();
        }
    }
    ASSERT_EQ(n, total);
    // The last packets wait for the next publication (every 16): the
    // 100,001st was published by itself.
    while (sim_->consumed(1) < total && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    sim_->stop();
    ASSERT_EQ(seen.size(), total);
    for (uint32_t i = 0; i < total; ++i)
        ASSERT_EQ(seen[i], i) << "first difference at packet " << i;
    EXPECT_EQ(kt3300_egr_wrtr_get_level(w_), 0);
}

class NoEgressTest : public BoardTest {
protected:
    void SetUp() override
    {
        opt_.uio = false;
        BoardTest::SetUp();
    }
};

TEST_F(NoEgressTest, WriterWithoutRingIsNotMade)
{
    EXPECT_EQ(kt3300_egr_wrtr_alloc(0, ctx_), nullptr);
    kt3300_egr_wrtr w = {};
    EXPECT_EQ(kt3300_egr_wrtr_write(&w, packet(0).data()), -1);
    EXPECT_EQ(kt3300_egr_wrtr_get_level(&w), -1);
}

// Queues over a plain register block in a test buffer: the block is not
// in the simulated window, so stores land as they are.
class CqfTest : public ::testing::Test {
protected:
    uint32_t word(unsigned i) const { return __builtin_bswap32(regs_[i]); }
    void set_fpga(uint16_t f) { regs_[2] = __builtin_bswap32((word(2) & 0xFFFF0000u) | f); }
    alignas(8) uint32_t regs_[3] = {};
    std::vector<uint8_t> ring_ = std::vector<uint8_t>(16 * 256);
};

TEST_F(CqfTest, CreateEnableAndMode)
{
    EXPECT_EQ(cqfCreate(reinterpret_cast<Reg *>(regs_), ring_.data(), 0, 16, 256, CQF_MODE_PULL), nullptr);
    EXPECT_EQ(cqfCreate(reinterpret_cast<Reg *>(regs_), ring_.data(), 0x1000, 16, 256, CqfMode(2)), nullptr);
    Cqf *q = cqfCreate(reinterpret_cast<Reg *>(regs_), ring_.data(), 0xE0000000, 16, 2048, CQF_MODE_PULL);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(word(0), 0xE0000000u);
    EXPECT_EQ(word(1), 16u << 16 | 0x8000 | 8 << 8);
    EXPECT_EQ(cqfEnable(q, 7), -1);
    EXPECT_EQ(word(1) & 0xF, 0u);
    ASSERT_EQ(cqfEnable(q, 255), 0);
    EXPECT_EQ(word(1) & 0xF, 0xFu);
    ASSERT_EQ(cqfDisable(q, 2), 0);
    EXPECT_EQ(word(1) & 0xF, 0xBu);
    ASSERT_EQ(cqfMode(q, CQF_MODE_PUSH), 0);
    EXPECT_EQ(word(1), 16u << 16 | 8 << 8 | 0xB);
    cqfDestroy(q);
    EXPECT_EQ(word(1), 0u);
}

TEST_F(CqfTest, AvailableItemsAndAdvance)
{
    Cqf *q = cqfCreate(reinterpret_cast<Reg *>(regs_), ring_.data(), 0x1000, 16, 256, CQF_MODE_PULL);
    ASSERT_NE(q, nullptr);
    void *item = nullptr;
    // PULL, both at 0: all but one item free, up to the ring's end.
    EXPECT_EQ(cqfPrepare(q, &item), 15);
    EXPECT_EQ(item, ring_.data());
    // Advancing by more than is free advances by what is free.
    EXPECT_EQ(cqfAdvance(q, 20), 15);
    EXPECT_EQ(word(2) >> 16, 15u);
    EXPECT_EQ(cqfPrepare(q, &item), 0);
    set_fpga(10);
    EXPECT_EQ(cqfPrepare(q, &item), 1); // to the end of the ring
    EXPECT_EQ(item, ring_.data() + 15 * 256);
    EXPECT_EQ(cqfAdvance(q, 1), 1);
    EXPECT_EQ(cqfPrepare(q, &item), 9);
    set_fpga(40); // outside the ring: nothing
    EXPECT_EQ(cqfPrepare(q, &item), 0);

    ASSERT_EQ(cqfMode(q, CQF_MODE_PUSH), 0);
    ASSERT_EQ(cqfSetCpuItem(q, 4), 0);
    set_fpga(9);
    EXPECT_EQ(cqfPrepare(q, nullptr), 5);
    set_fpga(2);
    EXPECT_EQ(cqfPrepare(q, nullptr), 12);
    ASSERT_EQ(cqfClear(q), 0);
    EXPECT_EQ(word(2), 2u << 16 | 2);
    EXPECT_EQ(cqfSetCpuItem(q, 16), -1);

    void *buf = nullptr;
    uint32_t items = 0, size = 0;
    ASSERT_EQ(cqfReset(q, &buf, &items, &size), 0);
    EXPECT_EQ(buf, ring_.data());
    EXPECT_EQ(items, 16u);
    EXPECT_EQ(size, 256u);
    EXPECT_EQ(word(2), 0u);
    EXPECT_EQ(cqfGetFpgaItem(nullptr), -1);
    EXPECT_EQ(cqfAdvance(nullptr, 1), 0);
    cqfDestroy(q);
}

TEST_F(BoardTest, RegionTableBindsQueuesToTheirRegisters)
{
    ASSERT_EQ(fpgaInit(), 0);
    EXPECT_NE(fpgaGetBar0(), nullptr);
    EXPECT_EQ(fpgaGetCqf(nullptr), nullptr);
    EXPECT_EQ(fpgaGetCqf("no_such_region"), nullptr);
    EXPECT_EQ(fpgaGetCqf("ts-egress"), nullptr); // not opened as a queue
    for (const char *name : {"m30_decoder_0", "anc_encoder_0123", "aud_decoder_3"})
        EXPECT_NE(fpgaGetCqf(name), nullptr) << name;
    Cqf *q = fpgaGetCqf("aud_decoder_1");
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(sim_->wr32(0x120), 0xE0B00000u - 0x100000u); // aud_decoder_1's ring
    EXPECT_EQ(sim_->wr32(0x124), 256u << 16 | 0x8000 | 1 << 8);
    EXPECT_EQ(fpgaGetCqf("anc_encoder_0123")->ITEMS, 0x10000 / 2048);

    // The FPGA model drains an enabled PULL queue up to the processor's item.
    sim_->start(nullptr);
    void *buf = nullptr;
    uint32_t items = 0, size = 0;
    ASSERT_EQ(cqfReset(q, &buf, &items, &size), 0);
    ASSERT_EQ(cqfSetCpuItem(q, 40), 0);
    ASSERT_EQ(cqfEnable(q, 255), 0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (cqfGetFpgaItem(q) != 40 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(cqfGetFpgaItem(q), 40);
    sim_->stop();
    fpgaFini();
    EXPECT_EQ(fpgaGetBar0(), nullptr);
    EXPECT_EQ(fpgaGetCqf("aud_decoder_1"), nullptr);
    EXPECT_EQ(sim_->wr32(0x124), 0u); // destroyed queues are disabled
}
