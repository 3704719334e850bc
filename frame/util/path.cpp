// Resolution of fixed platform paths under the root named by KD_ROOT.
#include <kerrow/path.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {
// Read on every call: tests change KD_ROOT between cases.
std::string_view root_view()
{
    const char *r = std::getenv("KD_ROOT");
    if (!r)
        return {};
    std::string_view v(r);
    while (!v.empty() && v.back() == '/')
        v.remove_suffix(1);
    return v;
}
} // namespace

extern "C" const char *kd_root(void)
{
    static thread_local std::string cached;
    cached = root_view();
    return cached.c_str();
}

extern "C" int kd_path(const char *path, char *out, size_t outlen)
{
    if (!out || outlen == 0)
        return -1;
    out[0] = '\0';
    if (!path)
        return -1;
    std::string_view root = root_view();
    size_t plen = std::strlen(path);
    // Relative paths are taken as they are: only absolute platform paths move.
    if (path[0] != '/')
        root = {};
    if (root.size() + plen + 1 > outlen)
        return -1;
    if (!root.empty())
        std::memcpy(out, root.data(), root.size());
    std::memcpy(out + root.size(), path, plen + 1);
    return static_cast<int>(root.size() + plen);
}

std::string kd::rooted(std::string_view path)
{
    if (path.empty() || path.front() != '/')
        return std::string(path);
    std::string s(root_view());
    s.append(path);
    return s;
}
