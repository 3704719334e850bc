// Rating Region Table (ATSC A/65 6.4). Offsets from the section's first
// byte: 8 protocol_version, 9 rating_region_name_length, 10 the name, then
// dimensions_defined, the dimensions, the descriptors' length and
// descriptors.
#include "psip_rrt.h"

#include "psip_internal.h"

using namespace mpegts;
using namespace mpegts::psip;

static_assert(sizeof(TRrt) == 10 && sizeof(TRrtDimension) == 1 && sizeof(TRrtRatingValueEntry) == 1, "wire layout");

namespace {

constexpr size_t kName = 10;
constexpr uint16_t kDescriptorsOnes = 0xFC00;
constexpr uint8_t kDimensionOnes = 0xE0;
// A length byte and a structure of one string with one segment of at most
// 255 bytes.
constexpr size_t kTextRoom = 1 + 1 + 4 + 3 + 255;

inline uint8_t *bytes(const void *p) { return const_cast<uint8_t *>(static_cast<const uint8_t *>(p)); }

// A text as its length byte and multiple string structure, into out; the
// bytes written, or 0 when refused.
size_t make_text(uint8_t *out, const char *language, const char *text, size_t length, size_t max)
{
    if (length > max || !ms_append_string(ms_init(out + 1), language, text, length))
        return 0;
    out[0] = uint8_t(ms_get_size(reinterpret_cast<TMultiString *>(out + 1)));
    return size_t(out[0]) + 1;
}

// A length byte and the text it counts; a non-empty text must be a whole
// multiple string structure.
void text_walk(reader &r)
{
    reader t = r.sub(r.u8());
    if (t.left && (ms_walk(t), t.bad))
        r.bad = true;
}

void dimension_walk(reader &r)
{
    text_walk(r);
    unsigned values = r.u8() & 0x0F;
    for (unsigned v = 0; v < values && !r.bad; ++v) {
        r.skip(r.u8());
        r.skip(r.u8());
    }
}

// The offset after `count` dimensions (all of them for count < 0), or 0
// when the name or a dimension does not lie whole inside the body.
size_t walk(const uint8_t *s, int count)
{
    reader r = body_reader(s, kName - 1);
    text_walk(r);
    unsigned n = r.u8();
    for (unsigned i = 0; i < n && (count < 0 || int(i) < count); ++i)
        dimension_walk(r);
    return r.bad ? 0 : size_t(r.p - s);
}

// dimensions_defined, when it lies inside the body.
uint8_t *dimensions_defined(const uint8_t *s)
{
    if (section_length(s) < 4 || body_end(s) < kName)
        return nullptr;
    size_t at = kName + s[kName - 1];
    return at < body_end(s) ? bytes(s + at) : nullptr;
}

// The descriptors' length field, when it lies inside the body.
uint8_t *descriptors_field(const uint8_t *s)
{
    size_t at = walk(s, -1);
    return at && at + 2 <= body_end(s) ? bytes(s + at) : nullptr;
}

// The bytes behind a text of a dimension or rating value (null for null).
inline uint8_t *scale_byte(const TRrtDimension *d) { return d ? bytes(d) + 1 + d->dimension_name_length : nullptr; }
inline uint8_t *value_length_byte(const TRrtRatingValueEntry *v)
{
    return v ? bytes(v) + 1 + v->abbrev_rating_value_length : nullptr;
}

} // namespace

