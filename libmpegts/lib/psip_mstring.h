/* Multiple string structure (ATSC A/65 6.10): the texts of the PSIP tables,
 * each string a 3-byte ISO 639 language code and its segments.
 *
 * The accessors trust their structure: a structure read from a wire is
 * handed out only by the table readers, which check first that it lies
 * whole inside its table (tsGetRrtRatingRegionName, tsGetRrtDimension,
 * tsGetEitEntry). The appending functions write behind the structure's end:
 * the caller guarantees the room, and they refuse what an 8-bit count or
 * length cannot carry. */
#ifndef MPEGTS_PSIP_MSTRING_H
#define MPEGTS_PSIP_MSTRING_H

#include <stddef.h>
#include <stdint.h>

#include "mpegts_export.h"

MPEGTS_BEGIN_DECLS

typedef enum ms_compression_type {
    MSCT_NONE = 0,
    MSCT_HUFFMAN_1 = 1,
    MSCT_HUFFMAN_2 = 2
} ms_compression_type;

/* A/65 Table 6.41; mode 0 is ISO 8859-1, one byte per character. */
typedef enum ms_mode {
    MSMD_UNICODE_00 = 0x00,
    MSMD_UNICODE_01 = 0x01,
    MSMD_UNICODE_02 = 0x02,
    MSMD_UNICODE_03 = 0x03,
    MSMD_UNICODE_04 = 0x04,
    MSMD_UNICODE_05 = 0x05,
    MSMD_UNICODE_06 = 0x06,
    MSMD_UNICODE_RSVD_07 = 0x07,
    MSMD_UNICODE_RSVD_08 = 0x08,
    MSMD_UNICODE_09 = 0x09,
    MSMD_UNICODE_0A = 0x0A,
    MSMD_UNICODE_0B = 0x0B,
    MSMD_UNICODE_0C = 0x0C,
    MSMD_UNICODE_0D = 0x0D,
    MSMD_UNICODE_0E = 0x0E,
    MSMD_UNICODE_0F = 0x0F,
    MSMD_UNICODE_10 = 0x10,
    MSMD_UNICODE_RSVD_11 = 0x11,
    MSMD_UNICODE_RSVD_12 = 0x12,
    MSMD_UNICODE_RSVD_13 = 0x13,
    MSMD_UNICODE_RSVD_14 = 0x14,
    MSMD_UNICODE_RSVD_15 = 0x15,
    MSMD_UNICODE_RSVD_16 = 0x16,
    MSMD_UNICODE_RSVD_17 = 0x17,
    MSMD_UNICODE_RSVD_18 = 0x18,
    MSMD_UNICODE_RSVD_19 = 0x19,
    MSMD_UNICODE_RSVD_1A = 0x1A,
    MSMD_UNICODE_RSVD_1B = 0x1B,
    MSMD_UNICODE_RSVD_1C = 0x1C,
    MSMD_UNICODE_RSVD_1D = 0x1D,
    MSMD_UNICODE_RSVD_1E = 0x1E,
    MSMD_UNICODE_RSVD_1F = 0x1F,
    MSMD_UNICODE_20 = 0x20,
    MSMD_UNICODE_21 = 0x21,
    MSMD_UNICODE_22 = 0x22,
    MSMD_UNICODE_23 = 0x23,
    MSMD_UNICODE_24 = 0x24,
    MSMD_UNICODE_25 = 0x25,
    MSMD_UNICODE_26 = 0x26,
    MSMD_UNICODE_27 = 0x27,
    MSMD_UNICODE_RSVD_28 = 0x28,
    MSMD_UNICODE_RSVD_29 = 0x29,
    MSMD_UNICODE_RSVD_2A = 0x2A,
    MSMD_UNICODE_RSVD_2B = 0x2B,
    MSMD_UNICODE_RSVD_2C = 0x2C,
    MSMD_UNICODE_RSVD_2D = 0x2D,
    MSMD_UNICODE_RSVD_2E = 0x2E,
    MSMD_UNICODE_RSVD_2F = 0x2F,
    MSMD_UNICODE_30 = 0x30,
    MSMD_UNICODE_31 = 0x31,
    MSMD_UNICODE_32 = 0x32,
    MSMD_UNICODE_33 = 0x33,
    MSMD_UNICODE_RSVD_34 = 0x34,
    MSMD_UNICODE_RSVD_35 = 0x35,
    MSMD_UNICODE_RSVD_36 = 0x36,
    MSMD_UNICODE_RSVD_37 = 0x37,
    MSMD_UNICODE_RSVD_38 = 0x38,
    MSMD_UNICODE_RSVD_39 = 0x39,
    MSMD_UNICODE_RSVD_3A = 0x3A,
    MSMD_UNICODE_RSVD_3B = 0x3B,
    MSMD_UNICODE_RSVD_3C = 0x3C,
    MSMD_UNICODE_RSVD_3D = 0x3D,
    MSMD_UNICODE_SCSU = 0x3E,
    MSMD_UNICODE_UTF16 = 0x3F
} ms_mode;

