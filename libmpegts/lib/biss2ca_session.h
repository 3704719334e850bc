/* BISS-CA session data (EBU Tech 3292): the session keys and entitlement
 * flags of one receiver, RSA-OAEP encrypted (SHA-256 as hash and MGF1 hash)
 * under its 2048-bit public key into 256 bytes.
 *
 * Before encryption: '1111' + descriptors length (12 bits), then for each
 * session key tag 0x81, length 17, type-and-parity (type 0 AES-128, parity
 * in bit 0: 1 odd) and the key, even first; then tag 0x82, length 1, the
 * entitlement flags. */
#ifndef MPEGTS_BISS2CA_SESSION_H
#define MPEGTS_BISS2CA_SESSION_H

#include <stddef.h>
#include <stdint.h>

#include "mpegts_export.h"

MPEGTS_BEGIN_DECLS

struct evp_pkey_st; /* OpenSSL's EVP_PKEY */

enum biss2ca_sk_type { SKTYPE_AES128 = 0 };

#define BISS2CA_SD_TAG_SESSION_KEY 0x81
#define BISS2CA_SD_TAG_FLAGS 0x82
#define BISS2CA_FLAG_PREVENT_DESCRAMBLED_FORWARD 0x80
#define BISS2CA_FLAG_PREVENT_DECODED_FORWARD 0x40
#define BISS2CA_FLAG_INSERT_WATERMARK 0x20
/* The most RSA-2048-OAEP-SHA-256 carries: 256 - 2 x 32 - 2 bytes. */
#define BISS2CA_SESSION_DATA_MAX 190

typedef struct biss2ca_session_data {
    uint8_t descriptors_length[2]; /* '1111' + 12 bits */
    uint8_t descriptors[BISS2CA_SESSION_DATA_MAX - 2];
} biss2ca_session_data;

/* Encrypts descriptors length + 2 bytes into out[256]: 0, or -1 for a key
 * that is no 2048-bit RSA public key, too long data or a cipher failure. */
MPEGTS_API int biss2ca_encrypt_session_data(uint8_t out[256], const biss2ca_session_data *sd,
                                            struct evp_pkey_st *pub_key) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_encrypt_session_data_pem(uint8_t out[256], const biss2ca_session_data *sd,
                                                const char *pub_key_pem) MPEGTS_NOEXCEPT;
/* The decrypted length, or -1 on failure or when it exceeds room. */
MPEGTS_API int biss2ca_decrypt_session_data(uint8_t *out, size_t room, const uint8_t enc[256],
                                            struct evp_pkey_st *priv_key) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_decrypt_session_data_pem(uint8_t *out, size_t room, const uint8_t enc[256],
                                                const char *priv_key_pem) MPEGTS_NOEXCEPT;

MPEGTS_END_DECLS

#endif
