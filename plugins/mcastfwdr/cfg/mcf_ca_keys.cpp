// A CA session's receiver keys: appending single keys and key files,
// removing keys, and the session's key file, which is replaced whole
// (temporary file, fsync, rename) on every change and read back at start.
//
// Sessions and key files stay one state across a crash because the session
// list in the store file decides which key files count:
// - a key file is written only for a session the list on disk names (a
//   new session has the store written at once, so that it is);
// - a new session first removes any file left under its id;
// - a removed session's file goes only after the list without it is on
//   disk;
// - at start, files of sessions the list does not name are removed.
// A crash between two of these steps leaves a state the card had before
// or after the change, never keys for a session that did not have them.
#include "cfg/ca_key_table.h"
#include "mcf_cfg.h"
#include "mcf_services.h"
#include "status_queue.h"

#include <kerrow/path.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view kKeyDir = "/var/local/solvera/";
constexpr std::string_view kUploadDir = "/media/hd0/media/";
constexpr size_t kChunk = 8192;

enum class key_file_kind { none, csv, pem };

struct fd_guard {
    int fd = -1;
    ~fd_guard()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

struct table_guard {
    ca_key_table *t = ca_key_table_ctor();
    ~table_guard() { ca_key_table_dtor(t); }
};

bool ends_with(std::string_view s, std::string_view tail)
{
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

bool plain_name(std::string_view s)
{
    return !s.empty() && s != "." && s != ".." && s.find('/') == std::string_view::npos;
}

// The file an import names (under KD_ROOT) and its base name: a bare name
// in the upload directory, or a file directly in the key directory.
bool import_path(std::string_view text, std::string *path, std::string *base)
{
    std::string_view name = text;
    std::string_view dir = kUploadDir;
    if (text.substr(0, kKeyDir.size()) == kKeyDir) {
        name = text.substr(kKeyDir.size());
        dir = kKeyDir;
    }
    if (!plain_name(name))
        return false;
    *path = kd::rooted(std::string(dir) + std::string(name));
    *base = std::string(name);
    return true;
}

key_file_kind kind_of(std::string_view name)
{
    if (ends_with(name, ".pub.csv"))
        return key_file_kind::csv;
    if (ends_with(name, ".pub.pem"))
        return key_file_kind::pem;
    return key_file_kind::none;
}

constexpr std::string_view kKeyFilePrefix = "ca_keys_", kKeyFileSuffix = ".pub.csv", kTmpSuffix = ".tmp";

std::string session_key_path(int id)
{
    char path[sizeof cfg_ca::key_file_path];
    std::snprintf(path, sizeof path, "/var/local/solvera/ca_keys_%d.pub.csv", id);
    return path;
}

// The session id of a key file's name ("ca_keys_<id>.pub.csv", with
// `tmp`: the temporary one of a write), or -1 for any other name.
int key_file_session(std::string_view name, bool *tmp)
{
    *tmp = ends_with(name, kTmpSuffix);
    if (*tmp)
        name.remove_suffix(kTmpSuffix.size());
    if (!name.starts_with(kKeyFilePrefix) || !ends_with(name, kKeyFileSuffix))
        return -1;
    const std::string_view digits =
        name.substr(kKeyFilePrefix.size(), name.size() - kKeyFilePrefix.size() - kKeyFileSuffix.size());
    int id = -1;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), id);
    return !digits.empty() && ec == std::errc() && end == digits.data() + digits.size() && id >= 0 ? id : -1;
}

