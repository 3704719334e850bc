// SPI and GSPI masters: IO modules in the six module slots and the SDI
// chips, with the bus lock shared by every process on the card.
#include "kt3300.h"
#include "kt33_internal.h"
#include "spi_kt33.h"

#include <kerrow/path.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

using namespace kt33;

namespace {

SpiCtl spi = {-1, nullptr, nullptr, 0, 0, 0, 0, 0, {}, {}};
void *spi_base = nullptr;
bool supported_12g_sdi = false;
std::mutex thread_lock; // flock serialises processes; this, the threads of one

constexpr unsigned max_polls = 8;
constexpr uint16_t busy = 0x8000;
constexpr unsigned max_chn = 6; // the command carries chn + 1 in three bits

// The bus lock: an exclusive flock on a file under /run. The kernel drops
// it when its holder exits or dies, and the file is never removed while
// another process may hold it open.
class BusLock {
public:
    BusLock()
    {
        if (spi.lock < 0 || !thread_lock.try_lock())
            return;
        if (flock(spi.lock, LOCK_EX | LOCK_NB) != 0) {
            thread_lock.unlock();
            return;
        }
        held_ = true;
    }
    ~BusLock()
    {
        if (!held_)
            return;
        flock(spi.lock, LOCK_UN);
        thread_lock.unlock();
    }
    BusLock(const BusLock &) = delete;
    BusLock &operator=(const BusLock &) = delete;
    explicit operator bool() const { return held_; }

private:
    bool held_ = false;
};

int fail(int e)
{
    errno = e;
    return -1;
}

// One SPI transfer; the lock is held by the caller.
int spi_xfer(unsigned chn, bool rd, uint32_t addr, uint32_t data, uint32_t *out)
{
    spi.dev_chn = chn;
    spi.dev_subaddr = addr;
    spi.rd_wr = rd;
    spi.data = data;
    wr32(spi_base, reg::spi_cmd,
         ((chn + 1) & 7) << 24 | (rd ? 1u : 0u) << 16 | (addr & 0xFF) << 8 | (data & 0xFF));
    uint16_t w = busy;
    for (unsigned i = 0; i < max_polls; ++i) {
        w = rd16(spi_base, reg::spi_cmd);
        if (!(w & busy))
            break;
    }
    if (rd && out)
        *out = w; // a failed read still keeps the last word
    return (w & busy) ? fail(ETIMEDOUT) : 0;
}

int gspi_xfer(unsigned chn, bool rd, uint32_t subaddr, uint32_t data, uint32_t *out)
{
    spi.dev_chn = chn;
    spi.dev_subaddr = subaddr;
    spi.rd_wr = rd;
    spi.data = data;
    wr32(spi_base, reg::spi_cmd,
         0x80000000u | 0x2000u | ((chn + 1) & 7) << 24 | (rd ? 1u : 0u) << 16 | (rd ? 0x8000u : 0u) |
             ((subaddr >> 16) & 0x7F));
    wr32(spi_base, reg::spi_data, (subaddr << 16) + (data & 0xFFFF));
    uint16_t w = busy;
    for (unsigned i = 0; i < max_polls; ++i) {
        w = rd16(spi_base, reg::gspi_status);
        if (!(w & busy))
            break;
    }
    if (rd && out)
        *out = rd16(spi_base, reg::spi_cmd);
    return (w & busy) ? fail(ETIMEDOUT) : 0;
}

using Xfer = int (*)(unsigned, bool, uint32_t, uint32_t, uint32_t *);

// One transfer under the lock; -1 with EBUSY when another holder has it.
int locked(Xfer x, unsigned chn, bool rd, uint32_t addr, uint32_t data, uint32_t *out)
{
    if (!spi_base || chn > max_chn)
        return fail(EINVAL);
    BusLock lock;
    if (!lock)
        return fail(EBUSY);
    return x(chn, rd, addr, data, out);
}

bool gspi_reads(unsigned chn, uint32_t subaddr, uint32_t want)
{
    uint32_t v = 0;
    return gspi_kt33_reg_read(chn, subaddr, &v) == 0 && v == want;
}

// Writes value to a GS12170 register only when it reads otherwise.
int gspi_update(unsigned chn, uint32_t subaddr, uint32_t value)
{
    uint32_t cur = 0;
    if (gspi_kt33_reg_read(chn, subaddr, &cur) != 0)
        return -1;
    return cur == value ? 0 : gspi_kt33_reg_write(chn, subaddr, value);
}

constexpr unsigned gs12170_chn = 6;

void probe_slots()
{
    for (unsigned s = 0; s < KT33_SPI_SLOTS; ++s)
        spi.dev_id[s] = spi.dev_detected[s] = 0;
    unsigned first = 0;
    // Slot 0 tells which kind of modules the board carries: 3G IO modules
    // answer their identification over SPI, 12G boards carry GS12341 chips
    // reached over GSPI once bus-through mode is on.
    for (unsigned t = 0; t < 3 && first == 0; ++t) {
        uint32_t id = 0;
        if (spi_kt33_reg_read(0, 0xF1, &id) == 0 && id == KT33_IO_MODULE_3G_ID) {
            supported_12g_sdi = false;
            spi.dev_id[0] = id;
            spi.dev_detected[0] = 1;
            first = 1;
            break;
        }
        spi.dev_id[0] = id;
        gspi_kt33_set_bus_through_mode();
        if (gspi_kt33_chip_is_GS12341(0)) {
            supported_12g_sdi = true;
            spi.dev_id[0] = GS12341_DEV_ID;
            spi.dev_detected[0] = 1;
            first = 1;
        }
    }
    for (unsigned s = first; s < KT33_SPI_SLOTS; ++s) {
        for (unsigned t = 0; t < 3; ++t) {
            uint32_t id = 0;
            bool present;
            if (supported_12g_sdi)
                present = gspi_kt33_reg_read(s, REG_GS3241_DEV_ID, &id) == 0 && id == GS3241_DEV_ID;
            else
                present = spi_kt33_reg_read(s, 0xF1, &id) == 0 && id == KT33_IO_MODULE_3G_ID;
            spi.dev_id[s] = id;
            spi.dev_detected[s] = present;
            if (present)
                break;
        }
    }
}

int set_xcvr(unsigned slot, uint32_t direction)
{
    if (!spi_base || slot >= KT33_SPI_SLOTS)
        return fail(EINVAL);
    BusLock lock;
    if (!lock)
        return fail(EBUSY);
    if (spi_xfer(slot, false, 0xFF, 0, nullptr) != 0)
        return -1;
    return spi_xfer(slot, false, 0xFE, direction, nullptr);
}

} // namespace

