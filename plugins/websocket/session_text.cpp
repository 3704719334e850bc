#include "session_text.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cctype>
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

std::string lowered(std::string_view s)
{
    std::string out(s);
    for (char &c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// "host" or "host:port" ("[v6]:port" for IPv6) with the port always
// written; empty when the text is no such authority.
std::string with_port(std::string_view authority, std::string_view default_port)
{
    std::string_view host = authority, port;
    if (authority.starts_with('[')) {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return {};
        host = authority.substr(0, close + 1);
        const std::string_view rest = authority.substr(close + 1);
        if (!rest.empty() && !rest.starts_with(':'))
            return {};
        port = rest.empty() ? rest : rest.substr(1);
    } else if (const size_t colon = authority.rfind(':'); colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
    } else if (authority.empty()) {
        return {};
    }
    if (port.empty())
        port = default_port;
    if (host.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos)
        return {};
    for (char c : host)
        if (c == '/' || c == '@' || c == '?' || c == '#' || c == ' ' || static_cast<unsigned char>(c) < 0x20)
            return {};
    return lowered(host) + ":" + std::string(port);
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

std::string id_for_log(std::string_view id)
{
    return std::string(id.substr(0, std::min<size_t>(6, id.size() / 2))) + "...";
}

bool origin_matches_host(std::string_view origin, std::string_view host)
{
    const size_t sep = origin.find("://");
    if (sep == std::string_view::npos)
        return false;
    const std::string scheme = lowered(origin.substr(0, sep));
    std::string_view default_port;
    if (scheme == "http")
        default_port = "80";
    else if (scheme == "https")
        default_port = "443";
    else
        return false;
    const std::string mine = with_port(origin.substr(sep + 3), default_port);
    return !mine.empty() && mine == with_port(host, default_port);
}

} // namespace ws
