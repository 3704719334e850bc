// The probe's parameters: values kept here, setters that check their input
// the way a real plug-in would.
#include "probe.h"

#include <kerrow/param.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace probe {

namespace {

struct values {
    int number = 50;
    std::string text = "hello";
    std::string choice = "Green";
    std::string set = "alpha";
    std::string secret;
    std::vector<std::string> names;
};
values g;

const char *kChoices[] = {"Red", "Green", "Blue", nullptr};
const char *kOptions[] = {"alpha", "beta", "gamma", nullptr};

bool listed(const char **table, std::string_view v)
{
    for (const char **e = table; *e; ++e)
        if (v == *e)
            return true;
    return false;
}

int get_number(param_context *) noexcept { return g.number; }
int get_min(param_context *) noexcept { return 0; }
int get_max(param_context *) noexcept { return 100; }
int get_step(param_context *) noexcept { return 1; }
param_set_result set_number(param_context *, const char *t) noexcept
{
    char *end = nullptr;
    const long v = t ? std::strtol(t, &end, 10) : -1;
    if (!t || end == t || *end || v < 0 || v > 100)
        return PARAM_SET_FAILURE;
    g.number = int(v);
    return PARAM_SET_SUCCESS;
}

const char *get_text(param_context *) noexcept { return g.text.c_str(); }
param_set_result set_text(param_context *, const char *t) noexcept
{
    if (!t)
        return PARAM_SET_FAILURE;
    g.text = t;
    return PARAM_SET_SUCCESS;
}

const char *get_choice(param_context *) noexcept { return g.choice.c_str(); }
const char **get_choices(param_context *) noexcept { return kChoices; }
param_set_result set_choice(param_context *, const char *t) noexcept
{
    if (!t || !listed(kChoices, t))
        return PARAM_SET_FAILURE;
    g.choice = t;
    return PARAM_SET_SUCCESS;
}

const char *get_set(param_context *) noexcept { return g.set.c_str(); }
const char **get_options(param_context *) noexcept { return kOptions; }
param_set_result set_set(param_context *, const char *t) noexcept
{
    if (!t)
        return PARAM_SET_FAILURE;
    std::string_view rest = t;
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        if (!listed(kOptions, rest.substr(0, comma)))
            return PARAM_SET_FAILURE;
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    g.set = t;
    return PARAM_SET_SUCCESS;
}

param_set_result set_secret(param_context *, const char *t) noexcept
{
    g.secret = t ? t : "";
    return PARAM_SET_SUCCESS;
}

const char *get_status(param_context *) noexcept { return "ok"; }

// Row cells find their row by the user data (the row number).
size_t row_of(param_context *p) { return size_t(reinterpret_cast<uintptr_t>(kd_param_get_userdata(p))); }
int get_index(param_context *p) noexcept { return int(row_of(p)); }
const char *get_name(param_context *p) noexcept { return g.names[row_of(p)].c_str(); }
param_set_result set_name(param_context *p, const char *t) noexcept
{
    if (!t)
        return PARAM_SET_FAILURE;
    g.names[row_of(p)] = t;
    return PARAM_SET_SUCCESS;
}

} // namespace

void probe_build(plugin_load_info *pli, int rows)
{
    g = values{};
    if (const char *mp = std::getenv("KD_PROBE_MAX_PRINTS"); mp && *mp)
        max_param_prints = std::atoi(mp);
    if (rows < 0) {
        const char *r = std::getenv("KD_PROBE_ROWS");
        rows = r && *r ? std::atoi(r) : 2;
    }
    param_context *top = kd_param_create_cfg(pli);
    kd_param_alloc_string(top, nullptr, "Text", PARAMCTRL_RDWR, nullptr, get_text, set_text, nullptr);
    kd_param_alloc_number(top, nullptr, "Number", PARAMCTRL_RDWR, nullptr, get_number, get_min, get_max, get_step,
                          set_number, nullptr);
    kd_param_alloc_choice(top, nullptr, "Choice", PARAMCTRL_RDWR, nullptr, get_choice, get_choices, set_choice,
                          nullptr);
    kd_param_alloc_set(top, nullptr, "Set", PARAMCTRL_RDWR, nullptr, get_set, get_options, set_set, nullptr);
    kd_param_alloc_string(top, nullptr, "Secret", PARAMCTRL_WRONLY, nullptr, nullptr, set_secret, nullptr);
    kd_param_alloc_string(top, nullptr, "Status", PARAMCTRL_RDONLY, nullptr, get_status, nullptr, nullptr);
    param_context *table = kd_param_alloc_table(top, nullptr, "Rows", nullptr);
    g.names.resize(size_t(rows));
    for (int i = 0; i < rows; ++i) {
        g.names[size_t(i)] = "row " + std::to_string(i);
        param_context *row = kd_param_alloc_row(table, nullptr, nullptr);
        void *data = reinterpret_cast<void *>(uintptr_t(i));
        kd_param_alloc_number(row, nullptr, "Index", PARAMCTRL_RDONLY, nullptr, get_index, nullptr, nullptr, nullptr,
                              nullptr, data);
        kd_param_alloc_string(row, nullptr, "Name", PARAMCTRL_RDWR_NOPERSIST, nullptr, get_name, set_name, data);
    }
}

int number() { return g.number; }
const std::string &text() { return g.text; }
const std::string &choice() { return g.choice; }
const std::string &set() { return g.set; }
const std::string &secret() { return g.secret; }

} // namespace probe
