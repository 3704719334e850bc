// libFuzzer target over the readers of the store's row keys (the output
// list "3[0,1];4[]", the PID-map keys of the same form, and the id lists):
// whatever the text, every id kept is a whole non-negative number, every
// entry left out is a piece of the text, and what was kept, written out
// again, reads back as the same with nothing left out. Read under the
// rules of the rows, every id kept lies in its range, no list holds more
// than its rule allows, and a text cut to a list's longest length keeps
// whole entries only.
#include "param/mcf_store_keys.h"

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::string join(const std::set<int> &ids)
{
    std::string out;
    for (int id : ids)
        out += (out.empty() ? "" : ",") + std::to_string(id);
    return out;
}

void check_ids(const std::set<int> &ids)
{
    for (int id : ids)
        if (id < 0)
            std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    using namespace mcf::store;

    std::vector<skipped> skips;
    const std::set<int> ids = parse_id_list(text, skips);
    check_ids(ids);
    for (const skipped &s : skips)
        if (s.entry.empty() || text.find(s.entry) == std::string_view::npos)
            std::abort();
    std::vector<skipped> again;
    if (parse_id_list(join(ids), again) != ids || !again.empty())
        std::abort();

    skips.clear();
    const std::vector<keyed_ids> lists = parse_keyed_lists(text, skips);
    std::set<int> keys;
    std::string written;
    for (const keyed_ids &k : lists) {
        if (k.id < 0 || !keys.insert(k.id).second)
            std::abort(); // each id once
        check_ids(k.ids);
        written += (written.empty() ? "" : ";") + std::to_string(k.id) + "[" + join(k.ids) + "]";
    }
    for (const skipped &s : skips)
        if (s.entry.empty() || text.find(s.entry) == std::string_view::npos ||
            (!s.member.empty() && s.entry.find(s.member) == std::string::npos))
            std::abort();
    again.clear();
    const std::vector<keyed_ids> back = parse_keyed_lists(written, again);
    if (!again.empty() || back.size() != lists.size())
        std::abort();
    for (size_t i = 0; i < back.size(); ++i)
        if (back[i].id != lists[i].id || back[i].ids != lists[i].ids)
            std::abort();

    const id_rule outputs{mcf::limits::kOutputs}, remaps{mcf::limits::kRemaps, 3};
    auto obeys = [](const std::set<int> &set, const id_rule &r) {
        if (set.size() > r.max)
            return false;
        for (int id : set)
            if (!r.range.holds(id))
                return false;
        return true;
    };
    skips.clear();
    if (!obeys(parse_id_list(text, skips, remaps), remaps))
        std::abort();
    const std::string_view head = head_of(text, keyed_text_max(outputs, remaps), ';');
    if (head.size() > keyed_text_max(outputs, remaps) || text.substr(0, head.size()) != head ||
        (!head.empty() && head.size() < text.size() && text[head.size()] != ';'))
        std::abort();
    std::set<int> ruled_keys;
    for (const keyed_ids &k : parse_keyed_lists(head, skips, outputs, remaps))
        if (!outputs.range.holds(k.id) || !ruled_keys.insert(k.id).second || !obeys(k.ids, remaps))
            std::abort();
    return 0;
}
