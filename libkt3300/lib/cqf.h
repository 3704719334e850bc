/* CPU/FPGA circular queues: a ring in shared memory and a 12-byte register
 * block through which each side publishes its item index. */
#ifndef KT33_CQF_H
#define KT33_CQF_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The register block as the FPGA sees it: three big-endian words.
 * word 0 phys: ring physical address;
 * word 1 impe: items (31-16), mode (15), pages = item size / 256 (14-8),
 *              enable, one bit per sub-queue (3-0);
 * word 2 item: cpu index (31-16), fpga index (15-0). */
typedef struct Reg {
    uint32_t phys;
    uint32_t impe;
    uint32_t item;
} Reg;

typedef enum CqfMode {
    CQF_MODE_PUSH = 0, /* the FPGA fills, the processor drains */
    CQF_MODE_PULL = 1  /* the processor fills, the FPGA drains */
} CqfMode;

/* One user per queue. */
typedef struct Cqf {
    Reg shadow;        /* host order: the block as last written */
    Reg *REG_ADDR;     /* the block in the register window */
    uint8_t *BUF_ADDR; /* the mapped ring */
    uint16_t ITEMS;
    uint16_t ITEM_SIZE;
} Cqf;

Cqf *cqfCreate(Reg *regs, void *buf, uint32_t phys, uint16_t items, uint16_t item_size, CqfMode mode);
void cqfDestroy(Cqf *q);
int cqfMode(Cqf *q, CqfMode mode);
int cqfEnable(Cqf *q, unsigned idx);  /* 0-3, or 255 for all */
int cqfDisable(Cqf *q, unsigned idx);
int cqfClear(Cqf *q);
/* Points *item at the processor's current item; returns the items
 * available to the processor. */
uint16_t cqfPrepare(Cqf *q, void **item);
uint16_t cqfAdvance(Cqf *q, uint16_t n);
int cqfReset(Cqf *q, void **buf, uint32_t *items, uint32_t *item_size);
int cqfGetFpgaItem(Cqf *q);
int cqfSetCpuItem(Cqf *q, uint16_t n);

#ifdef __cplusplus
}
#endif

#endif
