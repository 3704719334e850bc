// get, getnext and set of the device MIB through the CLI server, and the
// pass_persist dialogue that carries them.
#include "bridge.h"

#include "mib_map.h"

#include <charconv>
#include <cstdint>
#include <iostream>
#include <optional>
#include <vector>

namespace snmpbridge {

namespace {

// A sub-identifier bigger than any an OID can hold: no row reaches it.
constexpr uint64_t kBeyond = uint64_t{UINT32_MAX} + 1;

struct walk_index {
    uint64_t value = 0;
    bool confirmed = false;
};

std::optional<uint64_t> parse_row(std::string_view c)
{
    uint64_t v = 0;
    if (c.empty() || c.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    const auto r = std::from_chars(c.data(), c.data() + c.size(), v);
    if (r.ec != std::errc() || v > UINT32_MAX)
        return std::nullopt;
    return v;
}

// An index value read from the asked OID; what cannot be a row number
// sorts after every row.
uint64_t index_from_request(std::string_view c)
{
    if (c.find_first_not_of("0123456789") != std::string_view::npos)
        return kBeyond;
    return parse_row(c).value_or(kBeyond);
}

std::vector<std::string_view> components(std::string_view s)
{
    std::vector<std::string_view> out;
    size_t p = 0;
    while (p < s.size()) {
        if (s[p] == '.')
            ++p;
        const size_t e = std::min(s.find('.', p), s.size());
        out.push_back(s.substr(p, e - p));
        p = e;
    }
    return out;
}

const std::vector<std::string> *index_names(const std::string &key)
{
    const auto &t = mib().suboid_to_index_vec;
    const auto it = t.find(key);
    return it == t.end() || it->second.empty() ? nullptr : &it->second;
}

std::string listing_of(const std::string &prefix)
{
    const size_t slash = prefix.rfind('/');
    return (slash == std::string::npos ? std::string() : prefix.substr(0, slash)) + "/";
}

std::string strip_line(std::string s)
{
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n'))
        s.pop_back();
    return s;
}

void write_answer(std::ostream &out, const get_answer &a)
{
    if (a.ok)
        out << translate_suboid_to_oid(a.suboid) << '\n' << a.type << '\n' << a.value << '\n';
    else
        out << "NONE\n";
    out.flush();
}

} // namespace

std::string snmp_type(std::string_view cli_type)
{
    if (cli_type == "Choice" || cli_type == "Number")
        return "integer";
    if (cli_type == "String")
        return "string";
    return {};
}

get_answer get_get_data(const std::string &cliref_raw, const cli_data_t *record)
{
    get_answer a;
    if (!record)
        return a;
    const std::string *v = record->value();
    if (!v) {
        if (record->readwrite.find("Write Only") == std::string::npos)
            return a;
        a.ok = true;
        a.type = snmp_type(record->type);
        a.value = "Write-Only Value";
        return a;
    }
    a.ok = true;
    a.type = snmp_type(record->type);
    if (record->type == "Choice")
        a.value = std::to_string(choice_number(cliref_raw, str_unquote(*v)));
    else if (record->type == "String")
        a.value = str_unquote(*v);
    else
        a.value = *v;
    return a;
}

get_answer do_get(std::string_view suboid)
{
    // An OID that names no leaf instance is not asked for: the CLI would
    // answer an empty reference with some other parameter.
    const filled_ref ref = translate_suboid_to_cliref_cliref_raw(suboid);
    if (!ref.ok)
        return {};
    const auto record = cli(ref.cliref);
    get_answer a = get_get_data(ref.cliref_raw, record.get());
    a.suboid = suboid;
    return a;
}

get_answer do_getnext(std::string_view asked)
{
    const auto &keys = mib().suboid_to_cliref_raw;
    reply_cache cache;
    std::vector<walk_index> idx;

    // Position: inside the last key not after the asked sub-OID when the
    // asked one lies in it, else at the first key after it.
    auto it = keys.upper_bound(asked);
    if (it != keys.begin()) {
        const auto k = std::prev(it);
        const std::vector<std::string> *names = index_names(k->first);
        if (names && oid_begins_with(asked, k->first)) {
            it = k;
            const auto own = components(k->first).size();
            const auto comps = components(asked);
            bool whole_row = true;
            for (size_t i = 0; i < names->size(); ++i) {
                if (own + i < comps.size())
                    idx.push_back({index_from_request(comps[own + i]), false});
                else {
                    idx.push_back({0, false});
                    whole_row = false;
                }
            }
            if (whole_row)
                idx.back().value += 1;
        }
    }

    for (;;) {
        if (it == keys.end())
            return {};
        const std::vector<std::string> *names = index_names(it->first);
        if (idx.empty() && names)
            idx.assign(names->size(), walk_index{});
        std::string candidate = it->first;
        const bool scalar = idx.empty();
        bool restart = false;

        for (size_t i = 0; i < idx.size(); ++i) {
            if (idx[i].confirmed) {
                candidate += "." + std::to_string(idx[i].value);
                continue;
            }
            const filled_ref part = translate_suboid_to_cliref_partial(candidate);
            if (!part.ok) {
                idx.clear();
                ++it;
                restart = true;
                break;
            }
            const std::string &prefix = part.cliref;
            // Slot 8 is this card: its row is there even when the listing
            // of carriers leaves it out.
            std::optional<uint64_t> best;
            if (prefix == "proxy/carrier_" && idx[i].value <= 8)
                best = 8;
            bool unreachable = false;
            const auto listing = cli(listing_of(prefix), &cache, &unreachable);
            if (unreachable)
                return {};
            for (const cli_data_t *r = listing.get(); r; r = r->next.get()) {
                if (!r->ref.starts_with(prefix))
                    continue;
                std::string_view rest = std::string_view(r->ref).substr(prefix.size());
                rest = rest.substr(0, rest.find('/'));
                const auto n = parse_row(rest);
                if (n && *n >= idx[i].value && (!best || *n < *best))
                    best = n;
            }
            if (!best) {
                if (i == 0) {
                    idx.clear();
                    ++it;
                } else {
                    idx[i - 1] = {idx[i - 1].value + 1, false};
                    for (size_t j = i; j < idx.size(); ++j)
                        idx[j] = {};
                }
                restart = true;
                break;
            }
            // A later row of this index starts its inner indices afresh.
            if (*best > idx[i].value)
                for (size_t j = i + 1; j < idx.size(); ++j)
                    idx[j] = {};
            idx[i] = {*best, true};
            candidate += "." + std::to_string(*best);
        }
        if (restart)
            continue;

        const filled_ref ref = translate_suboid_to_cliref_cliref_raw(candidate);
        if (ref.ok && oidCompare(candidate, asked) > 0) {
            bool unreachable = false;
            const auto record = cli(ref.cliref, &cache, &unreachable);
            if (unreachable)
                return {};
            get_answer a = get_get_data(ref.cliref_raw, record.get());
            if (a.ok) {
                a.suboid = std::move(candidate);
                return a;
            }
        }
        if (scalar) {
            ++it;
        } else {
            idx.back() = {idx.back().value + 1, false};
        }
    }
}

std::string do_set(std::string_view suboid, std::string_view type, std::string_view value)
{
    const filled_ref ref = translate_suboid_to_cliref_cliref_raw(suboid);
    if (!ref.ok)
        return "not-writable";
    bool unreachable = false;
    const auto record = cli(ref.cliref, nullptr, &unreachable);
    if (unreachable)
        return "resource-unavailable";
    if (!record || record->readwrite.find("Write") == std::string::npos)
        return "not-writable";
    if (type != snmp_type(record->type))
        return "wrong-type";
    // The CLI request is one line of text: a zero byte would cut the value
    // short and a line break would start another request.
    if (value.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos)
        return "wrong-value";

    std::string send;
    if (record->type == "Choice") {
        long number = 0;
        const auto r = std::from_chars(value.data(), value.data() + value.size(), number);
        if (value.empty() || r.ec != std::errc() || r.ptr != value.data() + value.size()) {
            std::cerr << "Non-integer value passed as integer: " << value << "\nError message: "
                      << (r.ec == std::errc::result_out_of_range ? "out of range" : "not a decimal integer")
                      << std::endl;
            return "wrong-type";
        }
        const std::string *text = choice_text(ref.cliref_raw, number);
        if (!text)
            return "wrong-value";
        send = *text;
    } else if (record->type == "String") {
        send = str_remquotes(value);
    } else {
        send = value;
    }

    const auto answer = cli(ref.cliref + " " + send, nullptr, &unreachable);
    if (unreachable)
        return "resource-unavailable";
    if (!answer)
        return "not-writable";
    const std::string *stored = answer->value();
    if (!stored)
        return "DONE";
    const bool quoted = answer->type == "Choice" || answer->type == "String";
    return (quoted ? str_unquote(*stored) : *stored) == send ? "DONE" : "wrong-value";
}

bool netsnmp_handshake(std::istream &in, std::ostream &out)
{
    std::string line;
    if (!std::getline(in, line) || line.find("PING") == std::string::npos)
        return false;
    out << "PONG\n";
    out.flush();
    return true;
}

void main_loop(std::istream &in, std::ostream &out)
{
    for (;;) {
        // Lines before "PING" belong to no request.
        while (!netsnmp_handshake(in, out))
            if (!in)
                return;
        std::string command;
        do {
            if (!std::getline(in, command))
                return;
            command = str_trim(command);
        } while (command.find("PING") != std::string::npos && (out << "PONG\n").flush());
        std::string oid;
        if (!std::getline(in, oid))
            return;
        oid = str_trim(oid);
        auto [inside, suboid] = translate_oid_to_suboid(oid);

        if (command == "get") {
            write_answer(out, inside ? do_get(suboid) : get_answer{});
        } else if (command == "getnext") {
            // An OID before the MIB's own walks from its start.
            if (!inside && oidCompare(oid, OID_PREFIX_STR) < 0)
                inside = true, suboid.clear();
            write_answer(out, inside ? do_getnext(suboid) : get_answer{});
        } else if (command == "set") {
            std::string line;
            if (!std::getline(in, line))
                return;
            line = strip_line(std::move(line));
            const size_t blank = line.find(' ');
            // snmpd takes any answer it does not know as success: a line it
            // cannot have meant is refused in words it knows.
            if (blank == std::string::npos || !inside)
                out << (inside ? "wrong-type" : "not-writable") << '\n';
            else
                out << do_set(suboid, std::string_view(line).substr(0, blank), std::string_view(line).substr(blank + 1))
                    << '\n';
            out.flush();
        } else {
            out << "NONE\n";
            out.flush();
        }
    }
}

} // namespace snmpbridge
