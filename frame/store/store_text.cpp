// A store's text read so that one bad value costs that value alone.
//
// jansson refuses a whole document for a single token it cannot hold: an
// integer beyond 64 bits, a real beyond a double, a text that is not UTF-8,
// holds a bad escape or a raw control character. When the whole text does
// not parse, each such token is replaced (a value by null, a key by one no
// route has) and the text parsed again; the check that follows leaves the
// replaced members out with everything else that is not a text. Damage
// between tokens (a missing brace or comma) still refuses the whole text.
#include "store_text.h"

#include <cstring>

namespace kd {

namespace {

constexpr size_t kLoadFlags = JSON_ALLOW_NUL;

bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_number_char(char c) { return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E'; }

// Whether jansson takes the token alone; a key must also be free of zero
// bytes, which jansson takes in values only.
bool token_ok(std::string_view tok, bool key)
{
    json_error_t err;
    json_t *j = json_loadb(tok.data(), tok.size(), kLoadFlags | JSON_DECODE_ANY, &err);
    bool ok = j != nullptr;
    if (ok && key)
        ok = json_is_string(j) && std::strlen(json_string_value(j)) == json_string_length(j);
    json_decref(j);
    return ok;
}

// A string token ending before `at` is a key when a colon follows.
bool key_at(std::string_view text, size_t at)
{
    while (at < text.size() && blank(text[at]))
        ++at;
    return at < text.size() && text[at] == ':';
}

// The text with every token jansson would refuse replaced.
std::string neutralized(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    unsigned bad_keys = 0;
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '"') {
            size_t j = i + 1;
            while (j < text.size() && text[j] != '"')
                j += text[j] == '\\' ? 2 : 1;
            if (j >= text.size()) { // not closed: left for the parse to refuse
                out.append(text.substr(i));
                break;
            }
            const std::string_view tok = text.substr(i, j + 1 - i);
            const bool key = key_at(text, j + 1);
            if (token_ok(tok, key))
                out.append(tok);
            else if (key) // a control character: never part of a usable key
                out.append("\"\\u0001" + std::to_string(++bad_keys) + "\"");
            else
                out.append("null");
            i = j + 1;
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            size_t j = i + 1;
            while (j < text.size() && is_number_char(text[j]))
                ++j;
            const std::string_view tok = text.substr(i, j - i);
            out.append(token_ok(tok, false) ? tok : std::string_view("null"));
            i = j;
        } else {
            out.push_back(c);
            ++i;
        }
    }
    return out;
}

// Why a value is no usable text.
const char *why_not_text(const json_t *v)
{
    switch (json_typeof(v)) {
    case JSON_OBJECT: return "an object, not a text";
    case JSON_ARRAY: return "an array, not a text";
    case JSON_STRING: return "a text holding a zero byte";
    case JSON_INTEGER:
    case JSON_REAL: return "a number, not a text";
    case JSON_TRUE:
    case JSON_FALSE: return "true or false, not a text";
    case JSON_NULL: break;
    }
    return "null, or a number or text that cannot be read";
}

bool usable_key(const char *key)
{
    for (const char *p = key; *p; ++p)
        if (static_cast<unsigned char>(*p) < 0x20)
            return false;
    return true;
}

bool usable_text(const json_t *v)
{
    return json_is_string(v) && std::strlen(json_string_value(v)) == json_string_length(v);
}

// Leaves out what is not a section of texts; notes each.
void keep_usable(json_t *root, std::vector<std::string> &dropped)
{
    const char *name;
    json_t *section;
    void *tmp;
    json_object_foreach_safe(root, tmp, name, section)
    {
        if (!usable_key(name)) {
            dropped.push_back("a section with a damaged name");
            json_object_del(root, name);
            continue;
        }
        if (!json_is_object(section)) {
            dropped.push_back("section '" + std::string(name) + "' is not an object");
            json_object_del(root, name);
            continue;
        }
        const char *key;
        json_t *value;
        void *tmp2;
        json_object_foreach_safe(section, tmp2, key, value)
        {
            if (!usable_key(key)) {
                dropped.push_back("a key with a damaged name in section '" + std::string(name) + "'");
                json_object_del(section, key);
            } else if (json_is_integer(value)) {
                // A number written by hand: the text the store would have saved.
                json_object_set_new(section, key, json_string(std::to_string(json_integer_value(value)).c_str()));
            } else if (!usable_text(value)) {
                dropped.push_back("'" + std::string(key) + "' in section '" + name + "' is " + why_not_text(value));
                json_object_del(section, key);
            }
        }
    }
}

} // namespace

json_t *store_parse_text(std::string_view text, std::vector<std::string> &dropped, std::string &why)
{
    if (text.find_first_not_of(" \t\r\n") == std::string_view::npos)
        return json_object();
    json_error_t err;
    json_t *root = json_loadb(text.data(), text.size(), kLoadFlags, &err);
    if (!root) {
        const std::string clean = neutralized(text);
        json_error_t err2;
        root = json_loadb(clean.data(), clean.size(), kLoadFlags, &err2);
    }
    if (!root) {
        // Said of the text as it was.
        why = std::string("is damaged (") + err.text + ", line " + std::to_string(err.line) + ")";
        return nullptr;
    }
    if (!json_is_object(root)) {
        static const char *const kinds[] = {"an object", "an array", "a string", "an integer",
                                            "a real",    "true",     "false",    "null"};
        why = std::string("holds ") + kinds[json_typeof(root)] + ", not an object";
        json_decref(root);
        return nullptr;
    }
    keep_usable(root, dropped);
    return root;
}

} // namespace kd
