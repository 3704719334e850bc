// MU block: transport-stream multiplexer with its PAT and PMT sections.
#include "muparam.h"

#include "video_rules.hpp"

#include <algorithm>

namespace {
#define F(member, word, hi, lo) M30_FIELD(muparam, member, word, hi, lo)
// Structure order, except that the four PIDs print SIT, PMT, video, PCR
// (the table is also the print order).
constexpr m30pb::field fields[] = {
    F(MUPARAM_CC, 0, 31, 0),
    F(V_SOURCE, 1, 31, 28), F(V_SOURCE_ID, 1, 23, 16), F(DESTINATION, 1, 15, 12),
    F(MAS_ID_BITS, 2, 31, 16),
    F(EXTRA_INFO_BIT, 3, 31, 28), F(TS_PACKET_SIZE, 3, 27, 24), F(AUTO_NULL, 3, 23, 20),
    F(NULL_AUTO_PSI, 3, 19, 16), F(ENC_REAL_TIME_MODE, 3, 15, 12), F(RAI_MODE, 3, 11, 8),
    F(ESPI_MODE, 3, 7, 4), F(INTER_GOP_GAP, 3, 3, 0),
    F(PCR_FIRST, 4, 31, 28), F(SOUT_MODE, 4, 27, 24), F(SOUTCLK_HL, 4, 23, 20),
    F(SOUT_STREAM_CLK_SEL, 4, 19, 16), F(SOUT_STCLK_DIV, 4, 15, 12),
    F(SYSTEM_RATE, 5, 31, 0), F(SYSTEM_MIN_RATE, 6, 31, 0), F(V_BITRATE, 7, 31, 0),
    F(V_SID_OUT, 8, 31, 24),
    F(SIT_PID_OUT, 11, 15, 0), F(PMT_PID_OUT, 10, 15, 0), F(V_PID_OUT, 10, 31, 16), F(PCR_PID_OUT, 11, 31, 16),
    F(PAT_LENGTH, 12, 31, 24), F(PMT_LENGTH, 12, 23, 16), F(SIT_LENGTH, 12, 15, 8),
    F(PAT_CYC, 13, 31, 24), F(PMT_CYC, 13, 23, 16), F(PCR_CYC, 13, 15, 8),
    F(SIT_CYC, 14, 31, 16),
};
#undef F
static_assert(m30pb::valid(fields, 1024));

// Print shows the first seven words of each section (the host-only SIT
// words included).
#define H(member) M30_HOST_FIELD(muparam, member)
constexpr m30pb::field section_heads[] = {
    H(PAT_00), H(PAT_04), H(PAT_08), H(PAT_0C), H(PAT_10), H(PAT_14), H(PAT_18),
    H(PMT_00), H(PMT_04), H(PMT_08), H(PMT_0C), H(PMT_10), H(PMT_14), H(PMT_18),
    H(SIT_00), H(SIT_04), H(SIT_08), H(SIT_0C), H(SIT_10), H(SIT_14), H(SIT_18),
};
#undef H
constexpr auto print_fields = m30enc::join(fields, section_heads);

// Each section is 49 consecutive words of the structure and of the image.
constexpr size_t section_words = 49;
static_assert(MU_SECTION_MAX_LENGTH == 4 * section_words);
static_assert(offsetof(muparam, PAT_C0) - offsetof(muparam, PAT_00) == 4 * (section_words - 1));
static_assert(offsetof(muparam, PMT_00) == offsetof(muparam, PAT_C0) + 4);
static_assert(offsetof(muparam, SIT_C0) - offsetof(muparam, SIT_00) == 4 * (section_words - 1));
constexpr size_t pat_image_word = 15, pmt_image_word = 64;

struct section {
    size_t offset;     // of the first word in the structure
    size_t image_word; // of the first word in the image
    uint8_t muparam::*length;
};
constexpr section pat{offsetof(muparam, PAT_00), pat_image_word, &muparam::PAT_LENGTH};
constexpr section pmt{offsetof(muparam, PMT_00), pmt_image_word, &muparam::PMT_LENGTH};
static_assert(pat_image_word + section_words <= pmt_image_word && pmt_image_word + section_words <= 1024 / 4);

uint32_t load(const void *b, size_t offset, size_t i)
{
    uint32_t v;
    std::memcpy(&v, static_cast<const uint8_t *>(b) + offset + 4 * i, 4);
    return v;
}

void keep(void *b, size_t offset, size_t i, uint32_t v)
{
    std::memcpy(static_cast<uint8_t *>(b) + offset + 4 * i, &v, 4);
}

// The chip takes (length rounded down to whole words) + 8 bytes of a
// section; a length read from an image may exceed what the block holds,
// so the copy stops at the section's 49 words.
void pack_sections(const void *b, uint8_t *image) noexcept
{
    const auto *mu = static_cast<const muparam *>(b);
    for (const section &s : {pat, pmt}) { // the PMT last
        size_t n = std::min<size_t>(section_words, ((mu->*s.length & ~3u) + 8u) / 4u);
        for (size_t i = 0; i < n; ++i)
            m30pb::put_word(image, s.image_word + i, load(b, s.offset, i));
    }
}

void unpack_sections(void *b, const uint8_t *image) noexcept
{
    const auto *mu = static_cast<const muparam *>(b);
    for (const section &s : {pat, pmt}) {
        size_t n = std::min<size_t>(section_words, (mu->*s.length + 3u) / 4u);
        for (size_t i = 0; i < n; ++i)
            keep(b, s.offset, i, m30pb::get_word(image, s.image_word + i));
    }
}

constexpr m30pb::block pack_desc{"muparam", "mu", sizeof(muparam), 1024, fields, true, true};
constexpr m30pb::block print_desc{"muparam", "mu", sizeof(muparam), 1024, print_fields};
constexpr m30enc::block desc{pack_desc, print_desc, pack_sections, unpack_sections};

// Fills the first ceil(n / 4) words of a section from its bytes, first byte
// most significant; later words keep their contents.
void fill_words(muparam *mu, size_t offset, const uint8_t *bytes, size_t n)
{
    uint8_t scratch[4 * section_words] = {};
    std::memcpy(scratch, bytes, std::min(n, sizeof scratch));
    for (size_t i = 0; i < (n + 3) / 4 && i < section_words; ++i) {
        const uint8_t *p = scratch + 4 * i;
        keep(mu, offset, i, uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]);
    }
}

