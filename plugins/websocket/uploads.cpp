// Files through the browser: uploads by HTTP POST to "/upload" (ordinary
// files, customer certificates, settings profiles) and download links under
// "/pub" made on request of other plug-ins.
//
// Every path is the card's, opened under KD_ROOT. Uploads need a session of
// a user above Guest; a dropped or refused upload leaves no file behind.
#include "session_text.h"
#include "ws.h"

#include <kerrow/cuvent.h>
#include <kerrow/log.h>
#include <kerrow/path.h>
#include <kerrow/store.h>

#include <libwebsockets.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace ws {
namespace {

constexpr const char *kMediaDir = "/media/hd0/media";
constexpr const char *kTmpDir = "/tmp/";
constexpr const char *kTmpSecurityDir = "/tmp/security/";
constexpr const char *kTmpCertDir = "/tmp/security/https-customer-certificate/";
constexpr const char *kTmpProfilesDir = "/tmp/settings-profiles/";
constexpr const char *kTmpProfilesHttpsDir = "/tmp/settings-profiles/https-settings-profiles/";
constexpr const char *kSecurityDir = "/var/local/solvera/security/";
constexpr const char *kCustomerCertDir = "/var/local/solvera/security/https-customer-certificate/";
constexpr const char *kProfilesDir = "/var/local/solvera/profiles/";

const char *const kPostFields[] = {"uploadfile", "uploadsubmit"};

// The form's own text around the file (boundaries, part headers, the
// submit field) on top of a file's limit.
constexpr size_t kFormOverhead = 64u << 10;
// Body bytes of a refused upload read and dropped, so that the browser can
// read the answer; a client that sends more is cut off.
constexpr size_t kDrainMax = 1u << 20;

// The answer of the verification event being emitted, kept by the upload
// that asked: the listeners answer before the emit returns.
unsigned char *g_verify_answer = nullptr;

bool is_dir(const std::string &path, bool no_link)
{
    struct stat st;
    if (!no_link)
        return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A private staging directory: ours, a real directory, 0700.
bool is_private_dir(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid())
        return false;
    return (st.st_mode & 0777) == 0700 || chmod(path.c_str(), 0700) == 0;
}

// A directory made if missing. Staging directories in /tmp are private and
// never reached through a symbolic link (anyone may make links there).
bool ensure_dir(const std::string &path, mode_t mode, bool no_link)
{
    if ((mkdir(path.c_str(), mode) != 0 && errno != EEXIST) || !is_dir(path, no_link)) {
        KD_LOG(KD_LOG_ERR, "[%s] Mkdir:%s error\n", me(), path.c_str());
        return false;
    }
    return true;
}

// Makes every missing directory of a card path below the root.
bool ensure_dirs(const char *card_path, mode_t mode, bool no_link = false)
{
    const std::string root = kd::rooted("");
    const std::string full = kd::rooted(card_path);
    for (size_t i = root.size() + 1; (i = full.find('/', i)) != std::string::npos; ++i)
        if (!ensure_dir(full.substr(0, i), i + 1 == full.size() ? mode : 0755, no_link))
            return false;
    if (full.back() != '/' && !ensure_dir(full, mode, no_link))
        return false;
    if (no_link && !is_private_dir(full)) {
        KD_LOG(KD_LOG_ERR, "[%s] Mkdir:%s error\n", me(), full.c_str());
        return false;
    }
    return true;
}

// A file name from a browser: one name, nothing that climbs or hides.
bool safe_name(const char *name)
{
    if (!name || !*name || name[0] == '.' || std::strlen(name) > 63)
        return false;
    for (const char *p = name; *p; ++p)
        if (*p == '/' || *p == '\\' || static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f)
            return false;
    return true;
}

// Copies src into dir/name through a hidden temporary file, flushed and
// renamed, so readers never see half a file.
bool copy_into(const std::string &src, const std::string &dir, const std::string &name)
{
    int in = open(src.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0) {
        if (errno == ENOENT)
            KD_LOG(KD_LOG_ERR, "[%s] Source file does not exist: %s\n\n", me(), src.c_str());
        else
            KD_LOG(KD_LOG_ERR, "[%s] Error opening source file: %s\n\n", me(), src.c_str());
        return false;
    }
    std::string tmp = dir + "." + name + ".XXXXXX";
    int out = mkstemp(tmp.data());
    if (out < 0) {
        KD_LOG(KD_LOG_ERR, "[%s] Error opening destination file: %s\n\n", me(), (dir + name).c_str());
        close(in);
        return false;
    }
    bool ok = true;
    char buf[8192];
    for (;;) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n == 0)
            break;
        if (n < 0 || write(out, buf, static_cast<size_t>(n)) != n) {
            ok = false;
            break;
        }
    }
    ok = ok && fsync(out) == 0;
    ok = close(out) == 0 && ok;
    close(in);
    ok = ok && rename(tmp.c_str(), (dir + name).c_str()) == 0;
    if (!ok) {
        unlink(tmp.c_str());
        KD_LOG(KD_LOG_ERR, "[%s] Error opening destination file: %s\n\n", me(), (dir + name).c_str());
        return false;
    }
    KD_LOG(KD_LOG_INFO, "[%s] File copied successfully to %s\n\n", me(), (dir + name).c_str());
    return true;
}

