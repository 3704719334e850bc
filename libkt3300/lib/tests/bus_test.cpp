// SPI, GSPI and I2C devices through the simulated bus masters, and the
// cross-process bus lock.
#include "board_fixture.h"
#include "i2c_kt33.h"
#include "spi_kt33.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <set>

using boardsim::BusEvent;

class BusTest : public BoardTest {
protected:
    void *base() const { return kt3300_get_artix_base_addr(ctx_); }
};

TEST_F(BusTest, ProbeDetects3gModulesOnly)
{
    for (unsigned s : {0u, 2u, 5u})
        sim_->add_module(s);
    sim_->add_module(3, 77); // a module of another kind
    ASSERT_EQ(spi_kt33_open(base()), 0);
    EXPECT_FALSE(gspi_kt33_get_12g_sdi_supported());
    const int want[6] = {1, 0, 1, 0, 0, 1};
    for (unsigned s = 0; s < 6; ++s) {
        EXPECT_EQ(spi_kt33_get_dev_detected(s), want[s]) << s;
        if (want[s]) {
            EXPECT_EQ(spi_kt33_get_dev_id(s), 105) << s;
        }
    }
    EXPECT_EQ(spi_kt33_get_dev_id(3), 77);
    EXPECT_EQ(spi_kt33_get_dev_detected(6), -1);
    // No GSPI traffic on a 3G board.
    EXPECT_TRUE(sim_->events(boardsim::BUS_GSPI).empty());
    spi_kt33_close();
}

TEST_F(BusTest, ProbeDetects12gChips)
{
    sim_->add_chip(0, GS12341_DEV_ID);
    sim_->add_chip(1, GS3241_DEV_ID);
    sim_->add_chip(3, GS3241_DEV_ID);
    sim_->add_chip(4, GS12341_DEV_ID); // not what a module slot carries
    ASSERT_EQ(spi_kt33_open(base()), 0);
    EXPECT_TRUE(gspi_kt33_get_12g_sdi_supported());
    const int want[6] = {1, 1, 0, 1, 0, 0};
    for (unsigned s = 0; s < 6; ++s)
        EXPECT_EQ(spi_kt33_get_dev_detected(s), want[s]) << s;
    EXPECT_EQ(sim_->chip_reg(1, REG_CONTROL), GSPI_BUS_THROUGH_ENABLE);
    spi_kt33_close();
}

TEST_F(BusTest, TransferWordsAndTimeouts)
{
    sim_->add_module(1);
    ASSERT_EQ(spi_kt33_open(base()), 0);
    sim_->clear_events();
    ASSERT_EQ(spi_kt33_set_xcvr_to_output(1), 0);
    ASSERT_EQ(spi_kt33_set_xcvr_to_input(1), 0);
    auto ev = sim_->events();
    ASSERT_EQ(ev.size(), 4u);
    const uint32_t seq[4][2] = {{0xFF, 0}, {0xFE, 3}, {0xFF, 0}, {0xFE, 2}};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(ev[i].kind, boardsim::BUS_SPI);
        EXPECT_EQ(ev[i].chn, 1);
        EXPECT_EQ(ev[i].addr, seq[i][0]);
        EXPECT_EQ(ev[i].data, seq[i][1]);
    }
    uint32_t v = 0;
    ASSERT_EQ(kt3300_spi_kt33_reg_read(1, 0, 0xFE, &v), 0);
    EXPECT_EQ(v, 2u);
    // A GSPI register address wider than 16 bits travels in two words.
    sim_->add_chip(2, GS3241_DEV_ID);
    ASSERT_EQ(kt3300_spi_kt33_reg_write(2, 1, 0x12345, 0xBEEF), 0);
    EXPECT_EQ(sim_->chip_reg(2, 0x12345), 0xBEEF);
    ASSERT_EQ(kt3300_spi_kt33_reg_read(2, 1, 0x12345, &v), 0);
    EXPECT_EQ(v, 0xBEEFu);

    sim_->set_stuck_busy(true);
    v = 0;
    errno = 0;
    EXPECT_EQ(spi_kt33_reg_read(1, 0xFE, &v), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(v, 0x8000u); // the last word read is kept
    EXPECT_EQ(gspi_kt33_reg_write(2, 1, 0), -1);
    EXPECT_EQ(spi_kt33_set_xcvr_to_output(1), -1);
    EXPECT_EQ(spi_kt33_reg_write(7, 0, 0), -1);
    spi_kt33_close();
    EXPECT_EQ(spi_kt33_reg_write(1, 0, 0), -1);
}

