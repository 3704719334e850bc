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

bool for_each_request(std::string_view message, const std::function<bool(const request &)> &take)
{
    for (;;) {
        const size_t cut = message.find(kDelimiter);
        const std::string_view piece = trim(message.substr(0, cut));
        if (!piece.empty()) {
            const size_t blank = piece.find_first_of(" \t");
            bool more;
            if (blank == std::string_view::npos) {
                more = take({false, std::string(piece), {}});
            } else {
                std::string_view value = piece.substr(blank + 1);
                if (value == "\"\"")
                    value = {};
                more = take({true, std::string(piece.substr(0, blank)), std::string(value)});
            }
            if (!more)
                return false;
        }
        if (cut == std::string_view::npos)
            return true;
        message.remove_prefix(cut + kDelimiter.size());
    }
}

std::vector<request> parse_message(std::string_view message)
{
    std::vector<request> out;
    for_each_request(message, [&out](const request &r) {
        out.push_back(r);
        return true;
    });
    return out;
}

} // namespace ws