// An accepted certificate becomes the only file of the customer directory.
bool copy_certificate(const std::string &name)
{
    if (!ensure_dirs(kSecurityDir, 0755) || !ensure_dirs(kCustomerCertDir, 0755))
        return false;
    const std::string dir = kd::rooted(kCustomerCertDir);
    const std::string src = kd::rooted(kTmpCertDir) + name;
    if (!copy_into(src, dir, name))
        return false;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..") || name == e->d_name)
                continue;
            if (unlinkat(dirfd(d), e->d_name, 0) == 0)
                KD_LOG(KD_LOG_INFO, "[%s] Deleted file: %s\n", me(), e->d_name);
            else
                KD_LOG(KD_LOG_ERR, "[%s] Unable to delete file\n", me());
        }
        closedir(d);
    } else {
        KD_LOG(KD_LOG_ERR, "[%s] Unable to open directory\n", me());
    }
    kd_store_save_string(nullptr, "frame/certificatefilepath", (std::string(kCustomerCertDir) + name).c_str());
    unlink(src.c_str());
    return true;
}

bool copy_settingsprofile(const std::string &name)
{
    if (!ensure_dirs(kProfilesDir, 0755))
        return false;
    return copy_into(kd::rooted(kTmpProfilesHttpsDir) + name, kd::rooted(kProfilesDir), name);
}

// Per HTTP connection, allocated (zeroed) by the library.
struct per_session_data {
    lws_spa *spa;
    int fd;
    int fd_open;
    int upload_cert;    // "security" in the query string
    int upload_profile; // "profile" in the query string
    int status;         // the answer when not 200: refused request or failed upload
    unsigned char verified;
    char filename[64];
    char tmpname[512];
    char fullname[512];
    size_t file_length;
    size_t limit;   // the most file bytes this upload may carry
    size_t drained; // body bytes dropped after a refusal
};

// A partial file is never left behind.
void drop_partial(per_session_data &pss)
{
    if (!pss.fd_open)
        return;
    close(pss.fd);
    pss.fd_open = 0;
    unlink(pss.tmpname);
}

bool verify(per_session_data &pss, const char *event)
{
    pss.verified = 0; // refused unless a listener says otherwise
    g_verify_answer = &pss.verified;
    kd_cuvent_emit(nullptr, event, pss.filename);
    g_verify_answer = nullptr;
    return pss.verified != 0;
}

int open_upload(per_session_data &pss, const char *filename)
{
    drop_partial(pss);
    if (!safe_name(filename)) {
        KD_LOG(KD_LOG_WARNING, "[%s] Refused upload file name.\n", me());
        return 400;
    }
    std::snprintf(pss.filename, sizeof pss.filename, "%s", filename);
    std::string dir;
    if (pss.upload_cert) {
        if (!ensure_dirs(kTmpSecurityDir, 0700, true) || !ensure_dirs(kTmpCertDir, 0700, true))
            return 500;
        dir = kd::rooted(kTmpCertDir);
    } else if (pss.upload_profile) {
        if (!ensure_dirs(kTmpProfilesDir, 0700, true) || !ensure_dirs(kTmpProfilesHttpsDir, 0700, true))
            return 500;
        dir = kd::rooted(kTmpProfilesHttpsDir);
    } else {
        dir = kd::rooted(kMediaDir);
        if (!is_dir(dir, false))
            dir = kd::rooted(kTmpDir);
    }
    if (dir.back() != '/')
        dir += '/';
    const int t = std::snprintf(pss.tmpname, sizeof pss.tmpname, "%swsXXXXXX", dir.c_str());
    const int f = std::snprintf(pss.fullname, sizeof pss.fullname, "%s%s", dir.c_str(), pss.filename);
    if (t < 0 || f < 0 || static_cast<size_t>(t) >= sizeof pss.tmpname || static_cast<size_t>(f) >= sizeof pss.fullname)
        return 500;
    pss.fd = mkstemp(pss.tmpname);
    if (pss.fd < 0) {
        KD_LOG(KD_LOG_ERR, "[%s] Error writing %s, %s.\n", me(), pss.filename, std::strerror(errno));
        return 500;
    }
    pss.fd_open = 1;
    pss.file_length = 0;
    return 0;
}