extern "C" int spi_kt33_open(void *base_addr)
{
    if (!base_addr)
        return fail(EINVAL);
    spi_kt33_close();
    int fd = open(kd::rooted("/run/spi_lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    spi.lock = fd;
    spi.lock_master = 1;
    spi_base = base_addr;
    spi.wr_addr = reinterpret_cast<volatile uint32_t *>(static_cast<uint8_t *>(base_addr) + reg::spi_cmd);
    spi.rd_addr = reinterpret_cast<volatile uint16_t *>(static_cast<uint8_t *>(base_addr) + reg::spi_cmd);
    probe_slots();
    return 0;
}

extern "C" void spi_kt33_close(void)
{
    if (spi.lock >= 0)
        close(spi.lock);
    spi.lock = -1;
    spi.lock_master = 0;
    spi_base = nullptr;
    spi.wr_addr = nullptr;
    spi.rd_addr = nullptr;
}

extern "C" int spi_kt33_get_dev_id(unsigned slot)
{
    return slot < KT33_SPI_SLOTS ? static_cast<int>(spi.dev_id[slot]) : fail(EINVAL);
}

extern "C" int spi_kt33_get_dev_detected(unsigned slot)
{
    return slot < KT33_SPI_SLOTS ? static_cast<int>(spi.dev_detected[slot]) : fail(EINVAL);
}

extern "C" int spi_kt33_set_xcvr_to_output(unsigned slot) { return set_xcvr(slot, 3); }
extern "C" int spi_kt33_set_xcvr_to_input(unsigned slot) { return set_xcvr(slot, 2); }

extern "C" int spi_kt33_reg_write(unsigned chn, uint32_t addr, uint32_t data)
{
    return locked(spi_xfer, chn, false, addr, data, nullptr);
}

extern "C" int spi_kt33_reg_read(unsigned chn, uint32_t addr, uint32_t *data)
{
    if (!data)
        return fail(EINVAL);
    return locked(spi_xfer, chn, true, addr, 0xFFFF, data);
}

extern "C" SpiCtl *spi_kt33_get_spictl(void) { return &spi; }

extern "C" int gspi_kt33_reg_write(unsigned chn, uint32_t subaddr, uint32_t data)
{
    return locked(gspi_xfer, chn, false, subaddr, data, nullptr);
}

extern "C" int gspi_kt33_reg_read(unsigned chn, uint32_t subaddr, uint32_t *data)
{
    if (!data)
        return fail(EINVAL);
    return locked(gspi_xfer, chn, true, subaddr, 0xFFFF, data);
}

extern "C" bool gspi_kt33_get_12g_sdi_supported(void) { return supported_12g_sdi; }
extern "C" void gspi_kt33_set_12g_sdi_supported(bool flag) { supported_12g_sdi = flag; }

extern "C" bool gspi_kt33_chip_is_GS12341(unsigned chn) { return gspi_reads(chn, REG_GS12341_DEV_ID, GS12341_DEV_ID); }
extern "C" bool gspi_kt33_chip_is_GS3241(unsigned chn) { return gspi_reads(chn, REG_GS3241_DEV_ID, GS3241_DEV_ID); }

extern "C" int gspi_kt33_set_bus_through_mode(void)
{
    int rc = 0;
    for (unsigned chn : {0u, 1u, 2u, 3u, gs12170_chn})
        rc |= gspi_kt33_reg_write(chn, REG_CONTROL, GSPI_BUS_THROUGH_ENABLE);
    return rc ? -1 : 0;
}

// SD, MADI and unlocked inputs bypass the GS12170's reclocker.
extern "C" int gspi_kt33_set_SD_data_rate(void)
{
    uint32_t mask = REG_CTRL_SD_BYPASS_ENABLE;
    for (unsigned chn = 0; chn < 4; ++chn) {
        uint32_t st = 0;
        if (gspi_kt33_reg_read(chn, REG_GSCHIP_CURRENT_STATUS_1, &st) != 0)
            return -1;
        if ((st & 7) < STAT_RATE_HD)
            mask |= 1u << chn;
    }
    return gspi_update(gs12170_chn, REG_GS12170_SD_BYPASS_SEL, mask);
}

extern "C" int gspi_kt33_set_12G_data_rate(void)
{
    uint32_t st = 0;
    if (gspi_kt33_reg_read(0, REG_GSCHIP_CURRENT_STATUS_1, &st) != 0)
        return -1;
    uint32_t mode;
    switch (st & 7) {
    case STAT_RATE_6G:
        mode = MODE_SL6G2QL1_5G;
        break;
    case STAT_RATE_12G:
        mode = MODE_SL12G2QL3G;
        break;
    default:
        return 0;
    }
    return gspi_update(gs12170_chn, REG_GS12170_OPERATING_MODE_SEL,
                       REG_CTRL_MODE_SEL_ENABLE | mode | REG_CTRL_OP_MODE_ENABLE | NO_PID_INSERT);
}

extern "C" int gspi_kt33_set_12g_sdi_mode(void)
{
    if (gspi_kt33_reg_write(gs12170_chn, REG_GS12170_OPERATING_MODE_SEL,
                            REG_CTRL_MODE_SEL_ENABLE | MODE_SL12G2QL3G | REG_CTRL_OP_MODE_ENABLE | NO_PID_INSERT) ||
        gspi_kt33_reg_write(gs12170_chn, REG_GS12170_SD_BYPASS_SEL, 0) ||
        gspi_kt33_reg_write(gs12170_chn, REG_GS12170_ISP, 0x100))
        return -1;
    return 0;
}

extern "C" int gspi_kt33_set_4x3g_sdi_mode(void)
{
    if (gspi_kt33_reg_write(gs12170_chn, REG_GS12170_OPERATING_MODE_SEL,
                            REG_CTRL_OP_MODE_ENABLE | REG_BYPASS_ENABLE | REG_MUX) ||
        gspi_kt33_reg_write(gs12170_chn, REG_GS12170_ISP, 0xF00))
        return -1;
    return 0;
}

extern "C" int gspi_kt33_init_gs12170(void)
{
    static constexpr uint16_t reg_init[33][2] = {
        {122, 0x10F},   {124, 0x3668},  {312, 0x1F},    {4197, 0x7},    {4096, 0xAF},   {4340, 0x1},
        {4344, 0x0},    {4346, 0x0},    {4345, 0x78},   {4343, 0x810},  {4341, 0x1},    {4345, 0x78},
        {4343, 0xC10},  {4341, 0x1},    {4345, 0x78},   {4343, 0x1010}, {4341, 0x1},    {4345, 0x78},
        {4343, 0x1410}, {4341, 0x1},    {4340, 0x0},    {4345, 0x0},    {4343, 0x0},    {4199, 0x50D},
        {4217, 0x4239}, {4226, 0x4239}, {4228, 0x5FFF}, {4229, 0x5FFF}, {4241, 0x4239}, {4243, 0x4A39},
        {4123, 0xDB6F}, {4197, 0x6},    {152, 0x10}};
    for (const auto &w : reg_init)
        if (gspi_kt33_reg_write(gs12170_chn, w[0], w[1]) != 0)
            return -1;
    return 0;
}

// Pass-through for the board test program.
extern "C" int kt3300_spi_kt33_open(void *base) { return spi_kt33_open(base); }
extern "C" void kt3300_spi_kt33_close(void) { spi_kt33_close(); }
extern "C" int kt3300_spi_kt33_reg_write(unsigned chn, int gspi, uint32_t addr, uint32_t data)
{
    return gspi ? gspi_kt33_reg_write(chn, addr, data) : spi_kt33_reg_write(chn, addr, data);
}
extern "C" int kt3300_spi_kt33_reg_read(unsigned chn, int gspi, uint32_t addr, uint32_t *data)
{
    return gspi ? gspi_kt33_reg_read(chn, addr, data) : spi_kt33_reg_read(chn, addr, data);
}
extern "C" bool kt3300_spi_kt33_get_12g_sdi_supported(void) { return gspi_kt33_get_12g_sdi_supported(); }
extern "C" int kt3300_spi_kt33_set_SD_data_rate(void) { return gspi_kt33_set_SD_data_rate(); }
extern "C" int kt3300_spi_kt33_set_12G_data_rate(void) { return gspi_kt33_set_12G_data_rate(); }
extern "C" int kt3300_spi_kt33_set_12g_sdi_mode(void) { return gspi_kt33_set_12g_sdi_mode(); }
extern "C" int kt3300_spi_kt33_set_4x3g_sdi_mode(void) { return gspi_kt33_set_4x3g_sdi_mode(); }
extern "C" int kt3300_spi_kt33_init_gs12170(void) { return gspi_kt33_init_gs12170(); }
