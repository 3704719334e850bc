/* The board library's headers are accepted by a C compiler. */
#include "cqf.h"
#include "fpga.h"
#include "i2c_kt33.h"
#include "kt3300.h"
#include "kt3300_egr.h"
#include "kt33_platform.h"
#include "spi_kt33.h"
#include "uio.h"

int kt33_c_headers_compile(void) { return (int)sizeof(kt3300_ctx) + (int)sizeof(Cqf) + LMK_I2C_INIT_WIDE_PAIRS; }