int write_upload(per_session_data &pss, const char *buf, int len)
{
    if (static_cast<size_t>(len) > pss.limit - pss.file_length) {
        KD_LOG(KD_LOG_WARNING, "[%s] Upload of %s refused: larger than %zu bytes.\n", me(), pss.filename, pss.limit);
        drop_partial(pss);
        return HTTP_STATUS_REQ_ENTITY_TOO_LARGE;
    }
    while (len > 0) {
        const ssize_t n = write(pss.fd, buf, static_cast<size_t>(len));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            KD_LOG(KD_LOG_ERR, "[%s] Error writing %s, %s.\n", me(), pss.filename, std::strerror(errno));
            drop_partial(pss);
            return 500;
        }
        pss.file_length += static_cast<size_t>(n);
        buf += n;
        len -= static_cast<int>(n);
    }
    return 0;
}

int finish_upload(per_session_data &pss)
{
    const int fd = pss.fd;
    pss.fd_open = 0;
    if (fsync(fd) != 0 || close(fd) != 0 || rename(pss.tmpname, pss.fullname) != 0) {
        KD_LOG(KD_LOG_ERR, "[%s] Failed rename: %s.\n", me(), std::strerror(errno));
        unlink(pss.tmpname);
        return 500;
    }
    if (pss.upload_cert) {
        if (!verify(pss, "customer_certificate_filename") || !copy_certificate(pss.filename))
            return 400;
    } else if (pss.upload_profile) {
        if (!verify(pss, "settings profile verify") || !copy_settingsprofile(pss.filename))
            return 400;
    }
    pss.upload_cert = pss.upload_profile = 0;
    KD_LOG(KD_LOG_NOTICE, "[%s] Successfully uploaded file %s.\n", me(), pss.filename);
    return 0;
}

// The file handler of the POST parser. A failure is kept as the answer
// and the rest of the body is read and dropped, so the browser gets it.
int file_upload_cb(void *data, const char *, const char *filename, char *buf, int len,
                   lws_spa_fileupload_states state) noexcept
{
    auto &pss = *static_cast<per_session_data *>(data);
    if (pss.status)
        return 0;
    switch (state) {
    case LWS_UFS_OPEN:
        pss.status = open_upload(pss, filename);
        break;
    case LWS_UFS_CONTENT:
        if (pss.fd_open && len > 0)
            pss.status = write_upload(pss, buf, len);
        break;
    case LWS_UFS_FINAL_CONTENT:
        if (!pss.fd_open)
            break;
        if (len > 0)
            pss.status = write_upload(pss, buf, len);
        if (!pss.status)
            pss.status = finish_upload(pss);
        break;
    case LWS_UFS_CLOSE:
        break;
    }
    return 0;
}

// The body length the request announces; 0 when it announces none.
size_t declared_length(lws *wsi)
{
    char text[32] = {};
    if (lws_hdr_copy(wsi, text, sizeof text, WSI_TOKEN_HTTP_CONTENT_LENGTH) <= 0)
        return 0;
    char *end = nullptr;
    errno = 0;
    const unsigned long long n = std::strtoull(text, &end, 10);
    if (errno || end == text || *end)
        return SIZE_MAX; // unreadable: as good as too long
    return static_cast<size_t>(n);
}

int answer(lws *wsi, unsigned int status)
{
    if (lws_return_http_status(wsi, status, nullptr))
        return -1;
    return lws_http_transaction_completed(wsi) ? -1 : 0;
}

void release(per_session_data *pss)
{
    if (!pss)
        return;
    if (pss->spa) {
        lws_spa_destroy(pss->spa);
        pss->spa = nullptr;
    }
    drop_partial(*pss);
}

