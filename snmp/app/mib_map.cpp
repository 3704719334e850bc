// Loading the device MIB and translating between OIDs, sub-OIDs, CLI
// references and choice numbers.
#include "mib_map.h"

#include "cli.h"
#include "timezones.h"

#include <kerrow/path.h>

#include <charconv>
#include <cstdint>
#include <iostream>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

namespace snmpbridge {

namespace {

constexpr std::string_view kCliRefMarker = "(DO NOT MODIFY) Tessmar CLI Ref: ";
constexpr std::string_view kChoiceMarker = "(DO NOT MODIFY) Choice of: ";
constexpr std::string_view kThisCard = "proxy/carrier_8/";

const tree *root_mibtree = nullptr;

// The next component of a sub-OID at p (after its "."), advancing p.
std::string_view next_component(std::string_view s, size_t &p)
{
    if (p < s.size() && s[p] == '.')
        ++p;
    const size_t e = std::min(s.find('.', p), s.size());
    const std::string_view c = s.substr(p, e - p);
    p = e;
    return c;
}

int compare_component(std::string_view a, std::string_view b)
{
    while (a.size() > 1 && a.front() == '0')
        a.remove_prefix(1);
    while (b.size() > 1 && b.front() == '0')
        b.remove_prefix(1);
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return a.compare(b) < 0 ? -1 : a.compare(b) > 0 ? 1 : 0;
}

// An OID sub-identifier (32 bits) written in decimal digits only.
bool parse_subid(std::string_view c, uint64_t &out, std::string &why)
{
    if (c.empty() || c.find_first_not_of("0123456789") != std::string_view::npos) {
        why = "not a decimal number";
        return false;
    }
    const auto r = std::from_chars(c.data(), c.data() + c.size(), out);
    if (r.ec != std::errc() || out > UINT32_MAX) {
        why = "out of range";
        return false;
    }
    return true;
}

std::string text_after_marker(std::string_view text, std::string_view marker, size_t at)
{
    std::string_view rest = text.substr(at + marker.size());
    return str_rtrim(rest.substr(0, rest.find('\n')));
}

filled_ref fill(std::string_view suboid, bool partial)
{
    const auto &table = mib().suboid_to_cliref_raw;
    std::string s(suboid);
    std::vector<std::string> indices;
    auto found = table.find(s);
    while (found == table.end()) {
        if (s.empty())
            return {};
        auto [before, last] = split_suboid(s);
        uint64_t v = 0;
        std::string why;
        if (parse_subid(last, v, why))
            indices.insert(indices.begin(), std::to_string(v));
        else
            std::cerr << "Non-integer oid id parsed in the following suboid: " << s << "\nError message: " << why
                      << std::endl;
        s = std::move(before);
        found = table.find(s);
    }
    filled_ref r;
    r.cliref_raw = found->second;
    r.cliref = found->second;
    size_t pos = 0;
    for (const std::string &i : indices) {
        const size_t at = r.cliref.find("%d", pos);
        if (at == std::string::npos)
            return {};
        r.cliref.replace(at, 2, i);
        pos = at + i.size();
    }
    const size_t left = r.cliref.find("%d", pos);
    if (left != std::string::npos) {
        if (!partial)
            return {};
        r.cliref.resize(left);
    }
    if (r.cliref.starts_with(kThisCard))
        r.cliref.erase(0, kThisCard.size());
    r.ok = true;
    return r;
}

void walk(const tree *node)
{
    for (; node; node = node->next_peer) {
        if (node->child_list)
            walk(node->child_list);
        else if (node->type)
            populate_mappings(node);
    }
}

} // namespace

const std::string &choices_timezone_str()
{
    static const std::string joined = [] {
        std::string s;
        for (const char *const *z = kd::cfg::kTimezones; *z; ++z) {
            if (!s.empty())
                s += ", ";
            s += *z;
        }
        return s;
    }();
    return joined;
}

int oidCompare(std::string_view a, std::string_view b)
{
    size_t pa = 0, pb = 0;
    while (pa < a.size() && pb < b.size()) {
        const int c = compare_component(next_component(a, pa), next_component(b, pb));
        if (c != 0)
            return c;
    }
    const bool a_more = pa < a.size(), b_more = pb < b.size();
    return a_more == b_more ? 0 : a_more ? 1 : -1;
}

bool oid_begins_with(std::string_view r, std::string_view k)
{
    size_t pr = 0, pk = 0;
    while (pk < k.size()) {
        if (pr >= r.size())
            return false;
        if (compare_component(next_component(r, pr), next_component(k, pk)) != 0)
            return false;
    }
    return true;
}

mib_tables &mib()
{
    static mib_tables tables;
    return tables;
}

std::string get_cliref_raw(const tree *node)
{
    if (node->child_list || !node->type) {
        std::cerr << "Non-leaf nodes should not be queried for cliref" << std::endl;
        return {};
    }
    const std::string_view desc = node->description ? node->description : "";
    const size_t at = desc.find(kCliRefMarker);
    if (at == std::string_view::npos) {
        std::cerr << "Node missing 'Tessmar CLI Ref' in MIB: " << node->label << std::endl;
        return {};
    }
    if (at != 0)
        std::cerr << "CLI reference not first in description of mibtree " << node->label << std::endl;
    return text_after_marker(desc, kCliRefMarker, at);
}

std::string get_suboid(const tree *node)
{
    std::string s;
    for (; node && node != root_mibtree; node = node->parent)
        s.insert(0, "." + std::to_string(node->subid));
    return s;
}

choices_enum pair_choices(std::string_view list, const enum_list *enums, std::string_view leaf)
{
    choices_enum c;
    size_t p = 0;
    bool more_pieces = false;
    for (;;) {
        const size_t comma = list.find(',', p);
        const std::string piece = str_trim(list.substr(p, comma == std::string_view::npos ? list.npos : comma - p));
        if (!enums) {
            more_pieces = true;
            break;
        }
        c.text_to_number.emplace(piece, enums->value);
        c.number_to_text.emplace(enums->value, piece);
        enums = enums->next;
        if (comma == std::string_view::npos)
            break;
        p = comma + 1;
    }
    if (more_pieces)
        std::cerr << "More choices in description than in enumeration found for syntax of mibtree " << leaf
                  << std::endl;
    else if (enums)
        std::cerr << "More choices in enumeration than in description found for syntax of mibtree " << leaf
                  << std::endl;
    return c;
}

void populate_mappings(const tree *node)
{
    if (node->child_list || !node->type) {
        std::cerr << "Should not attempt to populate_mappings on non-leaf node" << std::endl;
        return;
    }
    const std::string_view name = node->label ? node->label : "";
    // Table index objects carry no reference of their own.
    if (name.ends_with("Ind") && node->ranges)
        return;
    const std::string raw = get_cliref_raw(node);
    if (raw.empty())
        return;
    const std::string suboid = get_suboid(node);
    mib_tables &t = mib();
    t.suboid_to_cliref_raw.insert_or_assign(suboid, raw);
    if (node->parent && node->parent->indexes) {
        std::vector<std::string> names;
        for (const index_list *i = node->parent->indexes; i; i = i->next)
            names.emplace_back(i->ilabel ? i->ilabel : "");
        t.suboid_to_index_vec.insert_or_assign(suboid, std::move(names));
    }
    if (!node->enums)
        return;
    const int tc = node->tc_index;
    if (tc < 0) {
        std::cerr << "No proper description for syntax of mibtree " << name << std::endl;
        return;
    }
    t.cliref_raw_to_tc_index.insert_or_assign(raw, tc);
    if (t.tc_index_to_choices_enum.contains(tc))
        return;
    const char *tc_name = get_tc_descriptor(tc);
    std::string list;
    if (tc_name && std::string_view(tc_name) == "ChoicesTimezone") {
        list = choices_timezone_str();
    } else {
        const char *d = get_tc_description(tc);
        const std::string_view desc = d ? d : "";
        const size_t at = desc.find(kChoiceMarker);
        if (at == std::string_view::npos) {
            std::cerr << "No proper description for syntax of mibtree " << name << std::endl;
            return;
        }
        if (at != 0)
            std::cerr << "Choice reference not first in description of mib textual-convention " << name
                      << std::endl;
        list = text_after_marker(desc, kChoiceMarker, at);
    }
    t.tc_index_to_choices_enum.emplace(tc, pair_choices(list, node->enums, name));
}

bool load_mib()
{
    mib() = {};
    root_mibtree = nullptr;
    static const bool initialised = [] {
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_SAVE_MIB_DESCRS, 1);
        init_mib();
        return true;
    }();
    (void)initialised;
    add_mibdir(kd::rooted(MIB_DIR).c_str());
    read_mib(kd::rooted(MIB_FILE).c_str());
    root_mibtree = find_tree_node("slv", -1);
    if (!root_mibtree) {
        std::cerr << "MIB root node slv not found" << std::endl;
        return false;
    }
    walk(root_mibtree->child_list);
    return true;
}

