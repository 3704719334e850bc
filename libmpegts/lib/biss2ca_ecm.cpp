// BISS-CA ECM section fields. Every field after the private data is located
// through one checked offset, so a hostile private data length cannot move
// a read or write past the section.
#include "biss2ca_ecm.h"

#include "biss2ca_internal.h"
#include "mpegts_internal.h"
#include "psi_section.h"

namespace {

constexpr size_t parity_at = 12, iv_at = 13, sw0_at = 29, sw1_at = 45;

// The field at `base` (an offset for an ECM without private data) holding
// `len` bytes, or null when the section does not hold it before its CRC.
template <typename P> P *field(P *ecm, size_t base, size_t len)
{
    if (!ecm)
        return nullptr;
    auto *s = reinterpret_cast<const uint8_t *>(ecm);
    if (mpegts::complete_length(s) < 12)
        return nullptr;
    size_t at = base + mpegts::biss::ecm_private_data_length(s);
    if (at + len + 4 > mpegts::complete_length(s))
        return nullptr;
    return ecm + at;
}

int finish(uint8_t *ecm)
{
    tsUpdateCRC(reinterpret_cast<TTableBase *>(ecm));
    return 0;
}

int put(uint8_t *ecm, size_t base, const uint8_t *v)
{
    uint8_t *f = field(ecm, base, 16);
    if (!f || !v)
        return -1;
    std::memcpy(f, v, 16);
    return finish(ecm);
}

int get(const uint8_t *ecm, size_t base, uint8_t *out)
{
    const uint8_t *f = field(ecm, base, 16);
    if (!f || !out)
        return -1;
    std::memcpy(out, f, 16);
    return 0;
}

} // namespace

namespace mpegts::biss {

size_t ecm_private_data_length(const uint8_t *s) { return be16(s + 10) & 0x0FFFu; }

bool ecm_valid(const uint8_t *s)
{
    return s && s[0] == TABLEID_BISS2CA_ECM && complete_length(s) >= 12 &&
           complete_length(s) >= BISS2CA_ECM_SIZE + ecm_private_data_length(s) &&
           tsTestCRC(reinterpret_cast<const TTableBase *>(s));
}

} // namespace mpegts::biss

extern "C" {

MPEGTS_API int biss2ca_ecm_init(uint8_t *ecm, uint16_t esid, uint16_t onid) noexcept
{
    if (!ecm)
        return -1;
    std::memset(ecm, 0, BISS2CA_ECM_SIZE);
    // section_syntax_indicator 1 and the private '1' bit (EBU Tech 3292).
    mpegts::write_header(ecm, TABLEID_BISS2CA_ECM, BISS2CA_ECM_SIZE - 3, esid, 1);
    ecm[1] |= 0x40;
    mpegts::put_be16(ecm + 8, onid);
    mpegts::put_be16(ecm + 10, uint16_t(ECMCT_AES128CBC << 13 | 0x1000));
    return finish(ecm);
}

MPEGTS_API int biss2ca_ecm_set_original_network_id(uint8_t *ecm, uint16_t onid) noexcept
{
    return mpegts::biss::put_field16(ecm, 8, onid);
}
MPEGTS_API int biss2ca_ecm_set_cipher_type(uint8_t *ecm, uint8_t type) noexcept
{
    return mpegts::biss::put_bits8(ecm, 10, 0xE0, uint8_t(type << 5));
}

MPEGTS_API int biss2ca_ecm_set_session_key_parity(uint8_t *ecm, int odd) noexcept
{
    uint8_t *f = field(ecm, parity_at, 1);
    if (!f)
        return -1;
    *f = odd ? 0xFF : 0x7F;
    return finish(ecm);
}

MPEGTS_API int biss2ca_ecm_get_session_key_parity(const uint8_t *ecm) noexcept
{
    const uint8_t *f = field(ecm, parity_at, 1);
    return f ? *f >> 7 : -1;
}

MPEGTS_API int biss2ca_ecm_set_enc_session_word_iv(uint8_t *ecm, const uint8_t iv[16]) noexcept
{
    return put(ecm, iv_at, iv);
}
MPEGTS_API int biss2ca_ecm_get_enc_session_word_iv(const uint8_t *ecm, uint8_t iv[16]) noexcept
{
    return get(ecm, iv_at, iv);
}
MPEGTS_API int biss2ca_ecm_set_enc_session_word_0(uint8_t *ecm, const uint8_t sw[16]) noexcept
{
    return put(ecm, sw0_at, sw);
}
MPEGTS_API int biss2ca_ecm_get_enc_session_word_0(const uint8_t *ecm, uint8_t sw[16]) noexcept
{
    return get(ecm, sw0_at, sw);
}
MPEGTS_API int biss2ca_ecm_set_enc_session_word_1(uint8_t *ecm, const uint8_t sw[16]) noexcept
{
    return put(ecm, sw1_at, sw);
}
MPEGTS_API int biss2ca_ecm_get_enc_session_word_1(const uint8_t *ecm, uint8_t sw[16]) noexcept
{
    return get(ecm, sw1_at, sw);
}

} // extern "C"
