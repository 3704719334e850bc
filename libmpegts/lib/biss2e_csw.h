/* BISS-2E (EBU Tech 3292): the clear session word is the AES-128-ECB
 * decryption of the 16-byte encrypted session word under the 16-byte key. */
#ifndef MPEGTS_BISS2E_CSW_H
#define MPEGTS_BISS2E_CSW_H

#include <stdint.h>

#include "mpegts_export.h"

MPEGTS_BEGIN_DECLS

/* 0, or -1 for a missing argument or a cipher failure. */
MPEGTS_API int biss2e_generate_csw(uint8_t csw[16], const uint8_t esw[16], const uint8_t key[16]) MPEGTS_NOEXCEPT;

MPEGTS_END_DECLS

#endif
