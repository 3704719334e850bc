#include "mcf_store_keys.h"

#include <charconv>
#include <climits>

namespace mcf::store {

namespace {

size_t digits(int v) { return v < 10 ? 1 : 1 + digits(v / 10); }

// How many ids a list of the rule holds at most.
size_t most_ids(const id_rule &r)
{
    const size_t span = size_t(int64_t(r.range.last) - r.range.first + 1);
    return span < r.max ? span : r.max;
}

// Why `id`, coming after `kept` ids the list keeps, is refused under the
// rule; null when it is not.
const char *refusal(const id_rule &r, int id, size_t kept, std::string &why)
{
    if (!r.range.holds(id)) {
        why = "outside " + std::to_string(r.range.first) + ".." + std::to_string(r.range.last);
        return why.c_str();
    }
    if (kept >= r.max) {
        why = "more than " + std::to_string(r.max) + " ids";
        return why.c_str();
    }
    return nullptr;
}

} // namespace

size_t list_text_max(const id_rule &r) { return most_ids(r) * (digits(r.range.last) + 1); }

size_t keyed_text_max(const id_rule &keys, const id_rule &members)
{
    // "key[" and "];" around each member list.
    return most_ids(keys) * (digits(keys.range.last) + 3 + list_text_max(members));
}

std::string_view head_of(std::string_view text, size_t max, char sep)
{
    if (text.size() <= max)
        return text;
    const size_t at = text.substr(0, max + 1).rfind(sep);
    return at == std::string_view::npos ? std::string_view() : text.substr(0, at);
}

std::vector<std::string_view> split(std::string_view text, char sep)
{
    std::vector<std::string_view> out;
    while (!text.empty()) {
        const size_t at = text.find(sep);
        const std::string_view piece = text.substr(0, at);
        if (!piece.empty())
            out.push_back(piece);
        if (at == std::string_view::npos)
            break;
        text.remove_prefix(at + 1);
    }
    return out;
}

bool parse_id(std::string_view text, int *out)
{
    if (text.empty())
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false; // no sign, no space, no base prefix
    int v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size())
        return false;
    *out = v;
    return true;
}

std::set<int> parse_id_list(std::string_view text, std::vector<skipped> &skips, const id_rule &rule)
{
    std::set<int> ids;
    std::string why;
    for (std::string_view e : split(text, ',')) {
        int id = 0;
        if (!parse_id(e, &id))
            skips.push_back({std::string(e), {}, "not an id"});
        else if (ids.count(id))
            skips.push_back({std::string(e), {}, "repeated"});
        else if (refusal(rule, id, ids.size(), why))
            skips.push_back({std::string(e), {}, why});
        else
            ids.insert(id);
    }
    return ids;
}

std::vector<keyed_ids> parse_keyed_lists(std::string_view text, std::vector<skipped> &skips, const id_rule &keys,
                                         const id_rule &members)
{
    std::vector<keyed_ids> out;
    std::set<int> seen;
    std::string why;
    for (std::string_view e : split(text, ';')) {
        // The whole entry: digits, "[", anything, "]" at its very end.
        const size_t open = e.find('[');
        int id = 0;
        if (open == std::string_view::npos || e.back() != ']' || !parse_id(e.substr(0, open), &id)) {
            skips.push_back({std::string(e), {}, kMalformed});
            continue;
        }
        if (seen.count(id)) {
            skips.push_back({std::string(e), {}, "repeated"});
            continue;
        }
        if (refusal(keys, id, seen.size(), why)) {
            skips.push_back({std::string(e), {}, why});
            continue;
        }
        seen.insert(id);
        std::vector<skipped> inner;
        keyed_ids k{id, parse_id_list(e.substr(open + 1, e.size() - open - 2), inner, members)};
        for (skipped &s : inner)
            skips.push_back({std::string(e), std::move(s.entry), std::move(s.why)});
        out.push_back(std::move(k));
    }
    return out;
}

} // namespace mcf::store