typedef struct TMultiString {
    uint8_t number_strings; /* then the strings */
} TMultiString;

typedef struct TMultiStringEntry {
    uint8_t iso_639_language_code[3];
    uint8_t number_segments; /* then the segments */
} TMultiStringEntry;

typedef struct TMultiStringSegment {
    uint8_t compression_type;
    uint8_t mode;
    uint8_t number_bytes; /* then the bytes */
} TMultiStringSegment;

/* number_strings 0; returns the structure (null for null). */
MPEGTS_API TMultiString *ms_init(uint8_t *buffer) MPEGTS_NOEXCEPT;
/* Appends a string of the language (three bytes; null writes three zero
 * bytes) with no segments; null when 255 strings exist. */
MPEGTS_API TMultiStringEntry *ms_append_entry(TMultiString *ms, const char *language) MPEGTS_NOEXCEPT;
/* Appends a segment to a string, which must be the last of its structure.
 * 0, or -1 (nothing written) for more than 255 bytes, 255 segments already,
 * or null bytes with a count. */
MPEGTS_API int ms_entry_append_raw_segment(TMultiStringEntry *entry, uint8_t compression_type, uint8_t mode,
                                           const uint8_t *bytes, size_t count) MPEGTS_NOEXCEPT;
/* Appends a string and, unless the text is empty, one segment (compression
 * 0, mode 0) holding its characters as ISO 8859-1 bytes. The text is
 * zero-terminated UTF-8; at most `length` characters are taken and never
 * more than 4 x length bytes are read. Null, nothing changed, when a
 * character is above U+00FF, the text holds more than 255 characters, or
 * 255 strings exist. */
MPEGTS_API TMultiStringEntry *ms_append_string(TMultiString *ms, const char *language, const char *text,
                                               size_t length) MPEGTS_NOEXCEPT;
/* Bytes the structure occupies (1 for no strings). */
MPEGTS_API int ms_get_size(const TMultiString *ms) MPEGTS_NOEXCEPT;
MPEGTS_API int ms_get_number_strings(const TMultiString *ms) MPEGTS_NOEXCEPT;
/* The string at index, null beyond the last. */
MPEGTS_API TMultiStringEntry *ms_get_entry(const TMultiString *ms, int index) MPEGTS_NOEXCEPT;
/* -1 for no such string. */
MPEGTS_API int ms_string_get_number_segments(const TMultiString *ms, int string_index) MPEGTS_NOEXCEPT;
/* Segment accessors by string and segment index: null or -1 when absent. */
MPEGTS_API TMultiStringSegment *ms_string_get_segment(const TMultiString *ms, int string_index,
                                                      int segment_index) MPEGTS_NOEXCEPT;
MPEGTS_API int ms_segment_get_compression_type(const TMultiString *ms, int string_index,
                                               int segment_index) MPEGTS_NOEXCEPT;
MPEGTS_API int ms_segment_get_mode(const TMultiString *ms, int string_index, int segment_index) MPEGTS_NOEXCEPT;
MPEGTS_API int ms_segment_get_number_bytes(const TMultiString *ms, int string_index,
                                           int segment_index) MPEGTS_NOEXCEPT;
MPEGTS_API const uint8_t *ms_segment_get_bytes(const TMultiString *ms, int string_index,
                                               int segment_index) MPEGTS_NOEXCEPT;
/* The first segment of a string as text: min(number_bytes, size - 1) bytes
 * and a zero; the 3-byte language into `language` when it is not null.
 * Returns number_bytes (0 and an empty text, three zero language bytes, for
 * a string without segments); -1 for a null structure or buffer, size 0, no
 * such string, or a first segment that is compressed or not mode 0. */
MPEGTS_API int ms_get_string(const TMultiString *ms, int string_index, char *language, char *buffer,
                             size_t size) MPEGTS_NOEXCEPT;

/* Decodes one UTF-8 character from *text, of which `left` bytes may be read,
 * and advances *text past what it consumed. Bytes below 0x7F are
 * themselves; two- and three-byte sequences give their code point; a
 * four-byte sequence (outside UTF-16's single units) is skipped whole; any
 * other byte (0x7F, a stray continuation, a lead whose continuation bytes
 * are wrong) is skipped. Answers 0 at a zero byte or when the bytes run out,
 * including inside a sequence cut short (then *text ends at the end). */
MPEGTS_API uint16_t conv_utf8utf16(const char **text, size_t left) MPEGTS_NOEXCEPT;

MPEGTS_END_DECLS

#endif