int http_callback(lws *wsi, lws_callback_reasons reason, void *user, void *in, size_t len)
{
    auto *pss = static_cast<per_session_data *>(user);
    switch (reason) {
    case LWS_CALLBACK_HTTP: {
        if (!pss)
            return answer(wsi, HTTP_STATUS_NOT_FOUND);
        release(pss);
        std::memset(pss, 0, sizeof *pss);
        char query[257] = {};
        if (lws_hdr_copy_fragment(wsi, query, sizeof query, WSI_TOKEN_HTTP_URI_ARGS, 0) > 0) {
            KD_LOG(KD_LOG_INFO, "[%s] Received Query String: %s\n", me(), query);
            pss->upload_cert = std::strstr(query, "security") != nullptr;
            pss->upload_profile = !pss->upload_cert && std::strstr(query, "profile") != nullptr;
        }
        if (lws_hdr_total_length(wsi, WSI_TOKEN_POST_URI) <= 0)
            return answer(wsi, HTTP_STATUS_NOT_FOUND);
        pss->limit = pss->upload_cert || pss->upload_profile ? g_upload_limits.staged : g_upload_limits.file;
        // A body without a length (chunked) would reach the file with its
        // framing; one too long is not worth reading. Both are answered at
        // once.
        if (lws_hdr_total_length(wsi, WSI_TOKEN_HTTP_CONTENT_LENGTH) <= 0)
            return answer(wsi, HTTP_STATUS_LENGTH_REQUIRED);
        if (declared_length(wsi) > pss->limit + kFormOverhead) {
            KD_LOG(KD_LOG_WARNING, "[%s] Upload refused: larger than %zu bytes.\n", me(), pss->limit);
            return answer(wsi, HTTP_STATUS_REQ_ENTITY_TOO_LARGE);
        }
        if (!ws_origin_allowed(wsi) || !ws_session_may_upload(wsi))
            pss->status = HTTP_STATUS_FORBIDDEN; // answered once the body is read
        return 0;
    }
    case LWS_CALLBACK_HTTP_BODY:
        if (!pss)
            return 0;
        if (pss->status) {
            pss->drained += len;
            return pss->drained > kDrainMax ? -1 : 0;
        }
        if (!pss->spa) {
            pss->spa = lws_spa_create(wsi, kPostFields, 2, 1024, file_upload_cb, pss);
            if (!pss->spa)
                return -1;
        }
        return lws_spa_process(pss->spa, static_cast<const char *>(in), static_cast<int>(len)) ? -1 : 0;
    case LWS_CALLBACK_HTTP_BODY_COMPLETION: {
        if (!pss)
            return -1;
        if (pss->spa)
            lws_spa_finalize(pss->spa);
        if ((pss->fd_open || !pss->filename[0]) && !pss->status)
            pss->status = HTTP_STATUS_BAD_REQUEST; // no file, or one that never ended
        const unsigned int status = pss->status ? static_cast<unsigned int>(pss->status)
                                                  : static_cast<unsigned int>(HTTP_STATUS_OK);
        release(pss);
        return answer(wsi, status);
    }
    case LWS_CALLBACK_HTTP_DROP_PROTOCOL:
    case LWS_CALLBACK_CLOSED_HTTP:
        release(pss);
        return 0;
    default:
        return lws_callback_http_dummy(wsi, reason, user, in, len);
    }
}

} // namespace

// Firmware packages are the largest uploads; a package's byte count has
// always fitted a signed 32-bit number, and 1 GiB leaves room to grow while
// bounding what one upload can put on the card's disk. Certificates and
// settings profiles are staged in /tmp, which is memory on the card.
upload_limits g_upload_limits = {1u << 30, 16u << 20};

size_t http_session_data_size() { return sizeof(per_session_data); }

int ws_http_cb(lws *wsi, lws_callback_reasons reason, void *user, void *in, size_t len) noexcept
{
    in_lws_callback guard;
    try {
        return http_callback(wsi, reason, user, in, len);
    } catch (const std::exception &e) {
        KD_LOG(KD_LOG_ERR, "[%s] HTTP callback failed: %s\n", me(), e.what());
        return -1;
    }
}

void ws_on_verify_answer(cuvent_wrapper *w)
{
    if (g_verify_answer && w->emit_ctx)
        *g_verify_answer = *static_cast<const unsigned char *>(w->emit_ctx) != 0;
}

// "request_publish_dir": a link in the link directory to a file or a
// directory of the card, served under "/pub" by its name.
void ws_on_publish_dir_request(cuvent_wrapper *w)
{
    const char *path = static_cast<const char *>(w->emit_ctx);
    if (!path || !*path)
        return;
    const std::string target = kd::rooted(path);
    struct stat st;
    if (stat(target.c_str(), &st) != 0) {
        KD_LOG(KD_LOG_WARNING, "[%s] Unable to create download link for '%s'. File does not exist.\n", me(), path);
        return;
    }
    std::string base = path;
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    base = base.substr(base.rfind('/') + 1);
    if (base.empty() || base == "." || base == ".." || base.size() > 100) {
        KD_LOG(KD_LOG_WARNING, "[%s] Unable to create download link for '%s'. Cannot create symlink.\n", me(), path);
        return;
    }
    const std::string link = kd::rooted(kLinkRoot) + base;
    if (unlink(link.c_str()) != 0 && errno != ENOENT) {
        KD_LOG(KD_LOG_WARNING, "[%s] Unable to create download link for '%s'. Cannot remove existing symlink.\n", me(),
               path);
        return;
    }
    if (symlink(target.c_str(), link.c_str()) != 0) {
        KD_LOG(KD_LOG_WARNING, "[%s] Unable to create download link for '%s'. Cannot create symlink.\n", me(), path);
        return;
    }
    KD_LOG(KD_LOG_INFO, "[%s] Created symlink at '%s' to '%s'.\n", me(), link.c_str(), target.c_str());
}

} // namespace ws
