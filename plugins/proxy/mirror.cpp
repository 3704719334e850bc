// Parameters across the link. A slave sends a record of each of its
// parameters and of every later change; the master keeps a mirror of each
// under the slave's list, answering reads from the record and sending
// validated writes back, which the slave applies through the parameter's
// own set path.
#include "proxy_internal.h"

#include <kerrow/cuvent.h>
#include <kerrow/log.h>
#include <kerrow/ref.h>

#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

namespace proxy {

namespace {

// ---- the record behind a mirror: its user data, released with it ----

void release_record(void *ptr) { static_cast<proxy_param *>(ptr)->~proxy_param(); }

// A reference-counted copy of the record (the caller drops its count once
// the mirror holds one), or null.
proxy_param *new_record(const proxy_param &rec)
{
    void *block = std::malloc(sizeof(proxy_param));
    if (!block)
        return nullptr;
    auto *r = new (block) proxy_param(rec);
    kd_ref_init_ptr(r, release_record);
    return r;
}

void drop_record(proxy_param *r)
{
    void *ref = r;
    kd_ref_free_safe(&ref);
}

// A record the peer would refuse as oversized is not sent (it would reset
// the link at every attempt).
bool sendable(const proxy_param &rec)
{
    if (proxy_param_get_size(rec) <= kMaxPayload)
        return true;
    KD_LOG(KD_LOG_ERR, "[%s] Param %s is too large to send (%zu bytes)\n", me(), rec.scope.c_str(),
           proxy_param_get_size(rec));
    return false;
}

proxy_param *rec_of(param_context *p) { return static_cast<proxy_param *>(kd_param_get_userdata(p)); }

// Splits at ",", skipping empty pieces.
std::vector<std::string_view> split(std::string_view text)
{
    std::vector<std::string_view> out;
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const std::string_view piece = text.substr(0, comma);
        if (!piece.empty())
            out.push_back(piece);
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
    }
    return out;
}

bool is_option(const proxy_param &r, std::string_view text)
{
    for (std::string_view o : split(r.options))
        if (o == text)
            return true;
    return false;
}

// ---- mirror getters ----

const char *__param_proxyvalue(param_context *p) noexcept
{
    const proxy_param *r = rec_of(p);
    return r ? r->value.c_str() : "";
}

int __param_proxynumvalue(param_context *p) noexcept
{
    const proxy_param *r = rec_of(p);
    return r ? int(std::strtol(r->value.c_str(), nullptr, 10)) : 0;
}

int __param_proxymin(param_context *p) noexcept { return rec_of(p) ? rec_of(p)->min : 0; }
int __param_proxymax(param_context *p) noexcept { return rec_of(p) ? rec_of(p)->max : 0; }
int __param_proxystep(param_context *p) noexcept { return rec_of(p) ? rec_of(p)->step : 0; }

void release_table(void *ptr)
{
    for (char **e = static_cast<char **>(ptr); *e; ++e)
        std::free(*e);
}

// A fresh reference-counted table of the options, ended by a null entry.
const char **__param_proxyoptions(param_context *p) noexcept
{
    const proxy_param *r = rec_of(p);
    const std::vector<std::string_view> opts = r ? split(r->options) : std::vector<std::string_view>{};
    auto **table = static_cast<char **>(std::calloc(opts.size() + 1, sizeof(char *)));
    if (!table)
        return nullptr;
    for (size_t i = 0; i < opts.size(); ++i)
        table[i] = strndup(opts[i].data(), opts[i].size());
    kd_ref_init_ptr(table, release_table);
    return const_cast<const char **>(table);
}

// ---- mirror setters: validate here, apply on the slave ----

param_set_result __proxy_param_set(param_context *p, const char *text) noexcept
{
    proxy_param *r = rec_of(p);
    if (!r || !text || r->type < PARAMTYPE_NUMBER || r->type > PARAMTYPE_SET)
        return PARAM_SET_FAILURE;
    if (r->type == PARAMTYPE_CHOICE && !is_option(*r, text))
        return PARAM_SET_FAILURE;
    if (r->type == PARAMTYPE_SET)
        for (std::string_view e : split(text))
            if (!is_option(*r, e))
                return PARAM_SET_FAILURE;
    try {
        proxy_param next = *r;
        next.value = text;
        if (!sendable(next))
            return PARAM_SET_FAILURE;
        r->value = text;
        proxy_sync_proxy_param(*r);
    } catch (...) {
        return PARAM_SET_FAILURE;
    }
    return PARAM_SET_SUCCESS;
}

param_set_result __param_set_proxynumset(param_context *p, const char *text) noexcept
{
    const proxy_param *r = rec_of(p);
    if (!r || !text)
        return PARAM_SET_FAILURE;
    // Decimal, "0x" hexadecimal or leading-zero octal, the whole text.
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 0);
    if (end == text || *end != '\0' || errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return PARAM_SET_FAILURE;
    if (v < r->min || v > r->max)
        return PARAM_SET_FAILURE;
    // A step of 0 or less means any value in range.
    if (r->step > 0 && (int64_t(v) - r->min) % r->step != 0)
        return PARAM_SET_FAILURE;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d", int(v));
    return __proxy_param_set(p, buf);
}

param_set_result __param_set_proxyset(param_context *p, const char *text) noexcept { return __proxy_param_set(p, text); }

// Text joined from a null-ended table of texts, which is released.
std::string join(const char **table)
{
    std::string out;
    for (const char **e = table; e && *e; ++e) {
        if (e != table)
            out += ',';
        out += *e;
    }
    void *ref = table;
    kd_ref_free_safe(&ref);
    return out;
}

std::string value_text(param_context *p)
{
    char *v = kd_param_get_value_text(p);
    std::string out = v ? v : "";
    std::free(v);
    return out;
}

param_control mirror_control(uint32_t rw)
{
    // Slave values are the slave's to keep: the master's store never saves them.
    return rw == PARAMCTRL_RDWR ? PARAMCTRL_RDWR_NOPERSIST : param_control(rw);
}

bool is_leaf(param_type t) { return t >= PARAMTYPE_NUMBER && t <= PARAMTYPE_SET; }

std::string parent_route(const std::string &route)
{
    const size_t slash = route.rfind('/');
    return slash == std::string::npos ? std::string() : route.substr(0, slash);
}

// Creates the mirror of `rec` (route `full`) below its parent, if that exists.
void create_mirror(proxy_param rec, const std::string &full)
{
    const std::string parent = parent_route(full);
    param_context *pp = parent.empty() ? nullptr : kd_param_get_by_route(parent.c_str());
    const param_type pt = kd_param_get_type(pp);
    if (pt != PARAMTYPE_LIST && pt != PARAMTYPE_TABLE) {
        KD_LOG(KD_LOG_ERR, "[%s] Received param has no parent: %s (expected parent: %s)\n", me(), full.c_str(),
               parent.c_str());
        return;
    }
    rec.scope = full;
    proxy_param_allocate_param(rec, pp);
}

void on_param_event(cuvent_wrapper *w) noexcept
{
    auto *p = static_cast<param_context *>(w->emit_ctx);
    const bool removed = w->cb_ctx != nullptr;
    if (!p || in_own_tree(p) || (!removed && kd_param_get_type(p) == PARAMTYPE_NONE))
        return;
    try {
        proxy_param rec;
        if (removed) {
            // The node becomes a placeholder right after this event.
            rec.type = PARAMTYPE_NONE;
            rec.label = kd_param_get_label(p) ? kd_param_get_label(p) : "";
            rec.scope = kd_param_get_scope(p);
        } else {
            rec = proxy_param_ctor_from_param(p);
        }
        if (sendable(rec))
            send_to_notified(proxy_msg_param(rec));
    } catch (...) {
        KD_LOG(KD_LOG_ERR, "[%s] Out of memory sending a param\n", me());
    }
}

int send_one(param_context *p, void *ctx) noexcept
{
    if (in_own_tree(p))
        return 0;
    auto *c = static_cast<proxy_client *>(ctx);
    try {
        const proxy_param rec = proxy_param_ctor_from_param(p);
        if (sendable(rec))
            proxy_send_msg(*c, proxy_msg_param(rec));
    } catch (...) {
        return -1;
    }
    return c->fd >= 0 && !c->failed ? 0 : -1;
}

} // namespace