// A regular file opened for reading (no symbolic link, no device): the
// descriptor, or -1 with errno set.
int open_regular(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

ssize_t read_some(int fd, char *buf, size_t n)
{
    for (;;) {
        const ssize_t r = ::read(fd, buf, n);
        if (r >= 0 || errno != EINTR)
            return r;
    }
}

// What reading a key file found besides its keys.
struct read_report {
    bool read_error = false;
    bool damaged = false; // a line without a key, an overlong or unfinished line, a NUL byte
};

// The state of a key-file line at the end of `s` (which starts at its opening quote).
bool ends_inside_pem(std::string_view s)
{
    return std::count(s.begin(), s.end(), '"') % 2 == 1;
}

// Reads the lines of a ".pub.csv" file into `t`, chunk by chunk through a
// buffer of 8192 bytes (and a terminator). A line longer than the buffer
// is skipped with a log line; reading stops when the table is full.
read_report read_csv(int fd, ca_key_table *t, const std::string &shown)
{
    read_report r;
    char buf[kChunk + 1];
    size_t have = 0;
    // Skipping an overlong line: its tail up to the line feed after the PEM.
    bool skipping = false, skip_in_pem = false;
    for (;;) {
        const ssize_t n = read_some(fd, buf + have, kChunk - have);
        if (n < 0) {
            r.read_error = true;
            return r;
        }
        const bool eof = n == 0;
        if (std::memchr(buf + have, '\0', size_t(n))) {
            mcf_post_log(SQ_LOG_WARN, "Key file %s holds a NUL byte", shown.c_str());
            r.damaged = true;
            return r;
        }
        have += size_t(n);
        buf[have] = '\0';
        size_t start = 0;
        if (skipping) {
            for (; start < have; ++start) {
                const char c = buf[start];
                if (c == '"')
                    skip_in_pem = !skip_in_pem;
                else if (c == '\n' && !skip_in_pem) {
                    skipping = false;
                    ++start;
                    break;
                }
            }
        }
        mcf::ca_key_parse_counts counts;
        const char *rest = mcf::ca_key_table_parse(t, buf + start, have - start, &counts);
        r.damaged = r.damaged || counts.pushed != counts.records;
        if (counts.full)
            return r;
        const size_t left = size_t(buf + have - rest);
        std::memmove(buf, rest, left);
        have = left;
        if (eof) {
            if (have > 0 || skipping) {
                mcf_post_log(SQ_LOG_INFO, "Key file %s: last line unfinished, ignored", shown.c_str());
                r.damaged = true;
            }
            return r;
        }
        if (have == kChunk) {
            mcf_post_log(SQ_LOG_WARN, "Key file %s: line longer than %zu bytes skipped", shown.c_str(), kChunk);
            r.damaged = true;
            skipping = true;
            skip_in_pem = ends_inside_pem(std::string_view(buf, have));
            have = 0;
        }
    }
}

read_report read_pem(int fd, ca_key_table *t)
{
    read_report r;
    char buf[kChunk + 1];
    const ssize_t n = read_some(fd, buf, kChunk);
    if (n < 0) {
        r.read_error = true;
        return r;
    }
    buf[n] = '\0';
    r.damaged = std::memchr(buf, '\0', size_t(n)) != nullptr || !ca_key_table_push(t, nullptr, buf);
    return r;
}

// The entries of the session after its first `from`.
std::vector<unsigned> ids_after(const cfg_ca &ca, int from)
{
    std::vector<unsigned> ids;
    int i = 0;
    for (const ca_key_entry &e : mcf::records<ca_key_entry>(ca.biss2ca_rxrs ? ca.biss2ca_rxrs->entries : nullptr))
        if (i++ >= from)
            ids.push_back(e.id);
    return ids;
}

int same_entry_id(void *data, void *key)
{
    return static_cast<const ca_key_entry *>(data)->id == *static_cast<const unsigned *>(key) ? 0 : 1;
}

// The key's row and entry go; the key file is left as it is.
void drop_entry(cfg_ca &ca, unsigned id)
{
    if (ca.param_entitlements)
        mcastfwdr_param_delete(mcf_pli, ca.param_entitlements, &id, same_entry_id, 0);
    ca_key_table_delete(ca.biss2ca_rxrs, id);
}

// cfg_ca_append_key_entry, with the key id when it is known already.
int append_entry(cfg_ca &ca, const char *name, const char *pem, const uint8_t *key_id)
{
    ca_key_entry *e = mcf::ca_key_table_push_known(ca.biss2ca_rxrs, name, pem, key_id);
    if (!e)
        return -1;
    e->ca_id = ca.id;
    if (ca.param_entitlements)
        mcastfwdr_allocate_rule_ca_key(ca.param_entitlements, e);
    if (!ca.batch_mode && cfg_ca_store_keys(&ca) != 0) {
        drop_entry(ca, e->id);
        return -1;
    }
    return 0;
}

// Appends the keys of `t` (refused ones skipped) and writes the key file
// once: 0, or -1 when none was added or the file could not be written (the
// keys added here are taken back then).
int append_table(cfg_ca &ca, const ca_key_table *t, const char *name)
{
    const int before = ca_key_table_get_length(ca.biss2ca_rxrs);
    ca.batch_mode = true;
    for (const ca_key_entry &e : mcf::records<ca_key_entry>(t->entries))
        append_entry(ca, name, e.key_pem, e.key_id);
    ca.batch_mode = false;
    const std::vector<unsigned> added = ids_after(ca, before);
    if (added.empty())
        return -1;
    if (cfg_ca_store_keys(&ca) == 0)
        return 0;
    for (unsigned id : added)
        drop_entry(ca, id);
    return -1;
}

bool sync_dir(const std::string &dir)
{
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// "<path>.damaged-<UTC time>", a name not yet taken.
std::string aside_name(const std::string &path)
{
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
    std::string name = path + ".damaged-" + stamp;
    for (int i = 1; std::filesystem::exists(std::filesystem::symlink_status(name)); ++i)
        name = path + ".damaged-" + stamp + "-" + std::to_string(i);
    return name;
}

} // namespace

extern "C" {

int cfg_ca_store_keys(cfg_ca *ca)
{
    if (!ca || !ca->biss2ca_rxrs)
        return -1;
    if (!mcf_ca_session_listed_on_disk(ca)) {
        mcf_post_log(SQ_LOG_ERROR, "CA session %d: the session is not saved yet, its keys are not kept", ca->id);
        return -1;
    }
    if (!ca->key_file_path[0])
        std::snprintf(ca->key_file_path, sizeof ca->key_file_path, "%s", session_key_path(ca->id).c_str());
    const std::string path = kd::rooted(ca->key_file_path);
    const std::string tmp = path + ".tmp";
    const std::filesystem::path dir = std::filesystem::path(path).parent_path();
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    fd_guard f;
    f.fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    bool ok = f.fd >= 0 && ca_key_table_write(ca->biss2ca_rxrs, f.fd) == 0 && ::fsync(f.fd) == 0;
    const int err = errno;
    if (f.fd >= 0) {
        ok = ::close(f.fd) == 0 && ok;
        f.fd = -1;
    }
    ok = ok && ::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) {
        mcf_post_log(SQ_LOG_ERROR, "CA session %d: failed to write key file %s: %s", ca->id, ca->key_file_path,
                     std::strerror(err ? err : errno));
        ::unlink(tmp.c_str());
        return -1;
    }
    sync_dir(dir.string());
    return 0;
}

int cfg_ca_append_key_entry(cfg_ca *ca, const char *name, const char *pem)
{
    return ca ? append_entry(*ca, name, pem, nullptr) : -1;
}

int cfg_ca_remove_key_entry(cfg_ca *ca, unsigned int id)
{
    if (!ca || !ca_key_table_get_entry_by_id(ca->biss2ca_rxrs, id))
        return -1;
    drop_entry(*ca, id);
    if (cfg_ca_store_keys(ca) != 0) {
        mcf_post_log(SQ_LOG_ERROR, "CA session %d: revoked key still in the key file; it returns at restart", ca->id);
        return -1;
    }
    return 0;
}

int cfg_ca_append_keys_file(cfg_ca *ca, const char *file, bool fill_description)
{
    if (!ca || !file)
        return -1;
    std::string path, base;
    const key_file_kind kind = kind_of(file);
    if (!import_path(file, &path, &base) || kind == key_file_kind::none) {
        mcf_post_log(SQ_LOG_WARN, "CA session %d: key file '%s' refused (a name in %.*s ending in .pub.csv or "
                     ".pub.pem)", ca->id, file, int(kUploadDir.size()), kUploadDir.data());
        return -1;
    }
    fd_guard f;
    f.fd = open_regular(path);
    if (f.fd < 0) {
        mcf_post_log(SQ_LOG_WARN, "CA session %d: cannot open key file %s: %s", ca->id, file, std::strerror(errno));
        return -1;
    }
    table_guard tmp;
    if (!tmp.t)
        return -1;
    const read_report r = kind == key_file_kind::csv ? read_csv(f.fd, tmp.t, file) : read_pem(f.fd, tmp.t);
    if (r.read_error) {
        mcf_post_log(SQ_LOG_WARN, "CA session %d: cannot read key file %s: %s", ca->id, file, std::strerror(errno));
        return -1;
    }
    if (ca_key_table_get_length(tmp.t) == 0) {
        mcf_post_log(SQ_LOG_WARN, "CA session %d: no key found in %s", ca->id, file);
        return -1;
    }
    if (append_table(*ca, tmp.t, fill_description ? base.c_str() : nullptr) != 0) {
        mcf_post_log(SQ_LOG_WARN, "CA session %d: no key of %s added", ca->id, file);
        return -1;
    }
    return 0;
}

int cfg_ca_load_keys(cfg_ca *ca)
{
    if (!ca)
        return -1;
    std::snprintf(ca->key_file_path, sizeof ca->key_file_path, "%s", session_key_path(ca->id).c_str());
    const std::string path = kd::rooted(ca->key_file_path);
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0)
        return errno == ENOENT ? 0 : -1;
    table_guard tmp;
    if (!tmp.t)
        return -1;
    read_report r;
    fd_guard f;
    f.fd = open_regular(path);
    if (f.fd < 0)
        r.read_error = true;
    else
        r = read_csv(f.fd, tmp.t, ca->key_file_path);
    if (r.read_error || r.damaged) {
        const std::string aside = aside_name(path);
        const bool moved = ::rename(path.c_str(), aside.c_str()) == 0;
        mcf_post_log(SQ_LOG_ERROR, "CA session %d: key file %s %s, %s%s", ca->id, ca->key_file_path,
                     r.read_error ? "cannot be read" : "is damaged", moved ? "set aside as " : "could not be set aside",
                     moved ? std::filesystem::path(aside).filename().c_str() : "");
        if (!moved)
            return -1; // keep the file as it is rather than overwrite it with a part
    }
    if (ca_key_table_get_length(tmp.t) == 0)
        return r.read_error || r.damaged ? -1 : 0;
    return append_table(*ca, tmp.t, nullptr);
}

