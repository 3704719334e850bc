// Parameter JSON: every reply is one parameter, or one search result,
// rendered as one JSON object by the framework's walk and ended by the
// delimiter. The text goes piece by piece into the client's output buffer.
//
// Shape: {"member":{"label":..,"type":..,"help":..,"readonly":..,
// "writeonly":..,"ref":..[,"value":..][,"min"..][,"choices"/"options":[..]]
// [,"params":"hidden"|{children}]} ...}!@#
#include "dialogue.h"
#include "json_text.h"
#include "ws.h"

#include <kerrow/ref.h>

#include <new>
#include <string>

namespace ws {
namespace {

constexpr std::string_view kNoHelp = "There is no help data available.";

// Nodes without help or choices answer null: nothing to give back.
void release(const void *block)
{
    if (!block)
        return;
    void *p = const_cast<void *>(block);
    kd_ref_free_safe(&p);
}

void quoted(std::string &out, const char *text)
{
    out += '"';
    if (text)
        json_escape_append(out, text);
    out += '"';
}

void string_table(std::string &out, const char **table)
{
    out += '[';
    for (size_t i = 0; table && table[i]; ++i) {
        if (i)
            out += ',';
        quoted(out, table[i]);
    }
    out += ']';
    release(table);
}

void text_value(std::string &out, kd_param_get_string fn, param_context *p)
{
    const char *text = fn ? fn(p) : nullptr;
    out += ",\"value\":";
    quoted(out, text);
    release(text);
}

int number(kd_param_get_number fn, param_context *p) { return fn ? fn(p) : 0; }

// A placeholder of a deleted node is shown only when it is what the reply
// is about (its removal pushed to the clients), never among live children.
bool skipped(const ws_client &c, param_context *p)
{
    return kd_param_get_type(p) == PARAMTYPE_NONE && p != c.render_root;
}

void node_text(std::string &out, ws_client &c, param_context *p, param_depth depth)
{
    const param_type type = kd_param_get_type(p);
    const param_control rw = kd_param_get_readwrite(p);
    const bool show_value = rw != PARAMCTRL_WRONLY;

    if (c.showComma)
        out += ',';
    quoted(out, json_label(kd_param_get_scope(p)).c_str());
    out += ":{\"label\":";
    quoted(out, kd_param_get_label(p));
    out += ",\"type\":";
    quoted(out, kd_param_get_type_name(type));
    out += ",\"help\":";
    const char *help = kd_param_get_help(p);
    quoted(out, help ? help : kNoHelp.data());
    release(help);
    out += ",\"readonly\":";
    out += rw == PARAMCTRL_RDONLY ? "true" : "false";
    out += ",\"writeonly\":";
    out += rw == PARAMCTRL_WRONLY ? "true" : "false";
    out += ",\"ref\":";
    quoted(out, kd_param_get_scope(p));
    c.showComma = 1;

    switch (type) {
    case PARAMTYPE_NUMBER: {
        const param_number_ops *ops = kd_param_get_number_ops(p);
        if (show_value && ops->value)
            out += ",\"value\":" + std::to_string(ops->value(p));
        out += ",\"min\":" + std::to_string(number(ops->min, p));
        out += ",\"max\":" + std::to_string(number(ops->max, p));
        out += ",\"step\":" + std::to_string(number(ops->step, p));
        break;
    }
    case PARAMTYPE_CHOICE: {
        const param_choice_ops *ops = kd_param_get_choice_ops(p);
        if (show_value)
            text_value(out, ops->value, p);
        out += ",\"choices\":";
        string_table(out, ops->choices ? ops->choices(p) : nullptr);
        break;
    }
    case PARAMTYPE_STRING:
        if (show_value)
            text_value(out, kd_param_get_string_ops(p)->value, p);
        break;
    case PARAMTYPE_SET: {
        const param_set_ops *ops = kd_param_get_set_ops(p);
        if (show_value)
            text_value(out, ops->value, p);
        out += ",\"options\":";
        string_table(out, ops->options ? ops->options(p) : nullptr);
        break;
    }
    case PARAMTYPE_LIST:
    case PARAMTYPE_TABLE:
        out += ",\"params\":";
        if (depth != PARAM_DEPTH_NONE) {
            out += '{';
            if (kd_param_list_count(p) > 0)
                c.showComma = 0;
        } else {
            out += "\"hidden\"";
        }
        break;
    default:
        break;
    }
}

// The walk's node callback: the member name and the object head, left open
// for the children and the footer.
int on_node(param_context *p, void *handle, param_depth depth) noexcept
{
    ws_client *c = client_from_handle(handle);
    if (!c || skipped(*c, p))
        return c ? 0 : -1;
    ws_state &s = state();
    ws_client *saved = s.active_client;
    s.active_client = c; // values that depend on the asking client
    int r;
    try {
        std::string out;
        node_text(out, *c, p, depth);
        r = websocket_write_back(*c, out) < 0 ? -1 : 0;
    } catch (const std::bad_alloc &) {
        r = -1;
    }
    s.active_client = saved;
    return r;
}

int on_footer(param_context *p, void *handle, param_depth depth) noexcept
{
    ws_client *c = client_from_handle(handle);
    if (!c)
        return -1;
    if (skipped(*c, p))
        return 0;
    const param_type type = kd_param_get_type(p);
    const bool open_params = (type == PARAMTYPE_LIST || type == PARAMTYPE_TABLE) && depth != PARAM_DEPTH_NONE;
    c->showComma = 1;
    return websocket_write_back(*c, open_params ? "}}" : "}") < 0 ? -1 : 0;
}

int on_finish(void *handle) noexcept
{
    ws_client *c = client_from_handle(handle);
    if (!c)
        return -1; // the binding ended meanwhile: nothing to finish
    const int r = websocket_write_back(*c, "}!@#");
    c->notify = 1;
    c->render_root = nullptr;
    request_writable(*c); // the next queued request may go
    return r < 0 ? -1 : 0;
}

static_assert(kDelimiter == "!@#");

} // namespace

int ws_on_get_param_json(ws_client &c, param_context *p)
{
    if (kd_param_get_type(p) >= PARAMTYPE_LAST)
        return websocket_write_back(c, "{}!@#") < 0 ? -1 : 0;
    if (websocket_write_back(c, "{") < 0)
        return -1;
    c.showComma = 0;
    c.notify = 0;
    c.render_root = p;
    if (kd_param_print_params(p, c.paramDepth, on_node, on_footer, on_finish, client_handle(c)) < 0) {
        c.notify = 1;
        c.render_root = nullptr;
        return -1;
    }
    return 0;
}

} // namespace ws
