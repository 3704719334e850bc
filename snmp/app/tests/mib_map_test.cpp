// The MIB mapping: sub-OID order, splits, loading the test MIB, filling in
// references and pairing choices.
#include "bridge_rig.h"
#include "mib_map.h"

#include <gtest/gtest.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <vector>

namespace snmpbridge {
namespace {

TEST(OidCompare, OrdersComponentsAsNumbers)
{
    struct {
        const char *a, *b;
        int want;
    } cases[] = {
        {".1.9", ".1.10", -1},     // numbers, not text
        {".1.10", ".1.9", 1},
        {".1.007", ".1.7", 0},     // leading zeros do not count
        {".1.2", ".1.2.1", -1},    // a prefix first
        {".1.2.1", ".1.2", 1},
        {"", ".1", -1},
        {"", "", 0},
        {".1.25", ".1.3", 1},
        {".1.2.99999999999999999999999", ".1.2.100000000000000000000000", -1}, // any length
        {".3.1.3.8.1", ".3.1.3.10.1", -1},
    };
    for (const auto &c : cases) {
        const int got = oidCompare(c.a, c.b);
        EXPECT_EQ((got > 0) - (got < 0), c.want) << c.a << " vs " << c.b;
    }
}

TEST(OidCompare, BeginsWithComparesWholeComponents)
{
    EXPECT_TRUE(oid_begins_with(".1.2.5", ".1.2"));
    EXPECT_TRUE(oid_begins_with(".1.2", ".1.2"));
    EXPECT_TRUE(oid_begins_with(".1.02.5", ".1.2"));
    EXPECT_FALSE(oid_begins_with(".1.25", ".1.2")); // text would say yes
    EXPECT_FALSE(oid_begins_with(".1", ".1.2"));
    EXPECT_TRUE(oid_begins_with(".1", ""));
}

TEST(Splits, CutAtTheLastSeparator)
{
    using P = std::pair<std::string, std::string>;
    EXPECT_EQ(split_suboid(".1.2.3"), P(".1.2", "3"));
    EXPECT_EQ(split_suboid(".1"), P("", "1"));
    EXPECT_EQ(split_suboid("12"), P("", "12"));
    EXPECT_EQ(split_suboid(""), P("", ""));
    EXPECT_EQ(split_cliref("proxy/carrier_3/system/name"), P("proxy/carrier_3/system", "name"));
    EXPECT_EQ(split_cliref("name"), P("", "name"));
    EXPECT_EQ(split_cliref(""), P("", ""));
}

TEST(Translate, OidAndSubOid)
{
    using P = std::pair<bool, std::string>;
    EXPECT_EQ(translate_oid_to_suboid(".1.3.6.1.4.1.57321.3.65.1.2"), P(true, ".1.2"));
    EXPECT_EQ(translate_oid_to_suboid(".1.3.6.1.4.1.57321.3.65"), P(true, ""));
    EXPECT_EQ(translate_oid_to_suboid(".1.3.6.1.4.1.57321.3.650.1"), P(false, ""));
    EXPECT_EQ(translate_oid_to_suboid(".1.3.6.1.2.1.1.3.0"), P(false, ""));
    EXPECT_EQ(translate_suboid_to_oid(".2.1.2.3"), ".1.3.6.1.4.1.57321.3.65.2.1.2.3");
}

// A two-value enumeration in the parser's order (net-snmp keeps it as
// written in the MIB, here out of numeric order).
struct two_values {
    enum_list second{nullptr, 1, const_cast<char *>("on")};
    enum_list first{&second, 2, const_cast<char *>("off")};
};

TEST(PairChoices, PairsInEnumerationOrderAndKeepsWhatPairs)
{
    two_values e;
    const choices_enum exact = pair_choices("Off , On", &e.first, "leaf");
    EXPECT_EQ(exact.text_to_number.at("Off"), 2);
    EXPECT_EQ(exact.text_to_number.at("On"), 1);
    EXPECT_EQ(exact.number_to_text.at(2), "Off");
    EXPECT_EQ(exact.number_to_text.at(1), "On");

    testing::internal::CaptureStderr();
    const choices_enum more = pair_choices("Off, On, Auto", &e.first, "leafA");
    const choices_enum fewer = pair_choices("Off", &e.first, "leafB");
    const std::string notes = testing::internal::GetCapturedStderr();
    EXPECT_EQ(more.text_to_number.size(), 2u);
    EXPECT_FALSE(more.text_to_number.contains("Auto"));
    EXPECT_EQ(fewer.number_to_text.size(), 1u);
    EXPECT_NE(notes.find("More choices in description than in enumeration found for syntax of mibtree leafA"),
              std::string::npos);
    EXPECT_NE(notes.find("More choices in enumeration than in description found for syntax of mibtree leafB"),
              std::string::npos);
}

TEST(TimezoneChoices, FourHundredSeventeenInMenuOrder)
{
    const std::string &tz = choices_timezone_str();
    EXPECT_TRUE(tz.starts_with("America/New_York, America/Chicago, "));
    EXPECT_TRUE(tz.ends_with(", Pacific/Wallis, UTC"));
    EXPECT_EQ(std::count(tz.begin(), tz.end(), ','), 416);
}

class LoadedMib : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        root_ = new test::root;
        testing::internal::CaptureStderr();
        loaded_ = load_mib();
        notes_ = new std::string(testing::internal::GetCapturedStderr());
    }
    static void TearDownTestSuite()
    {
        delete root_;
        delete notes_;
    }
    static inline test::root *root_ = nullptr;
    static inline std::string *notes_ = nullptr;
    static inline bool loaded_ = false;
};

