/* CISSA (ETSI TS 103 127): AES-128 in CBC mode over a packet's payload,
 * every packet a fresh chain from the fixed vector "DVBTMCPTAESCISSA". The
 * payload's last (length mod 16) bytes stay clear; the header and the
 * adaptation field are never changed, except for transport_scrambling_control.
 *
 * A context belongs to one thread; its key is changed between packets. */
#ifndef MPEGTS_CISSA_CTX_H
#define MPEGTS_CISSA_CTX_H

#include <stddef.h>
#include <stdint.h>

#include "mpegts_export.h"
#include "ts_packet.h"

MPEGTS_BEGIN_DECLS

#define CISSA_KEY_LEN 16

typedef struct cissa_ctx cissa_ctx;

/* A context with a 16-byte key (even), scrambling when do_encrypt is
 * non-zero, else descrambling. Null for a missing key, another length or a
 * cipher that cannot be set up. */
MPEGTS_API cissa_ctx *cissa_ctx_ctor(const uint8_t *key, size_t key_len, int do_encrypt) MPEGTS_NOEXCEPT;
MPEGTS_API void cissa_ctx_dtor(cissa_ctx *ctx) MPEGTS_NOEXCEPT;
/* Replaces the key and its parity from the next packet on. 0; -1 for a
 * missing context or key, or a key that is not 16 bytes long. */
MPEGTS_API int cissa_ctx_set_key(cissa_ctx *ctx, const uint8_t *key, size_t key_len, int is_odd) MPEGTS_NOEXCEPT;
MPEGTS_API int cissa_ctx_is_encrypt(const cissa_ctx *ctx) MPEGTS_NOEXCEPT;
/* Scrambles (scrambling control 3 for an odd key, 2 for an even one) or
 * descrambles (control 0) one packet in place. Packets without payload
 * (adaptation_field_control 0 or 2) and packets whose adaptation field
 * claims 184 bytes or more are left untouched. 0, or -1 on a cipher error
 * or missing argument. */
MPEGTS_API int cissa_ctx_crypt(cissa_ctx *ctx, tsPkt *pkt) MPEGTS_NOEXCEPT;

MPEGTS_END_DECLS

#endif
