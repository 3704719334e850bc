// Profile files: reading, crash-safe writing, store kinds, splitting a
// profile into its cards' parts and merging a part with the card's store.
#include "profile_internal.h"

#include "../frame_internal.h"
#include "../store/store_text.h"

#include <kerrow/log.h>
#include <kerrow/path.h>
#include <kerrow/store.h>

#include <jansson.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace kd::profile {

namespace {

// The "frame" keys a card keeps through an apply: its certificate subject,
// service switches and chassis number.
constexpr const char *kKeptFrameKeys[] = {
    "frame/country_name",     "frame/state_name",        "frame/locality_name",
    "frame/organization_name", "frame/organization_unit_name", "frame/common_name",
    "frame/email_address",    "frame/websocket_service", "frame/snmp_service",
    "frame/chassis_number",
};

} // namespace

bool make_dirs(const std::string &dir)
{
    for (size_t pos = 1; pos != std::string::npos;) {
        pos = dir.find('/', pos + 1);
        const std::string part = dir.substr(0, pos);
        if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

bool read_file(const std::string &path, std::string &out)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    out.clear();
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int err = errno;
            close(fd);
            errno = err;
            return false;
        }
        if (n == 0)
            break;
        out.append(buf, size_t(n));
    }
    close(fd);
    return true;
}

bool write_file_atomic(const std::string &path, std::string_view text)
{
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string tmp = dir + "/." + base + ".tmp";
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = kd::write_all(fd, text) && fsync(fd) == 0;
    int err = errno;
    ok = close(fd) == 0 && ok;
    if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(tmp.c_str());
        errno = err;
        return false;
    }
    // The rename itself must reach the disk before anything that relies on it.
    const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return true;
}

int store_kind(std::string_view text)
{
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        const std::string_view line = text.substr(0, nl);
        if (line.find("\"enccfg\"") != std::string_view::npos)
            return 1;
        if (line.find("\"decode\"") != std::string_view::npos)
            return 2;
        if (nl == std::string_view::npos)
            break;
        text.remove_prefix(nl + 1);
    }
    return 0;
}

std::map<std::string, std::string> split_profile(std::string_view text)
{
    std::map<std::string, std::string> parts;
    std::string open; // marker base of the section being read, "" outside
    std::string body;
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        const std::string_view raw = text.substr(0, nl == std::string_view::npos ? text.size() : nl + 1);
        text.remove_prefix(raw.size());
        std::string_view line = raw;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.remove_suffix(1);
        if (open.empty()) {
            if (line.ends_with("start") && (line == "masterstart" || (line.starts_with("slot") && line.size() == 10))) {
                open = std::string(line.substr(0, line.size() - 5));
                body.clear();
            }
            continue;
        }
        if (line == open + "end") {
            parts[open] = std::move(body);
            open.clear();
            continue;
        }
        body.append(raw);
    }
    return parts; // a section without its end line is left out
}

json_t *parse_store_text(std::string_view text, const char *what)
{
    std::vector<std::string> dropped;
    std::string why;
    json_t *store = kd::store_parse_text(text, dropped, why);
    if (what) {
        for (const std::string &d : dropped)
            KD_LOG(KD_LOG_ERR, "[%s] %s: %s, left out\n", me(), what, d.c_str());
        if (!store)
            KD_LOG(KD_LOG_ERR, "[%s] %s %s\n", me(), what, why.c_str());
    }
    return store;
}

json_t *merge_store(std::string_view part, json_t *old_store)
{
    json_t *store = parse_store_text(part, "Profile part");
    if (!json_is_object(store)) {
        json_decref(store);
        return nullptr;
    }
    json_t *ws = json_object_get(old_store, "websocket");
    if (json_is_object(ws)) {
        json_object_set(store, "websocket", ws);
    } else {
        // The card had no web front end settings of its own: it must not
        // take another card's users and sessions either.
        KD_LOG(KD_LOG_ERR, "[%s] Error getting websocket module!\n", me());
        json_object_del(store, "websocket");
    }
    json_t *old_frame = json_object_get(old_store, "frame");
    json_t *frame = json_object();
    for (const char *key : kKeptFrameKeys) {
        json_t *v = json_object_get(old_frame, key);
        if (json_is_string(v)) // the old store was read as texts
            json_object_set_new(frame, key, json_string(json_string_value(v)));
    }
    json_object_set_new(store, "frame", frame);
    return store;
}

bool current_store_text(std::string &out)
{
    // Changes reach the file every 3 seconds; a profile must hold them all.
    kd_store_check_persist(nullptr);
    return read_file(kd::rooted("/var/local/solvera/store.json"), out);
}

} // namespace kd::profile
