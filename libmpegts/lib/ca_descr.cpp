// CA descriptors of the BISS family. A descriptor pointer addresses len + 2
// readable bytes (descriptor_loop_next hands out only whole descriptors);
// every field read is checked against len.
#include "ca_descr.h"

#include "mpegts_internal.h"

namespace {

const uint8_t *bytes(const descriptor *d) { return reinterpret_cast<const uint8_t *>(d); }

// A CA descriptor with at least its CA_system_id and CA_PID.
bool is_ca(const descriptor *d) { return d && d->tag == CA_DESCR_TAG && d->len >= 4; }

int write_mode1(uint8_t *buf, size_t room, uint16_t system_id)
{
    if (!buf || room < 6)
        return -1;
    buf[0] = CA_DESCR_TAG;
    buf[1] = 4;
    mpegts::put_be16(buf + 2, system_id);
    mpegts::put_be16(buf + 4, 0xFFFF); // reserved '111', CA_PID 0x1FFF
    return 6;
}

bool has_system_id(const descriptor *d, uint16_t id) { return is_ca(d) && mpegts::be16(bytes(d) + 2) == id; }

// BISS-CA private data: 0x80, 0x04, ESID, ONID (EBU Tech 3292).
int biss2ca_id(const descriptor *d, size_t offset)
{
    if (!is_ca(d) || d->len < 10)
        return -1;
    const uint8_t *p = bytes(d) + 6;
    if (p[0] != 0x80 || p[1] != 0x04)
        return -1;
    return mpegts::be16(p + 2 + offset);
}

} // namespace

extern "C" {

MPEGTS_API int ca_descr_init_biss1m1(uint8_t *buf, size_t room) noexcept
{
    return write_mode1(buf, room, CA_SYSTEM_ID_BISS1_MODE1);
}
MPEGTS_API int ca_descr_init_biss2m1(uint8_t *buf, size_t room) noexcept
{
    return write_mode1(buf, room, CA_SYSTEM_ID_BISS2_MODE1);
}

MPEGTS_API int ca_descr_init_biss2ca(uint8_t *buf, size_t room, uint16_t ca_pid, uint16_t esid, uint16_t onid) noexcept
{
    if (!buf || room < 12)
        return -1;
    buf[0] = CA_DESCR_TAG;
    buf[1] = 10;
    mpegts::put_be16(buf + 2, CA_SYSTEM_ID_BISS2CA);
    mpegts::put_be16(buf + 4, uint16_t(0xE000 | (ca_pid & 0x1FFF)));
    buf[6] = 0x80;
    buf[7] = 0x04;
    mpegts::put_be16(buf + 8, esid);
    mpegts::put_be16(buf + 10, onid);
    return 12;
}

MPEGTS_API int ca_descr_is_biss1m1(const descriptor *d) noexcept { return has_system_id(d, CA_SYSTEM_ID_BISS1_MODE1); }
MPEGTS_API int ca_descr_is_biss2m1(const descriptor *d) noexcept { return has_system_id(d, CA_SYSTEM_ID_BISS2_MODE1); }
MPEGTS_API int ca_descr_is_biss2ca(const descriptor *d) noexcept { return has_system_id(d, CA_SYSTEM_ID_BISS2CA); }

MPEGTS_API int ca_descr_get_ca_system_id(const descriptor *d) noexcept
{
    return is_ca(d) ? mpegts::be16(bytes(d) + 2) : -1;
}
MPEGTS_API int ca_descr_get_ca_pid(const descriptor *d) noexcept
{
    return is_ca(d) ? mpegts::be16(bytes(d) + 4) & 0x1FFF : -1;
}
MPEGTS_API int ca_descr_get_biss2ca_esid(const descriptor *d) noexcept { return biss2ca_id(d, 0); }
MPEGTS_API int ca_descr_get_biss2ca_onid(const descriptor *d) noexcept { return biss2ca_id(d, 2); }

MPEGTS_API int ca_descr_get_private_data(const descriptor *d, uint8_t *out, size_t room) noexcept
{
    if (!is_ca(d))
        return -1;
    size_t n = size_t(d->len) - 4;
    if (n > room || (n > 0 && !out))
        return -1;
    if (n > 0)
        std::memcpy(out, bytes(d) + 6, n);
    return int(n);
}

MPEGTS_API int ca_descr_has_private_data(const descriptor *d) noexcept
{
    if (!d || d->tag != CA_DESCR_TAG)
        return -1;
    return d->len > 4;
}

} // extern "C"