bool in_own_tree(param_context *p)
{
    param_context *top = st().proxy_top;
    return top && (p == top || kd_param_is_related(top, p));
}

proxy_param proxy_param_ctor_from_param(param_context *p)
{
    proxy_param r;
    const param_type type = kd_param_get_type(p);
    const param_control rw = kd_param_get_readwrite(p);
    r.type = uint32_t(type);
    r.readwrite = uint32_t(rw);
    r.label = kd_param_get_label(p) ? kd_param_get_label(p) : "";
    r.scope = kd_param_get_scope(p) ? kd_param_get_scope(p) : "";
    switch (type) {
    case PARAMTYPE_NUMBER: {
        const param_number_ops *ops = kd_param_get_number_ops(p);
        if (rw != PARAMCTRL_WRONLY)
            r.value = value_text(p);
        r.min = ops && ops->min ? ops->min(p) : 0;
        r.max = ops && ops->max ? ops->max(p) : 0;
        r.step = ops && ops->step ? ops->step(p) : 0;
        break;
    }
    case PARAMTYPE_CHOICE: {
        const param_choice_ops *ops = kd_param_get_choice_ops(p);
        r.value = value_text(p);
        r.options = ops && ops->choices ? join(ops->choices(p)) : "";
        break;
    }
    case PARAMTYPE_STRING:
        if (rw != PARAMCTRL_WRONLY)
            r.value = value_text(p);
        break;
    case PARAMTYPE_SET: {
        const param_set_ops *ops = kd_param_get_set_ops(p);
        if (rw != PARAMCTRL_WRONLY)
            r.value = value_text(p);
        r.options = ops && ops->options ? join(ops->options(p)) : "";
        break;
    }
    default: break; // lists and tables carry no value; a removed one is type none
    }
    return r;
}

