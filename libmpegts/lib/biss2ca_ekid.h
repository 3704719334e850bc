/* BISS-CA entitlement key id (EKID): the first 8 bytes of the SHA-256
 * digest of a receiver's public key in SubjectPublicKeyInfo DER form. */
#ifndef MPEGTS_BISS2CA_EKID_H
#define MPEGTS_BISS2CA_EKID_H

#include <stddef.h>
#include <stdint.h>

#include "mpegts_export.h"

MPEGTS_BEGIN_DECLS

#define BISS2CA_EKID_LEN 8
/* "XXXX XXXX XXXX XXXX" and its terminator. */
#define BISS2CA_EKID_TEXT_SIZE 20

/* From the DER bytes: 0, or -1 for a missing argument or digest failure. */
MPEGTS_API int biss2ca_pub_key_to_ekid(uint8_t ekid[8], const uint8_t *der, size_t len) MPEGTS_NOEXCEPT;
/* From PEM text ("PUBLIC KEY" or PKCS#1 "RSA PUBLIC KEY"): 0, or -1 when
 * the text holds no public key. */
MPEGTS_API int biss2ca_pub_key_pem_to_ekid(uint8_t ekid[8], const char *pem) MPEGTS_NOEXCEPT;
/* Four blank-separated groups of four upper-case hex digits; returns the
 * length the text has (as snprintf), or -1 for a missing argument. */
MPEGTS_API int biss2ca_ekid_to_string(char *text, size_t size, const uint8_t ekid[8]) MPEGTS_NOEXCEPT;

MPEGTS_END_DECLS

#endif
