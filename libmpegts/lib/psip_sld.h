/* Service location descriptor (ATSC A/65 6.9.5): where a virtual channel's
 * elementary streams are, carried in its VCT entry. */
#ifndef MPEGTS_PSIP_SLD_H
#define MPEGTS_PSIP_SLD_H

#include <stdint.h>

#include "mpegts_export.h"

MPEGTS_BEGIN_DECLS

#define SERVICE_LOCATION_DESCRIPTOR_TAG 0xA1

typedef struct TServiceLocationDescriptor {
    uint8_t tag;
    uint8_t len;
    uint8_t pcr_pid[2]; /* reserved '111', PCR_PID */
    uint8_t number_elements;
    /* elements */
} TServiceLocationDescriptor;

typedef struct TServiceLocationDescriptorElement {
    uint8_t stream_type;
    uint8_t elementary_pid[2]; /* reserved '111', elementary_PID */
    uint8_t iso_639_language_code[3];
} TServiceLocationDescriptorElement;

/* Setters answer 0, or -1 for null; PID setters write the reserved bits as
 * ones. */
MPEGTS_API int tsSetServiceLocationDescriptorReserved(TServiceLocationDescriptor *d) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetServiceLocationDescriptorPcrPid(TServiceLocationDescriptor *d, uint16_t pid) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetServiceLocationDescriptorNumberOfElements(TServiceLocationDescriptor *d, uint8_t n) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetServiceLocationDescriptorElementStreamType(TServiceLocationDescriptorElement *e,
                                                               uint8_t stream_type) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetServiceLocationDescriptorElementReserved(TServiceLocationDescriptorElement *e) MPEGTS_NOEXCEPT;
MPEGTS_API int tsSetServiceLocationDescriptorElementElementaryPid(TServiceLocationDescriptorElement *e,
                                                                  uint16_t pid) MPEGTS_NOEXCEPT;
/* Stream type, reserved '111', the PID and a language code of three zero
 * bytes. */
MPEGTS_API int tsAddServiceLocationDescriptorElement(TServiceLocationDescriptorElement *e, uint8_t stream_type,
                                                     uint16_t pid) MPEGTS_NOEXCEPT;

MPEGTS_END_DECLS

#endif