TEST_F(LoadedMib, MapsEveryLeafWithAReferenceInOrder)
{
    ASSERT_TRUE(loaded_) << *notes_;
    std::vector<std::string> keys;
    for (const auto &[k, ref] : mib().suboid_to_cliref_raw)
        keys.push_back(k + " " + ref);
    const std::vector<std::string> want{
        ".1.1 system/name",
        ".1.2 system/mode",
        ".1.3 system/timezone",
        ".1.4 system/uptime",
        ".1.5 system/password",
        ".1.6 system/level",
        ".1.8 system/code",
        ".1.9 system/note",
        ".1.10 system/location",
        ".2.1.2 proxy/carrier_%d/system/name",
        ".2.1.3 proxy/carrier_%d/system/mode",
        ".3.1.3 proxy/carrier_%d/input/%d/name",
        ".3.1.4 proxy/carrier_%d/input/%d/rate",
    };
    EXPECT_EQ(keys, want);
    EXPECT_EQ(mib().suboid_to_index_vec.at(".2.1.3"), std::vector<std::string>{"slvCarrierInd"});
    EXPECT_EQ(mib().suboid_to_index_vec.at(".3.1.4"),
              (std::vector<std::string>{"slvInputCarrierInd", "slvInputInd"}));
    EXPECT_FALSE(mib().suboid_to_index_vec.contains(".1.1"));
    // The leaf without a reference and the reference not first are reported.
    EXPECT_NE(notes_->find("Node missing 'Tessmar CLI Ref' in MIB: slvSerial"), std::string::npos);
    EXPECT_NE(notes_->find("CLI reference not first in description of mibtree slvLocation"), std::string::npos);
}

TEST_F(LoadedMib, ChoicesFollowTheEnumerationAndTheTimezoneList)
{
    EXPECT_EQ(choice_number("system/mode", "Off"), 2);
    EXPECT_EQ(choice_number("system/mode", "On"), 1);
    EXPECT_EQ(choice_number("system/mode", "Auto"), 5);
    EXPECT_EQ(choice_number("system/mode", "Sideways"), -1);
    EXPECT_EQ(choice_number("proxy/carrier_%d/system/mode", "Auto"), 5); // same convention
    EXPECT_EQ(choice_number("system/timezone", "America/New_York"), 1);
    EXPECT_EQ(choice_number("system/timezone", "Europe/Paris"), 16);
    EXPECT_EQ(choice_number("system/timezone", "UTC"), 417);
    ASSERT_NE(choice_text("system/mode", 5), nullptr);
    EXPECT_EQ(*choice_text("system/mode", 5), "Auto");
    EXPECT_EQ(choice_text("system/mode", 3), nullptr);
    EXPECT_EQ(choice_text("system/name", 1), nullptr);
}

TEST_F(LoadedMib, FillsReferencesFromIndices)
{
    struct {
        const char *suboid;
        bool ok;
        const char *ref;
    } full[] = {
        {".1.1", true, "system/name"},
        {".1.1.0", false, ""},                            // a scalar has no index
        {".2.1.2.3", true, "proxy/carrier_3/system/name"},
        {".2.1.2.8", true, "system/name"},                // this card
        {".2.1.2.08", true, "system/name"},
        {".2.1.2.18", true, "proxy/carrier_18/system/name"},
        {".2.1.2", false, ""},                            // no index for "%d"
        {".3.1.3.3.4", true, "proxy/carrier_3/input/4/name"},
        {".3.1.3.8.2", true, "input/2/name"},
        {".3.1.3.3.4.1", false, ""},                      // an index too many
        {".3.1.3.3", false, ""},
        {".2.1.2.x", false, ""},                          // not a number
        {".2.1.2.4294967296", false, ""},                 // beyond a sub-identifier
        {".9.9", false, ""},
        {"", false, ""},
    };
    testing::internal::CaptureStderr();
    for (const auto &c : full) {
        const filled_ref r = translate_suboid_to_cliref_cliref_raw(c.suboid);
        EXPECT_EQ(r.ok, c.ok) << c.suboid;
        EXPECT_EQ(r.cliref, c.ref) << c.suboid;
    }
    const std::string notes = testing::internal::GetCapturedStderr();
    EXPECT_NE(notes.find("Non-integer oid id parsed in the following suboid: .2.1.2.x"), std::string::npos);
    EXPECT_EQ(translate_suboid_to_cliref_cliref_raw(".3.1.4.3.4").cliref_raw, "proxy/carrier_%d/input/%d/rate");

    struct {
        const char *suboid;
        const char *ref;
    } partial[] = {
        {".2.1.2", "proxy/carrier_"},
        {".3.1.3.3", "proxy/carrier_3/input/"},
        {".3.1.3.8", "input/"},
        {".3.1.3.3.4", "proxy/carrier_3/input/4/name"},
    };
    for (const auto &c : partial) {
        const filled_ref r = translate_suboid_to_cliref_partial(c.suboid);
        EXPECT_TRUE(r.ok) << c.suboid;
        EXPECT_EQ(r.cliref, c.ref) << c.suboid;
    }
    EXPECT_FALSE(translate_suboid_to_cliref_partial(".3.1.3.3.4.1").ok);
}

} // namespace
} // namespace snmpbridge
