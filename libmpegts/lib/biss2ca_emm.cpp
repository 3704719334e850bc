// BISS-CA EMM section: header fields, entry append and a checked walk over
// the entries (every length from the section is checked against its end).
#include "biss2ca_emm.h"

#include "biss2ca_internal.h"
#include "mpegts_internal.h"
#include "psi_section.h"

static_assert(sizeof(biss2ca_emm_entry) == 264, "EMM entry is a wire record");

namespace {

constexpr size_t entries_at = 14;

bool pd_loop(const uint8_t *emm) { return emm[11] & 0x10; }
size_t private_length(const uint8_t *emm) { return mpegts::be16(emm + 12) & 0x0FFFu; }

// Calls f(entry, index) for each entry until f answers true. Returns the
// entry count, or -1 when the section's lengths do not end exactly at its
// CRC.
template <typename F> int walk(const uint8_t *emm, F &&f)
{
    if (!emm)
        return -1;
    size_t total = mpegts::complete_length(emm);
    if (total < mpegts::biss::emm_header_size)
        return -1;
    size_t end = total - 4;
    size_t at = entries_at + private_length(emm);
    bool loop = pd_loop(emm);
    int index = 0;
    while (at < end) {
        if (end - at < sizeof(biss2ca_emm_entry))
            return -1;
        size_t next = at + sizeof(biss2ca_emm_entry);
        if (loop) {
            if (end - next < 2)
                return -1;
            next += 2 + (mpegts::be16(emm + next) & 0x0FFFu);
            if (next > end)
                return -1;
        }
        if (f(reinterpret_cast<const biss2ca_emm_entry *>(emm + at), index))
            return index + 1;
        ++index;
        at = next;
    }
    return at == end ? index : -1;
}

int finish(uint8_t *emm)
{
    tsUpdateCRC(reinterpret_cast<TTableBase *>(emm));
    return 0;
}

} // namespace

namespace mpegts::biss {

bool emm_valid(const uint8_t *s)
{
    return s && s[0] >= TABLEID_BISS2CA_EMM_1 && s[0] <= TABLEID_BISS2CA_EMM_15 &&
           complete_length(s) >= emm_header_size && complete_length(s) <= BISS2CA_EMM_MAX_SIZE &&
           tsTestCRC(reinterpret_cast<const TTableBase *>(s)) && walk(s, [](auto, int) { return false; }) >= 0;
}

int put_field16(uint8_t *s, size_t at, uint16_t v) noexcept
{
    if (!s)
        return -1;
    put_be16(s + at, v);
    return finish(s);
}

int put_bits8(uint8_t *s, size_t at, uint8_t mask, uint8_t v) noexcept
{
    if (!s)
        return -1;
    s[at] = uint8_t((s[at] & ~mask) | (v & mask));
    return finish(s);
}

} // namespace mpegts::biss

extern "C" {

MPEGTS_API int biss2ca_emm_init(uint8_t *emm, uint16_t esid, uint16_t onid) noexcept
{
    if (!emm)
        return -1;
    std::memset(emm, 0, BISS2CA_EMM_EMPTY_SIZE);
    mpegts::write_header(emm, TABLEID_BISS2CA_EMM_1, BISS2CA_EMM_EMPTY_SIZE - 3, esid, 1);
    emm[1] |= 0x40;
    mpegts::put_be16(emm + 8, onid);
    emm[10] = TABLEID_BISS2CA_EMM_1;
    emm[11] = uint8_t(EMMCT_RSA2048_OAEP << 5 | 0x0F);
    mpegts::put_be16(emm + 12, 0xF000);
    return finish(emm);
}

MPEGTS_API int biss2ca_emm_set_original_network_id(uint8_t *emm, uint16_t onid) noexcept
{
    return mpegts::biss::put_field16(emm, 8, onid);
}
MPEGTS_API int biss2ca_emm_set_last_table_id(uint8_t *emm, uint8_t table_id) noexcept
{
    return mpegts::biss::put_bits8(emm, 10, 0xFF, table_id);
}
MPEGTS_API int biss2ca_emm_set_cipher_type(uint8_t *emm, uint8_t type) noexcept
{
    return mpegts::biss::put_bits8(emm, 11, 0xE0, uint8_t(type << 5));
}

MPEGTS_API int biss2ca_emm_set_entitlement_pd_loop(uint8_t *emm, int on) noexcept
{
    // The flag changes how the entries are laid out; it is set before any.
    if (!emm || biss2ca_emm_count_entries(emm) != 0)
        return -1;
    emm[11] = uint8_t((emm[11] & ~0x10) | (on ? 0x10 : 0));
    return finish(emm);
}

MPEGTS_API int biss2ca_emm_append_entry(uint8_t *emm, const biss2ca_emm_entry *entry) noexcept
{
    if (!emm || !entry || biss2ca_emm_count_entries(emm) < 0)
        return -1;
    size_t total = mpegts::complete_length(emm);
    size_t add = sizeof(biss2ca_emm_entry) + (pd_loop(emm) ? 2 : 0);
    if (total + add > BISS2CA_EMM_MAX_SIZE)
        return -1;
    uint8_t *at = emm + total - 4;
    std::memcpy(at, entry, sizeof *entry);
    if (pd_loop(emm))
        mpegts::put_be16(at + sizeof *entry, 0xF000);
    mpegts::set_section_length(emm, unsigned(total + add - 3));
    return finish(emm);
}

MPEGTS_API const biss2ca_emm_entry *biss2ca_emm_get_entry(const uint8_t *emm, int index) noexcept
{
    const biss2ca_emm_entry *found = nullptr;
    if (index < 0)
        return nullptr;
    walk(emm, [&](const biss2ca_emm_entry *e, int i) {
        if (i == index)
            found = e;
        return found != nullptr;
    });
    return found;
}

MPEGTS_API int biss2ca_emm_count_entries(const uint8_t *emm) noexcept
{
    return walk(emm, [](auto, int) { return false; });
}

MPEGTS_API const biss2ca_emm_entry *biss2ca_emm_get_entry_for_ekid(const uint8_t *emm, const uint8_t ekid[8]) noexcept
{
    const biss2ca_emm_entry *found = nullptr;
    if (!ekid)
        return nullptr;
    walk(emm, [&](const biss2ca_emm_entry *e, int) {
        if (std::memcmp(e->entitlement_key_id, ekid, 8) == 0)
            found = e;
        return found != nullptr;
    });
    return found;
}

} // extern "C"
