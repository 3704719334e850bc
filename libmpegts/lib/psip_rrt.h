/* Rating Region Table (ATSC A/65 6.4); conventions as in psip_stt.h. Texts
 * are multiple string structures (psip_mstring.h) of one string with one
 * ISO 8859-1 segment, taken from zero-terminated UTF-8 texts of at most the
 * given number of characters. */
#ifndef MPEGTS_PSIP_RRT_H
#define MPEGTS_PSIP_RRT_H

#include <stddef.h>
#include <stdint.h>

#include "mpegts_export.h"
#include "psi_section.h"
#include "psip_mstring.h"

MPEGTS_BEGIN_DECLS

#define RRT_REGION_NAME_MAX 32
#define RRT_DIMENSION_NAME_MAX 20
#define RRT_ABBREV_MAX 8
#define RRT_VALUE_TEXT_MAX 150
#define RRT_VALUES_MAX 15 /* values_defined is 4 bits */

typedef struct TRrt {
    TTableBase header; /* table_id 0xCA, extension 0xFF00 | rating_region */
    uint8_t protocol_version;
    uint8_t rating_region_name_length;
    /* name, dimensions_defined, dimensions, reserved '111111' +
       descriptors_length (10), descriptors, CRC */
} TRrt;
typedef TRrt rrt;

typedef struct TRrtDimension {
    uint8_t dimension_name_length;
    /* name, reserved '111' + graduated_scale + values_defined (4), values */
} TRrtDimension;

typedef struct TRrtRatingValueEntry {
    uint8_t abbrev_rating_value_length;
    /* abbreviation, rating_value_length, value text */
} TRrtRatingValueEntry;

/* The region-1 table of CEA-766: a complete section with its CRC. */
#define RRT_SECTION_REGION1_SIZE 979
MPEGTS_API extern const uint8_t rrt_section_region1[RRT_SECTION_REGION1_SIZE];

MPEGTS_API TTableBase *tsGetRrtBase(TRrt *rrt) MPEGTS_NOEXCEPT;
/* table_id 0xCA, section_length 14, extension 0xFF01, the version, current,
 * protocol_version 0, no region name, no dimensions, descriptors_length 0. */
MPEGTS_API int tsInitRrt(TRrt *rrt, uint8_t version) MPEGTS_NOEXCEPT;

MPEGTS_API uint8_t tsGetRrtProtocolVersion(const TRrt *rrt) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetRrtProtocolVersion(TRrt *rrt, uint8_t v) MPEGTS_NOEXCEPT;
/* Writes the region name and leaves the table with it alone: no dimensions,
 * descriptors_length 0, section_length 14 + the name's size. -1, nothing
 * changed, for more than RRT_REGION_NAME_MAX characters or a text that
 * mode 0 cannot carry. */
MPEGTS_API int tsSetRrtRatingRegionName(TRrt *rrt, const char *language, const char *text,
                                        size_t length) MPEGTS_NOEXCEPT;
/* The name, or null when its length is 0 or it does not lie whole inside
 * the section. */
MPEGTS_API TMultiString *tsGetRrtRatingRegionName(const TRrt *rrt) MPEGTS_NOEXCEPT;
/* 0 where the field lies outside the section. */
MPEGTS_API uint8_t tsGetRrtDimensionsDefined(const TRrt *rrt) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetRrtDimensionsDefined(TRrt *rrt, uint8_t n) MPEGTS_NOEXCEPT;

/* Appends a dimension (the name, graduated_scale 0, no values) after the
 * existing ones, moving the descriptors behind it; adds 1 to
 * dimensions_defined and its size to section_length; returns it. Null,
 * nothing changed, for a name of more than RRT_DIMENSION_NAME_MAX
 * characters or not carried by mode 0, at 255 dimensions, past 1024 bytes,
 * or for a table whose lengths disagree. */
MPEGTS_API TRrtDimension *tsAppendRrtDimension(TRrt *rrt, const char *language, const char *name,
                                               size_t length) MPEGTS_NOEXCEPT;
/* Replaces the name of one of the table's dimensions, moving what follows;
 * -1, nothing changed, on the same grounds or for a dimension not found. */
MPEGTS_API int tsSetRrtDimensionName(TRrt *rrt, TRrtDimension *dimension, const char *language,
                                     const char *name, size_t length) MPEGTS_NOEXCEPT;
/* The dimension at index, null beyond the last or where it does not lie
 * whole inside the section; its name and values are then safe to read. */
MPEGTS_API TRrtDimension *tsGetRrtDimension(const TRrt *rrt, int index) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsGetRrtDimensionNameLength(const TRrtDimension *d) MPEGTS_NOEXCEPT;
/* Null when the name's length is 0. */
MPEGTS_API TMultiString *tsGetRrtDimensionName(const TRrtDimension *d) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsGetRrtDimensionGraduatedScale(const TRrtDimension *d) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetRrtDimensionGraduatedScale(TRrtDimension *d, uint8_t v) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsGetRrtDimensionValuesDefined(const TRrtDimension *d) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetRrtDimensionValuesDefined(TRrtDimension *d, uint8_t n) MPEGTS_NOEXCEPT;

/* Appends a rating value (abbreviation and value text) to the dimension,
 * which must be the last of its table, moving the table's descriptors
 * behind it, and adds 1 to values_defined. The caller grows section_length
 * by sizeof_RrtRatingValueEntry. Null, nothing changed, for an abbreviation
 * of more than RRT_ABBREV_MAX characters, a value text of more than
 * RRT_VALUE_TEXT_MAX, texts mode 0 cannot carry, or RRT_VALUES_MAX values
 * already. */
MPEGTS_API TRrtRatingValueEntry *tsAppendRrtDimensionRatingValue(TRrtDimension *d, const char *language,
                                                                 const char *abbrev, size_t abbrev_length,
                                                                 const char *value,
                                                                 size_t value_length) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsGetRrtRatingValueAbbrevLength(const TRrtRatingValueEntry *v) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetRrtRatingValueAbbrevLength(TRrtRatingValueEntry *v, uint8_t len) MPEGTS_NOEXCEPT;
MPEGTS_API uint8_t tsGetRrtRatingValueLength(const TRrtRatingValueEntry *v) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetRrtRatingValueLength(TRrtRatingValueEntry *v, uint8_t len) MPEGTS_NOEXCEPT;
/* abbreviation length + value length + 2 */
MPEGTS_API int sizeof_RrtRatingValueEntry(const TRrtRatingValueEntry *v) MPEGTS_NOEXCEPT;
/* name length + 2 + the sizes of its values */
MPEGTS_API int sizeof_RrtDimension(const TRrtDimension *d) MPEGTS_NOEXCEPT;

/* The 10-bit descriptors_length after the dimensions (0, or -1 for the
 * setter, where it lies outside the section). */
MPEGTS_API uint16_t tsGetRrtDescriptorsLength(const TRrt *rrt) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetRrtDescriptorsLength(TRrt *rrt, uint16_t len) MPEGTS_NOEXCEPT;

MPEGTS_END_DECLS

#endif
