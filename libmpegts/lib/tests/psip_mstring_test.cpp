// Multiple string structures and the UTF-8 decoder behind them. Texts are
// copied into buffers of their exact size so that the sanitizer build sees
// any read past them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "mpegts.h"

namespace {

const TMultiString *as_ms(const std::vector<uint8_t> &b) { return reinterpret_cast<const TMultiString *>(b.data()); }

// The bytes a structure of one string with one mode-0 segment holds.
std::vector<uint8_t> one_segment(const std::string &latin1)
{
    std::vector<uint8_t> v(8 + latin1.size());
    const uint8_t head[8] = {1, 'e', 'n', 'g', 1, 0, 0, uint8_t(latin1.size())};
    std::memcpy(v.data(), head, sizeof head);
    std::memcpy(v.data() + 8, latin1.data(), latin1.size());
    return v;
}

TEST(PsipMultiString, AppendStringLayoutAndReadBack)
{
    std::vector<uint8_t> b(64, 0xAA);
    TMultiString *ms = ms_init(b.data());
    ASSERT_NE(ms_append_string(ms, "eng", "abc", 3), nullptr);
    // 01, "eng", 01, 00, 00, 03, "abc": eleven bytes.
    ASSERT_EQ(ms_get_size(ms), 11);
    EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.begin() + 11), one_segment("abc"));

    // A second, empty string has no segment.
    ASSERT_NE(ms_append_string(ms, "fre", "", 5), nullptr);
    EXPECT_EQ(ms_get_size(ms), 15);
    EXPECT_EQ(ms_get_number_strings(ms), 2);
    EXPECT_EQ(ms_string_get_number_segments(ms, 1), 0);
    EXPECT_EQ(ms_string_get_number_segments(ms, 2), -1);

    char lang[3];
    char text[8];
    EXPECT_EQ(ms_get_string(ms, 0, lang, text, sizeof text), 3);
    EXPECT_STREQ(text, "abc");
    EXPECT_EQ(std::string(lang, 3), "eng");
    EXPECT_EQ(ms_get_string(ms, 1, lang, text, sizeof text), 0);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(std::string(lang, 3), std::string(3, '\0'));
    // A short buffer keeps size - 1 bytes and still answers number_bytes.
    EXPECT_EQ(ms_get_string(ms, 0, nullptr, text, 3), 3);
    EXPECT_STREQ(text, "ab");

    EXPECT_EQ(ms_get_string(ms, 2, lang, text, sizeof text), -1);
    EXPECT_EQ(ms_get_string(ms, 0, lang, text, 0), -1);
    EXPECT_EQ(ms_get_string(ms, 0, lang, nullptr, 4), -1);
    EXPECT_EQ(ms_get_string(nullptr, 0, lang, text, 4), -1);

    EXPECT_EQ(ms_segment_get_number_bytes(ms, 0, 0), 3);
    EXPECT_EQ(0, std::memcmp(ms_segment_get_bytes(ms, 0, 0), "abc", 3));
    EXPECT_EQ(ms_segment_get_compression_type(ms, 0, 0), MSCT_NONE);
    EXPECT_EQ(ms_segment_get_mode(ms, 0, 0), MSMD_UNICODE_00);
    EXPECT_EQ(ms_segment_get_number_bytes(ms, 0, 1), -1);
    EXPECT_EQ(ms_segment_get_bytes(ms, 1, 0), nullptr);
    EXPECT_EQ(ms_string_get_segment(ms, 0, 1), nullptr);
}

TEST(PsipMultiString, RawSegmentsAndTheirLimits)
{
    std::vector<uint8_t> b(1024, 0);
    TMultiString *ms = ms_init(b.data());
    TMultiStringEntry *e = ms_append_entry(ms, "spa");
    ASSERT_NE(e, nullptr);
    const uint8_t utf16[] = {0x00, 0x41, 0x01, 0x00};
    ASSERT_EQ(ms_entry_append_raw_segment(e, MSCT_NONE, MSMD_UNICODE_UTF16, utf16, sizeof utf16), 0);
    ASSERT_EQ(ms_entry_append_raw_segment(e, MSCT_HUFFMAN_1, MSMD_UNICODE_00, utf16, 1), 0);
    EXPECT_EQ(ms_string_get_number_segments(ms, 0), 2);
    EXPECT_EQ(ms_segment_get_mode(ms, 0, 0), MSMD_UNICODE_UTF16);
    EXPECT_EQ(ms_segment_get_compression_type(ms, 0, 1), MSCT_HUFFMAN_1);
    EXPECT_EQ(ms_get_size(ms), 1 + 4 + 3 + 4 + 3 + 1);
    // Only an uncompressed mode-0 first segment reads as text.
    char text[8];
    EXPECT_EQ(ms_get_string(ms, 0, nullptr, text, sizeof text), -1);

    std::vector<uint8_t> big(256, 'x');
    EXPECT_EQ(ms_entry_append_raw_segment(e, 0, 0, big.data(), 256), -1);
    EXPECT_EQ(ms_entry_append_raw_segment(e, 0, 0, nullptr, 1), -1);
    EXPECT_EQ(ms_string_get_number_segments(ms, 0), 2);

    // A text of 255 characters fits one segment; 256 do not.
    std::string t255(255, 'y'), t256(256, 'y');
    EXPECT_NE(ms_append_string(ms_init(b.data()), "eng", t255.c_str(), 1000), nullptr);
    EXPECT_EQ(ms_segment_get_number_bytes(reinterpret_cast<TMultiString *>(b.data()), 0, 0), 255);
    EXPECT_EQ(ms_append_string(ms_init(b.data()), "eng", t256.c_str(), 1000), nullptr);
    EXPECT_EQ(b[0], 0);
    // A structure holds at most 255 strings.
    ms = ms_init(b.data());
    for (int i = 0; i < 255; ++i)
        ASSERT_NE(ms_append_entry(ms, "eng"), nullptr);
    EXPECT_EQ(ms_append_entry(ms, "eng"), nullptr);
    EXPECT_EQ(ms_append_string(ms, "eng", "a", 1), nullptr);
}

