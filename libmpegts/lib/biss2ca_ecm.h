/* BISS-CA ECM section (EBU Tech 3292): the two session words, each
 * AES-128-CBC encrypted under the session key in use, with their IV.
 *
 *  0      table_id 0x80
 *  1-2    syntax 1, '1', '11', section_length (62 without private data)
 *  3-4    ESID (table_id_extension)    5  '11', version, current_next 1
 *  6, 7   section_number 0, last_section_number 0
 *  8-9    ONID
 *  10-11  ecm_cipher_type (3 bits), '1', private data length (12 bits)
 *  then   private data, session_key_parity (bit 7: odd), IV (16),
 *         session word 0 (even, 16), session word 1 (odd, 16), CRC-32
 *
 * Setters rewrite the CRC. Section pointers address section_length + 3
 * readable bytes; a private data length that runs past the section makes
 * every field accessor answer -1. */
#ifndef MPEGTS_BISS2CA_ECM_H
#define MPEGTS_BISS2CA_ECM_H

#include <stdint.h>

#include "mpegts_export.h"

MPEGTS_BEGIN_DECLS

enum biss2ca_table_id {
    TABLEID_BISS2CA_ECM = 0x80,
    TABLEID_BISS2CA_EMM_1 = 0x81,
    TABLEID_BISS2CA_EMM_2 = 0x82,
    TABLEID_BISS2CA_EMM_3 = 0x83,
    TABLEID_BISS2CA_EMM_4 = 0x84,
    TABLEID_BISS2CA_EMM_5 = 0x85,
    TABLEID_BISS2CA_EMM_6 = 0x86,
    TABLEID_BISS2CA_EMM_7 = 0x87,
    TABLEID_BISS2CA_EMM_8 = 0x88,
    TABLEID_BISS2CA_EMM_9 = 0x89,
    TABLEID_BISS2CA_EMM_10 = 0x8A,
    TABLEID_BISS2CA_EMM_11 = 0x8B,
    TABLEID_BISS2CA_EMM_12 = 0x8C,
    TABLEID_BISS2CA_EMM_13 = 0x8D,
    TABLEID_BISS2CA_EMM_14 = 0x8E,
    TABLEID_BISS2CA_EMM_15 = 0x8F
};

enum biss2ca_ecm_cipher_type { ECMCT_AES128CBC = 0 };

/* The ECM without private data. */
#define BISS2CA_ECM_SIZE 65
/* Default PIDs of the ECM and EMM carousels. */
#define BISS2CA_ECM_PID 0x1FD6
#define BISS2CA_EMM_PID 0x1FD7

/* Writes the 65-byte ECM: version 1, parity byte 0, IV and words zero, CRC. 0. */
MPEGTS_API int biss2ca_ecm_init(uint8_t *ecm, uint16_t esid, uint16_t onid) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_ecm_set_original_network_id(uint8_t *ecm, uint16_t onid) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_ecm_set_cipher_type(uint8_t *ecm, uint8_t type) MPEGTS_NOEXCEPT;
/* Parity byte 0xFF for the odd session key, 0x7F for the even one. */
MPEGTS_API int biss2ca_ecm_set_session_key_parity(uint8_t *ecm, int odd) MPEGTS_NOEXCEPT;
/* 1 odd, 0 even, -1 malformed. */
MPEGTS_API int biss2ca_ecm_get_session_key_parity(const uint8_t *ecm) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_ecm_set_enc_session_word_iv(uint8_t *ecm, const uint8_t iv[16]) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_ecm_get_enc_session_word_iv(const uint8_t *ecm, uint8_t iv[16]) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_ecm_set_enc_session_word_0(uint8_t *ecm, const uint8_t sw[16]) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_ecm_get_enc_session_word_0(const uint8_t *ecm, uint8_t sw[16]) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_ecm_set_enc_session_word_1(uint8_t *ecm, const uint8_t sw[16]) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_ecm_get_enc_session_word_1(const uint8_t *ecm, uint8_t sw[16]) MPEGTS_NOEXCEPT;

MPEGTS_END_DECLS

#endif
