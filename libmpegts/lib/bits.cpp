// Generic bit-field access over words in memory; the header and table
// accessors use the same helpers (mpegts_internal.h).
#include "mpegts_bits.h"

#include "mpegts_internal.h"

using namespace mpegts;

namespace {

template <typename W> W get_plain(unsigned offset, unsigned len, bool big, const void *p)
{
    return get_field<W>(p, big, field_mask<W>(offset, len), offset);
}
template <typename W> int set_plain(unsigned offset, unsigned len, bool big, W value, void *p)
{
    set_field<W>(p, big, field_mask<W>(offset, len), offset, value);
    return 0;
}
template <typename W> W get_smart(unsigned offset, unsigned len, bool netw, const void *p)
{
    if (netw)
        msb_to_lsb<W>(offset, len);
    return get_plain<W>(offset, len, netw, p);
}
template <typename W> int set_smart(unsigned offset, unsigned len, bool netw, void *p, W value)
{
    if (netw)
        msb_to_lsb<W>(offset, len);
    return set_plain<W>(offset, len, netw, value, p);
}

} // namespace

extern "C" {

MPEGTS_API uint8_t get_bits_8(unsigned offset, unsigned len, const uint8_t *data) noexcept
{
    return get_plain<uint8_t>(offset, len, false, data);
}
MPEGTS_API uint16_t get_bits_16(unsigned offset, unsigned len, int to_host_order, const void *p) noexcept
{
    return get_plain<uint16_t>(offset, len, to_host_order, p);
}
MPEGTS_API uint32_t get_bits_32(unsigned offset, unsigned len, int to_host_order, const void *p) noexcept
{
    return get_plain<uint32_t>(offset, len, to_host_order, p);
}
MPEGTS_API uint64_t get_bits_64(unsigned offset, unsigned len, int to_host_order, const void *p) noexcept
{
    return get_plain<uint64_t>(offset, len, to_host_order, p);
}
MPEGTS_API uint16_t get_bits_16_smart(unsigned offset, unsigned len, int is_netw, const void *p) noexcept
{
    return get_smart<uint16_t>(offset, len, is_netw, p);
}
MPEGTS_API uint32_t get_bits_32_smart(unsigned offset, unsigned len, int is_netw, const void *p) noexcept
{
    return get_smart<uint32_t>(offset, len, is_netw, p);
}
MPEGTS_API uint64_t get_bits_64_smart(unsigned offset, unsigned len, int is_netw, const void *p) noexcept
{
    return get_smart<uint64_t>(offset, len, is_netw, p);
}
MPEGTS_API uint16_t get_bits_16_smart_adv(uint16_t mask, unsigned shift, int is_netw, const void *p) noexcept
{
    return get_field<uint16_t>(p, is_netw, mask, shift);
}
MPEGTS_API uint32_t get_bits_32_smart_adv(uint32_t mask, unsigned shift, int is_netw, const void *p) noexcept
{
    return get_field<uint32_t>(p, is_netw, mask, shift);
}
MPEGTS_API int set_bits_8(unsigned offset, unsigned len, uint8_t value, uint8_t *data) noexcept
{
    return set_plain<uint8_t>(offset, len, false, value, data);
}
MPEGTS_API int set_bits_16(unsigned offset, unsigned len, int to_netw_order, uint16_t value, void *p) noexcept
{
    return set_plain<uint16_t>(offset, len, to_netw_order, value, p);
}
MPEGTS_API int set_bits_32(unsigned offset, unsigned len, int to_netw_order, uint32_t value, void *p) noexcept
{
    return set_plain<uint32_t>(offset, len, to_netw_order, value, p);
}
MPEGTS_API int set_bits_64(unsigned offset, unsigned len, int to_netw_order, uint64_t value, void *p) noexcept
{
    return set_plain<uint64_t>(offset, len, to_netw_order, value, p);
}
MPEGTS_API int set_bits_16_smart(unsigned offset, unsigned len, int is_netw, void *p, uint16_t value) noexcept
{
    return set_smart<uint16_t>(offset, len, is_netw, p, value);
}
MPEGTS_API int set_bits_32_smart(unsigned offset, unsigned len, int is_netw, void *p, uint32_t value) noexcept
{
    return set_smart<uint32_t>(offset, len, is_netw, p, value);
}
MPEGTS_API int set_bits_64_smart(unsigned offset, unsigned len, int is_netw, void *p, uint64_t value) noexcept
{
    return set_smart<uint64_t>(offset, len, is_netw, p, value);
}
MPEGTS_API int set_bits_32_smart_adv(uint32_t mask, unsigned shift, int is_netw, void *p, uint32_t value) noexcept
{
    set_field<uint32_t>(p, is_netw, mask, shift, value);
    return 0;
}

} // extern "C"
