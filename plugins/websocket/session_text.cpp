#include "session_text.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <vector>

namespace ws {
namespace {

std::string hex(const unsigned char *p, size_t n)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

std::vector<std::string_view> cut(std::string_view s, std::string_view separators)
{
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < s.size()) {
        i = s.find_first_not_of(separators, i);
        if (i == std::string_view::npos)
            break;
        const size_t end = s.find_first_of(separators, i);
        out.push_back(s.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i));
        i = end == std::string_view::npos ? s.size() : end;
    }
    return out;
}

bool usable_id(std::string_view id)
{
    if (id.empty() || id.size() > 64)
        return false;
    for (char c : id)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
            return false;
    return true;
}

} // namespace

cookie_lookup session_from_cookie(std::string_view header)
{
    cookie_lookup out;
    const auto pieces = cut(header, "=; \t");
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (pieces[i] != kCookieName)
            continue;
        out.named = true;
        if (i + 1 < pieces.size() && usable_id(pieces[i + 1])) {
            out.id = std::string(pieces[i + 1]);
            return out;
        }
    }
    return out;
}

bool parse_auth(std::string_view text, std::string &user, std::string &digest)
{
    const auto pieces = cut(text, "_");
    if (pieces.size() < 2)
        return false;
    user = pieces[0];
    digest = pieces[1];
    return true;
}

std::string sha512_hex(std::string_view text)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!EVP_Digest(text.data(), text.size(), md, &n, EVP_sha512(), nullptr))
        return {};
    return hex(md, n);
}

std::string new_session_id()
{
    unsigned char bits[20];
    if (RAND_bytes(bits, sizeof bits) != 1)
        return {};
    return hex(bits, sizeof bits);
}

} // namespace ws
