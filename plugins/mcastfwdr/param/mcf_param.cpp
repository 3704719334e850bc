// The parameter pattern's callbacks, shared by every row.
#include "param/mcf_param.h"

#include "status_queue.h"

#include <kerrow/cuvent.h>
#include <kerrow/ref.h>
#include <kerrow/store.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace mcf::param {

bool parse_int32(std::string_view text, int32_t *out)
{
    if (text.empty() || text.size() > 40)
        return false;
    const std::string s(text);
    if (std::isspace(static_cast<unsigned char>(s[0])))
        return false;
    errno = 0;
    char *end = nullptr;
    const long long v = std::strtoll(s.c_str(), &end, 0);
    if (errno || end == s.c_str() || *end != '\0' || v < INT32_MIN || v > INT32_MAX)
        return false;
    *out = static_cast<int32_t>(v);
    return true;
}

const leaf *find(std::span<const leaf> table, param_context *p)
{
    const char *label = kd_param_get_label(p);
    if (!label)
        return nullptr;
    const param_control rw = kd_param_get_readwrite(p);
    const leaf *by_label = nullptr;
    for (const leaf &l : table) {
        if (std::strcmp(l.label, label) != 0)
            continue;
        if (l.rw == rw)
            return &l;
        by_label = by_label ? by_label : &l;
    }
    return by_label;
}

int number_value(std::span<const leaf> t, param_context *p)
{
    const leaf *l = find(t, p);
    return l && l->number ? l->number(kd_param_get_userdata(p)) : 0;
}
int number_min(std::span<const leaf> t, param_context *p)
{
    const leaf *l = find(t, p);
    return l ? l->min : 0;
}
int number_max(std::span<const leaf> t, param_context *p)
{
    const leaf *l = find(t, p);
    return l ? l->max : 0;
}
int number_step(std::span<const leaf> t, param_context *p)
{
    const leaf *l = find(t, p);
    return l ? l->step : 1;
}
const char *text_value(std::span<const leaf> t, param_context *p)
{
    const leaf *l = find(t, p);
    return l && l->text ? l->text(kd_param_get_userdata(p)) : "";
}

namespace {
int count_of(const char *const *table)
{
    int n = 0;
    while (table && table[n])
        ++n;
    return n;
}

void refuse(param_context *p, const leaf *l, const char *text, const char *why)
{
    mcf_post_log(SQ_LOG_INFO, "%s: '%s' refused (%s)", kd_param_get_scope(p),
                 l && l->secret ? "..." : (text ? text : ""), why);
}
} // namespace

const char **fresh_choices(std::span<const std::string> texts)
{
    size_t bytes = (texts.size() + 1) * sizeof(char *);
    for (const std::string &t : texts)
        bytes += t.size() + 1;
    auto **table = static_cast<const char **>(std::malloc(bytes));
    if (!table)
        return nullptr;
    char *text = reinterpret_cast<char *>(table + texts.size() + 1);
    for (size_t i = 0; i < texts.size(); ++i) {
        std::memcpy(text, texts[i].c_str(), texts[i].size() + 1);
        table[i] = text;
        text += texts[i].size() + 1;
    }
    table[texts.size()] = nullptr;
    kd_ref_init_ptr(table, nullptr);
    return table;
}

namespace {
// The choices of `l` for the record: its own table, or the one built for it.
struct choices_now {
    const char **table;
    explicit choices_now(const leaf &l, void *rec)
        : table(l.choices_of ? l.choices_of(rec) : const_cast<const char **>(l.choices))
    {
    }
    ~choices_now()
    {
        void *p = table;
        kd_ref_free_safe(&p);
    }
    choices_now(const choices_now &) = delete;
    choices_now &operator=(const choices_now &) = delete;
    int count() const { return count_of(table); }
};
} // namespace

const char *choice_value(std::span<const leaf> t, param_context *p)
{
    const leaf *l = find(t, p);
    if (!l)
        return "";
    void *rec = kd_param_get_userdata(p);
    if (l->text)
        return l->text(rec);
    if (!l->index)
        return "";
    // A leaf read by index has a constant table, maybe chosen by the record.
    const char *const *table = l->choices_of ? l->choices_of(rec) : l->choices;
    const int i = l->index(rec);
    return i >= 0 && i < count_of(table) ? table[i] : "";
}

const char **choice_table(std::span<const leaf> t, param_context *p)
{
    static const char *none[] = {nullptr};
    const leaf *l = find(t, p);
    if (l && l->choices_of) {
        const char **table = l->choices_of(kd_param_get_userdata(p));
        return table ? table : none;
    }
    return l && l->choices ? const_cast<const char **>(l->choices) : none;
}

const char *help_text(std::span<const leaf> t, param_context *p)
{
    const leaf *l = find(t, p);
    return l ? l->help : nullptr;
}