int set_table(muparam *mu, const section &s, const uint8_t *bytes, uint8_t length)
{
    if (!mu || !bytes || length > MU_SECTION_MAX_LENGTH)
        return errno = EINVAL, -1;
    mu->*s.length = length;
    fill_words(mu, s.offset, bytes, length);
    return 0;
}

// The default sections: bytes without the CRC, then a zero CRC, then 0xFF
// stuffing to the seventh word (ISO/IEC 13818-1 2.4.4.3 and 2.4.4.8).
constexpr size_t default_section_bytes = 28;
constexpr uint8_t default_pat_length = 16, default_pmt_length = 17;

void put_pid(uint8_t *p, unsigned pid) // '111' reserved bits, then 13 PID bits
{
    p[0] = static_cast<uint8_t>(0xE0 | ((pid >> 8) & 0x1F));
    p[1] = static_cast<uint8_t>(pid);
}

void default_pat(muparam *mu, unsigned id)
{
    uint8_t s[default_section_bytes];
    std::memset(s, 0xFF, sizeof s);
    // table_id 0, section_syntax_indicator, section_length 17,
    // transport_stream_id 0, version 0 current, section 0 of 0.
    const uint8_t head[8] = {0x00, 0xB0, 0x11, 0x00, 0x00, 0xC1, 0x00, 0x00};
    std::memcpy(s, head, 8);
    std::memset(s + 8, 0, 12); // two program entries and the CRC
    struct entry {
        uint16_t program;
        uint16_t pmt_pid;
    };
    // Default program entries (program number, PMT PID) of channels 0 to 3.
    static constexpr entry entries[4][2] = {
        {{1, 0x1E0}, {2, 0x2E0}}, {{1, 0x1E0}, {1, 0x2E0}}, {{1, 0x3E0}, {0, 0}}, {{1, 0x4E0}, {0, 0}}};
    if (id < 4)
        for (int e = 0; e < 2; ++e) {
            if (!entries[id][e].program)
                continue;
            s[8 + 4 * e] = static_cast<uint8_t>(entries[id][e].program >> 8);
            s[9 + 4 * e] = static_cast<uint8_t>(entries[id][e].program);
            put_pid(s + 10 + 4 * e, entries[id][e].pmt_pid);
        }
    mu->PAT_LENGTH = default_pat_length;
    fill_words(mu, pat.offset, s, sizeof s);
}

void default_pmt(muparam *mu, unsigned id, uint8_t stream_type)
{
    uint8_t s[default_section_bytes];
    std::memset(s, 0xFF, sizeof s);
    // table_id 2, section_length 18, program 1, version 0 current,
    // section 0 of 0.
    const uint8_t head[8] = {0x02, 0xB0, 0x12, 0x00, 0x01, 0xC1, 0x00, 0x00};
    std::memcpy(s, head, 8);
    std::memset(s + 8, 0, 13); // the body and the CRC
    if (id < 4) {
        put_pid(s + 8, mu->PCR_PID_OUT);
        s[10] = 0xF0; // program_info_length 0
        s[12] = stream_type;
        put_pid(s + 13, mu->V_PID_OUT);
        s[15] = 0xF0; // ES_info_length 0
    }
    mu->PMT_LENGTH = default_pmt_length;
    fill_words(mu, pmt.offset, s, sizeof s);
}

