// Queries: nodes found by route prefix, handed out as a counted list of
// copies.
#include "param_internal.h"

#include <kerrow/log.h>
#include <kerrow/ref.h>

#include <cstdlib>
#include <cstring>
#include <new>

using kd::param::ChildList;

namespace {

// Descends only where the query goes on below a node; a node whose route
// the query begins is a match, and its children are not searched.
void search(const ChildList &list, std::string_view query, ChildList &out)
{
    for (const auto &n : list) {
        const std::string &route = n->scope;
        if (query.size() > route.size()) {
            if (query.starts_with(route) && kd::param::is_container(n.get()) && n->children)
                search(*n->children, query, out);
        } else if (std::string_view(route).starts_with(query)) {
            auto copy = std::make_unique<param_context>(*n);
            copy->home = nullptr;
            copy->auto_timer = false;
            copy->userdata = copy->userdata ? kd_ref_copy_safe(copy->userdata) : nullptr;
            out.push_back(std::move(copy));
        }
    }
}

} // namespace

extern "C" param_context *kd_param_get_query_list(char *query, param_depth *depth) noexcept
{
    // Trailing stars choose the depth: at most two are taken off.
    param_depth d = PARAM_DEPTH_NONE;
    size_t len = query ? std::strlen(query) : 0;
    if (len > 0 && query[len - 1] == '*') {
        query[--len] = '\0';
        d = PARAM_DEPTH_ONE;
        if (len > 0 && query[len - 1] == '*') {
            query[--len] = '\0';
            d = PARAM_DEPTH_ALL;
        }
    }
    if (depth)
        *depth = d;

    // The registry frees the block itself with free(), after
    // kd_param_free_query_result has released what it holds.
    void *block = std::malloc(sizeof(param_context));
    if (!block)
        return nullptr;
    param_context *result = nullptr;
    try {
        result = new (block) param_context;
        result->type = PARAMTYPE_LIST;
        result->label = "Search";
        result->children = kd::param::ChildRef::make();
        if (!kd::param::ready())
            KD_LOG(KD_LOG_ERR, "[%s] Attempting to retrieve params when not initialized.\n",
                   kd::param::me());
        else
            search(kd::param::top_list(), std::string_view(query ? query : "", len),
                   *result->children);
    } catch (const std::bad_alloc &) {
        if (result)
            kd_param_free_query_result(result);
        std::free(block);
        return nullptr;
    }
    kd_ref_init_ptr(result, kd_param_free_query_result);
    return result;
}

extern "C" void kd_param_free_query_result(void *ptr) noexcept
{
    auto *result = static_cast<param_context *>(ptr);
    if (!kd::param::is_query_result(result)) {
        KD_LOG(KD_LOG_ERR, "[%s] Not a query result.\n", kd::param::me());
        return;
    }
    if (result->children)
        for (auto &copy : *result->children)
            if (copy->userdata)
                kd_ref_free_safe(&copy->userdata);
    result->~param_context(); // the copies go; the nodes they copy stay
}
