// Packets, bit fields, CRC and the log hook.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/crc.h>
}

#include "mpegts.h"

namespace {

tsPkt packet(std::initializer_list<uint8_t> head)
{
    tsPkt p;
    std::memset(&p, 0xFF, sizeof p);
    std::memcpy(&p, head.begin(), head.size());
    return p;
}

TEST(MpegtsPacket, HeaderGettersReadEveryField)
{
    // 0x47, TEI 1, PUSI 0, prio 1, PID 0x1ABC, scrambling 3, AFC 2, CC 9.
    tsPkt p = packet({0x47, 0xBA, 0xBC, 0xE9});
    EXPECT_EQ(tsphGetSyncByte(&p), 0x47);
    EXPECT_EQ(tsphGetTSErrorIndicator(&p), 1);
    EXPECT_EQ(tsphGetPLStartIndicator(&p), 0);
    EXPECT_EQ(tsphGetTSPriority(&p), 1);
    EXPECT_EQ(tsphGetPid(&p), 0x1ABC);
    EXPECT_EQ(tsphGetTSScramblingCtrl(&p), TS_SCRAM_CTRL_ODD);
    EXPECT_EQ(tsphGetAFCtrl(&p), 2);
    EXPECT_EQ(tsphGetContinuityCounter(&p), 9);
    ts_hdr h = tsphGetTsHdr(&p);
    EXPECT_EQ(h.pid, 0x1ABCu);
    EXPECT_EQ(h.continuity_counter, 9u);
    EXPECT_EQ(h.adaptation_field_control, 2u);
    EXPECT_EQ(h.ts_error_indicator, 1u);
}

TEST(MpegtsPacket, SettersTouchOnlyTheirBitsAndMaskValues)
{
    struct Case {
        const char *name;
        int (*set)(void *, uint32_t);
        uint32_t value;
        uint8_t expect[4]; // the value written on a zero header
        uint8_t mask[4];   // the field's bits
    };
    // Each setter on an all-zero and an all-one header.
    const Case cases[] = {
        {"sync", [](void *h, uint32_t v) { return tsphSetSyncByte(h, uint8_t(v)); }, 0x47, {0x47, 0, 0, 0}, {0xFF, 0, 0, 0}},
        {"tei", [](void *h, uint32_t v) { return tsphSetTSErrorIndicator(h, uint16_t(v)); }, 1, {0, 0x80, 0, 0}, {0, 0x80, 0, 0}},
        {"pusi", [](void *h, uint32_t v) { return tsphSetPLStartIndicator(h, uint16_t(v)); }, 1, {0, 0x40, 0, 0}, {0, 0x40, 0, 0}},
        {"prio", [](void *h, uint32_t v) { return tsphSetTSPriority(h, uint16_t(v)); }, 1, {0, 0x20, 0, 0}, {0, 0x20, 0, 0}},
        {"pid", [](void *h, uint32_t v) { return tsphSetPid(h, uint16_t(v)); }, 0xFFFF, {0, 0x1F, 0xFF, 0}, {0, 0x1F, 0xFF, 0}},
        {"scram", [](void *h, uint32_t v) { return tsphSetTSScramblingCtrl(h, uint8_t(v)); }, 2, {0, 0, 0, 0x80}, {0, 0, 0, 0xC0}},
        {"afc", [](void *h, uint32_t v) { return tsphSetAFCtrl(h, uint8_t(v)); }, 3, {0, 0, 0, 0x30}, {0, 0, 0, 0x30}},
        {"cc", [](void *h, uint32_t v) { return tsphSetContinuityCounter(h, uint8_t(v)); }, 0x1F, {0, 0, 0, 0x0F}, {0, 0, 0, 0x0F}},
    };
    for (const Case &c : cases) {
        uint8_t h[4] = {0, 0, 0, 0};
        EXPECT_EQ(c.set(h, c.value), 0);
        EXPECT_EQ(0, std::memcmp(h, c.expect, 4)) << c.name;
        uint8_t ones[4] = {0xFF, 0xFF, 0xFF, 0xFF};
        c.set(ones, 0);
        for (int i = 0; i < 4; ++i) // the field cleared, everything else kept
            EXPECT_EQ(ones[i], uint8_t(~c.mask[i])) << c.name << i;
    }
}

TEST(MpegtsPacket, ContinuityCounterWraps)
{
    tsPkt p = packet({0x47, 0x01, 0x00, 0x1F});
    tsphIterContinuityCounter(&p);
    EXPECT_EQ(tsphGetContinuityCounter(&p), 0);
    EXPECT_EQ(tsphGetAFCtrl(&p), 1);
    tsphIterContinuityCounter(&p);
    EXPECT_EQ(tsphGetContinuityCounter(&p), 1);
}

TEST(MpegtsPacket, AdaptationFieldFlags)
{
    const uint8_t af[2] = {7, 0x52}; // random access, PCR, transport private data
    adaptation_field f = tsphGetAdaptionField(af);
    EXPECT_EQ(f.length, 7);
    EXPECT_EQ(f.random_access_indicator, 1);
    EXPECT_EQ(f.pcr_flag, 1);
    EXPECT_EQ(f.transport_private_data_flag, 1);
    EXPECT_EQ(f.discontinuity_indicator + f.elementary_stream_priority_indicator + f.o_pcr_flag +
                  f.splicing_point_flag + f.adaptation_field_extension_flag,
              0);
    EXPECT_EQ(tsphGetAdaptationFieldLength(af), 7);
    const uint8_t lone[2] = {0, 0xFF}; // a single stuffing byte: no flags byte
    f = tsphGetAdaptionField(lone);
    EXPECT_EQ(f.length, 0);
    EXPECT_EQ(f.discontinuity_indicator + f.pcr_flag + f.adaptation_field_extension_flag, 0);
}

TEST(MpegtsPacket, DefaultPacket)
{
    tsPkt p;
    std::memset(&p, 0, sizeof p);
    EXPECT_EQ(generateDefaultTsPacket(&p, 0x1234), 0);
    EXPECT_EQ(is_valid_ts_packet(&p), 1);
    EXPECT_EQ(tsphGetPid(&p), 0x1234 & 0x1FFF);
    EXPECT_EQ(tsphGetPLStartIndicator(&p), 1);
    EXPECT_EQ(tsphGetAFCtrl(&p), 1);
    EXPECT_EQ(tsphGetContinuityCounter(&p), 0);
    EXPECT_EQ(tsphGetTSScramblingCtrl(&p), 0);
    EXPECT_EQ(p.payload[0], 0);
    for (int i = 1; i < 184; ++i)
        ASSERT_EQ(p.payload[i], 0xFF) << i;
    reinterpret_cast<uint8_t *>(&p)[0] = 0x46;
    EXPECT_EQ(is_valid_ts_packet(&p), 0);
}

TEST(MpegtsPacket, ShiftAndPayloadCopy)
{
    struct Case {
        const char *name;
        uint8_t b3;     // AFC in bits 5-4
        uint8_t pusi;
        uint8_t af_len; // first payload byte when AFC is 2 or 3
        uint8_t ptr;    // pointer_field after the adaptation field
        int shift;
        int copied;     // from a 184-byte buffer; -1 for a malformed packet
        int first;      // payload index where the copy starts
    };
    const Case cases[] = {
        {"payload only", 0x10, 0, 0, 0, 0, 184, 0},
        {"pusi pointer 5", 0x10, 1, 0, 5, 0, 178, 6},
        {"af 7 and payload", 0x30, 0, 7, 0, 8, 176, 8},
        {"af 7, pusi, pointer 2", 0x30, 1, 7, 2, 8, 173, 11},
        {"af only", 0x20, 0, 183, 0, 184, 0, 0},
        {"af past the end", 0x30, 0, 184, 0, 0, -1, 0},
        {"pointer past the end", 0x10, 1, 0, 184, 0, -1, 0},
        {"reserved afc", 0x00, 0, 0, 0, 0, 0, 0},
    };
    for (const Case &c : cases) {
        tsPkt p;
        for (int i = 0; i < 184; ++i)
            p.payload[i] = uint8_t(i);
        uint8_t *b = reinterpret_cast<uint8_t *>(&p);
        b[0] = 0x47;
        b[1] = uint8_t(c.pusi ? 0x40 : 0);
        b[2] = 0x20;
        b[3] = c.b3;
        int at = 0;
        if (c.b3 & 0x20) {
            p.payload[0] = c.af_len;
            at = c.af_len + 1;
        }
        if (c.pusi && at < 184)
            p.payload[at] = c.ptr;
        EXPECT_EQ(get_shift(&p), c.shift) << c.name;
        uint8_t out[184] = {};
        int n = tsCopyPayload(&p, out, sizeof out);
        EXPECT_EQ(n, c.copied) << c.name;
        if (n > 0) {
            EXPECT_EQ(0, std::memcmp(out, p.payload + c.first, size_t(n))) << c.name;
        }
        if (n > 10) { // a short buffer bounds the copy
            EXPECT_EQ(tsCopyPayload(&p, out, 10), 10) << c.name;
        }
    }
}

TEST(MpegtsPacket, KlvPacketLaysOutPesToTheLastByte)
{
    std::vector<uint8_t> klv(173);
    for (size_t i = 0; i < klv.size(); ++i)
        klv[i] = uint8_t(i * 7);
    for (size_t len : {size_t(0), size_t(20), size_t(173)}) {
        tsPkt p;
        ASSERT_EQ(packetize_klv_async(&p, 1, klv.data(), len, 0x100), 1);
        const uint8_t *b = reinterpret_cast<const uint8_t *>(&p);
        EXPECT_EQ(b[0], 0x47);
        EXPECT_EQ(tsphGetPLStartIndicator(&p), 1);
        EXPECT_EQ(tsphGetPid(&p), 0x100);
        EXPECT_EQ(tsphGetAFCtrl(&p), 3);
        EXPECT_EQ(tsphGetContinuityCounter(&p), 0);
        const size_t af = 174 - len;
        EXPECT_EQ(p.payload[0], af) << len;
        EXPECT_EQ(p.payload[1], 0) << len;
        for (size_t i = 2; i <= af; ++i)
            EXPECT_EQ(p.payload[i], 0xFF);
        const uint8_t *pes = p.payload + 1 + af;
        const uint8_t expect[9] = {0, 0, 1, 0xBD, uint8_t((len + 3) >> 8), uint8_t(len + 3), 0x84, 0, 0};
        EXPECT_EQ(0, std::memcmp(pes, expect, 9)) << len;
        EXPECT_EQ(pes + 9 + len, b + 188);
        if (len) {
            EXPECT_EQ(0, std::memcmp(pes + 9, klv.data(), len));
        }
    }
    tsPkt p;
    EXPECT_EQ(packetize_klv_async(&p, 1, klv.data(), 174, 0x100), -1);
    EXPECT_EQ(packetize_klv_async(&p, 0, klv.data(), 10, 0x100), -1);
    EXPECT_EQ(packetize_klv_async(&p, 1, nullptr, 10, 0x100), -1);
}

TEST(MpegtsPacket, HexTextStaysInsideTheBuffer)
{
    tsPkt p;
    generateDefaultTsPacket(&p, 0x11);
    char big[1024];
    int n = tspkt_to_string(&p, big, sizeof big);
    ASSERT_EQ(n, 188 * 3 + 1); // 188 groups, the last followed by a blank, then the newline
    EXPECT_EQ(std::string(big, 24), "47 40 11 10 00 ff ff ff\n");
    EXPECT_EQ(big[n - 1], '\n');
    EXPECT_EQ(big[n], '\0');
    char small[32];
    std::memset(small, 'X', sizeof small);
    n = tspkt_to_string(&p, small, 20);
    EXPECT_EQ(n, 19);
    EXPECT_EQ(std::string(small), "47 40 11 10 00 ff \n");
    EXPECT_EQ(small[20], 'X');
}

TEST(MpegtsBits, PlainSmartAndAdvancedForms)
{
    const uint8_t w[8] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
    uint32_t host;
    std::memcpy(&host, w, 4);
    // The network form counts from the first byte in memory.
    EXPECT_EQ(get_bits_32_smart(0, 8, 1, w), 0x12u);
    EXPECT_EQ(get_bits_32_smart(0, 8, 0, w), host & 0xFF);
    EXPECT_EQ(get_bits_32(0, 8, 1, w), 0x78u);
    EXPECT_EQ(get_bits_32(4, 12, 1, w), 0x567u);
    EXPECT_EQ(get_bits_16_smart(4, 8, 1, w), 0x23u);
    EXPECT_EQ(get_bits_64_smart(0, 33, 1, w) , 0x12345678ull << 1 | 1); // like PCR base (33 bits)
    EXPECT_EQ(get_bits_64(60, 8, 1, w), 0x1u);                          // clipped at the top
    EXPECT_EQ(get_bits_32_smart_adv(0x001FFF00, 8, 1, w), 0x1456u);
    EXPECT_EQ(get_bits_16_smart_adv(0x00F0, 4, 1, w), 0x3u);
    EXPECT_EQ(get_bits_8(4, 4, w), 0x1u);
    // Nothing left inside the word.
    EXPECT_EQ(get_bits_32(32, 4, 1, w), 0u);
    EXPECT_EQ(get_bits_32(0, 0, 1, w), 0u);
    EXPECT_EQ(get_bits_64(64, 1, 0, w), 0u);

    uint8_t m[8] = {};
    EXPECT_EQ(set_bits_32_smart(3, 13, 1, m, 0xFFFF), 0); // a PID field
    EXPECT_EQ(m[0], 0x1F);
    EXPECT_EQ(m[1], 0xFF);
    EXPECT_EQ(m[2], 0);
    set_bits_64_smart(0, 33, 1, m, 0);
    EXPECT_EQ(m[0] | m[1] | m[2] | m[3] | (m[4] & 0x80), 0);
    set_bits_16(8, 8, 1, 0xAB, m);
    EXPECT_EQ(m[0], 0xAB);
    set_bits_32_smart_adv(0x0000000F, 0, 1, m, 0x1A);
    EXPECT_EQ(m[3], 0x0A);
    uint8_t before[8];
    std::memcpy(before, m, 8);
    set_bits_32(32, 4, 1, 0xF, m);
    set_bits_64(0, 0, 1, 0xF, m);
    set_bits_8(8, 1, 1, m);
    EXPECT_EQ(0, std::memcmp(before, m, 8));
    uint8_t one = 0;
    set_bits_8(7, 1, 1, &one);
    EXPECT_EQ(one, 0x80);
}

TEST(MpegtsCrc, KnownValueAndEdges)
{
    const char *digits = "123456789";
    EXPECT_EQ(DvbCrc32Compute(reinterpret_cast<const uint8_t *>(digits), 9), 0x0376E6E7u);
    EXPECT_EQ(DvbCrc32Compute(reinterpret_cast<const uint8_t *>(digits), 0), 0xFFFFFFFFu);
    uint8_t sec[13] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    uint32_t crc = DvbCrc32Compute(sec, 9);
    sec[9] = uint8_t(crc >> 24);
    sec[10] = uint8_t(crc >> 16);
    sec[11] = uint8_t(crc >> 8);
    sec[12] = uint8_t(crc);
    EXPECT_EQ(DvbCrc32Check(sec, 13), 1);
    sec[4] ^= 1;
    EXPECT_EQ(DvbCrc32Check(sec, 13), 0);
    EXPECT_EQ(DvbCrc32Check(sec, 3), 0);
    EXPECT_EQ(DvbCrc32Check(sec, 0), 0);
    // The CRC of the four CRC bytes appended gives zero: a whole section checks.
    const uint8_t whole[4] = {0x03, 0x76, 0xE6, 0xE7};
    std::vector<uint8_t> v(digits, digits + 9);
    v.insert(v.end(), whole, whole + 4);
    EXPECT_EQ(DvbCrc32Check(v.data(), v.size()), 1);
}

TEST(MpegtsCrc, AgreesWithFfmpegOnRandomBuffers)
{
    const AVCRC *table = av_crc_get_table(AV_CRC_32_IEEE);
    std::mt19937 rng(1234);
    std::vector<uint8_t> buf(4099);
    for (auto &b : buf)
        b = uint8_t(rng());
    for (size_t len : {1u, 3u, 7u, 8u, 9u, 15u, 16u, 17u, 183u, 184u, 1021u, 4099u}) {
        for (size_t off : {0u, 1u, 3u}) {
            if (off + len > buf.size())
                continue;
            // FFmpeg's MSB-first tables work on the byte-swapped register.
            uint32_t want = __builtin_bswap32(av_crc(table, 0xFFFFFFFFu, buf.data() + off, len));
            EXPECT_EQ(DvbCrc32Compute(buf.data() + off, len), want) << len << " at " << off;
        }
    }
}

struct LogSeen {
    int calls = 0;
    int level = -1;
    std::string text;
};

void hook(void *ctx, enum mpegts_log_level level, const char *fmt, ...)
{
    auto *seen = static_cast<LogSeen *>(ctx);
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    seen->calls++;
    seen->level = level;
    seen->text = buf;
}

TEST(MpegtsLog, HookAnnouncesItselfAndCanBeRemoved)
{
    LogSeen seen;
    EXPECT_EQ(mpegts_set_on_log(hook, &seen), 0);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.level, MPEGTS_LOG_INFO);
    EXPECT_EQ(seen.text, "Ready\n");
    EXPECT_EQ(mpegts_set_on_log(nullptr, &seen), 0);
    EXPECT_EQ(seen.calls, 1);
}

} // namespace
