// The texts the forwarder keeps in the store to say which rows exist, read
// back: id lists ("100,101") and keyed lists ("3[0,1];4[]", an output and
// its service ids, or a service and its remap ids).
//
// An id is a whole non-negative decimal number that fits an int, within
// the range its kind of row may take, and a list holds a bounded number of
// them; anything else in a text is skipped entry by entry, and every
// skipped entry is reported with the reason, so that a damaged text
// restores the rest.
#pragma once

#include "cfg/mcf_limits.h"

#include <climits>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace mcf::store {

// The reason of an entry that is not "id[ids]" at all.
inline constexpr const char *kMalformed = "not of the form id[ids]";

// One entry a parser left out, and why: a whole entry, or one member of
// the brackets of a keyed entry.
struct skipped {
    std::string entry;
    std::string member; // empty: the whole entry
    std::string why;
    // The entry, and ": " and the member when there is one.
    std::string text() const { return member.empty() ? entry : entry + ": " + member; }
};

// What one list may hold: ids within `range`, the first `max` of them.
struct id_rule {
    limits::id_range range;
    size_t max = limits::kListIds;
};
// Any id, any number of them.
inline constexpr id_rule kAnyIds{{0, INT_MAX}, SIZE_MAX};

// The longest text a saved list of `r` can be: every id with a separator.
size_t list_text_max(const id_rule &r);
// The same for "key[member,...]" entries joined with ";".
size_t keyed_text_max(const id_rule &keys, const id_rule &members);
// The entries of `text` that lie whole within its first `max` bytes (the
// text up to the last `sep` there); the text itself when it is no longer.
std::string_view head_of(std::string_view text, size_t max, char sep);

// The entries of a text split at `sep`; empty entries (doubled
// separators, one at either end) are left out.
std::vector<std::string_view> split(std::string_view text, char sep);

// `text` as a whole non-negative decimal number within int; false else.
bool parse_id(std::string_view text, int *out);

// The ids of a list joined with ",", ascending and each once; entries that
// are no id, lie outside the rule's range, repeat an id or come after the
// rule's number of ids are reported in `skips`.
std::set<int> parse_id_list(std::string_view text, std::vector<skipped> &skips, const id_rule &rule = kAnyIds);

struct keyed_ids {
    int id = 0;
    std::set<int> ids;
};

// The entries "id[a,b,...]" of a text joined with ";", in text order. An
// entry must match the whole expression ([0-9]+)\[(.*)\] with a valid id
// under `keys`; one that does not, or that repeats an earlier entry's id,
// is reported and left out. Ids inside the brackets are read under
// `members`: bad ones are reported and left out of that entry's set
// (`skips` names them with their entry).
std::vector<keyed_ids> parse_keyed_lists(std::string_view text, std::vector<skipped> &skips,
                                         const id_rule &keys = kAnyIds, const id_rule &members = kAnyIds);

} // namespace mcf::store
