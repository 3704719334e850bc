// Multiple string structure (ATSC A/65 6.10) and the UTF-8 decoder behind
// the texts we write into it.
#include "psip_mstring.h"

#include <algorithm>
#include <cstring>

#include "psip_internal.h"

using namespace mpegts;

namespace {

constexpr size_t kEntryHead = 4; // language, number_segments
constexpr size_t kSegmentHead = 3; // compression_type, mode, number_bytes
constexpr unsigned kMaxCount = 255;

inline const uint8_t *bytes_of(const void *p) { return static_cast<const uint8_t *>(p); }

// Bytes of a string with its segments.
size_t entry_size(const uint8_t *e)
{
    size_t n = kEntryHead;
    for (unsigned k = 0; k < e[3]; ++k)
        n += kSegmentHead + e[n + 2];
    return n;
}

const uint8_t *entry_at(const TMultiString *ms, int index)
{
    if (!ms || index < 0 || index >= ms->number_strings)
        return nullptr;
    const uint8_t *p = bytes_of(ms) + 1;
    for (int i = 0; i < index; ++i)
        p += entry_size(p);
    return p;
}

const uint8_t *segment_at(const TMultiString *ms, int string_index, int segment_index)
{
    const uint8_t *e = entry_at(ms, string_index);
    if (!e || segment_index < 0 || segment_index >= e[3])
        return nullptr;
    const uint8_t *p = e + kEntryHead;
    for (int i = 0; i < segment_index; ++i)
        p += kSegmentHead + p[2];
    return p;
}

void put_language(uint8_t *out, const char *language)
{
    if (language)
        std::memcpy(out, language, 3);
    else
        std::memset(out, 0, 3);
}

} // namespace

size_t psip::ms_walk(reader &r)
{
    size_t size = 1;
    unsigned strings = r.u8();
    for (unsigned i = 0; i < strings && !r.bad; ++i) {
        r.skip(3);
        unsigned segments = r.u8();
        size += kEntryHead;
        for (unsigned k = 0; k < segments && !r.bad; ++k) {
            r.skip(2);
            unsigned n = r.u8();
            r.skip(n);
            size += kSegmentHead + n;
        }
    }
    return r.bad ? 0 : size;
}