// Another process holds the bus lock: every transfer fails at once and the
// bus sees nothing. The kernel drops the lock when its holder dies.
TEST_F(BusTest, LockHeldByAnotherProcess)
{
    sim_->add_module(0);
    sim_->add_chip(6, 0);
    ASSERT_EQ(spi_kt33_open(base()), 0);
    std::string lock_path = root_ / "run/spi_lock";
    pid_t child = sim_->hold_bus_lock();
    ASSERT_GT(child, 0);

    sim_->clear_events();
    uint32_t v = 0;
    errno = 0;
    EXPECT_EQ(spi_kt33_reg_write(0, 0xFE, 3), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(spi_kt33_reg_read(0, 0xF1, &v), -1);
    EXPECT_EQ(gspi_kt33_reg_write(6, 1, 0x13), -1);
    EXPECT_EQ(gspi_kt33_reg_read(6, 1, &v), -1);
    EXPECT_EQ(spi_kt33_set_xcvr_to_output(0), -1);
    EXPECT_EQ(gspi_kt33_init_gs12170(), -1);
    EXPECT_EQ(gspi_kt33_set_12g_sdi_mode(), -1);
    EXPECT_TRUE(sim_->events().empty());

    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(spi_kt33_reg_write(0, 0xFE, 3), 0);
    EXPECT_EQ(sim_->events().size(), 1u);
    spi_kt33_close();
    EXPECT_TRUE(std::filesystem::exists(lock_path)); // never unlinked under its users
}

// Two processes drive GSPI at once, retrying when the other holds the
// lock. A transfer is two register stores (command, then data): without
// the lock one process's data would complete the other's command.
TEST_F(BusTest, TwoProcessesNeverInterleaveTransfers)
{
    constexpr unsigned regs = 80, passes = 200;
    sim_->add_chip(2, GS3241_DEV_ID);
    sim_->add_chip(3, GS3241_DEV_ID);
    ASSERT_EQ(spi_kt33_open(base()), 0);
    sim_->clear_events();
    auto drive = [&](unsigned chn, uint32_t tag) {
        unsigned busy = 0;
        for (unsigned p = 0; p < passes; ++p)
            for (uint32_t r = 0; r < regs; ++r) {
                int rc;
                while ((rc = gspi_kt33_reg_write(chn, 0x100 + r, tag | r)) != 0 && errno == EBUSY)
                    ++busy;
                if (rc != 0)
                    return -1;
            }
        return static_cast<int>(busy);
    };
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Its own descriptor of the lock file, as another program has.
        bool opened = spi_kt33_open(base()) == 0;
        sim_->clear_events(); // the probe's transfers
        (void)!write(ready[1], "x", 1);
        _exit(opened && drive(3, 0x3000) >= 0 ? 0 : 1);
    }
    close(ready[1]);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    int busy = drive(2, 0x2000);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_GE(busy, 0);
    for (uint32_t r = 0; r < regs; ++r) {
        EXPECT_EQ(sim_->chip_reg(2, 0x100 + r), 0x2000 | r) << r;
        EXPECT_EQ(sim_->chip_reg(3, 0x100 + r), 0x3000 | r) << r;
    }
    unsigned writes = 0;
    for (const BusEvent &e : sim_->events(boardsim::BUS_GSPI))
        if (!e.rd && e.addr >= 0x100) {
            ++writes;
            EXPECT_EQ(e.data >> 12, e.chn) << "transfer of one process completed by the other";
        }
    EXPECT_EQ(writes, 2 * regs * passes);
    spi_kt33_close();
}

