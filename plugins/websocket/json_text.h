// Texts inside the parameter JSON: escaped as RFC 8259 asks, with every
// ill-formed UTF-8 sequence replaced by U+FFFD, so that what a browser
// parses is the text the device holds (and a text frame is always valid
// UTF-8, which browsers insist on).
#pragma once

#include <string>
#include <string_view>

namespace ws {

// Appends `text` to `out` as the inside of a JSON string (no quotes).
void json_escape_append(std::string &out, std::string_view text);

// The member name of a parameter: the last segment of its route, blanks as
// "_", upper-case letters lowered. Not escaped.
std::string json_label(std::string_view route);

} // namespace ws