int cfg_ca_delete_keys_file(int id)
{
    const std::string path = kd::rooted(session_key_path(id));
    ::unlink((path + std::string(kTmpSuffix)).c_str());
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        mcf_post_log(SQ_LOG_ERROR, "CA session %d: cannot delete key file: %s", id, std::strerror(errno));
        return -1;
    }
    // Gone for good before anything that relies on it happens.
    if (!sync_dir(std::filesystem::path(path).parent_path().string()) && errno != ENOENT) {
        mcf_post_log(SQ_LOG_ERROR, "CA session %d: key file removal not synced: %s", id, std::strerror(errno));
        return -1;
    }
    return 0;
}

void cfg_ca_remove_orphan_key_files(void)
{
    const std::filesystem::path dir = kd::rooted(std::string(kKeyDir));
    std::error_code ec;
    std::vector<std::filesystem::path> doomed;
    for (const auto &e : std::filesystem::directory_iterator(dir, ec)) {
        bool tmp = false;
        const int id = key_file_session(e.path().filename().native(), &tmp);
        if (id >= 0 && (tmp || !mcfcfg_ca_session_find_by_id(id)))
            doomed.push_back(e.path());
    }
    for (const auto &p : doomed) {
        mcf_post_log(SQ_LOG_WARN, "CA key file %s of no saved session removed", p.filename().c_str());
        std::filesystem::remove(p, ec);
    }
    if (!doomed.empty())
        sync_dir(dir.string());
}

} // extern "C"
