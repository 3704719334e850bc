/* Reference registry: counted pointers handed across module boundaries.
 * A producer registers a fresh heap block with a count of 1; holders take
 * counts with kd_ref_copy*, and drop them with kd_ref_free*. Pointers that
 * were never registered pass through the *_safe calls unharmed. */
#ifndef KERROW_REF_H
#define KERROW_REF_H

#include <kerrow/export.h>

KD_BEGIN_DECLS

typedef void (*kd_ref_release)(void *ptr);

KD_API void kd_ref_init(void);
KD_API void kd_ref_fini(void);

/* Registers ptr (from malloc) with a count of 1. `release` (may be null)
 * frees what the block owns; the registry then frees the block itself. */
KD_API void kd_ref_init_ptr(void *ptr, kd_ref_release release);

/* Registered: one more count, returns ptr. Otherwise returns null. */
KD_API void *kd_ref_copy(void *ptr);
/* Registered: one more count. Always returns ptr. */
KD_API void *kd_ref_copy_safe(void *ptr);

/* Drops one count of *pp (freeing the block at 0) and nulls *pp; a pointer
 * that is not registered is freed with free() and *pp nulled. */
KD_API void kd_ref_free(void **pp);
/* As kd_ref_free for registered blocks; anything else is left alone. */
KD_API void kd_ref_free_safe(void **pp);

KD_END_DECLS

#endif