// stream_type of ISO/IEC 13818-1 Table 2-34: HEVC, AVC, MPEG-2 video.
uint8_t stream_type_of(mu_vsource v)
{
    switch (v) {
    case MU_VSOURCE_EH: return 0x24;
    case MU_VSOURCE_EA: return 0x1B;
    default: return 0x02;
    }
}
} // namespace

M30_ENC_FAMILY(muparam, desc)

extern "C" {

const char *const mu_vsource_strings[] = {"HEVC Encoder", "AVC Encoder", "MPEG2 Encoder", nullptr};
const char *const mu_destination_strings[] = {"SEO (PCIe)", "SO (PORT)", nullptr};

M30_API int muparam_init(muparam *mu_, mu_vsource vsource_, unsigned source_id_, uint8_t audio_mask_) noexcept
{
    if (!m30pb::fresh(mu_, &muparam::MUPARAM_CC))
        return -1;
    mu_->V_SOURCE = static_cast<uint8_t>(vsource_);
    mu_->V_SOURCE_ID = static_cast<uint8_t>(source_id_);
    mu_->DESTINATION = MU_DESTINATION_SO;
    mu_->MAS_ID_BITS = m30enc::four_stream_mask(audio_mask_);
    mu_->AUTO_NULL = 1;
    mu_->ENC_REAL_TIME_MODE = 1;
    mu_->SOUT_STCLK_DIV = 7;
    // The first channel leaves in parallel at the full rate; the others
    // share the chip and leave serially.
    bool first = source_id_ == 0;
    mu_->SOUT_MODE = first ? MU_SOUTMODE_PARALLEL : MU_SOUTMODE_SERIAL;
    mu_->SYSTEM_RATE = first ? 45000 : 24000;
    mu_->V_BITRATE = first ? 40000 : 21000;
    mu_->V_SID_OUT = 0xE0; // video stream 0 (ISO/IEC 13818-1 Table 2-22)
    if (source_id_ < 4) {
        mu_->PMT_PID_OUT = static_cast<uint16_t>(0x1E0 + 0x100 * source_id_);
        mu_->V_PID_OUT = static_cast<uint16_t>(mu_->PMT_PID_OUT + 1);
        mu_->PCR_PID_OUT = static_cast<uint16_t>(mu_->PMT_PID_OUT + 2);
    }
    mu_->SIT_PID_OUT = 31;
    default_pat(mu_, source_id_);
    default_pmt(mu_, source_id_, stream_type_of(vsource_));
    return 0;
}

M30_API unsigned muparam_get_video_rate(const muparam *mu_) noexcept { return m30enc::get(mu_, &muparam::V_BITRATE); }
M30_API int muparam_set_video_rate(muparam *mu_, unsigned kbps_) noexcept
{
    return m30pb::store(mu_, &muparam::V_BITRATE, kbps_);
}
M30_API unsigned muparam_get_system_rate(const muparam *mu_) noexcept { return m30enc::get(mu_, &muparam::SYSTEM_RATE); }
M30_API int muparam_set_system_rate(muparam *mu_, unsigned kbps_, bool ull_) noexcept
{
    return m30pb::store(mu_, &muparam::SYSTEM_RATE, kbps_ + (ull_ ? 3000u : 500u));
}
M30_API unsigned muparam_get_system_min(const muparam *mu_) noexcept { return m30enc::get(mu_, &muparam::SYSTEM_MIN_RATE); }
M30_API int muparam_set_system_min(muparam *mu_, unsigned kbps_) noexcept
{
    return m30pb::store(mu_, &muparam::SYSTEM_MIN_RATE, kbps_);
}
M30_API int muparam_set_video_pid(muparam *mu_, unsigned pid_) noexcept
{
    return m30pb::store(mu_, &muparam::V_PID_OUT, pid_);
}
M30_API int muparam_set_pmt_pid(muparam *mu_, unsigned pid_) noexcept
{
    return m30pb::store(mu_, &muparam::PMT_PID_OUT, pid_);
}
M30_API int muparam_set_pcr_pid(muparam *mu_, unsigned pid_) noexcept
{
    return m30pb::store(mu_, &muparam::PCR_PID_OUT, pid_);
}
M30_API int muparam_set_pat_table(muparam *mu_, const uint8_t *section_, uint8_t length_) noexcept
{
    return set_table(mu_, pat, section_, length_);
}
M30_API int muparam_set_pmt_table(muparam *mu_, const uint8_t *section_, uint8_t length_) noexcept
{
    return set_table(mu_, pmt, section_, length_);
}

} // extern "C"
