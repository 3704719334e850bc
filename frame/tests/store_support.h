// Reading a JSON store back in tests.
#pragma once

#include <jansson.h>

#include <map>
#include <string>

namespace kdtest {

using StoreSections = std::map<std::string, std::map<std::string, std::string>>;

// section -> key -> value of a store text; empty when it does not parse.
inline StoreSections store_sections(const std::string &text)
{
    StoreSections out;
    json_error_t err;
    json_t *root = json_loads(text.c_str(), 0, &err);
    const char *sname, *key;
    json_t *sec, *val;
    json_object_foreach(root, sname, sec)
    {
        auto &m = out[sname];
        json_object_foreach(sec, key, val) m[key] = json_is_string(val) ? json_string_value(val) : "?";
    }
    json_decref(root);
    return out;
}

} // namespace kdtest
