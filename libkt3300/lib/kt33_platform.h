/* The board's platform seam: how the library maps the board and stores to
 * its registers. The Linux implementation maps UIO devices and /dev/mem
 * and stores straight into the window. A simulator is a shared object
 * named by the environment variable KT3300_SIM; it defines
 * KT33_SIM_ENTRY, which returns its table, and answers the board's bus
 * devices inside the store hook.
 *
 * Finding the board (the PCI list, the UIO devices and their maps) reads
 * the platform's files under KD_ROOT in both cases: a simulator provides
 * them as plain files. Reads are plain loads from the mapped window. */
#ifndef KT33_PLATFORM_H
#define KT33_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kt33_platform {
    const char *name;
    /* Maps `size` bytes of map `map` of UIO device `dev`, open on `fd`. */
    void *(*map_uio)(int fd, unsigned dev, unsigned map, size_t size);
    /* Maps `size` bytes at the page-aligned physical address `phys` of
     * the memory device open on `fd`. */
    void *(*map_mem)(int fd, uint64_t phys, size_t size);
    void (*unmap)(void *addr, size_t size);
    /* Stores `len` (1, 2, 4 or 8) bytes, already in the board's byte order,
     * at `reg` inside a mapped register window. */
    void (*store)(void *reg, const void *bytes, unsigned len);
} kt33_platform;

#define KT33_SIM_ENV "KT3300_SIM"
#define KT33_SIM_ENTRY "kt33_sim_platform"
typedef const kt33_platform *(*kt33_sim_entry_fn)(void);

#ifdef __cplusplus
}
#endif

#endif
