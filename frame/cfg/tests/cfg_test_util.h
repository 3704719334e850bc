// Reading and writing "frame" parameters by route, as a front end would.
#pragma once

#include <kerrow/param.h>

#include <cstdlib>
#include <string>

namespace kdtest {

inline param_context *node(const std::string &route) { return kd_param_get_by_route(route.c_str()); }

// The setter's answer through the parameter's own set path; -1 when the
// route does not exist or the node has no set.
inline int set(const std::string &route, const char *text)
{
    param_context *p = node(route);
    kd_param_set fn = nullptr;
    if (auto *o = kd_param_get_string_ops(p))
        fn = o->set;
    else if (auto *o = kd_param_get_choice_ops(p))
        fn = o->set;
    else if (auto *o = kd_param_get_number_ops(p))
        fn = o->set;
    return fn ? static_cast<int>(fn(p, text)) : -1;
}

// The value text, or "<none>" when the route does not exist.
inline std::string value(const std::string &route)
{
    char *text = kd_param_get_value_text(node(route));
    if (!text)
        return "<none>";
    std::string out = text;
    std::free(text);
    return out;
}

inline int access(const std::string &route) { return static_cast<int>(kd_param_get_readwrite(node(route))); }

} // namespace kdtest