param_set_result set_value(std::span<const leaf> t, param_context *p, const char *text)
{
    const leaf *l = find(t, p);
    void *rec = kd_param_get_userdata(p);
    if (!l || !rec || !text)
        return PARAM_SET_FAILURE;
    int rc = -1;
    switch (l->type) {
    case PARAMTYPE_NUMBER: {
        int32_t v = 0;
        if (!parse_int32(text, &v)) {
            refuse(p, l, text, "not a number");
            return PARAM_SET_FAILURE;
        }
        if (v < l->min || v > l->max) {
            refuse(p, l, text, ("outside " + std::to_string(l->min) + ".." + std::to_string(l->max)).c_str());
            return PARAM_SET_FAILURE;
        }
        if (l->step != -1 && l->step > 0 && (int64_t(v) - l->min) % l->step != 0) {
            refuse(p, l, text, ("not a multiple of the step " + std::to_string(l->step)).c_str());
            return PARAM_SET_FAILURE;
        }
        rc = l->apply_number ? l->apply_number(rec, v) : -1;
        break;
    }
    case PARAMTYPE_STRING:
        rc = l->apply_text ? l->apply_text(rec, text) : -1;
        break;
    case PARAMTYPE_CHOICE: {
        const choices_now now(*l, rec);
        const int n = now.count();
        int idx = -1;
        for (int i = 0; i < n && idx < 0; ++i)
            if (std::strcmp(now.table[i], text) == 0)
                idx = i;
        if (idx < 0) {
            refuse(p, l, text, "not one of the choices");
            return PARAM_SET_FAILURE;
        }
        rc = l->apply_choice ? l->apply_choice(rec, idx, now.table[idx]) : -1;
        break;
    }
    default:
        return PARAM_SET_FAILURE;
    }
    if (rc != 0) {
        refuse(p, l, text, "not accepted");
        return PARAM_SET_FAILURE;
    }
    return PARAM_SET_SUCCESS;
}

param_context *make_row(param_context *table, const char *prefix, int id, const char *label)
{
    const std::string key = std::string(prefix) + "_" + std::to_string(id);
    return kd_param_alloc_row(table, key.c_str(), label);
}

param_context *make_leaf(param_context *row, const leaf &l, const callbacks &cb, void *rec)
{
    const bool writable = l.rw != PARAMCTRL_RDONLY;
    param_context *p = nullptr;
    const kd_param_helpf help = l.help ? cb.help : nullptr;
    switch (l.type) {
    case PARAMTYPE_NUMBER:
        p = kd_param_alloc_number(row, l.key, l.label, l.rw, help, l.number ? cb.value : nullptr, cb.min, cb.max,
                                  cb.step, writable ? cb.set : nullptr, rec);
        break;
    case PARAMTYPE_STRING:
        p = kd_param_alloc_string(row, l.key, l.label, l.rw, help, l.secret || !l.text ? nullptr : cb.text,
                                  writable ? cb.set : nullptr, rec);
        break;
    case PARAMTYPE_CHOICE:
        p = kd_param_alloc_choice(row, l.key, l.label, l.rw, help, l.index || l.text ? cb.choice : nullptr, cb.choices,
                                  writable ? cb.set : nullptr, rec);
        break;
    default:
        break;
    }
    if (p && l.auto_notify > 0)
        kd_param_init_auto_notify(p, l.auto_notify);
    return p;
}

param_context *sibling(param_context *p, const char *key)
{
    const char *route = kd_param_get_scope(p);
    if (!route || !key)
        return nullptr;
    std::string r(route);
    const size_t slash = r.rfind('/');
    if (slash == std::string::npos)
        return nullptr;
    r.resize(slash + 1);
    r += key;
    param_context *s = kd_param_get_by_route(r.c_str());
    return kd_param_get_type(s) == PARAMTYPE_NONE ? nullptr : s;
}

void announce(param_context *p)
{
    if (p && kd_param_get_type(p) != PARAMTYPE_NONE)
        kd_cuvent_emit(mcf_pli, "on_param_update", p);
}

void log_not_added(const char *what, int id, limits::id_range range)
{
    if (id < 0)
        mcf_post_log(SQ_LOG_WARN, "No %s added: every id of %d..%d is taken", what, range.first, range.last);
    else if (!range.holds(id))
        mcf_post_log(SQ_LOG_WARN, "No %s added: id %d lies outside %d..%d", what, id, range.first, range.last);
    else
        mcf_post_log(SQ_LOG_WARN, "No %s %d added", what, id);
}

std::string pid_map_key(int output_id) { return "mcastfwdr/pidmap_keys_" + std::to_string(unsigned(output_id)); }

int save_id_list(const char *key, std::span<const int> ids)
{
    // Always the whole list: a list cut short would lose rows at the next start.
    std::string text;
    for (int id : ids) {
        if (!text.empty())
            text += ',';
        text += std::to_string(id);
    }
    if (kd_store_save_string(mcf_pli, key, text.c_str()) != 0)
        return -1;
    return int(text.size());
}

} // namespace mcf::param
