// The text of a daemon request: a parameter route, optionally followed by
// a blank, a double quote and a value ("route" reads, "route \"value"
// sets). Only the first line counts.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace fp {

// Each of route and value is one word (no white space) of at most this
// many bytes; a longer word is cut there and scanning goes on behind it.
inline constexpr size_t kRequestWordMax = 256;

struct menu_request {
    std::string route;                // empty when the text holds no word
    std::optional<std::string> value; // set only for a set request
};

// Scans like the format "%256s \"%256s": white space before each word is
// skipped, the blank before the quote may be any white space or none; a
// value stops at its first blank and a closing double quote is cut off.
menu_request parse_request(std::string_view attachment);

} // namespace fp
