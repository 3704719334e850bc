// Parameter values: the operations records, the set path that announces
// every write, access changes and notification (manual and by polling).
#include "param_internal.h"

#include "../frame_internal.h"

#include <kerrow/cuvent.h>
#include <kerrow/log.h>
#include <kerrow/ref.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Automatic notification compares and keeps this much of a value text.
constexpr size_t kAutoNotifyChars = 39;
// Polling faster than this would load the loop for no visible gain.
constexpr double kAutoNotifyMinPeriod = 3.0;

void auto_notify_tick(void *ctx)
{
    auto *p = static_cast<param_context *>(ctx);
    std::string text;
    if (!kd::param::value_text(p, text))
        return;
    if (text.size() > kAutoNotifyChars)
        text.resize(kAutoNotifyChars);
    if (p->has_auto_notify_filter && p->auto_notify_filter == text)
        return;
    p->auto_notify_filter = std::move(text);
    p->has_auto_notify_filter = true;
    kd_param_notify(p);
}

// Nodes whose owner's setter is running, innermost last, and whether each
// was freed meanwhile.
struct Setting {
    param_context *node;
    bool freed;
};
std::vector<Setting> g_setting;

} // namespace

void kd::param::note_freed(param_context *p)
{
    for (auto &s : g_setting)
        if (s.node == p)
            s.freed = true;
}

bool kd::param::value_text(param_context *p, std::string &out)
{
    if (!is_leaf(p))
        return false;
    if (p->type == PARAMTYPE_NUMBER) {
        if (!p->ops.number.value)
            return false;
        out = kd::param::decimal(p->ops.number.value(p));
        return true;
    }
    // The string, choice and set records all begin with the value slot.
    kd_param_get_string fn = p->type == PARAMTYPE_STRING   ? p->ops.string.value
                             : p->type == PARAMTYPE_CHOICE ? p->ops.choice.value
                                                           : p->ops.set.value;
    if (!fn)
        return false;
    const char *text = fn(p);
    if (!text)
        return false;
    out = text;
    void *block = const_cast<char *>(text);
    kd_ref_free_safe(&block); // a fresh text is the reader's to release
    return true;
}

void kd::param::stop_auto_notify(param_context *p)
{
    if (!p->auto_timer)
        return;
    p->auto_timer = false;
    kd_frame_stop_watcher(p->scope.c_str(), nullptr);
}

param_set_result kd::param::set_wrapper(param_context *p, const char *text) noexcept
{
    if (!p)
        return PARAM_SET_FAILURE;
    kd_param_set fn = p->set_func ? p->set_func : generic_set;
    try {
        g_setting.push_back({p, false});
    } catch (const std::bad_alloc &) {
        return PARAM_SET_FAILURE;
    }
    param_set_result r = fn(p, text);
    bool freed = g_setting.back().freed;
    g_setting.pop_back();
    // Also after a refusal: listeners then see the unchanged value. A node
    // its own setter deleted is gone: its removal was announced instead.
    if (!freed && !p->manual_notify)
        kd_param_notify(p);
    return r;
}

param_set_result kd::param::generic_set(param_context *, const char *) noexcept
{
    return PARAM_SET_SUCCESS;
}

const char **kd::param::empty_table(param_context *) noexcept
{
    auto **table = static_cast<const char **>(std::calloc(1, sizeof(const char *)));
    if (table)
        kd_ref_init_ptr(table, nullptr);
    return table;
}

extern "C" param_number_ops *kd_param_get_number_ops(param_context *p) noexcept
{
    return p && p->type == PARAMTYPE_NUMBER ? &p->ops.number : nullptr;
}

extern "C" param_string_ops *kd_param_get_string_ops(param_context *p) noexcept
{
    return p && p->type == PARAMTYPE_STRING ? &p->ops.string : nullptr;
}

extern "C" param_choice_ops *kd_param_get_choice_ops(param_context *p) noexcept
{
    return p && p->type == PARAMTYPE_CHOICE ? &p->ops.choice : nullptr;
}

extern "C" param_set_ops *kd_param_get_set_ops(param_context *p) noexcept
{
    return p && p->type == PARAMTYPE_SET ? &p->ops.set : nullptr;
}

extern "C" char *kd_param_get_value_text(param_context *p) noexcept
{
    try {
        std::string text;
        return kd::param::value_text(p, text) ? strdup(text.c_str()) : nullptr;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

extern "C" int kd_param_set_readwrite(param_context *p, param_control rw) noexcept
{
    if (!p)
        return -1;
    int v = static_cast<int>(rw);
    if (v < PARAMCTRL_RDONLY || v > PARAMCTRL_RDWR_NOPERSIST) {
        KD_LOG(KD_LOG_ERR, "[%s] Attempted to set invalid readwrite state for param: '%s'\n",
               kd::param::me(), p->scope.c_str());
        kd_errno = KD_ERR_PARAM_CONTROL_INVALID;
        return -1;
    }
    if (!kd::param::is_leaf(p)) {
        if (rw != PARAMCTRL_RDONLY) {
            KD_LOG(KD_LOG_WARNING,
                   "[%s] Attempting to set invalid readwrite state for readonly param: '%s'\n",
                   kd::param::me(), p->scope.c_str());
            kd_errno = KD_ERR_PARAM_CONTROL_RDONLY;
            return -1;
        }
        p->readwrite = rw;
        return 0;
    }
    p->readwrite = rw;
    kd_param_notify(p);
    return 0;
}

extern "C" int kd_param_set_manual_notify(param_context *p, bool on) noexcept
{
    if (!p)
        return -1;
    p->manual_notify = on;
    return 0;
}

extern "C" void kd_param_notify(param_context *p) noexcept
{
    if (p)
        kd_cuvent_emit(nullptr, "on_param_update", p);
}

extern "C" void kd_param_init_auto_notify(param_context *p, double interval) noexcept
{
    // Only leaves of the tree: a query copy has no lifetime to tie a timer to.
    if (!kd::param::is_leaf(p) || !p->home)
        return;
    kd::param::stop_auto_notify(p); // a second call changes the period
    if (kd_frame_timeout_register(p->scope.c_str(), auto_notify_tick, p,
                                  std::max(interval, kAutoNotifyMinPeriod), 1, nullptr) == 0)
        p->auto_timer = true;
}