TEST_F(BusTest, Gs12170InitialisationInOrder)
{
    sim_->add_chip(6, 0);
    ASSERT_EQ(spi_kt33_open(base()), 0);
    sim_->clear_events();
    ASSERT_EQ(kt3300_spi_kt33_init_gs12170(), 0);
    const uint32_t reg_init[33][2] = {
        {122, 0x10F},   {124, 0x3668},  {312, 0x1F},    {4197, 0x7},    {4096, 0xAF},   {4340, 0x1},
        {4344, 0x0},    {4346, 0x0},    {4345, 0x78},   {4343, 0x810},  {4341, 0x1},    {4345, 0x78},
        {4343, 0xC10},  {4341, 0x1},    {4345, 0x78},   {4343, 0x1010}, {4341, 0x1},    {4345, 0x78},
        {4343, 0x1410}, {4341, 0x1},    {4340, 0x0},    {4345, 0x0},    {4343, 0x0},    {4199, 0x50D},
        {4217, 0x4239}, {4226, 0x4239}, {4228, 0x5FFF}, {4229, 0x5FFF}, {4241, 0x4239}, {4243, 0x4A39},
        {4123, 0xDB6F}, {4197, 0x6},    {152, 0x10}};
    auto ev = sim_->events();
    ASSERT_EQ(ev.size(), 33u);
    for (size_t i = 0; i < 33; ++i) {
        EXPECT_EQ(ev[i].kind, boardsim::BUS_GSPI) << i;
        EXPECT_EQ(ev[i].chn, 6) << i;
        EXPECT_EQ(ev[i].rd, 0) << i;
        EXPECT_EQ(ev[i].addr, reg_init[i][0]) << i;
        EXPECT_EQ(ev[i].data, reg_init[i][1]) << i;
    }
    spi_kt33_close();
}

TEST_F(BusTest, Gs12170RateSettings)
{
    const uint16_t rates[4] = {STAT_RATE_SD, STAT_RATE_HD, STAT_RATE_UNLOCKED, STAT_RATE_3G};
    for (unsigned c = 0; c < 4; ++c) {
        sim_->add_chip(c, GS3241_DEV_ID);
        sim_->set_chip_reg(c, REG_GSCHIP_CURRENT_STATUS_1, rates[c]);
    }
    sim_->add_chip(6, 0);
    ASSERT_EQ(spi_kt33_open(base()), 0);
    ASSERT_EQ(gspi_kt33_set_SD_data_rate(), 0);
    EXPECT_EQ(sim_->chip_reg(6, REG_GS12170_SD_BYPASS_SEL), 0x105);
    sim_->clear_events();
    ASSERT_EQ(gspi_kt33_set_SD_data_rate(), 0); // unchanged: read, not written
    for (const BusEvent &e : sim_->events())
        EXPECT_EQ(e.rd, 1);

    // Channel 0 at HD: the operating mode is left alone.
    sim_->set_chip_reg(0, REG_GSCHIP_CURRENT_STATUS_1, STAT_RATE_HD);
    sim_->set_chip_reg(6, REG_GS12170_OPERATING_MODE_SEL, 0x55);
    ASSERT_EQ(gspi_kt33_set_12G_data_rate(), 0);
    EXPECT_EQ(sim_->chip_reg(6, REG_GS12170_OPERATING_MODE_SEL), 0x55);
    sim_->set_chip_reg(0, REG_GSCHIP_CURRENT_STATUS_1, STAT_RATE_12G);
    ASSERT_EQ(gspi_kt33_set_12G_data_rate(), 0);
    EXPECT_EQ(sim_->chip_reg(6, REG_GS12170_OPERATING_MODE_SEL), 0x1FC);
    sim_->set_chip_reg(0, REG_GSCHIP_CURRENT_STATUS_1, STAT_RATE_6G);
    ASSERT_EQ(gspi_kt33_set_12G_data_rate(), 0);
    EXPECT_EQ(sim_->chip_reg(6, REG_GS12170_OPERATING_MODE_SEL), 0x1DC);

    ASSERT_EQ(gspi_kt33_set_4x3g_sdi_mode(), 0);
    EXPECT_EQ(sim_->chip_reg(6, 1), 0x13);
    EXPECT_EQ(sim_->chip_reg(6, 5), 0xF00);
    ASSERT_EQ(gspi_kt33_set_12g_sdi_mode(), 0);
    EXPECT_EQ(sim_->chip_reg(6, 1), 0x1FC);
    EXPECT_EQ(sim_->chip_reg(6, 2), 0);
    EXPECT_EQ(sim_->chip_reg(6, 5), 0x100);
    spi_kt33_close();
}

TEST(LmkTable, CountAndOrder)
{
    const lmk_pair *t = LMK_I2C_INIT_WIDE;
    ASSERT_EQ(sizeof LMK_I2C_INIT_WIDE / sizeof *t, 151u);
    const lmk_pair head[4] = {{0x10, 0x00}, {0x0B, 0x01}, {0x32, 0x02}, {0x00, 0x03}};
    const lmk_pair tail[3] = {{0x00, 0xAD}, {0x5F, 0x0C}, {0xDF, 0x0C}};
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(t[i].data == head[i].data && t[i].reg == head[i].reg) << i;
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(t[148 + i].data == tail[i].data && t[148 + i].reg == tail[i].reg) << i;
    // The middle writes each register once, in ascending order, and leaves
    // the device-control register to the end.
    for (int i = 4; i < 149; ++i) {
        EXPECT_GT(t[i].reg, t[i - 1].reg) << i;
        EXPECT_NE(t[i].reg, 0x0C) << i;
    }
}

