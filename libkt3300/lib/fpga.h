/* The board's named regions and their CPU/FPGA queues. */
#ifndef KT33_FPGA_H
#define KT33_FPGA_H

#include "cqf.h"
#include "uio.h"

#ifdef __cplusplus
extern "C" {
#endif

/* How a region's queue is set up. */
typedef struct Dcu {
    CqfMode mode;
    uint16_t item_size;
    uint16_t regs_offset; /* of the queue's register block in "bar0" */
} Dcu;

/* Opens "bar0" and every queue region that is present. */
int fpgaInit(void);
void fpgaFini(void);
void *fpgaGetBar0(void);
/* Null for an unknown or null name, or a region that did not open. */
Cqf *fpgaGetCqf(const char *name);

#ifdef __cplusplus
}
#endif

#endif
