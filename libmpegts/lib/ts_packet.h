/* Transport-stream packets (ISO/IEC 13818-1 2.4.3): the 188-byte packet, its
 * 4-byte header, the adaptation-field flags, payload access, the KLV
 * packetizer and debug dumps. Everything works in place on caller buffers.
 *
 * Header accessors take a pointer to the packet's first byte (the header
 * word, big-endian on the wire); adaptation-field accessors a pointer to the
 * adaptation_field_length byte. No alignment is required. */
#ifndef MPEGTS_TS_PACKET_H
#define MPEGTS_TS_PACKET_H

#include <stddef.h>
#include <stdint.h>

#include "mpegts_export.h"

MPEGTS_BEGIN_DECLS

#define TS_PACKET_SIZE 188
#define TS_HEADER_SIZE 4
#define TS_PAYLOAD_SIZE 184
#define TS_SYNC_BYTE 0x47
#define TS_PID_NULL 0x1FFF

/* One packet as it stands on the wire; arrays are 188 bytes apart. */
typedef struct tsPkt {
    uint32_t header; /* the four header bytes in wire order */
    uint8_t payload[TS_PAYLOAD_SIZE];
} tsPkt;
typedef tsPkt ts_pkt_t;

typedef struct ts_hdr {
    unsigned int sync_byte;
    unsigned int ts_error_indicator;
    unsigned int pl_start_indicator;
    unsigned int ts_priority;
    unsigned int pid;
    unsigned int ts_scrambling_ctrl;
    unsigned int adaptation_field_control;
    unsigned int continuity_counter;
} ts_hdr;

enum {
    TS_SCRAM_CTRL_NONE = 0,
    TS_SCRAM_CTRL_RSVD = 1,
    TS_SCRAM_CTRL_EVEN = 2,
    TS_SCRAM_CTRL_ODD = 3
};

typedef struct adaptation_field {
    uint8_t length;
    uint8_t discontinuity_indicator;
    uint8_t random_access_indicator;
    uint8_t elementary_stream_priority_indicator;
    uint8_t pcr_flag;
    uint8_t o_pcr_flag;
    uint8_t splicing_point_flag;
    uint8_t transport_private_data_flag;
    uint8_t adaptation_field_extension_flag;
} adaptation_field;

/* The 9-byte PES header as the KLV packetizer lays it out (wire order). */
typedef struct pes_pkt_hdr {
    uint32_t start_code_and_stream_id;
    uint16_t pes_pkt_len;
    uint8_t flag1;
    uint8_t flag2;
    uint8_t flag3; /* PES_header_data_length */
} pes_pkt_hdr;

/* Header getters and setters (setters keep every other bit, return 0). */
MPEGTS_API uint8_t tsphGetSyncByte(const void *hdr) MPEGTS_NOEXCEPT;
MPEGTS_API int tsphSetSyncByte(void *hdr, uint8_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint16_t tsphGetTSErrorIndicator(const void *hdr) MPEGTS_NOEXCEPT;
MPEGTS_API int tsphSetTSErrorIndicator(void *hdr, uint16_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint16_t tsphGetPLStartIndicator(const void *hdr) MPEGTS_NOEXCEPT;
MPEGTS_API int tsphSetPLStartIndicator(void *hdr, uint16_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint16_t tsphGetTSPriority(const void *hdr) MPEGTS_NOEXCEPT;
MPEGTS_API int tsphSetTSPriority(void *hdr, uint16_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint16_t tsphGetPid(const void *hdr) MPEGTS_NOEXCEPT;
MPEGTS_API int tsphSetPid(void *hdr, uint16_t pid) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsphGetTSScramblingCtrl(const void *hdr) MPEGTS_NOEXCEPT;
MPEGTS_API int tsphSetTSScramblingCtrl(void *hdr, uint8_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsphGetAFCtrl(const void *hdr) MPEGTS_NOEXCEPT;
MPEGTS_API int tsphSetAFCtrl(void *hdr, uint8_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsphGetContinuityCounter(const void *hdr) MPEGTS_NOEXCEPT;
MPEGTS_API int tsphSetContinuityCounter(void *hdr, uint8_t v) MPEGTS_NOEXCEPT;
/* Counter + 1 modulo 16. */
MPEGTS_API int tsphIterContinuityCounter(void *hdr) MPEGTS_NOEXCEPT;
MPEGTS_API ts_hdr tsphGetTsHdr(const void *hdr) MPEGTS_NOEXCEPT;

/* Adaptation field (ISO/IEC 13818-1 2.4.3.4): af points at its length byte. */
MPEGTS_API uint8_t tsphGetAdaptationFieldLength(const void *af) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsphGetDiscontinuityIndicator(const void *af) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsphGetRandomAccessIndicator(const void *af) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsphGetElementaryStreamPriorityIndicator(const void *af) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsphGetPcrFlag(const void *af) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsphGetOPcrFlag(const void *af) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsphGetSplicingPointFlag(const void *af) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsphGetTransportPrivateDataFlag(const void *af) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsphGetAdaptationFieldExtensionFlag(const void *af) MPEGTS_NOEXCEPT;
/* All flags 0 when the length is 0 (the flags byte is then not read). */
MPEGTS_API adaptation_field tsphGetAdaptionField(const void *af) MPEGTS_NOEXCEPT;

/* Sync 0x47, PUSI 1, the PID, payload only, counter 0, pointer_field 0 and
 * 183 bytes of 0xFF: the start of every table packet. Returns 0. */
MPEGTS_API int generateDefaultTsPacket(tsPkt *pkt, uint16_t pid) MPEGTS_NOEXCEPT;
MPEGTS_API int is_valid_ts_packet(const tsPkt *pkt) MPEGTS_NOEXCEPT;
/* Payload bytes taken by the adaptation field (its length + 1); 0 without
 * one or when the length byte points past the packet. */
MPEGTS_API int get_shift(const tsPkt *pkt) MPEGTS_NOEXCEPT;
/* Copies the payload from the first section start (past the adaptation
 * field and, with PUSI, past pointer_field and the bytes it skips), at most
 * len bytes. Returns the count; 0 for a packet without payload; -1 when the
 * adaptation field or pointer_field points past the packet. */
MPEGTS_API int tsCopyPayload(const tsPkt *pkt, uint8_t *buf, size_t len) MPEGTS_NOEXCEPT;
/* One packet carrying an asynchronous KLV unit in a private_stream_1 PES
 * packet (SMPTE RP 217 / ISO/IEC 13818-1 2.4.3.6), the data ending at the
 * packet's last byte. Returns 1, or -1 when klvlen is 174 or more, pkts_max
 * is 0 or the data pointer is null. The continuity counter is left 0. */
MPEGTS_API int packetize_klv_async(tsPkt *pkts, unsigned pkts_max, const uint8_t *klv, size_t klvlen,
                                   uint16_t pid) MPEGTS_NOEXCEPT;

/* Debug dumps (ts_packet_dump.cpp; the real-time path never needs them).
 * tspkt_to_string: "xx " per byte, a newline after every eighth, a final
 * newline, NUL-terminated within size; returns the text length. */
MPEGTS_API int tspkt_to_string(const tsPkt *pkt, char *buf, size_t size) MPEGTS_NOEXCEPT;
MPEGTS_API void ts_packet_hex_dump(const tsPkt *pkt) MPEGTS_NOEXCEPT;

MPEGTS_END_DECLS

#endif
