// libFuzzer target over settings profiles: any text as a profile is split
// into its cards' parts, and each part merged with a card's store. A part
// is a piece of the profile; the merged store is the part's texts with the
// card's own web settings and kept "frame" keys, or nothing when the part
// is no store.
#include "fuzz_frame.h"
#include "profile/profile_internal.h"
#include "store/store_text.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

json_t *g_old = nullptr; // the card's store before the apply

constexpr const char *kOldStore = R"({
  "websocket": {"websocket/users": "admin:digest"},
  "frame": {"frame/common_name": "mine", "frame/chassis_number": "4", "frame/ntp": "10.0.0.1"},
  "enccfg": {"enccfg/bitrate": "8000"}
})";

bool is_marker(const std::string &name)
{
    return name == "master" || (name.size() == 5 && name.starts_with("slot"));
}

void check_merged(json_t *store)
{
    if (!json_equal(json_object_get(store, "websocket"), json_object_get(g_old, "websocket")))
        std::abort();
    // Only keys the card had, with its values.
    json_t *frame = json_object_get(store, "frame"), *old_frame = json_object_get(g_old, "frame");
    const char *key;
    json_t *value;
    json_object_foreach(frame, key, value)
    {
        if (!json_equal(value, json_object_get(old_frame, key)))
            std::abort();
    }
    const char *name;
    json_t *section;
    json_object_foreach(store, name, section)
    {
        json_object_foreach(section, key, value)
        {
            if (!json_is_string(value))
                std::abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    kdfuzz::start_framework("8");
    std::vector<std::string> dropped;
    std::string why;
    g_old = kd::store_parse_text(kOldStore, dropped, why);
    if (!g_old)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    kd::profile::store_kind(text);
    for (const auto &[name, part] : kd::profile::split_profile(text)) {
        if (!is_marker(name) || text.find(part) == std::string_view::npos)
            std::abort();
        std::vector<std::string> dropped;
        std::string why;
        json_t *parsed = kd::store_parse_text(part, dropped, why);
        json_t *merged = kd::profile::merge_store(part, g_old);
        if (!parsed != !merged)
            std::abort();
        if (merged)
            check_merged(merged);
        json_decref(parsed);
        json_decref(merged);
    }
    return 0;
}