// UTF-8 texts as ms_append_string takes them: the ISO 8859-1 bytes of the
// segment, or refused.
struct TextCase {
    const char *name;
    std::string utf8; // without its terminator
    size_t length;
    bool accepted;
    std::string latin1;
};

TEST(PsipMultiString, Utf8TextsBecomeLatin1OrAreRefused)
{
    const TextCase cases[] = {
        {"ascii", "Hello", 5, true, "Hello"},
        {"length caps characters", "Hello", 2, true, "He"},
        {"latin-1", "caf\xC3\xA9 \xC2\xBD", 6, true, "caf\xE9 \xBD"},
        {"length counts characters, not bytes", "\xC3\xA9t\xC3\xA9", 3, true, "\xE9t\xE9"},
        {"above U+00FF", "a\xC4\x80", 5, false, ""},
        {"three-byte character", "\xE2\x82\xAC", 5, false, ""},
        {"four-byte sequence skipped", "a\xF0\x9F\x98\x80z", 5, true, "az"},
        {"0x7F and stray continuation skipped", "a\x7F\x80z", 5, true, "az"},
        {"lead with a wrong continuation skipped", "a\xC3zb", 5, true, "azb"},
        {"cut inside a two-byte sequence", "ab\xC3", 10, true, "ab"},
        {"cut inside a three-byte sequence", "ab\xE2\x82", 10, true, "ab"},
        {"cut inside a four-byte sequence", "ab\xF0\x9F\x98", 10, true, "ab"},
        {"empty", "", 4, true, ""},
        {"zero length", "abc", 0, true, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<char> text(c.utf8.begin(), c.utf8.end());
        text.push_back('\0');
        std::vector<uint8_t> b(300, 0xAA);
        TMultiString *ms = ms_init(b.data());
        TMultiStringEntry *e = ms_append_string(ms, "eng", text.data(), c.length);
        ASSERT_EQ(e != nullptr, c.accepted);
        if (!c.accepted) {
            EXPECT_EQ(ms_get_number_strings(ms), 0);
            EXPECT_EQ(b[1], 0xAA); // nothing written
            continue;
        }
        if (c.latin1.empty()) {
            EXPECT_EQ(ms_get_size(ms), 5);
            EXPECT_EQ(ms_string_get_number_segments(ms, 0), 0);
        } else {
            std::vector<uint8_t> want = one_segment(c.latin1);
            EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.begin() + long(want.size())), want);
        }
    }
}

TEST(PsipMultiString, UnterminatedTextIsReadNoFurtherThanItsCharacters)
{
    // No terminator: one character may take at most four bytes, so length 1
    // reads within these four.
    std::vector<char> text = {'a', 'b', 'c', 'd'};
    std::vector<uint8_t> b(32);
    ASSERT_NE(ms_append_string(ms_init(b.data()), "eng", text.data(), 1), nullptr);
    EXPECT_EQ(ms_segment_get_number_bytes(as_ms(b), 0, 0), 1);
}

TEST(PsipMultiString, DecoderStepsAndBounds)
{
    struct Step {
        const char *name;
        std::string bytes;
        size_t left;
        uint16_t cp;
        size_t advance;
    };
    const Step steps[] = {
        {"ascii", "A", 1, 'A', 1},
        {"two bytes", "\xC3\xA9", 2, 0xE9, 2},
        {"three bytes", "\xE2\x82\xAC", 3, 0x20AC, 3},
        {"skips 0x7F",
         "\x7F"
         "B",
         2, 'B', 2},
        {"skips a four-byte sequence",
         "\xF0\x9F\x98\x80"
         "C",
         5, 'C', 5},
        {"skips a lead whose continuation is wrong",
         "\xC3"
         "D",
         2, 'D', 2},
        {"skips 0xFF",
         "\xFF"
         "E",
         2, 'E', 2},
        {"a sequence longer than the bytes left", "\xE2\x82\xAC", 2, 0, 2},
        {"no bytes left", "F", 0, 0, 0},
        {"zero byte", std::string(1, '\0'), 1, 0, 1},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.name);
        std::vector<char> buf(s.bytes.begin(), s.bytes.end());
        const char *p = buf.data();
        EXPECT_EQ(conv_utf8utf16(&p, s.left), s.cp);
        EXPECT_EQ(size_t(p - buf.data()), s.advance);
    }
    EXPECT_EQ(conv_utf8utf16(nullptr, 3), 0);
}

} // namespace