TEST_F(BusTest, ClockGeneratorBringUp)
{
    sim_->clear_events();
    ASSERT_EQ(i2c_kt33_pclk_open(base()), 0);
    EXPECT_EQ(i2c_kt33_pclk_lmk_detected(), 1);
    auto i2c = sim_->events(boardsim::BUS_I2C);
    ASSERT_EQ(i2c.size(), 3u); // 0x56 does not answer, 0x55 does, then its identification
    EXPECT_EQ(i2c[0].chn, 0x56);
    EXPECT_EQ(i2c[1].chn, 0x55);
    EXPECT_EQ(i2c[2].rd, 1);
    EXPECT_EQ(sim_->wr16(0x3004), 0x5AB0); // selected, both serdes in reset

    sim_->clear_events();
    ASSERT_EQ(i2c_kt33_pclk_init(1, 0), 0);
    i2c = sim_->events(boardsim::BUS_I2C);
    ASSERT_EQ(i2c.size(), 151u + 14u);
    for (size_t i = 0; i < 151; ++i) {
        EXPECT_EQ(i2c[i].addr, LMK_I2C_INIT_WIDE[i].reg) << i;
        EXPECT_EQ(i2c[i].data, LMK_I2C_INIT_WIDE[i].data) << i;
    }
    // Output 0 at 148.35 MHz, then output 1 at 148.5 MHz.
    const uint8_t out0[7][2] = {{0x06, 0x24}, {0x10, 0x47}, {0xC0, 0x4A}, {0x04, 0x4D},
                                {0x11, 0x47}, {0x10, 0x47}, {0x10, 0x47}};
    const uint8_t out1[7][2] = {{0x10, 0x28}, {0x10, 0x2C}, {0x00, 0x38}, {0xBB, 0x3B},
                                {0x00, 0x3E}, {0x01, 0x38}, {0x00, 0x38}};
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(i2c[151 + i].data, out0[i][0]) << i;
        EXPECT_EQ(i2c[151 + i].addr, out0[i][1]) << i;
        EXPECT_EQ(i2c[158 + i].data, out1[i][0]) << i;
        EXPECT_EQ(i2c[158 + i].addr, out1[i][1]) << i;
    }
    auto clk = sim_->events(boardsim::BUS_CLK);
    ASSERT_GE(clk.size(), 2u);
    EXPECT_EQ(clk.front().data, 0x5AB0u);
    EXPECT_EQ(sim_->wr16(0x3004), 0x5A80); // serdes released
    EXPECT_EQ(sim_->lmk_reg(0x4A), 0xC0);

    sim_->clear_events();
    EXPECT_EQ(i2c_kt33_pclk_set_decode_freq(2, 0), 1);
    EXPECT_EQ(i2c_kt33_pclk_set_decode_freq(0, 2), 1);
    EXPECT_TRUE(sim_->events().empty());
    ASSERT_EQ(i2c_kt33_pclk_sdi_serdes_rst(1), 0);
    EXPECT_EQ(sim_->wr16(0x3004), 0x5AA0);
    ASSERT_EQ(i2c_kt33_pclk_sdi_serdes_run(1), 0);
    EXPECT_EQ(sim_->wr16(0x3004), 0x5A80);
    EXPECT_EQ(i2c_kt33_pclk_sdi_serdes_rst(2), -1);
}

TEST_F(BusTest, ClockGeneratorAbsent)
{
    sim_->set_lmk(false);
    EXPECT_EQ(i2c_kt33_pclk_open(base()), -1);
    EXPECT_EQ(i2c_kt33_pclk_lmk_detected(), 0);
    EXPECT_EQ(sim_->wr16(0x3004), 0x5A81); // powered down, serdes out of reset
    sim_->clear_events();
    EXPECT_EQ(i2c_kt33_pclk_set_decode_freq(0, 1), 1);
    EXPECT_EQ(i2c_kt33_pclk_init(1, 1), 1);
    EXPECT_TRUE(sim_->events(boardsim::BUS_I2C).empty());
    EXPECT_EQ(i2c_kt33_pclk_open(nullptr), -1);
}
