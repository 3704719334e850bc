// Service location descriptor (ATSC A/65 6.9.5).
#include "psip_sld.h"

#include "psip_internal.h"

using namespace mpegts;
using namespace mpegts::psip;

static_assert(sizeof(TServiceLocationDescriptor) == 5 && sizeof(TServiceLocationDescriptorElement) == 6, "wire layout");

extern "C" {

MPEGTS_API int tsSetServiceLocationDescriptorReserved(TServiceLocationDescriptor *d) noexcept
{
    return wr8(PSIP_AT(d, pcr_pid), 0, 0, 0, 0xE0);
}
MPEGTS_API int tsSetServiceLocationDescriptorPcrPid(TServiceLocationDescriptor *d, uint16_t pid) noexcept
{
    return wr16(PSIP_AT(d, pcr_pid), pid, 0x1FFF, 0, 0xE000);
}
MPEGTS_API int tsSetServiceLocationDescriptorNumberOfElements(TServiceLocationDescriptor *d, uint8_t n) noexcept
{
    return wr8(PSIP_BYTE_AT(d, number_elements), n);
}
MPEGTS_API int tsSetServiceLocationDescriptorElementStreamType(TServiceLocationDescriptorElement *e,
                                                               uint8_t stream_type) noexcept
{
    return wr8(PSIP_BYTE_AT(e, stream_type), stream_type);
}
MPEGTS_API int tsSetServiceLocationDescriptorElementReserved(TServiceLocationDescriptorElement *e) noexcept
{
    return wr8(PSIP_AT(e, elementary_pid), 0, 0, 0, 0xE0);
}
MPEGTS_API int tsSetServiceLocationDescriptorElementElementaryPid(TServiceLocationDescriptorElement *e,
                                                                  uint16_t pid) noexcept
{
    return wr16(PSIP_AT(e, elementary_pid), pid, 0x1FFF, 0, 0xE000);
}
MPEGTS_API int tsAddServiceLocationDescriptorElement(TServiceLocationDescriptorElement *e, uint8_t stream_type,
                                                     uint16_t pid) noexcept
{
    if (!e)
        return -1;
    e->stream_type = stream_type;
    put_be16(e->elementary_pid, uint16_t(0xE000 | (pid & 0x1FFF)));
    std::memset(e->iso_639_language_code, 0, 3);
    return 0;
}

} // extern "C"
