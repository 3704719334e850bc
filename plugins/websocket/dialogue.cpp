#include "dialogue.h"

namespace ws {
namespace {

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && is_space(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_space(s.back()))
        s.remove_suffix(1);
    return s;
}

} // namespace

std::vector<request> parse_message(std::string_view message)
{
    std::vector<request> out;
    for (;;) {
        const size_t cut = message.find(kDelimiter);
        const std::string_view piece = trim(message.substr(0, cut));
        if (!piece.empty()) {
            const size_t blank = piece.find_first_of(" \t");
            if (blank == std::string_view::npos) {
                out.push_back({false, std::string(piece), {}});
            } else {
                std::string_view value = piece.substr(blank + 1);
                if (value == "\"\"")
                    value = {};
                out.push_back({true, std::string(piece.substr(0, blank)), std::string(value)});
            }
        }
        if (cut == std::string_view::npos)
            break;
        message.remove_prefix(cut + kDelimiter.size());
    }
    return out;
}

} // namespace ws
