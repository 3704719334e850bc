// The device MIB as the bridge sees it: every leaf's sub-OID mapped to the
// CLI reference its description names, the index objects of table columns,
// and the choice texts of enumerated conventions. Filled once at start,
// read-only afterwards.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

struct tree;
struct enum_list;

namespace snmpbridge {

inline constexpr std::string_view OID_PREFIX_STR = ".1.3.6.1.4.1.57321.3.65";

// The MIB's directory and file, fixed platform paths under KD_ROOT.
inline constexpr const char *MIB_DIR = "/usr/local/share/mibs";
inline constexpr const char *MIB_FILE = "/usr/local/share/mibs/TESSMAR-SLV-MIB.txt";

// The time-zone choice texts, in the order of the "ChoicesTimezone"
// enumeration, joined by ", ".
const std::string &choices_timezone_str();

// Sub-OID order: components compared as unsigned decimal numbers of any
// length; a proper prefix sorts first. Answers <0, 0 or >0.
int oidCompare(std::string_view a, std::string_view b);
struct oid_less {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return oidCompare(a, b) < 0; }
};
// True when sub-OID r is k or continues k with further components (as
// components: ".1.25" does not continue ".1.2").
bool oid_begins_with(std::string_view r, std::string_view k);

struct choices_enum {
    std::unordered_map<std::string, int> text_to_number;
    std::unordered_map<int, std::string> number_to_text;
};

// The program-wide tables.
struct mib_tables {
    std::map<std::string, std::string, oid_less> suboid_to_cliref_raw;
    std::unordered_map<std::string, std::vector<std::string>> suboid_to_index_vec;
    std::unordered_map<std::string, int> cliref_raw_to_tc_index;
    std::unordered_map<int, choices_enum> tc_index_to_choices_enum;
};
mib_tables &mib();

// Loads the MIB file and fills the tables (a missing file or root leaves
// them empty). Answers whether the root node was found.
bool load_mib();
// Adds one leaf of the loaded MIB to the tables.
void populate_mappings(const tree *node);
std::string get_cliref_raw(const tree *node);
std::string get_suboid(const tree *node);

// Pairs a choice list ("A, B, C") with an enumeration in the parser's
// order; notices name the leaf.
choices_enum pair_choices(std::string_view list, const enum_list *enums, std::string_view leaf);

std::pair<bool, std::string> translate_oid_to_suboid(std::string_view oid);
std::string translate_suboid_to_oid(std::string_view suboid);
std::pair<std::string, std::string> split_suboid(std::string_view suboid);
std::pair<std::string, std::string> split_cliref(std::string_view cliref);

struct filled_ref {
    bool ok = false;
    std::string cliref;
    std::string cliref_raw;
};
// The CLI reference of a leaf instance: its raw reference with every "%d"
// replaced by the instance's indices in order; this card's own carrier row
// (slot 8) loses its "proxy/carrier_8/" beginning.
filled_ref translate_suboid_to_cliref_cliref_raw(std::string_view suboid);
// As above for fewer indices than "%d": cut before the first unfilled one.
filled_ref translate_suboid_to_cliref_partial(std::string_view suboid);

// The number of a choice text of the leaf with this raw reference, or -1.
long choice_number(const std::string &cliref_raw, const std::string &text);
// The choice text of a number, or nothing.
const std::string *choice_text(const std::string &cliref_raw, long number);

} // namespace snmpbridge
