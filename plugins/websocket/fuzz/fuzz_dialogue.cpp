// libFuzzer target: any bytes a browser may send are cut into requests,
// and every route and value, escaped for the JSON, is valid UTF-8 without
// raw control characters or unescaped quotes.
#include "dialogue.h"
#include "json_text.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// An independent check of well-formed UTF-8 (RFC 3629).
bool valid_utf8(const std::string &s)
{
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<uint8_t>(s[i]);
        size_t n;
        uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            n = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            n = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            n = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + n > s.size())
            return false;
        for (size_t k = 1; k < n; ++k) {
            const auto x = static_cast<uint8_t>(s[i + k]);
            if ((x & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (x & 0x3F);
        }
        static const uint32_t min_for[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < min_for[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n;
    }
    return true;
}

void check_escaped(const std::string &text)
{
    std::string out;
    ws::json_escape_append(out, text);
    if (!valid_utf8(out))
        std::abort();
    for (size_t i = 0; i < out.size(); ++i) {
        const auto c = static_cast<uint8_t>(out[i]);
        if (c < 0x20)
            std::abort();
        if (out[i] == '\\') {
            ++i; // the escaped character
            continue;
        }
        if (out[i] == '"')
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string message(reinterpret_cast<const char *>(data), size);
    for (const auto &r : ws::parse_message(message)) {
        if (r.route.empty() || r.route.find("!@#") != std::string::npos)
            std::abort();
        check_escaped(r.route);
        check_escaped(r.value);
    }
    check_escaped(message);
    return 0;
}
