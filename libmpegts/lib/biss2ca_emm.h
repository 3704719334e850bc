/* BISS-CA EMM section (EBU Tech 3292): for each entitled receiver its EKID
 * and its session data, RSA-2048-OAEP encrypted under its public key.
 *
 *  0      table_id 0x81           1-2  syntax 1, '1', '11', section_length
 *  3-4    ESID                    5    '11', version, current_next 1
 *  6, 7   section_number, last_section_number      8-9  ONID
 *  10     last_table_id 0x81
 *  11     emm_cipher_type (3 bits), private-data-loop flag, '1111'
 *  12-13  '1111', private data length (12 bits)
 *  then   private data, the entries, CRC-32
 *
 * An entry is the EKID (8) and encrypted session data (256); with the
 * private-data-loop flag set each entry is followed by '1111' + a 12-bit
 * length and that many bytes. At most 15 entries fit a 4096-byte section. */
#ifndef MPEGTS_BISS2CA_EMM_H
#define MPEGTS_BISS2CA_EMM_H

#include <stdint.h>

#include "biss2ca_ecm.h"
#include "mpegts_export.h"

MPEGTS_BEGIN_DECLS

enum biss2ca_emm_cipher_type { EMMCT_RSA2048_OAEP = 0 };

#define BISS2CA_RCVRS_PER_SECTION 15
#define BISS2CA_EMM_EMPTY_SIZE 18
#define BISS2CA_EMM_MAX_SIZE 4096
#define BISS2CA_ENC_SESSION_DATA_LEN 256

typedef struct biss2ca_emm_entry {
    uint8_t entitlement_key_id[8];
    uint8_t encrypted_session_data[BISS2CA_ENC_SESSION_DATA_LEN];
} biss2ca_emm_entry;

/* The private loop behind an entry when the flag is set. */
typedef struct biss2ca_emm_entry_pdloop {
    uint8_t reserved_and_length[2];
} biss2ca_emm_entry_pdloop;

/* Writes the 18-byte EMM: version 1, no entries, CRC. 0. */
MPEGTS_API int biss2ca_emm_init(uint8_t *emm, uint16_t esid, uint16_t onid) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_emm_set_original_network_id(uint8_t *emm, uint16_t onid) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_emm_set_last_table_id(uint8_t *emm, uint8_t table_id) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_emm_set_cipher_type(uint8_t *emm, uint8_t type) MPEGTS_NOEXCEPT;
/* Only on a section without entries; -1 otherwise. */
MPEGTS_API int biss2ca_emm_set_entitlement_pd_loop(uint8_t *emm, int on) MPEGTS_NOEXCEPT;
/* Appends an entry (with an empty private loop when the flag is set) and
 * rewrites the CRC; -1 when the section would exceed 4096 bytes. */
MPEGTS_API int biss2ca_emm_append_entry(uint8_t *emm, const biss2ca_emm_entry *entry) MPEGTS_NOEXCEPT;
/* The index-th entry, or null past the end or in a malformed section. */
MPEGTS_API const biss2ca_emm_entry *biss2ca_emm_get_entry(const uint8_t *emm, int index) MPEGTS_NOEXCEPT;
/* The entry count, or -1 when the lengths do not end at the CRC. */
MPEGTS_API int biss2ca_emm_count_entries(const uint8_t *emm) MPEGTS_NOEXCEPT;
/* The first entry with the EKID, or null. */
MPEGTS_API const biss2ca_emm_entry *biss2ca_emm_get_entry_for_ekid(const uint8_t *emm,
                                                                   const uint8_t ekid[8]) MPEGTS_NOEXCEPT;

MPEGTS_END_DECLS

#endif
