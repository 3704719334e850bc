// libFuzzer target over the store's load and apply: any text as the store
// file. What is kept is a store of texts that reads back unchanged;
// applying it to the probe's tree goes through the setters, and saving
// the tree leaves a text for every read-write value.
#include "fuzz_frame.h"
#include "probe.h"
#include "store/store_text.h"

#include <kerrow/param.h>
#include <kerrow/plugin.h>
#include <kerrow/store.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

plugin_load_info *g_probe = nullptr;
param_context *g_tree = nullptr;

bool usable_key(const char *k)
{
    for (; *k; ++k)
        if (static_cast<unsigned char>(*k) < 0x20)
            return false;
    return true;
}

// Sections of texts, nothing else.
void check_kept(json_t *root)
{
    const char *name, *key;
    json_t *section, *value;
    json_object_foreach(root, name, section)
    {
        if (!usable_key(name) || !json_is_object(section))
            std::abort();
        json_object_foreach(section, key, value)
        {
            if (!usable_key(key) || !json_is_string(value) ||
                std::strlen(json_string_value(value)) != json_string_length(value))
                std::abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    kdfuzz::start_framework("5");
    g_probe = __test_insert_active_plugin("probe", "/nowhere/libsv-probe.so");
    g_tree = probe::build(g_probe);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> dropped;
    std::string why;
    json_t *root = kd::store_parse_text(text, dropped, why);
    if (!root) {
        if (why.empty())
            std::abort();
        return 0;
    }
    check_kept(root);
    // Written out and read again, the store is the same and loses nothing.
    char *dump = json_dumps(root, JSON_COMPACT);
    if (!dump)
        std::abort();
    std::vector<std::string> again_dropped;
    json_t *again = kd::store_parse_text(dump, again_dropped, why);
    std::free(dump);
    if (!again || !again_dropped.empty() || !json_equal(root, again))
        std::abort();
    json_decref(again);

    set_store(root);
    json_decref(root);
    kd_store_load_params(g_probe, g_tree);
    kd_store_save_params(g_probe, g_tree);
    char *level = nullptr;
    if (kd_store_load_string(g_probe, "probe/level", &level) != 0)
        std::abort(); // saved by the line above
    std::free(level);
    return 0;
}
