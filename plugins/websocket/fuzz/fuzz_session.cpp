// libFuzzer target: any Cookie header, "Auth" text and Origin header. A
// session id found is at most 64 letters and digits; a login text gives a
// user name and a digest, neither empty nor holding "_"; an origin matches
// a Host header only as a web origin and a bare host and port.
#include "session_text.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    const ws::cookie_lookup found = ws::session_from_cookie(text);
    if (found.id) {
        if (!found.named || found.id->empty() || found.id->size() > 64)
            std::abort();
        for (char c : *found.id)
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
                std::abort();
    }
    std::string user, digest;
    if (ws::parse_auth(text, user, digest)) {
        if (user.empty() || digest.empty() || user.find('_') != std::string::npos ||
            digest.find('_') != std::string::npos)
            std::abort();
    }
    // The text as an Origin header and, after a newline, a Host header.
    const size_t nl = text.find('\n');
    const std::string origin = text.substr(0, nl);
    const std::string host = nl == std::string::npos ? "" : text.substr(nl + 1);
    if (ws::origin_matches_host(origin, host)) {
        std::string scheme = origin.substr(0, origin.find("://"));
        for (char &c : scheme)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if ((scheme != "http" && scheme != "https") || host.find_first_of("/@ \t") != std::string::npos)
            std::abort(); // only web origins match, and only a bare host and port
    }
    return 0;
}
