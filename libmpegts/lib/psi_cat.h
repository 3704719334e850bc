/* Conditional access table (ISO/IEC 13818-1 2.4.4.6). */
#ifndef MPEGTS_PSI_CAT_H
#define MPEGTS_PSI_CAT_H

#include "mpegts_export.h"
#include "psi_section.h"

MPEGTS_BEGIN_DECLS

typedef struct TCat {
    TTableBase header;
    uint8_t data[180]; /* CA descriptors, then the CRC */
} TCat;

MPEGTS_API int tsGetCat(tsPkt *pkt, TCat **out) MPEGTS_NOEXCEPT;
/* Empty CAT: section_length 9, extension 0xFFFF, version 0, current. */
MPEGTS_API int tsSetCatDefault(TCat *cat) MPEGTS_NOEXCEPT;

MPEGTS_END_DECLS

#endif
