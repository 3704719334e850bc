// The LMK clock generator on the board's I2C master, and the clock control
// registers (power down, reference, SDI serdes resets).
#include "i2c_kt33.h"
#include "kt33_internal.h"

#include <cerrno>
#include <chrono>
#include <thread>

using namespace kt33;

namespace {

LmkI2cCtl lmk = {nullptr, -1, 0, 0, {}, {}, 0, {}, {}, {}};

constexpr uint8_t lmk_id = 0x10; // register 0: vendor identification, high byte
constexpr uint8_t lmk_addresses[] = {0x56, 0x55, 0x54};
constexpr uint8_t i2c_busy = 0x80, i2c_nack = 0x01;
constexpr uint16_t ctl_magic = 0x5A00;

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void write_ctl()
{
    const LmkRegCtl &c = lmk.ctl;
    wr16(lmk.base_addr, reg::clk_control,
         static_cast<uint16_t>(ctl_magic | (c.pdn & 1) | (c.hw_sw & 1) << 1 | (c.ref_sel & 1) << 2 |
                               (c.srds_rst & 3) << 4 | (c.sel & 1) << 7));
    wr16(lmk.base_addr, reg::clk_gpio, static_cast<uint16_t>(ctl_magic | (c.gpio & 0x3F)));
}

void set_ctl(uint8_t sel, uint8_t pdn, uint8_t srds_rst)
{
    lmk.ctl.sel = sel;
    lmk.ctl.pdn = pdn;
    lmk.ctl.srds_rst = srds_rst;
    write_ctl();
}

// One I2C transfer: 0, or 1 when the bus is busy or a write is not
// acknowledged.
int xfer(uint8_t dev, bool rd, uint8_t regno, uint8_t data, uint8_t *out = nullptr)
{
    lmk.lmk_xfer[0] = 0;
    lmk.lmk_xfer[1] = static_cast<uint8_t>(dev << 1 | (rd ? 1 : 0));
    lmk.lmk_xfer[2] = regno;
    lmk.lmk_xfer[3] = data;
    wr32(lmk.base_addr, reg::i2c,
         static_cast<uint32_t>(lmk.lmk_xfer[1]) << 16 | static_cast<uint32_t>(regno) << 8 | data);
    sleep_ms(1);
    uint16_t r = rd16(lmk.base_addr, reg::i2c);
    lmk.lmk_result[0] = static_cast<uint8_t>(r >> 8);
    lmk.lmk_result[1] = static_cast<uint8_t>(r & 0xFF);
    if (lmk.lmk_result[0] & i2c_busy)
        return 1;
    if (rd) {
        if (out)
            *out = lmk.lmk_result[1];
        return 0;
    }
    return (lmk.lmk_result[0] & i2c_nack) ? 1 : 0;
}

int write_pairs(const lmk_pair *pairs, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (xfer(static_cast<uint8_t>(lmk.lmk_chn), false, pairs[i].reg, pairs[i].data) != 0)
            return 1;
    return 0;
}

bool probe()
{
    lmk.ctl.gpio = 0;
    set_ctl(1, 0, 0);
    for (uint8_t a : lmk_addresses) {
        if (xfer(a, false, 0, 0) != 0)
            continue;
        uint8_t id = 0;
        if (xfer(a, true, 0, 0, &id) == 0 && id == lmk_id) {
            lmk.lmk_chn = a;
            return true;
        }
        return false;
    }
    return false;
}

} // namespace

extern "C" int i2c_kt33_pclk_open(void *base)
{
    if (!base) {
        errno = EINVAL;
        return -1;
    }
    lmk.base_addr = base;
    lmk.found = 0;
    for (int t = 0; t < 5 && !lmk.found; ++t)
        lmk.found = probe();
    if (lmk.found) {
        set_ctl(1, 0, 3); // both serdes held in reset until the clocks run
        return 0;
    }
    set_ctl(lmk.ctl.sel, 1, 3);
    sleep_ms(500);
    set_ctl(lmk.ctl.sel, 1, 0);
    errno = ENODEV;
    return -1;
}

extern "C" void i2c_kt33_pclk_close(void) {}

extern "C" int i2c_kt33_pclk_lmk_detected(void) { return lmk.found; }

extern "C" int i2c_kt33_pclk_init(unsigned freq0, unsigned freq1)
{
    if (!lmk.base_addr || !lmk.found || freq0 > 1 || freq1 > 1)
        return 1;
    set_ctl(1, 0, 3);
    int rc = write_pairs(LMK_I2C_INIT_WIDE, LMK_I2C_INIT_WIDE_PAIRS);
    if (rc == 0)
        rc = i2c_kt33_pclk_set_decode_freq(0, freq0);
    if (rc == 0)
        rc = i2c_kt33_pclk_set_decode_freq(1, freq1);
    sleep_ms(500); // the PLLs settle before the serdes run
    set_ctl(1, 0, 0);
    return rc;
}

extern "C" int i2c_kt33_pclk_set_decode_freq(unsigned output, unsigned freq)
{
    if (!lmk.base_addr || !lmk.found || output > 1 || freq > 1)
        return 1;
    int rc = write_pairs(LMK_FREQ_TABLE[output][freq], LMK_FREQ_PAIRS);
    lmk.lmk_freq[output] = freq;
    lmk.lmk_freq_prior[output] = ~0u;
    return rc;
}

namespace {
int serdes(unsigned output, bool reset)
{
    if (!lmk.base_addr || output > 1) {
        errno = EINVAL;
        return -1;
    }
    uint8_t bit = static_cast<uint8_t>(1u << output);
    lmk.ctl.srds_rst = reset ? (lmk.ctl.srds_rst | bit) : (lmk.ctl.srds_rst & ~bit);
    write_ctl();
    return 0;
}
} // namespace

extern "C" int i2c_kt33_pclk_sdi_serdes_rst(unsigned output) { return serdes(output, true); }
extern "C" int i2c_kt33_pclk_sdi_serdes_run(unsigned output) { return serdes(output, false); }
