/* The LMK clock generator behind the board's I2C master: it makes the two
 * SDI pixel clocks (148.35 or 148.5 MHz). I2C transfers take no lock.
 * Transfers answer 0, or 1 on failure (busy bus, no acknowledge). */
#ifndef KT33_I2C_H
#define KT33_I2C_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define LMK_I2C_INIT_WIDE_PAIRS 151
#define LMK_FREQ_PAIRS 7

/* (data, register) written in order. */
typedef struct lmk_pair {
    uint8_t data;
    uint8_t reg;
} lmk_pair;

extern const lmk_pair LMK_I2C_INIT_WIDE[LMK_I2C_INIT_WIDE_PAIRS];

/* The two 16-bit clock control registers (window offsets 0x3004, 0x3006);
 * each carries the magic 0x5A in its first byte. */
typedef struct LmkRegCtl {
    uint8_t pdn;      /* power down */
    uint8_t hw_sw;
    uint8_t ref_sel;
    uint8_t srds_rst; /* SDI serdes reset, one bit per output */
    uint8_t sel;
    uint8_t gpio;     /* 6 bits */
} LmkRegCtl;

typedef struct LmkI2cCtl {
    void *base_addr;
    int lock;
    int lock_master;
    int found;           /* the clock generator answered */
    uint8_t lmk_xfer[4]; /* last transfer written */
    uint8_t lmk_result[2];
    uint32_t lmk_chn;
    uint32_t lmk_freq[2];
    uint32_t lmk_freq_prior[2];
    LmkRegCtl ctl;
} LmkI2cCtl;

int i2c_kt33_pclk_open(void *base);
void i2c_kt33_pclk_close(void);
int i2c_kt33_pclk_lmk_detected(void);
/* Frequency codes: 1 is 148.35 MHz, 0 is 148.5 MHz. */
int i2c_kt33_pclk_init(unsigned freq0, unsigned freq1);
int i2c_kt33_pclk_set_decode_freq(unsigned output, unsigned freq);
int i2c_kt33_pclk_sdi_serdes_rst(unsigned output);
int i2c_kt33_pclk_sdi_serdes_run(unsigned output);

#ifdef __cplusplus
}
#endif

#endif
