/* BISS-CA receiver (EBU Tech 3292): holds one RSA private key, finds its
 * entry in the EMM by its entitlement key id, and decrypts the session
 * words from the ECM. EMM and ECM sections come from a section
 * demultiplexer; each is checked whole (table id, lengths, CRC) first. */
#ifndef MPEGTS_BISS2CA_RX_H
#define MPEGTS_BISS2CA_RX_H

#include <stdint.h>

#include "biss2ca_emm.h"
#include "mpegts_export.h"

MPEGTS_BEGIN_DECLS

typedef enum rx_state {
    RXSTATE_INIT = 0, /* not entitled */
    RXSTATE_SK = 1,   /* entitled, no words yet */
    RXSTATE_SW = 2,
    RXSTATE_SWSK = 3,
    RXSTATE_END = 4
} rx_state;

typedef struct biss2ca_rx biss2ca_rx;

/* From a PEM private key (PKCS#8 or PKCS#1); null when it cannot be read. */
MPEGTS_API biss2ca_rx *biss2ca_rx_ctor(const char *priv_key_pem) MPEGTS_NOEXCEPT;
/* Frees it after overwriting keys and words. */
MPEGTS_API void biss2ca_rx_dtor(biss2ca_rx *rx) MPEGTS_NOEXCEPT;
/* Not entitled, keys and words zeroed, ESID 0, versions forgotten. */
MPEGTS_API int biss2ca_rx_reset(biss2ca_rx *rx) MPEGTS_NOEXCEPT;
/* Accept only sections of this ESID (0: any); also drops the entitlement. */
MPEGTS_API int biss2ca_rx_set_session_id(biss2ca_rx *rx, uint16_t esid) MPEGTS_NOEXCEPT;
/* 1 when the entitlement was updated from this section, 0 when the section
 * changed nothing (another session, a section seen already, no entry for
 * this receiver), -1 for a malformed section or an entry that does not
 * decrypt. A complete table version without this receiver's entry
 * withdraws the entitlement. */
MPEGTS_API int biss2ca_rx_process_emm(biss2ca_rx *rx, const uint8_t *emm) MPEGTS_NOEXCEPT;
/* 1 when the session words changed, 0 for a version already processed or
 * another session, -1 for a malformed section or a receiver not entitled. */
MPEGTS_API int biss2ca_rx_process_ecm(biss2ca_rx *rx, const uint8_t *ecm) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_rx_is_entitled(const biss2ca_rx *rx) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_rx_has_session_word(const biss2ca_rx *rx) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_rx_prevent_descrambled_forward(const biss2ca_rx *rx) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_rx_prevent_decoded_forward(const biss2ca_rx *rx) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_rx_insert_watermark(const biss2ca_rx *rx) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_rx_get_key_id(const biss2ca_rx *rx, uint8_t key_id[8]) MPEGTS_NOEXCEPT;
/* -1 for no receiver, 0 without words, else 1 with the odd or even word
 * copied (1 also for a null out). */
MPEGTS_API int biss2ca_rx_get_session_word(const biss2ca_rx *rx, int odd, uint8_t sw[16]) MPEGTS_NOEXCEPT;
/* Decrypts the entry's session data and takes its keys and flags: 1, or
 * -1 when it does not decrypt or parse. */
MPEGTS_API int biss2ca_rx_update_entitlement(biss2ca_rx *rx, const biss2ca_emm_entry *entry) MPEGTS_NOEXCEPT;
/* One encrypted word into the odd or even slot, under the session key of
 * key_parity and the IV: 0 or -1. */
MPEGTS_API int biss2ca_rx_decrypt_sw(biss2ca_rx *rx, int odd, const uint8_t enc_sw[16], int key_parity,
                                     const uint8_t iv[16]) MPEGTS_NOEXCEPT;

MPEGTS_END_DECLS

#endif
