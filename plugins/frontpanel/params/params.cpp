#include "params.h"

#include "../interfaces/menu_daemon.h"

#include <kerrow/log.h>
#include <kerrow/ref.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace fp {

namespace {

// The context both parameters carry as their user data.
struct menu_params {
    menu_daemon *mdi;
    const std::string *menu_dir;
};

menu_params *ctx_of(param_context *p) { return static_cast<menu_params *>(kd_param_get_userdata(p)); }

bool accessible(const std::string &path) { return ::access(path.c_str(), R_OK) == 0; }

param_set_result setup_register_menu(param_context *p, const char *text) noexcept
{
    menu_params *ctx = ctx_of(p);
    if (!ctx || !text)
        return PARAM_SET_FAILURE;
    try {
        const char *tag = ctx->mdi->tag();
        std::string path = text;
        if (!accessible(path)) {
            KD_LOG(KD_LOG_INFO, "[%s] Adding root path %s\n", tag, text);
            path = *ctx->menu_dir + "/" + text;
            if (!accessible(path))
                KD_LOG(KD_LOG_WARNING, "[%s] Could not find menu %s to register\n", tag, path.c_str());
        }
        if (ctx->mdi->mdi_register_menu(false, path, uint32_t(path.size())) != 0) {
            KD_LOG(KD_LOG_ERR, "[%s] Failed to register menu %s\n", tag, path.c_str());
            return PARAM_SET_FAILURE;
        }
        KD_LOG(KD_LOG_INFO, "[%s] Registered menu %s\n", tag, path.c_str());
        return PARAM_SET_SUCCESS;
    } catch (const std::bad_alloc &) {
        return PARAM_SET_FAILURE;
    }
}

// A NULL-terminated table of texts in one malloc block (pointers first,
// texts behind them), registered for the reader to release.
const char **make_table(const std::vector<std::string> &texts)
{
    size_t bytes = (texts.size() + 1) * sizeof(char *);
    for (const auto &t : texts)
        bytes += t.size() + 1;
    auto **table = static_cast<char **>(std::calloc(1, bytes));
    if (!table)
        return nullptr;
    char *pos = reinterpret_cast<char *>(table + texts.size() + 1);
    for (size_t i = 0; i < texts.size(); ++i) {
        std::memcpy(pos, texts[i].c_str(), texts[i].size() + 1);
        table[i] = pos;
        pos += texts[i].size() + 1;
    }
    kd_ref_init_ptr(table, nullptr);
    return const_cast<const char **>(table);
}

const char **setup_update_remove_menu_choices(param_context *p) noexcept
{
    menu_params *ctx = ctx_of(p);
    try {
        return make_table(ctx ? ctx->mdi->remove_choices() : std::vector<std::string>{});
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

param_set_result setup_unregister_menu_choice(param_context *p, const char *text) noexcept
{
    menu_params *ctx = ctx_of(p);
    if (!ctx || !text)
        return PARAM_SET_FAILURE;
    try {
        return ctx->mdi->unregister_choice(text) == 0 ? PARAM_SET_SUCCESS : PARAM_SET_FAILURE;
    } catch (const std::bad_alloc &) {
        return PARAM_SET_FAILURE;
    }
}

void free_menu_params(void *block) { static_cast<menu_params *>(block)->~menu_params(); }

} // namespace

std::string param_get_value(param_context *p)
{
    char *text = kd_param_get_value_text(p);
    if (!text)
        return {};
    std::string out(cut_text(text, kValueTextMax));
    std::free(text);
    return out;
}

int param_set_value(const char *tag, param_context *p, const char *text)
{
    const param_type type = kd_param_get_type(p);
    kd_param_set set = nullptr;
    const char *kind = nullptr;
    switch (type) {
    case PARAMTYPE_NUMBER:
        set = kd_param_get_number_ops(p)->set;
        kind = "number";
        break;
    case PARAMTYPE_CHOICE:
        set = kd_param_get_choice_ops(p)->set;
        kind = "choice";
        break;
    case PARAMTYPE_STRING:
        set = kd_param_get_string_ops(p)->set;
        kind = "string";
        break;
    case PARAMTYPE_SET:
        set = kd_param_get_set_ops(p)->set;
        kind = "string";
        break;
    default:
        return 0; // lists, tables and placeholders hold no value
    }
    if (kd_param_get_readwrite(p) == PARAMCTRL_RDONLY || !set) {
        KD_LOG(KD_LOG_INFO, "[%s] %s is read only. Set not permitted.\n", tag, kd_param_get_label(p));
        return -1;
    }
    KD_LOG(KD_LOG_INFO, "[%s] Type is %s with value='%s'\n", tag, kind, text);
    return set(p, text) == PARAM_SET_SUCCESS ? 0 : -1;
}

bool create_menu_params(param_context *top, menu_daemon *mdi, const std::string *menu_dir)
{
    // Each parameter holds a counted reference to one shared context.
    void *block = std::malloc(sizeof(menu_params));
    if (!block)
        return false;
    new (block) menu_params{mdi, menu_dir};
    kd_ref_init_ptr(block, free_menu_params);
    const bool ok =
        kd_param_alloc_string(top, nullptr, "Register Menu", PARAMCTRL_WRONLY, nullptr, nullptr,
                              setup_register_menu, block) &&
        kd_param_alloc_choice(top, nullptr, "Remove Menu", PARAMCTRL_WRONLY, nullptr, nullptr,
                              setup_update_remove_menu_choices, setup_unregister_menu_choice, block);
    kd_ref_free_safe(&block); // the parameters keep it alive
    return ok;
}

} // namespace fp
