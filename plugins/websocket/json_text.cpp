#include "json_text.h"

#include <cstdint>

namespace ws {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD"; // U+FFFD

// Length of the well-formed UTF-8 sequence at the head of `s` (Unicode
// Table 3-7), or 0 when it is ill-formed; `bad` is then the length of its
// maximal subpart, the bytes one U+FFFD replaces (as WHATWG decoders do).
size_t utf8_sequence(std::string_view s, size_t &bad)
{
    const auto b = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
    const uint8_t c = b(0);
    size_t n;
    uint8_t lo = 0x80, hi = 0xBF; // range of the second byte
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF)
        n = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0)
            lo = 0xA0; // no overlong forms
        else if (c == 0xED)
            hi = 0x9F; // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0)
            lo = 0x90;
        else if (c == 0xF4)
            hi = 0x8F; // nothing above U+10FFFF
    } else {
        bad = 1;
        return 0;
    }
    size_t i = 1;
    for (; i < n && i < s.size(); ++i) {
        const uint8_t x = b(i);
        const uint8_t l = i == 1 ? lo : 0x80, h = i == 1 ? hi : 0xBF;
        if (x < l || x > h)
            break;
    }
    if (i == n)
        return n;
    bad = i;
    return 0;
}

} // namespace

void json_escape_append(std::string &out, std::string_view text)
{
    static constexpr char hex[] = "0123456789abcdef";
    out.reserve(out.size() + text.size() + 8);
    size_t i = 0;
    while (i < text.size()) {
        const char ch = text[i];
        const auto u = static_cast<uint8_t>(ch);
        if (u >= 0x80) {
            size_t bad = 0;
            const size_t n = utf8_sequence(text.substr(i), bad);
            if (n) {
                out.append(text.substr(i, n));
                i += n;
            } else {
                out.append(kReplacement);
                i += bad;
            }
            continue;
        }
        switch (ch) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (u < 0x20) {
                out += "\\u00";
                out += hex[u >> 4];
                out += hex[u & 15];
            } else {
                out += ch;
            }
        }
        ++i;
    }
}

std::string json_label(std::string_view route)
{
    const size_t slash = route.rfind('/');
    std::string name(slash == std::string_view::npos ? route : route.substr(slash + 1));
    for (char &c : name) {
        if (c == ' ')
            c = '_';
        else if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return name;
}

} // namespace ws
