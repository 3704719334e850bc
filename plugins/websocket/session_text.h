// Texts of logins and sessions, plain code: the session id in a Cookie
// header, the "Auth" text, password digests and new session ids.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ws {

inline constexpr std::string_view kCookieName = "ZWSUI_SESSION";
inline constexpr int kSessionSeconds = 36000;

struct cookie_lookup {
    bool named = false;            // the header names the session cookie
    std::optional<std::string> id; // its value, when usable
};

// Finds "ZWSUI_SESSION" in a whole Cookie header (pieces cut at "=", ";"
// and blanks). An id over 64 characters or with anything but letters and
// digits is not usable.
cookie_lookup session_from_cookie(std::string_view header);

// "user_digest" (runs of "_" count as one, leading ones skipped): the user
// name and the digest; false when either is missing.
bool parse_auth(std::string_view text, std::string &user, std::string &digest);

// 128 lower-case hexadecimal digits of the SHA-512 digest of the text.
std::string sha512_hex(std::string_view text);

// 40 lower-case hexadecimal digits of 160 random bits; empty when the
// random source fails.
std::string new_session_id();

// A session id as the log shows it: its head only, so that no log reader
// can take over the session.
std::string id_for_log(std::string_view id);

// Whether a request's Origin header ("http" or "https", "://", host and an
// optional port) names the same host and port as its Host header; a port
// left out is the scheme's default. Any other origin ("null", another
// scheme, a path) does not match.
bool origin_matches_host(std::string_view origin, std::string_view host);

} // namespace ws
