/* Serial-bus masters in the board's register window: SPI to the IO modules
 * of the six module slots, GSPI to the SDI chips, and I2C to the LMK clock
 * generator (i2c_kt33.h).
 *
 * SPI and GSPI transfers are serialised between threads and processes by
 * one bus lock taken with a non-blocking try: a caller that finds it taken
 * gets -1 and must retry. The state records are library-wide (one board per
 * system); transfers of one process must not run on two threads at once. */
#ifndef KT33_SPI_H
#define KT33_SPI_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KT33_SPI_SLOTS 6

/* SDI chip registers. */
#define REG_CONTROL 0
#define REG_GS12341_DEV_ID 1
#define REG_GS3241_DEV_ID 1
#define REG_GSCHIP_CURRENT_STATUS_1 135
#define REG_GS12170_OPERATING_MODE_SEL 1
#define REG_GS12170_SD_BYPASS_SEL 2
#define REG_GS12170_ISP 5

#define GS12341_DEV_ID 0xAE08
#define GS3241_DEV_ID 0x6E39
#define KT33_IO_MODULE_3G_ID 105

#define GSPI_BUS_THROUGH_ENABLE 0x2000
#define REG_CTRL_MODE_SEL_ENABLE 0x100
#define MODE_RSVD 0x00
#define MODE_SL6G2DL3G 0x40
#define MODE_SL12G2DL6G 0x60
#define MODE_DL6G2QL3G 0x80
#define MODE_DL12G2QL6G 0xA0
#define MODE_SL6G2QL1_5G 0xC0
#define MODE_SL12G2QL3G 0xE0
#define REG_CTRL_OP_MODE_ENABLE 0x10
#define NO_PID_INSERT 0x0C
#define AUTO_PID_INSERT 0x00
#define REG_BYPASS_ENABLE 0x02
#define REG_MUX 0x01
#define REG_CTRL_SD_BYPASS_ENABLE 0x100

/* Detected rate, bits 2-0 of REG_GSCHIP_CURRENT_STATUS_1. */
typedef enum gs_stat_rate {
    STAT_RATE_UNLOCKED = 0,
    STAT_RATE_MADI = 1,
    STAT_RATE_SD = 2,
    STAT_RATE_HD = 3,
    STAT_RATE_3G = 4,
    STAT_RATE_6G = 5,
    STAT_RATE_12G = 6,
    STAT_RATE_RESERVED = 7
} gs_stat_rate;

/* Shared by SPI and GSPI. */
typedef struct SpiCtl {
    int lock;                 /* descriptor of the bus-lock file, -1 closed */
    volatile uint32_t *wr_addr; /* command register (window offset 0x3200) */
    volatile uint16_t *rd_addr; /* status/data register (window offset 0x3200) */
    int lock_master;          /* 1 when this process opened the lock */
    uint32_t dev_chn;
    uint32_t dev_subaddr;
    uint32_t rd_wr;           /* 1 read, 0 write */
    uint32_t data;
    uint32_t dev_id[KT33_SPI_SLOTS];
    uint32_t dev_detected[KT33_SPI_SLOTS];
} SpiCtl;

/* Probes the six module slots. -1 for a null base or when the bus lock
 * cannot be opened. */
int spi_kt33_open(void *base_addr);
void spi_kt33_close(void);
int spi_kt33_get_dev_id(unsigned slot);       /* -1 for a bad slot */
int spi_kt33_get_dev_detected(unsigned slot); /* -1 for a bad slot */
int spi_kt33_set_xcvr_to_output(unsigned slot);
int spi_kt33_set_xcvr_to_input(unsigned slot);
int spi_kt33_reg_write(unsigned chn, uint32_t addr, uint32_t data);
int spi_kt33_reg_read(unsigned chn, uint32_t addr, uint32_t *data);
SpiCtl *spi_kt33_get_spictl(void);

int gspi_kt33_reg_write(unsigned chn, uint32_t subaddr, uint32_t data);
int gspi_kt33_reg_read(unsigned chn, uint32_t subaddr, uint32_t *data);
bool gspi_kt33_get_12g_sdi_supported(void);
void gspi_kt33_set_12g_sdi_supported(bool flag);
bool gspi_kt33_chip_is_GS12341(unsigned chn);
bool gspi_kt33_chip_is_GS3241(unsigned chn);
int gspi_kt33_set_bus_through_mode(void);
int gspi_kt33_set_SD_data_rate(void);
int gspi_kt33_set_12G_data_rate(void);
int gspi_kt33_set_12g_sdi_mode(void);
int gspi_kt33_set_4x3g_sdi_mode(void);
int gspi_kt33_init_gs12170(void);

#ifdef __cplusplus
}
#endif

#endif
