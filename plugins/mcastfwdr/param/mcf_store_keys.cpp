#include "mcf_store_keys.h"

#include <charconv>
#include <climits>

namespace mcf::store {

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

std::set<int> parse_id_list(std::string_view text, std::vector<skipped> &skips)
{
    std::set<int> ids;
    for (std::string_view e : split(text, ',')) {
        int id = 0;
        if (!parse_id(e, &id))
            skips.push_back({std::string(e), {}, "not an id"});
        else if (!ids.insert(id).second)
            skips.push_back({std::string(e), {}, "repeated"});
    }
    return ids;
}

std::vector<keyed_ids> parse_keyed_lists(std::string_view text, std::vector<skipped> &skips)
{
    std::vector<keyed_ids> out;
    std::set<int> seen;
    for (std::string_view e : split(text, ';')) {
        // The whole entry: digits, "[", anything, "]" at its very end.
        const size_t open = e.find('[');
        int id = 0;
        if (open == std::string_view::npos || e.back() != ']' || !parse_id(e.substr(0, open), &id)) {
            skips.push_back({std::string(e), {}, kMalformed});
            continue;
        }
        if (!seen.insert(id).second) {
            skips.push_back({std::string(e), {}, "repeated"});
            continue;
        }
        std::vector<skipped> inner;
        keyed_ids k{id, parse_id_list(e.substr(open + 1, e.size() - open - 2), inner)};
        for (skipped &s : inner)
            skips.push_back({std::string(e), std::move(s.entry), std::move(s.why)});
        out.push_back(std::move(k));
    }
    return out;
}

} // namespace mcf::store