extern "C" {

MPEGTS_API uint16_t conv_utf8utf16(const char **text, size_t left) noexcept
{
    if (!text || !*text)
        return 0;
    const uint8_t *p = reinterpret_cast<const uint8_t *>(*text);
    auto cont = [](uint8_t b) { return (b & 0xC0) == 0x80; };
    uint16_t cp = 0;
    while (left > 0) {
        uint8_t c = p[0];
        size_t need = c < 0x7F ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (need > left) { // a sequence cut short: nothing more to decode
            p += left;
            left = 0;
            break;
        }
        if (need == 1) {
            cp = c;
            ++p;
            break;
        }
        if (need == 2 && cont(p[1])) {
            cp = uint16_t((c & 0x1F) << 6 | (p[1] & 0x3F));
            p += 2;
            break;
        }
        if (need == 3 && cont(p[1]) && cont(p[2])) {
            cp = uint16_t((c & 0x0F) << 12 | (p[1] & 0x3F) << 6 | (p[2] & 0x3F));
            p += 3;
            break;
        }
        size_t skip = need == 4 ? 4 : 1;
        p += skip;
        left -= skip;
    }
    *text = reinterpret_cast<const char *>(p);
    return cp;
}

MPEGTS_API TMultiString *ms_init(uint8_t *buffer) noexcept
{
    if (!buffer)
        return nullptr;
    buffer[0] = 0;
    return reinterpret_cast<TMultiString *>(buffer);
}

MPEGTS_API int ms_get_size(const TMultiString *ms) noexcept
{
    if (!ms)
        return 0;
    const uint8_t *p = bytes_of(ms) + 1;
    for (unsigned i = 0; i < ms->number_strings; ++i)
        p += entry_size(p);
    return int(p - bytes_of(ms));
}

MPEGTS_API TMultiStringEntry *ms_append_entry(TMultiString *ms, const char *language) noexcept
{
    if (!ms || ms->number_strings >= kMaxCount)
        return nullptr;
    uint8_t *e = reinterpret_cast<uint8_t *>(ms) + ms_get_size(ms);
    put_language(e, language);
    e[3] = 0;
    ++ms->number_strings;
    return reinterpret_cast<TMultiStringEntry *>(e);
}

MPEGTS_API int ms_entry_append_raw_segment(TMultiStringEntry *entry, uint8_t compression_type, uint8_t mode,
                                           const uint8_t *bytes, size_t count) noexcept
{
    if (!entry || count > kMaxCount || (!bytes && count) || entry->number_segments >= kMaxCount)
        return -1;
    uint8_t *e = reinterpret_cast<uint8_t *>(entry);
    uint8_t *s = e + entry_size(e);
    s[0] = compression_type;
    s[1] = mode;
    s[2] = uint8_t(count);
    if (count)
        std::memmove(s + kSegmentHead, bytes, count);
    ++entry->number_segments;
    return 0;
}

MPEGTS_API TMultiStringEntry *ms_append_string(TMultiString *ms, const char *language, const char *text,
                                               size_t length) noexcept
{
    if (!ms || ms->number_strings >= kMaxCount)
        return nullptr;
    // One character more than a segment holds tells an over-long text; a
    // UTF-8 character takes at most four bytes, which bounds the scan of
    // the zero-terminated text.
    size_t want = std::min<size_t>(length, kMaxCount + 1);
    size_t avail = text ? strnlen(text, 4 * want) : 0;
    uint8_t latin1[kMaxCount];
    size_t count = 0;
    for (const char *p = text, *end = text + avail; count < want;) {
        uint16_t cp = conv_utf8utf16(&p, size_t(end - p));
        if (cp == 0)
            break;
        if (cp > 0xFF || count == kMaxCount)
            return nullptr;
        latin1[count++] = uint8_t(cp);
    }
    TMultiStringEntry *e = ms_append_entry(ms, language);
    if (count)
        ms_entry_append_raw_segment(e, MSCT_NONE, MSMD_UNICODE_00, latin1, count);
    return e;
}

MPEGTS_API int ms_get_number_strings(const TMultiString *ms) noexcept { return ms ? ms->number_strings : 0; }

MPEGTS_API TMultiStringEntry *ms_get_entry(const TMultiString *ms, int index) noexcept
{
    return reinterpret_cast<TMultiStringEntry *>(const_cast<uint8_t *>(entry_at(ms, index)));
}

MPEGTS_API int ms_string_get_number_segments(const TMultiString *ms, int string_index) noexcept
{
    const uint8_t *e = entry_at(ms, string_index);
    return e ? e[3] : -1;
}

MPEGTS_API TMultiStringSegment *ms_string_get_segment(const TMultiString *ms, int string_index,
                                                      int segment_index) noexcept
{
    return reinterpret_cast<TMultiStringSegment *>(const_cast<uint8_t *>(segment_at(ms, string_index, segment_index)));
}

MPEGTS_API int ms_segment_get_compression_type(const TMultiString *ms, int string_index, int segment_index) noexcept
{
    const uint8_t *s = segment_at(ms, string_index, segment_index);
    return s ? s[0] : -1;
}

MPEGTS_API int ms_segment_get_mode(const TMultiString *ms, int string_index, int segment_index) noexcept
{
    const uint8_t *s = segment_at(ms, string_index, segment_index);
    return s ? s[1] : -1;
}

MPEGTS_API int ms_segment_get_number_bytes(const TMultiString *ms, int string_index, int segment_index) noexcept
{
    const uint8_t *s = segment_at(ms, string_index, segment_index);
    return s ? s[2] : -1;
}

MPEGTS_API const uint8_t *ms_segment_get_bytes(const TMultiString *ms, int string_index, int segment_index) noexcept
{
    const uint8_t *s = segment_at(ms, string_index, segment_index);
    return s ? s + kSegmentHead : nullptr;
}

MPEGTS_API int ms_get_string(const TMultiString *ms, int string_index, char *language, char *buffer,
                             size_t size) noexcept
{
    if (!ms || !buffer || size == 0)
        return -1;
    const uint8_t *e = entry_at(ms, string_index);
    if (!e)
        return -1;
    if (e[3] == 0) {
        buffer[0] = 0;
        if (language)
            std::memset(language, 0, 3);
        return 0;
    }
    const uint8_t *s = e + kEntryHead;
    if (s[0] != MSCT_NONE || s[1] != MSMD_UNICODE_00)
        return -1;
    size_t n = std::min<size_t>(s[2], size - 1);
    std::memcpy(buffer, s + kSegmentHead, n);
    buffer[n] = 0;
    if (language)
        std::memcpy(language, e, 3);
    return s[2];
}

} // extern "C"
