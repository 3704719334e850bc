/* A memory region of a UIO device, found by its map name. */
#ifndef KT33_UIO_H
#define KT33_UIO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct Uio {
    uint64_t addr; /* physical address */
    uint64_t size;
    void *mmap_addr;
} Uio;

Uio *uioCreate(const char *name);
void uioDestroy(Uio *u);
uint64_t uioGetAddr(const Uio *u);
uint64_t uioGetSize(const Uio *u);
void *uioGetMmapAddr(const Uio *u);

#ifdef __cplusplus
}
#endif

#endif