int proxy_param_allocate_param(const proxy_param &rec, param_context *parent)
{
    const size_t slash = rec.scope.rfind('/');
    const std::string key = slash == std::string::npos ? rec.scope : rec.scope.substr(slash + 1);
    const param_control rw = mirror_control(rec.readwrite);
    const bool wo = rw == PARAMCTRL_WRONLY;
    proxy_param *r = new_record(rec);
    if (!r)
        return -1;
    param_context *m = nullptr;
    const char *k = key.c_str(), *l = rec.label.c_str();
    switch (rec.type) {
    case PARAMTYPE_LIST: m = kd_param_alloc_list(parent, k, l, nullptr); break;
    case PARAMTYPE_TABLE: m = kd_param_alloc_table(parent, k, l, nullptr); break;
    case PARAMTYPE_NUMBER:
        m = kd_param_alloc_number(parent, k, l, rw, nullptr, wo ? nullptr : __param_proxynumvalue, __param_proxymin,
                                  __param_proxymax, __param_proxystep, __param_set_proxynumset, r);
        break;
    case PARAMTYPE_CHOICE:
        m = kd_param_alloc_choice(parent, k, l, rw, nullptr, wo ? nullptr : __param_proxyvalue, __param_proxyoptions,
                                  __param_set_proxyset, r);
        break;
    case PARAMTYPE_STRING:
        m = kd_param_alloc_string(parent, k, l, rw, nullptr, wo ? nullptr : __param_proxyvalue, __param_set_proxyset, r);
        break;
    case PARAMTYPE_SET:
        m = kd_param_alloc_set(parent, k, l, rw, nullptr, wo ? nullptr : __param_proxyvalue, __param_proxyoptions,
                               __param_set_proxyset, r);
        break;
    default:
        KD_LOG(KD_LOG_ERR, "[%s] Received param with invalid type: %d scope: %s\n", me(), int(rec.type),
               rec.scope.c_str());
        drop_record(r);
        return -1;
    }
    if (m && rec.type <= PARAMTYPE_TABLE) {
        // A list holds no user data: keep the record for its route alone.
        drop_record(r);
        return 0;
    }
    if (m)
        r->scope = kd_param_get_scope(m);
    drop_record(r); // the mirror holds its own count
    return m ? 0 : -1;
}