std::pair<bool, std::string> translate_oid_to_suboid(std::string_view oid)
{
    // The prefix must end at a component boundary: ".1.3.6.1.4.1.57321.3.650"
    // lies outside the MIB.
    if (!oid.starts_with(OID_PREFIX_STR))
        return {false, {}};
    const std::string_view rest = oid.substr(OID_PREFIX_STR.size());
    if (!rest.empty() && rest.front() != '.')
        return {false, {}};
    return {true, std::string(rest)};
}

std::string translate_suboid_to_oid(std::string_view suboid)
{
    std::string s(OID_PREFIX_STR);
    s += suboid;
    return s;
}

std::pair<std::string, std::string> split_suboid(std::string_view suboid)
{
    if (suboid.empty()) {
        std::cerr << "Unable to split empty suboid" << std::endl;
        return {};
    }
    const size_t dot = suboid.rfind('.');
    if (dot == std::string_view::npos) {
        std::cerr << "Suboid not properly prefixed with '.' character: " << suboid << std::endl;
        return {std::string(), std::string(suboid)};
    }
    return {std::string(suboid.substr(0, dot)), std::string(suboid.substr(dot + 1))};
}

std::pair<std::string, std::string> split_cliref(std::string_view cliref)
{
    if (cliref.empty()) {
        std::cerr << "Unable to split empty cliref" << std::endl;
        return {};
    }
    const size_t slash = cliref.rfind('/');
    if (slash == std::string_view::npos)
        return {std::string(), std::string(cliref)};
    return {std::string(cliref.substr(0, slash)), std::string(cliref.substr(slash + 1))};
}

