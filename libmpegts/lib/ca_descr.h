/* CA descriptors (ISO/IEC 13818-1 2.6.16) announcing BISS mode 1, BISS-2
 * mode 1 and BISS-CA (EBU Tech 3292) in a PMT or CAT. Writers take the room
 * and return the bytes written, or -1 when it is too small; readers check
 * the descriptor's length before every field. */
#ifndef MPEGTS_CA_DESCR_H
#define MPEGTS_CA_DESCR_H

#include <stddef.h>
#include <stdint.h>

#include "mpegts_export.h"
#include "psi_descriptor.h"

MPEGTS_BEGIN_DECLS

#define CA_DESCR_TAG 0x09
#define CA_SYSTEM_ID_BISS1_MODE1 0x2600
#define CA_SYSTEM_ID_BISS2_MODE1 0x2602
#define CA_SYSTEM_ID_BISS2CA 0x2610

/* 09 04 26 00 FF FF (CA_PID 0x1FFF): 6 bytes. */
MPEGTS_API int ca_descr_init_biss1m1(uint8_t *buf, size_t room) MPEGTS_NOEXCEPT;
/* 09 04 26 02 FF FF: 6 bytes. */
MPEGTS_API int ca_descr_init_biss2m1(uint8_t *buf, size_t room) MPEGTS_NOEXCEPT;
/* 09 0A 26 10, '111' + CA_PID (the ECM PID), 80 04, ESID, ONID: 12 bytes. */
MPEGTS_API int ca_descr_init_biss2ca(uint8_t *buf, size_t room, uint16_t ca_pid, uint16_t esid,
                                     uint16_t onid) MPEGTS_NOEXCEPT;

MPEGTS_API int ca_descr_is_biss1m1(const descriptor *d) MPEGTS_NOEXCEPT;
MPEGTS_API int ca_descr_is_biss2m1(const descriptor *d) MPEGTS_NOEXCEPT;
MPEGTS_API int ca_descr_is_biss2ca(const descriptor *d) MPEGTS_NOEXCEPT;
/* The field, or -1 when it is no CA descriptor or too short. */
MPEGTS_API int ca_descr_get_ca_system_id(const descriptor *d) MPEGTS_NOEXCEPT;
MPEGTS_API int ca_descr_get_ca_pid(const descriptor *d) MPEGTS_NOEXCEPT;
/* -1 unless the private data starts with 80 04 and holds both ids. */
MPEGTS_API int ca_descr_get_biss2ca_esid(const descriptor *d) MPEGTS_NOEXCEPT;
MPEGTS_API int ca_descr_get_biss2ca_onid(const descriptor *d) MPEGTS_NOEXCEPT;
/* Copies the length - 4 private bytes; their count, or -1 when it is no CA
 * descriptor or the room is too small. */
MPEGTS_API int ca_descr_get_private_data(const descriptor *d, uint8_t *out, size_t room) MPEGTS_NOEXCEPT;
/* -1 when it is no CA descriptor, else whether private bytes follow. */
MPEGTS_API int ca_descr_has_private_data(const descriptor *d) MPEGTS_NOEXCEPT;

MPEGTS_END_DECLS

#endif
