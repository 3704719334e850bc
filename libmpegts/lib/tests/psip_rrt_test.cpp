// Rating Region Table: the constant region-1 section, read by our readers
// and by an independent walk of the A/65 syntax written here, rebuilt with
// our builders; the builders' limits; readers on cut sections.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "mpegts.h"

namespace {

struct Value {
    std::string abbrev, text;
    bool operator==(const Value &) const = default;
};
struct Dimension {
    std::string name;
    bool graduated;
    std::vector<Value> values;
    bool operator==(const Dimension &) const = default;
};

const std::vector<Dimension> &region1()
{
    static const std::vector<Dimension> dims = {
        {"Entire Audience",
         true,
         {{"", ""}, {"None", "None"}, {"TV-G", "TV-G"}, {"TV-PG", "TV-PG"}, {"TV-14", "TV-14"}, {"TV-MA", "TV-MA"}}},
        {"Dialogue", false, {{"", ""}, {"D", "D"}}},
        {"Language", false, {{"", ""}, {"L", "L"}}},
        {"Sex", false, {{"", ""}, {"S", "S"}}},
        {"Violence", false, {{"", ""}, {"V", "V"}}},
        {"Children", true, {{"", ""}, {"TV-Y", "TV-Y"}, {"TV-Y7", "TV-Y7"}}},
        {"Fantasy Violence", false, {{"", ""}, {"FV", "FV"}}},
        {"MPAA",
         false,
         {{"", ""},
          {"N/A", "MPAA Rating Not Applicable"},
          {"G", "Suitable for All Ages"},
          {"PG", "Parental Guidance Suggested"},
          {"PG-13", "Parents Strongly Cautioned"},
          {"R", "Restricted, under 17 must be accompanied by adult"},
          {"NC-17", "No One 17 and Under Admitted"},
          {"X", "No One 17 and Under Admitted"},
          {"NR", "Not Rated by MPAA"}}},
    };
    return dims;
}

// An independent reader of the A/65 syntax: every text must be one English
// string, empty (no segments) or one uncompressed mode-0 segment.
struct Walker {
    const std::vector<uint8_t> &b;
    size_t at;
    uint8_t u8() { return b.at(at++); }
    std::string text()
    {
        size_t len = u8(), end = at + len;
        EXPECT_EQ(u8(), 1);
        EXPECT_EQ(std::string(b.begin() + long(at), b.begin() + long(at) + 3), "eng");
        at += 3;
        std::string s;
        if (u8() == 1) {
            EXPECT_EQ(u8(), 0);
            EXPECT_EQ(u8(), 0);
            size_t n = u8();
            s.assign(b.begin() + long(at), b.begin() + long(at + n));
            at += n;
        }
        EXPECT_EQ(at, end);
        return s;
    }
};

const TRrt *as_rrt(const std::vector<uint8_t> &b) { return reinterpret_cast<const TRrt *>(b.data()); }

TEST(PsipRrt, Region1SectionReadsAsTheRatingTable)
{
    std::vector<uint8_t> b(rrt_section_region1, rrt_section_region1 + RRT_SECTION_REGION1_SIZE);
    const auto *s = reinterpret_cast<const TTableBase *>(b.data());
    EXPECT_EQ(b.size(), 979u);
    EXPECT_EQ(tsGetCompleteTableLength(s), 979);
    EXPECT_EQ(tsGetSectionLength(s), 976);
    EXPECT_EQ(DvbCrc32Check(b.data(), b.size()), 1);
    EXPECT_EQ(tsGetTableId(s), 0xCA);
    EXPECT_EQ(tsGetProgramNumber(s), 0xFF01);
    EXPECT_EQ(tsGetVersion(s), 0);
    EXPECT_EQ(tsGetCurrentNext(s), 1);

    // The independent walk.
    Walker w{b, 9};
    EXPECT_EQ(w.text(), "U.S. (50 states + possessions)");
    std::vector<Dimension> dims(w.u8());
    for (auto &d : dims) {
        d.name = w.text();
        uint8_t flags = w.u8();
        EXPECT_EQ(flags & 0xE0, 0xE0);
        d.graduated = flags & 0x10;
        d.values.resize(flags & 0x0F);
        for (auto &v : d.values) {
            v.abbrev = w.text();
            v.text = w.text();
        }
    }
    EXPECT_EQ(dims, region1());
    EXPECT_EQ(w.u8(), 0xFC); // descriptors_length 0
    EXPECT_EQ(w.u8(), 0x00);
    EXPECT_EQ(w.at, b.size() - 4);

    // Our readers, as the tables dump program uses them.
    const TRrt *rrt = as_rrt(b);
    char lang[3], text[100];
    EXPECT_EQ(ms_get_string(tsGetRrtRatingRegionName(rrt), 0, lang, text, sizeof text), 30);
    EXPECT_STREQ(text, "U.S. (50 states + possessions)");
    EXPECT_EQ(std::string(lang, 3), "eng");
    ASSERT_EQ(tsGetRrtDimensionsDefined(rrt), 8);
    for (int i = 0; i < 8; ++i) {
        const TRrtDimension *d = tsGetRrtDimension(rrt, i);
        ASSERT_NE(d, nullptr);
        ASSERT_GE(ms_get_string(tsGetRrtDimensionName(d), 0, nullptr, text, sizeof text), 0);
        EXPECT_EQ(text, region1()[size_t(i)].name);
        EXPECT_EQ(tsGetRrtDimensionGraduatedScale(d), region1()[size_t(i)].graduated);
        EXPECT_EQ(tsGetRrtDimensionValuesDefined(d), region1()[size_t(i)].values.size());
    }
    EXPECT_EQ(tsGetRrtDimension(rrt, 8), nullptr);
    EXPECT_EQ(tsGetRrtDescriptorsLength(rrt), 0);
}

TEST(PsipRrt, BuildersRebuildTheRegion1Section)
{
    std::vector<uint8_t> b(PSI_SECTION_MAX_SIZE, 0x5A);
    TRrt *rrt = reinterpret_cast<TRrt *>(b.data());
    ASSERT_EQ(tsInitRrt(rrt, 0), 0);
    const char *region = "U.S. (50 states + possessions)";
    ASSERT_EQ(tsSetRrtRatingRegionName(rrt, "eng", region, strlen(region)), 0);
    for (const auto &dim : region1()) {
        TRrtDimension *d = tsAppendRrtDimension(rrt, "eng", dim.name.c_str(), dim.name.size());
        ASSERT_NE(d, nullptr) << dim.name;
        tsSetRrtDimensionGraduatedScale(d, dim.graduated);
        for (const auto &v : dim.values) {
            TRrtRatingValueEntry *e = tsAppendRrtDimensionRatingValue(d, "eng", v.abbrev.c_str(), v.abbrev.size(),
                                                                      v.text.c_str(), v.text.size());
            ASSERT_NE(e, nullptr) << v.abbrev;
            tsAddToSectionLength(&rrt->header, sizeof_RrtRatingValueEntry(e));
        }
    }
    tsUpdateCRC(&rrt->header);
    ASSERT_EQ(tsGetCompleteTableLength(&rrt->header), RRT_SECTION_REGION1_SIZE);
    for (size_t i = 0; i < RRT_SECTION_REGION1_SIZE; ++i)
        ASSERT_EQ(b[i], rrt_section_region1[i]) << "first difference at offset " << i;
}

TEST(PsipRrt, BuildersRefuseWhatTheFieldsCannotCarry)
{
    std::vector<uint8_t> b(PSI_SECTION_MAX_SIZE, 0);
    TRrt *rrt = reinterpret_cast<TRrt *>(b.data());
    tsInitRrt(rrt, 0);
    const std::string n33(33, 'n');
    EXPECT_EQ(tsSetRrtRatingRegionName(rrt, "eng", n33.c_str(), n33.size()), -1);
    EXPECT_EQ(tsSetRrtRatingRegionName(rrt, "eng", "\xC4\x80", 2), -1);
    EXPECT_EQ(tsGetSectionLength(&rrt->header), 14);
    ASSERT_EQ(tsSetRrtRatingRegionName(rrt, "eng", n33.c_str(), 32), 0);
    EXPECT_EQ(tsAppendRrtDimension(rrt, "eng", "twenty-one characters", 21), nullptr);
    TRrtDimension *d = tsAppendRrtDimension(rrt, "eng", "Dim", 3);
    ASSERT_NE(d, nullptr);

    // Descriptors after the dimensions: a 10-bit length, kept behind values
    // appended later.
    ASSERT_EQ(tsSetRrtDescriptorsLength(rrt, 0x3FF), 0);
    EXPECT_EQ(tsGetRrtDescriptorsLength(rrt), 0x3FF);
    tsSetRrtDescriptorsLength(rrt, 3);
    tsAddToSectionLength(&rrt->header, 3);
    uint8_t *desc = reinterpret_cast<uint8_t *>(d) + sizeof_RrtDimension(d) + 2;
    std::memcpy(desc, "\x80\x01\x77", 3);

    const std::vector<uint8_t> before = b;
    EXPECT_EQ(tsAppendRrtDimensionRatingValue(d, "eng", "ABCDEFGHI", 9, "v", 1), nullptr);
    const std::string v151(151, 'v');
    EXPECT_EQ(tsAppendRrtDimensionRatingValue(d, "eng", "A", 1, v151.c_str(), v151.size()), nullptr);
    EXPECT_EQ(tsAppendRrtDimensionRatingValue(d, "eng", "A", 1, "\xC4\x80", 2), nullptr);
    EXPECT_EQ(b, before);

    for (int i = 0; i < RRT_VALUES_MAX; ++i) {
        TRrtRatingValueEntry *v = tsAppendRrtDimensionRatingValue(d, "eng", "ABCDEFGH", 8, "x", 1);
        ASSERT_NE(v, nullptr);
        tsAddToSectionLength(&rrt->header, sizeof_RrtRatingValueEntry(v));
    }
    EXPECT_EQ(tsAppendRrtDimensionRatingValue(d, "eng", "A", 1, "x", 1), nullptr);
    EXPECT_EQ(tsGetRrtDimensionValuesDefined(d), RRT_VALUES_MAX);
    EXPECT_EQ(tsGetRrtDescriptorsLength(rrt), 3);
    desc = reinterpret_cast<uint8_t *>(d) + sizeof_RrtDimension(d) + 2;
    EXPECT_EQ(0, std::memcmp(desc, "\x80\x01\x77", 3));
    EXPECT_EQ(tsGetRrtDimension(rrt, 0), d);

    // Renaming the first of two dimensions moves the second and the
    // descriptors.
    TRrtDimension *second = tsAppendRrtDimension(rrt, "eng", "Two", 3);
    ASSERT_NE(second, nullptr);
    int before_len = tsGetSectionLength(&rrt->header);
    ASSERT_EQ(tsSetRrtDimensionName(rrt, d, "eng", "Longer name", 11), 0);
    EXPECT_EQ(tsGetSectionLength(&rrt->header), before_len + 8);
    char text[32];
    ms_get_string(tsGetRrtDimensionName(tsGetRrtDimension(rrt, 0)), 0, nullptr, text, sizeof text);
    EXPECT_STREQ(text, "Longer name");
    ms_get_string(tsGetRrtDimensionName(tsGetRrtDimension(rrt, 1)), 0, nullptr, text, sizeof text);
    EXPECT_STREQ(text, "Two");
    EXPECT_EQ(tsGetRrtDescriptorsLength(rrt), 3);
    TRrtDimension stranger{};
    EXPECT_EQ(tsSetRrtDimensionName(rrt, &stranger, "eng", "x", 1), -1);
}

TEST(PsipRrt, ReadersStayInsideACutSection)
{
    // The region-1 table cut at every length, each in a buffer of exactly
    // its size: the readers hand out only what lies whole inside.
    for (size_t len = 7; len <= RRT_SECTION_REGION1_SIZE; ++len) {
        std::vector<uint8_t> b(rrt_section_region1, rrt_section_region1 + len);
        b[1] = uint8_t(0xF0 | ((len - 3) >> 8));
        b[2] = uint8_t(len - 3);
        const TRrt *rrt = as_rrt(b);
        const TMultiString *name = tsGetRrtRatingRegionName(rrt);
        EXPECT_EQ(name != nullptr, len >= 10 + 38 + 4) << len;
        int whole = 0;
        for (int i = 0; i < tsGetRrtDimensionsDefined(rrt); ++i) {
            const TRrtDimension *d = tsGetRrtDimension(rrt, i);
            if (!d)
                break;
            ++whole;
            char text[100];
            EXPECT_GE(ms_get_string(tsGetRrtDimensionName(d), 0, nullptr, text, sizeof text), 0);
            EXPECT_LE(size_t(reinterpret_cast<const uint8_t *>(d) - b.data()) + size_t(sizeof_RrtDimension(d)),
                      len - 4);
        }
        EXPECT_EQ(whole == 8, len >= RRT_SECTION_REGION1_SIZE - 2) << len;
        tsGetRrtDescriptorsLength(rrt);
    }
}

} // namespace