filled_ref translate_suboid_to_cliref_cliref_raw(std::string_view suboid)
{
    return fill(suboid, false);
}

filled_ref translate_suboid_to_cliref_partial(std::string_view suboid)
{
    return fill(suboid, true);
}

long choice_number(const std::string &cliref_raw, const std::string &text)
{
    const mib_tables &t = mib();
    const auto tc = t.cliref_raw_to_tc_index.find(cliref_raw);
    if (tc == t.cliref_raw_to_tc_index.end())
        return -1;
    const auto c = t.tc_index_to_choices_enum.find(tc->second);
    if (c == t.tc_index_to_choices_enum.end())
        return -1;
    const auto n = c->second.text_to_number.find(text);
    return n == c->second.text_to_number.end() ? -1 : n->second;
}

const std::string *choice_text(const std::string &cliref_raw, long number)
{
    const mib_tables &t = mib();
    const auto tc = t.cliref_raw_to_tc_index.find(cliref_raw);
    if (tc == t.cliref_raw_to_tc_index.end())
        return nullptr;
    const auto c = t.tc_index_to_choices_enum.find(tc->second);
    if (c == t.tc_index_to_choices_enum.end() || number < INT32_MIN || number > INT32_MAX)
        return nullptr;
    const auto n = c->second.number_to_text.find(static_cast<int>(number));
    return n == c->second.number_to_text.end() ? nullptr : &n->second;
}

} // namespace snmpbridge
