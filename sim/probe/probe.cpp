#include "probe.h"

#include <kerrow/ref.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace probe {
namespace {

values g_values;

const char *fresh(const std::string &s)
{
    char *out = strdup(s.c_str());
    if (out)
        kd_ref_init_ptr(out, nullptr);
    return out;
}

const char **table(std::initializer_list<const char *> items)
{
    auto **t = static_cast<const char **>(std::calloc(items.size() + 1, sizeof(const char *)));
    if (!t)
        return nullptr;
    size_t i = 0;
    for (const char *s : items)
        t[i++] = s; // static texts: the reader releases only the table
    kd_ref_init_ptr(t, nullptr);
    return t;
}

const char *help_text(param_context *) { return "Any text at all."; }
const char *text_value(param_context *) { return fresh(g_values.text); }
param_set_result text_set(param_context *, const char *t)
{
    g_values.text = t ? t : "";
    ++g_values.sets;
    return PARAM_SET_SUCCESS;
}

int level_value(param_context *) { return g_values.level; }
int level_min(param_context *) { return 0; }
int level_max(param_context *) { return 100; }
int step_one(param_context *) { return 1; }
param_set_result level_set(param_context *, const char *t)
{
    if (!t || !*t)
        return PARAM_SET_FAILURE;
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(t, &end, 10);
    if (errno || *end || v < 0 || v > 100)
        return PARAM_SET_FAILURE;
    g_values.level = static_cast<int>(v);
    ++g_values.sets;
    return PARAM_SET_SUCCESS;
}

const char *mode_value(param_context *) { return fresh(g_values.mode); }
const char **mode_choices(param_context *) { return table({"Off", "On", "Auto"}); }
param_set_result mode_set(param_context *, const char *t)
{
    for (const char *c : {"Off", "On", "Auto"})
        if (t && !std::strcmp(t, c)) {
            g_values.mode = c;
            ++g_values.sets;
            return PARAM_SET_SUCCESS;
        }
    return PARAM_SET_FAILURE;
}

const char *flags_value(param_context *) { return fresh(g_values.flags); }
const char **flags_options(param_context *) { return table({"red", "green", "blue"}); }
param_set_result flags_set(param_context *, const char *t)
{
    std::string_view rest = t ? t : "";
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        if (item != "red" && item != "green" && item != "blue")
            return PARAM_SET_FAILURE;
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
    }
    g_values.flags = t ? t : "";
    ++g_values.sets;
    return PARAM_SET_SUCCESS;
}

const char *secret_value(param_context *) { return fresh(g_values.secret); }
param_set_result secret_set(param_context *, const char *t)
{
    g_values.secret = t ? t : "";
    ++g_values.sets;
    return PARAM_SET_SUCCESS;
}

int row_value(param_context *p) { return static_cast<int>(reinterpret_cast<intptr_t>(kd_param_get_userdata(p))); }

int env_int(const char *name, int fallback)
{
    const char *v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

} // namespace

values &current() { return g_values; }

param_context *build(plugin_load_info *pli)
{
    g_values = values{};
    if (const int prints = env_int("PROBE_MAX_PRINTS", 0); prints > 0)
        max_param_prints = prints;
    param_context *root = kd_param_create_cfg(pli);
    if (!root)
        return nullptr;
    kd_param_alloc_string(root, nullptr, "Text", PARAMCTRL_RDWR, help_text, text_value, text_set, nullptr);
    kd_param_alloc_number(root, nullptr, "Level", PARAMCTRL_RDWR, nullptr, level_value, level_min, level_max,
                          step_one, level_set, nullptr);
    kd_param_alloc_choice(root, nullptr, "Mode", PARAMCTRL_RDWR, nullptr, mode_value, mode_choices, mode_set,
                          nullptr);
    kd_param_alloc_set(root, nullptr, "Flags", PARAMCTRL_RDWR, nullptr, flags_value, flags_options, flags_set,
                       nullptr);
    kd_param_alloc_string(root, nullptr, "Secret", PARAMCTRL_WRONLY, nullptr, secret_value, secret_set, nullptr);
    param_context *rows = kd_param_alloc_table(root, nullptr, "Rows", nullptr);
    const int count = env_int("PROBE_ROWS", 3);
    for (int i = 0; rows && i < count; ++i) {
        param_context *row = kd_param_alloc_row(rows, nullptr, nullptr);
        kd_param_alloc_number(row, nullptr, "Value", PARAMCTRL_RDONLY, nullptr, row_value, level_min, level_max,
                              step_one, nullptr, reinterpret_cast<void *>(static_cast<intptr_t>(i)));
    }
    return root;
}

} // namespace probe
