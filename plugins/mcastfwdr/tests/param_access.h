// A parameter set and read by route, as the websocket does: through the
// parameter's own operations record.
#pragma once

#include <kerrow/param.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace mcftest {

inline param_set_result set_param(const std::string &route, const char *text)
{
    param_context *p = kd_param_get_by_route(route.c_str());
    if (auto *n = kd_param_get_number_ops(p))
        return n->set(p, text);
    if (auto *s = kd_param_get_string_ops(p))
        return s->set(p, text);
    if (auto *c = kd_param_get_choice_ops(p))
        return c->set(p, text);
    ADD_FAILURE() << "no settable parameter at " << route;
    return PARAM_SET_FAILURE;
}

// The value text, or "<none>".
inline std::string param_value(const std::string &route)
{
    char *v = kd_param_get_value_text(kd_param_get_by_route(route.c_str()));
    std::string s = v ? v : "<none>";
    std::free(v);
    return s;
}

} // namespace mcftest
