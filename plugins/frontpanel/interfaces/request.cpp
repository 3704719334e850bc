#include "request.h"

#include "menu_msg.h"

namespace fp {

namespace {

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void skip_space(std::string_view &text)
{
    while (!text.empty() && is_space(text.front()))
        text.remove_prefix(1);
}

// One word of at most kRequestWordMax bytes, taken off the front.
std::string_view take_word(std::string_view &text)
{
    skip_space(text);
    size_t n = 0;
    while (n < text.size() && n < kRequestWordMax && !is_space(text[n]))
        ++n;
    std::string_view word = text.substr(0, n);
    text.remove_prefix(n);
    return word;
}

} // namespace

menu_request parse_request(std::string_view attachment)
{
    std::string_view text = cut_line(attachment);
    menu_request r;
    r.route = take_word(text);
    if (r.route.empty())
        return r;
    skip_space(text);
    if (text.empty() || text.front() != '"')
        return r;
    text.remove_prefix(1);
    std::string_view value = take_word(text);
    if (value.empty())
        return r;
    r.value = std::string(value.substr(0, value.find('"')));
    return r;
}

} // namespace fp
