/* BISS-CA transmitter (EBU Tech 3292): generates session keys and words,
 * builds the ECM and EMM sections and plays them out through two section
 * carousels on their own PIDs.
 *
 * No locks: the owner changes a transmitter from its control side
 * (entitle, revoke, flags, periods, word changes, biss2ca_tx_prepare_emm)
 * and plays it out from its data path, and keeps the two apart.
 *
 * EMM rebuilds (RSA for every receiver) never run in play-out: the control
 * side calls biss2ca_tx_prepare_emm after changing receivers or flags and
 * regularly (say once a second) while the transmitter runs; play-out only
 * swaps the prepared set in at the start of an EMM cycle. Until a set is
 * prepared, play-out keeps sending the EMM it has. */
#ifndef MPEGTS_BISS2CA_TX_H
#define MPEGTS_BISS2CA_TX_H

#include <stddef.h>
#include <stdint.h>

#include "biss2ca_emm.h"
#include "mpegts_export.h"
#include "ts_packet.h"

MPEGTS_BEGIN_DECLS

#define BISS2CA_MAX_RECEIVERS 3000

typedef enum tx_state {
    TXSTATE_INIT = 0,
    TXSTATE_SINGLE_SK = 1,
    TXSTATE_DOUBLE_SK = 2,
    TXSTATE_TRANSITION_SK = 3,
    TXSTATE_END = 4
} tx_state;

typedef struct biss2ca_tx biss2ca_tx;

/* The shortest EMM period for n receivers in ms: the time to send it at
 * 1 Mbit/s, at least 200. */
MPEGTS_API int biss2ca_get_min_emm_period(int receivers) MPEGTS_NOEXCEPT;

/* Random keys, words and IV; ECM every 250 ms on PID 0x1FD6, EMM every
 * 500 ms on PID 0x1FD7. Null when the random source fails or memory is
 * short. */
MPEGTS_API biss2ca_tx *biss2ca_tx_ctor(uint16_t esid, uint16_t onid, uint32_t stream_bps) MPEGTS_NOEXCEPT;
MPEGTS_API void biss2ca_tx_dtor(biss2ca_tx *tx) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_tx_get_esid(const biss2ca_tx *tx) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_tx_get_onid(const biss2ca_tx *tx) MPEGTS_NOEXCEPT;
/* Entitlement flags (BISS2CA_FLAG_*); an EMM change follows. */
MPEGTS_API int biss2ca_tx_set_flags(biss2ca_tx *tx, uint8_t flags) MPEGTS_NOEXCEPT;

/* Control side. Entitle a receiver by its PEM public key (RSA-2048): 0
 * (also when it is entitled already), -1 for an unreadable key or when
 * 3000 receivers are entitled. */
MPEGTS_API int biss2ca_tx_entitle_rx_key(biss2ca_tx *tx, const char *pub_key_pem) MPEGTS_NOEXCEPT;
/* Revoke a receiver: 0, -1 for an unreadable key. While both session keys
 * are on air the revocation is queued and applied as soon as the key
 * rotation allows; a revoked receiver gets no later session key. A null
 * key only marks an EMM change. */
MPEGTS_API int biss2ca_tx_revoke_rx_key(biss2ca_tx *tx, const char *pub_key_pem) MPEGTS_NOEXCEPT;
/* Prepares the next EMM set (queued revocations, new session key, every
 * receiver's entry, the sections) for play-out to swap in. 0 (also when
 * nothing is due), -1 when the random source or a cipher fails. */
MPEGTS_API int biss2ca_tx_prepare_emm(biss2ca_tx *tx) MPEGTS_NOEXCEPT;

/* A new session word (16 bytes, or random for null) into the slot not in
 * use; -1 while the previous change has not rolled yet. */
MPEGTS_API int biss2ca_tx_change_sw(biss2ca_tx *tx, const uint8_t *sw) MPEGTS_NOEXCEPT;
/* Data path: the word to scramble with; a pending word becomes the one in
 * use once the ECM carrying it has been sent more than 3 times. */
MPEGTS_API int biss2ca_tx_get_sw(biss2ca_tx *tx, uint8_t sw[16]) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_tx_get_sw_count(const biss2ca_tx *tx) MPEGTS_NOEXCEPT;
/* 1 odd, 0 even. */
MPEGTS_API int biss2ca_tx_get_sw_parity(const biss2ca_tx *tx) MPEGTS_NOEXCEPT;
/* The session key in use. */
MPEGTS_API int biss2ca_tx_get_sk(const biss2ca_tx *tx, uint8_t sk[16]) MPEGTS_NOEXCEPT;

/* -1 below 100 ms. */
MPEGTS_API int biss2ca_tx_set_ecm_period(biss2ca_tx *tx, int ms) MPEGTS_NOEXCEPT;
/* -1 below biss2ca_get_min_emm_period of the receivers entitled. */
MPEGTS_API int biss2ca_tx_set_emm_period(biss2ca_tx *tx, int ms) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_tx_get_ecm_pid(const biss2ca_tx *tx) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_tx_set_ecm_pid(biss2ca_tx *tx, uint16_t pid) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_tx_get_emm_pid(const biss2ca_tx *tx) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_tx_set_emm_pid(biss2ca_tx *tx, uint16_t pid) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_tx_get_emm_sections_used(const biss2ca_tx *tx) MPEGTS_NOEXCEPT;

/* Play-out; positions are the output's packet count. Read returns the next
 * packet to send (owned by the transmitter) or null. */
MPEGTS_API int biss2ca_tx_ecm_is_pkt_ready(biss2ca_tx *tx, int32_t position) MPEGTS_NOEXCEPT;
MPEGTS_API tsPkt *biss2ca_tx_ecm_read(biss2ca_tx *tx, int32_t position) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_tx_emm_is_pkt_ready(biss2ca_tx *tx, int32_t position) MPEGTS_NOEXCEPT;
MPEGTS_API tsPkt *biss2ca_tx_emm_read(biss2ca_tx *tx, int32_t position) MPEGTS_NOEXCEPT;

/* Control side: copy the current ECM, or EMM section `index`, and count
 * one transmission; the section's length, or -1 when it does not fit or
 * the index is beyond the sections used. A pending EMM change is prepared
 * and applied first when section 0 is asked for, so that the sections read
 * in order belong to one version. */
MPEGTS_API int biss2ca_tx_get_ecm(biss2ca_tx *tx, uint8_t *buf, size_t size) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_tx_get_emm(biss2ca_tx *tx, uint8_t *buf, size_t size) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_tx_get_emm_index(biss2ca_tx *tx, uint8_t *buf, size_t size, int index) MPEGTS_NOEXCEPT;

/* Test access. */
MPEGTS_API int _test_biss2ca_tx_set_sk(biss2ca_tx *tx, const uint8_t even[16], const uint8_t odd[16]) MPEGTS_NOEXCEPT;
MPEGTS_API int _test_biss2ca_tx_set_iv(biss2ca_tx *tx, const uint8_t iv[16]) MPEGTS_NOEXCEPT;
MPEGTS_API int _test_biss2ca_tx_set_sw(biss2ca_tx *tx, const uint8_t sw[16], int index) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_tx_test_get_state(const biss2ca_tx *tx) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_tx_test_get_ecm_tx_count(const biss2ca_tx *tx) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_tx_test_get_emm_tx_count(const biss2ca_tx *tx) MPEGTS_NOEXCEPT;
MPEGTS_API int biss2ca_tx_test_get_sw_next(const biss2ca_tx *tx, uint8_t sw[16]) MPEGTS_NOEXCEPT;

MPEGTS_END_DECLS

#endif