extern "C" {

MPEGTS_API TTableBase *tsGetRrtBase(TRrt *rrt) noexcept { return rrt ? &rrt->header : nullptr; }

MPEGTS_API int tsInitRrt(TRrt *rrt, uint8_t version) noexcept
{
    PSIP_NULL_GUARD(rrt);
    uint8_t *s = sec(rrt);
    write_psip_header(s, 0xCA, 14, 0xFF01, version);
    s[9] = 0;
    s[10] = 0;
    put_be16(s + 11, kDescriptorsOnes);
    return 0;
}

MPEGTS_API uint8_t tsGetRrtProtocolVersion(const TRrt *rrt) noexcept
{
    return uint8_t(rd8(PSIP_FIXED_BYTE_AT(rrt, protocol_version)));
}
MPEGTS_API int tsSetRrtProtocolVersion(TRrt *rrt, uint8_t v) noexcept
{
    return wr8(PSIP_BYTE_AT(rrt, protocol_version), v);
}

MPEGTS_API int tsSetRrtRatingRegionName(TRrt *rrt, const char *language, const char *text, size_t length) noexcept
{
    PSIP_NULL_GUARD(rrt);
    uint8_t name[kTextRoom];
    size_t n = make_text(name, language, text, length, RRT_REGION_NAME_MAX);
    if (n == 0)
        return -1;
    uint8_t *s = sec(rrt);
    std::memcpy(s + kName - 1, name, n);
    s[kName - 1 + n] = 0; // dimensions_defined
    put_be16(s + kName + n, kDescriptorsOnes);
    set_section_length(s, unsigned(14 + n - 1));
    return 0;
}

MPEGTS_API TMultiString *tsGetRrtRatingRegionName(const TRrt *rrt) noexcept
{
    if (!rrt)
        return nullptr;
    const uint8_t *s = sec(rrt);
    reader r = body_reader(s, kName - 1);
    text_walk(r);
    if (r.bad || s[kName - 1] == 0)
        return nullptr;
    return reinterpret_cast<TMultiString *>(bytes(s + kName));
}

MPEGTS_API uint8_t tsGetRrtDimensionsDefined(const TRrt *rrt) noexcept
{
    return uint8_t(rd8(rrt ? dimensions_defined(sec(rrt)) : nullptr));
}
MPEGTS_API int tsSetRrtDimensionsDefined(TRrt *rrt, uint8_t n) noexcept
{
    return wr8(rrt ? dimensions_defined(sec(rrt)) : nullptr, n);
}

MPEGTS_API TRrtDimension *tsAppendRrtDimension(TRrt *rrt, const char *language, const char *name,
                                               size_t length) noexcept
{
    if (!rrt)
        return nullptr;
    uint8_t *s = sec(rrt);
    uint8_t dim[kTextRoom + 1];
    size_t n = make_text(dim, language, name, length, RRT_DIMENSION_NAME_MAX);
    uint8_t *count = dimensions_defined(s);
    uint8_t *field = descriptors_field(s);
    if (n == 0 || !count || !field || *count == 255)
        return nullptr;
    dim[n++] = kDimensionOnes;
    size_t at = size_t(field - s);
    if (!splice(s, at, 0, dim, n, kMaxShort))
        return nullptr;
    ++*count;
    return reinterpret_cast<TRrtDimension *>(s + at);
}

MPEGTS_API TRrtDimension *tsGetRrtDimension(const TRrt *rrt, int index) noexcept
{
    if (!rrt || index < 0 || index >= tsGetRrtDimensionsDefined(rrt))
        return nullptr;
    const uint8_t *s = sec(rrt);
    size_t at = walk(s, index);
    if (at == 0 || walk(s, index + 1) == 0)
        return nullptr;
    return reinterpret_cast<TRrtDimension *>(bytes(s + at));
}

MPEGTS_API int tsSetRrtDimensionName(TRrt *rrt, TRrtDimension *dimension, const char *language, const char *name,
                                     size_t length) noexcept
{
    if (!rrt || !dimension)
        return -1;
    int i = 0;
    for (const TRrtDimension *d; (d = tsGetRrtDimension(rrt, i)) && d != dimension; ++i) {
    }
    if (tsGetRrtDimension(rrt, i) != dimension)
        return -1;
    uint8_t text[kTextRoom];
    size_t n = make_text(text, language, name, length, RRT_DIMENSION_NAME_MAX);
    uint8_t *s = sec(rrt);
    size_t at = size_t(bytes(dimension) - s);
    if (n == 0 || !splice(s, at, size_t(dimension->dimension_name_length) + 1, text, n, kMaxShort))
        return -1;
    return 0;
}

MPEGTS_API uint8_t tsGetRrtDimensionNameLength(const TRrtDimension *d) noexcept
{
    return uint8_t(rd8(PSIP_BYTE_AT(d, dimension_name_length)));
}
MPEGTS_API TMultiString *tsGetRrtDimensionName(const TRrtDimension *d) noexcept
{
    return d && d->dimension_name_length ? reinterpret_cast<TMultiString *>(bytes(d) + 1) : nullptr;
}
MPEGTS_API uint8_t tsGetRrtDimensionGraduatedScale(const TRrtDimension *d) noexcept
{
    return uint8_t(rd8(scale_byte(d), 0x10, 4));
}
MPEGTS_API int tsSetRrtDimensionGraduatedScale(TRrtDimension *d, uint8_t v) noexcept
{
    return wr8(scale_byte(d), v, 0x10, 4, kDimensionOnes);
}
MPEGTS_API uint8_t tsGetRrtDimensionValuesDefined(const TRrtDimension *d) noexcept
{
    return uint8_t(rd8(scale_byte(d), 0x0F));
}
MPEGTS_API int tsSetRrtDimensionValuesDefined(TRrtDimension *d, uint8_t n) noexcept
{
    return wr8(scale_byte(d), n, 0x0F, 0, kDimensionOnes);
}

MPEGTS_API TRrtRatingValueEntry *tsAppendRrtDimensionRatingValue(TRrtDimension *d, const char *language,
                                                                 const char *abbrev, size_t abbrev_length,
                                                                 const char *value, size_t value_length) noexcept
{
    if (!d || tsGetRrtDimensionValuesDefined(d) >= RRT_VALUES_MAX)
        return nullptr;
    uint8_t entry[2 * kTextRoom];
    size_t a = make_text(entry, language, abbrev, abbrev_length, RRT_ABBREV_MAX);
    size_t v = a ? make_text(entry + a, language, value, value_length, RRT_VALUE_TEXT_MAX) : 0;
    if (v == 0)
        return nullptr;
    // The table's descriptors follow the last dimension: they move behind
    // the new value.
    uint8_t *end = bytes(d) + sizeof_RrtDimension(d);
    std::memmove(end + a + v, end, 2 + (be16(end) & 0x03FFu));
    std::memcpy(end, entry, a + v);
    tsSetRrtDimensionValuesDefined(d, uint8_t(tsGetRrtDimensionValuesDefined(d) + 1));
    return reinterpret_cast<TRrtRatingValueEntry *>(end);
}

MPEGTS_API uint8_t tsGetRrtRatingValueAbbrevLength(const TRrtRatingValueEntry *v) noexcept
{
    return uint8_t(rd8(PSIP_BYTE_AT(v, abbrev_rating_value_length)));
}
MPEGTS_API int tsSetRrtRatingValueAbbrevLength(TRrtRatingValueEntry *v, uint8_t len) noexcept
{
    return wr8(PSIP_BYTE_AT(v, abbrev_rating_value_length), len);
}
MPEGTS_API uint8_t tsGetRrtRatingValueLength(const TRrtRatingValueEntry *v) noexcept
{
    return uint8_t(rd8(value_length_byte(v)));
}
MPEGTS_API int tsSetRrtRatingValueLength(TRrtRatingValueEntry *v, uint8_t len) noexcept
{
    return wr8(value_length_byte(v), len);
}
MPEGTS_API int sizeof_RrtRatingValueEntry(const TRrtRatingValueEntry *v) noexcept
{
    return v ? v->abbrev_rating_value_length + *value_length_byte(v) + 2 : 0;
}
MPEGTS_API int sizeof_RrtDimension(const TRrtDimension *d) noexcept
{
    if (!d)
        return 0;
    int size = d->dimension_name_length + 2;
    for (unsigned i = 0, n = tsGetRrtDimensionValuesDefined(d); i < n; ++i)
        size += sizeof_RrtRatingValueEntry(reinterpret_cast<const TRrtRatingValueEntry *>(bytes(d) + size));
    return size;
}

MPEGTS_API uint16_t tsGetRrtDescriptorsLength(const TRrt *rrt) noexcept
{
    return uint16_t(rd16(rrt ? descriptors_field(sec(rrt)) : nullptr, 0x03FF));
}
MPEGTS_API int tsSetRrtDescriptorsLength(TRrt *rrt, uint16_t len) noexcept
{
    return wr16(rrt ? descriptors_field(sec(rrt)) : nullptr, len, 0x03FF, 0, kDescriptorsOnes);
}

} // extern "C"
