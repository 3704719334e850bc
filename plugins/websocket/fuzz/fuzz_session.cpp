// libFuzzer target: any Cookie header and any "Auth" text. A session id
// found is at most 64 letters and digits; a login text gives a user name
// and a digest, neither empty nor holding "_".
#include "session_text.h"

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
    return 0;
}
