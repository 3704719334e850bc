// Reading a store's text: the store file and settings-profile parts. Plain
// code over jansson (no framework), so the fuzz target links it alone.
#pragma once

#include <jansson.h>

#include <string>
#include <string_view>
#include <vector>

namespace kd {

// The text as an object of sections, each mapping keys to texts (new
// reference). A value that cannot be used (not a text, a number no
// integer or real holds, a text that is not UTF-8 or holds a zero byte,
// a section that is not an object) is left out and described in
// `dropped`; the rest is kept. An integer becomes its decimal text. Null when the text is no such object at all,
// with `why` saying how ("is damaged (...)", "holds an array, not an
// object"). A blank text is an empty store.
json_t *store_parse_text(std::string_view text, std::vector<std::string> &dropped, std::string &why);

} // namespace kd