void proxy_master_handle_msg_param(proxy_client &c, const proxy_param &rec)
{
    state &s = st();
    if (!c.top_param)
        return;
    c.notify = false;
    const std::string full = std::string(kd_param_get_scope(c.top_param)) + "/" + rec.scope;
    if (s.on_master_param)
        s.on_master_param(c, rec, full);
    encoder_output_control(rec, full);
    param_context *p = kd_param_get_by_route(full.c_str());
    const param_type have = kd_param_get_type(p);
    if (p && have != PARAMTYPE_NONE && (p == c.top_param || !kd_param_is_related(c.top_param, p))) {
        KD_LOG(KD_LOG_ERR, "[%s] Received param outside its card's mirrors: %s\n", me(), full.c_str());
    } else if (rec.type == PARAMTYPE_NONE) {
        if (p && have != PARAMTYPE_NONE)
            kd_param_delete(p);
    } else if (!p || have == PARAMTYPE_NONE) {
        create_mirror(rec, full);
    } else if (have != param_type(rec.type) ||
               (is_leaf(have) && (kd_param_get_readwrite(p) == PARAMCTRL_WRONLY) != (rec.readwrite == PARAMCTRL_WRONLY))) {
        // Another kind of parameter at the same route: a new mirror.
        kd_param_delete(p);
        create_mirror(rec, full);
    } else {
        if (proxy_param *r = rec_of(p); r && is_leaf(have)) {
            *r = rec;
            r->scope = full;
            if (kd_param_get_readwrite(p) != mirror_control(rec.readwrite))
                kd_param_set_readwrite(p, mirror_control(rec.readwrite));
        }
        kd_cuvent_emit(s.pli, "on_param_update", p);
    }
    if (c.fd >= 0)
        c.notify = true;
}

void proxy_slave_handle_msg_param(proxy_client &, const proxy_param &rec)
{
    state &s = st();
    // Routes arrive with the master-side prefix; one that does not name
    // this card is not ours to apply.
    if (rec.scope.compare(0, s.slave_prefix.size(), s.slave_prefix) != 0) {
        KD_LOG(KD_LOG_ERR, "[%s] Received an update for a param of another card. Scope: %s\n", me(),
               rec.scope.c_str());
        return;
    }
    const std::string route = rec.scope.substr(s.slave_prefix.size());
    param_context *p = kd_param_get_by_route(route.c_str());
    const param_type type = kd_param_get_type(p);
    if (!p || type == PARAMTYPE_NONE || in_own_tree(p)) {
        KD_LOG(KD_LOG_ERR, "[%s] Received an update for a param that does not exist. Scope: %s\n", me(),
               route.c_str());
        return;
    }
    if (kd_param_get_readwrite(p) == PARAMCTRL_RDONLY) {
        KD_LOG(KD_LOG_WARNING, "[%s] Received an update for a param that is read-only. Scope: %s\n", me(),
               route.c_str());
        return;
    }
    kd_param_set set = nullptr;
    switch (type) {
    case PARAMTYPE_NUMBER: set = kd_param_get_number_ops(p)->set; break;
    case PARAMTYPE_CHOICE: set = kd_param_get_choice_ops(p)->set; break;
    case PARAMTYPE_STRING: set = kd_param_get_string_ops(p)->set; break;
    case PARAMTYPE_SET: set = kd_param_get_set_ops(p)->set; break;
    default: return;
    }
    if (set)
        set(p, rec.value.c_str()); // validates, applies and announces the result, which goes back
}

void proxy_sync_proxy_param(const proxy_param &rec)
{
    KD_LOG(KD_LOG_INFO, "[%s] scope '%s'\n", me(), rec.scope.c_str());
    param_context *p = kd_param_get_by_route(rec.scope.c_str());
    if (!p || kd_param_get_type(p) == PARAMTYPE_NONE) {
        KD_LOG(KD_LOG_ERR, "[%s] Failed to sync, invalid scope %s\n", me(), rec.scope.c_str());
        return;
    }
    const proxy_msg msg = proxy_msg_param(rec);
    for (auto &c : st().clients)
        if (c->notify && c->fd >= 0 && c->top_param && kd_param_is_related(c->top_param, p))
            proxy_send_msg(*c, msg);
}

void send_tree(proxy_client &c) { kd_param_visit(nullptr, send_one, &c); }

void slave_listen()
{
    plugin_load_info *pli = st().pli;
    static int removed_tag;
    kd_cuvent_register_cb(pli, "on_param_insert", on_param_event, nullptr, CUVFLT_NONE);
    kd_cuvent_register_cb(pli, "on_param_update", on_param_event, nullptr, CUVFLT_NONE);
    kd_cuvent_register_cb(pli, "on_param_remove", on_param_event, &removed_tag, CUVFLT_NONE);
}

} // namespace proxy
