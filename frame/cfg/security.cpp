// Security members of the "frame" tree: the subject of the card's
// certificate signing request and self-signed HTTPS certificate, the choice
// of HTTP or HTTPS, FIPS 140-3 mode and customer HTTPS certificates.
//
// Keys and certificates are PEM (RFC 7468); requests are PKCS #10 (RFC 2986),
// certificates X.509 v3 (RFC 5280). Files are written whole to a temporary
// name and renamed, so a failure never leaves an empty or partial file, and
// files holding a private key are 0600.
#include <kerrow/cuvent.h>
#include <kerrow/frame.h>
#include <kerrow/log.h>
#include <kerrow/param.h>
#include <kerrow/path.h>
#include <kerrow/store.h>
#include <kerrow/system.h>

#include "../frame_internal.h"
#include "cfg_internal.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
KD_API int fips_mode = 0;
}

namespace {

const char *me() { return kd_frame_plugin_get_name(nullptr); }

constexpr const char *kSecurityDir = "/var/local/solvera/security/";
constexpr const char *kCsrDir = "/var/local/solvera/security/certificate-signing-request/";
constexpr const char *kCsrFile = "csr_generate.txt";
constexpr const char *kCsrKeyFile = "csr_generate.key";
constexpr const char *kCertDir = "/var/local/solvera/security/https-certificate/";
constexpr const char *kCertFile = "https_certificate.pem";
constexpr const char *kUploadDir = "/tmp/security/https-customer-certificate/";
constexpr const char *kCustomerDir = "/var/local/solvera/security/https-customer-certificate/";
constexpr long kMaxUpload = 1048576;

// The CSR subject and the customer certificate's name; "" stands for null.
struct cfg_csr {
    std::string country_name, state_name, locality_name, organization_name, organization_unit_name, common_name,
        email_address, certificate_file_name;
};

/* loop thread only */
std::unique_ptr<cfg_csr> g_csr;
int g_newfilestate_num = 0;
int g_generate_csr = 0;
int g_deletefilestate_num = 0;
int g_service_choice = 0;
param_context *g_root = nullptr;
param_context *g_cert_name_param = nullptr;

template <typename T, void (*F)(T *)> struct ossl_free {
    void operator()(T *p) const { F(p); }
};
using pkey_ptr = std::unique_ptr<EVP_PKEY, ossl_free<EVP_PKEY, EVP_PKEY_free>>;
using req_ptr = std::unique_ptr<X509_REQ, ossl_free<X509_REQ, X509_REQ_free>>;
using x509_ptr = std::unique_ptr<X509, ossl_free<X509, X509_free>>;
using bio_ptr = std::unique_ptr<BIO, ossl_free<BIO, BIO_free_all>>;

bool make_dirs(const char *dir)
{
    std::error_code ec;
    const std::string path = kd::rooted(dir);
    std::filesystem::create_directories(path, ec);
    if (ec || !std::filesystem::is_directory(path, ec)) {
        KD_LOG(KD_LOG_ERR, "[%s] Mkdir:%s error\n", me(), path.c_str());
        return false;
    }
    return true;
}

// Writes the bytes to a temporary file beside `path` and renames it over.
bool write_file_atomic(const std::string &path, const std::string &bytes, mode_t mode)
{
    const std::string tmp = path + ".tmp";
    ::unlink(tmp.c_str());
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    const bool ok = kd::write_all(fd, bytes) && ::fsync(fd) == 0;
    ::close(fd);
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

std::string bio_text(BIO *bio)
{
    char *data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

// The subject entries, each only when its field is set, in this order.
bool add_subject(X509_NAME *name)
{
    const std::array<std::pair<const char *, const std::string *>, 7> fields{{
        {"C", &g_csr->country_name},
        {"ST", &g_csr->state_name},
        {"L", &g_csr->locality_name},
        {"O", &g_csr->organization_name},
        {"OU", &g_csr->organization_unit_name},
        {"CN", &g_csr->common_name},
        {"emailAddress", &g_csr->email_address},
    }};
    for (const auto &[field, value] : fields) {
        if (value->empty())
            continue;
        if (!X509_NAME_add_entry_by_txt(name, field, MBSTRING_ASC,
                                        reinterpret_cast<const unsigned char *>(value->c_str()), -1, -1, 0)) {
            KD_LOG(KD_LOG_ERR, "[%s] X509_NAME_add_entry_by_txt ERROR.\n", me());
            return false;
        }
    }
    return true;
}

pkey_ptr generate_rsa(const char *fail_text)
{
    // 2048-bit RSA with public exponent 65537 (F4).
    pkey_ptr key(EVP_RSA_gen(2048));
    if (!key)
        KD_LOG(KD_LOG_ERR, fail_text, me());
    return key;
}

void set_newfilestate(int v)
{
    if (v == g_newfilestate_num)
        return;
    KD_LOG(KD_LOG_INFO, "[%s] Newfilestate number changed from %d to %d\n", me(), g_newfilestate_num, v);
    g_newfilestate_num = v;
    static int payload;
    payload = v;
    kd_cuvent_emit(nullptr, "securityNewFileState", &payload);
}

// The request and its private key, kept side by side so that the
// certificate issued for it can later be paired with the key.
bool write_csr()
{
    if (!make_dirs(kSecurityDir) || !make_dirs(kCsrDir))
        return false;
    const std::string dir = kd::rooted(kCsrDir);
    const std::string csr_path = dir + kCsrFile, key_path = dir + kCsrKeyFile;
    req_ptr req(X509_REQ_new());
    if (!req || !X509_REQ_set_version(req.get(), X509_REQ_VERSION_1)) {
        KD_LOG(KD_LOG_ERR, "[%s] X509_REQ_set_version ERROR.\n", me());
        return false;
    }
    if (!add_subject(X509_REQ_get_subject_name(req.get())))
        return false;
    pkey_ptr key = generate_rsa("[%s] RSA key generation failed\n");
    if (!key)
        return false;
    if (!X509_REQ_set_pubkey(req.get(), key.get())) {
        KD_LOG(KD_LOG_ERR, "[%s] X509_REQ_set_pubkey ERROR.\n", me());
        return false;
    }
    // SHA-256: SHA-1 signatures are disallowed for new signatures
    // (NIST SP 800-131A) and refused in FIPS 140-3 mode.
    if (X509_REQ_sign(req.get(), key.get(), EVP_sha256()) <= 0) {
        KD_LOG(KD_LOG_ERR, "[%s] X509_REQ_sign ERROR.\n", me());
        return false;
    }
    bio_ptr csr_bio(BIO_new(BIO_s_mem())), key_bio(BIO_new(BIO_s_mem()));
    if (!csr_bio || !key_bio || !PEM_write_bio_X509_REQ(csr_bio.get(), req.get()) ||
        !PEM_write_bio_PrivateKey(key_bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr)) {
        KD_LOG(KD_LOG_ERR, "[%s] PEM_write_bio_X509_REQ ERROR.\n", me());
        return false;
    }
    if (!write_file_atomic(key_path, bio_text(key_bio.get()), 0600) ||
        !write_file_atomic(csr_path, bio_text(csr_bio.get()), 0644)) {
        KD_LOG(KD_LOG_ERR, "[%s] Open csr file failed\n", me());
        return false;
    }
    return true;
}

void make_csr()
{
    const std::string dir = kd::rooted(kCsrDir);
    // A saved request is made again at every start only when it is missing:
    // a new key would orphan the certificate issued for the old one.
    if (kd::cfg::applying_saved_values() && file_exists(dir + kCsrFile) && file_exists(dir + kCsrKeyFile))
        return;
    set_newfilestate(write_csr() ? 3 : 2);
}

void make_self_signed()
{
    const std::string path = kd::rooted(kCertDir) + kCertFile;
    if (file_exists(path)) {
        KD_LOG(KD_LOG_INFO, "[%s] Self Signed Certificate exists\n", me());
        return;
    }
    KD_LOG(KD_LOG_INFO, "[%s] Start generate self-signed certificate\n", me());
    if (!make_dirs(kSecurityDir) || !make_dirs(kCertDir)) {
        KD_LOG(KD_LOG_ERR, "[%s] Could not open https_self_signed_certifacate directory\n", me());
        return;
    }
    x509_ptr cert(X509_new());
    if (!cert) {
        KD_LOG(KD_LOG_ERR, "[%s] Create the x509 failed\n", me());
        return;
    }
    pkey_ptr key = generate_rsa("[%s] Generate the RSA key failed\n");
    if (!key)
        return;
    X509_set_version(cert.get(), X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 63072000L); // 730 days
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME *name = X509_get_subject_name(cert.get());
    if (!add_subject(name) || !X509_set_issuer_name(cert.get(), name))
        return;
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0) {
        KD_LOG(KD_LOG_ERR, "[%s] Sign the key failed\n", me());
        return;
    }
    bio_ptr bio(BIO_new(BIO_s_mem()));
    if (!bio || !PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) ||
        !PEM_write_bio_X509(bio.get(), cert.get()) || !write_file_atomic(path, bio_text(bio.get()), 0600)) {
        KD_LOG(KD_LOG_ERR, "[%s] Open cert file failed\n", me());
        return;
    }
}

// A customer file name stays inside its directory: letters, digits, "_",
// "-" and "." only (no "/"), 1 to 30 characters, and not "." or "..".
bool certificate_name_valid(const std::string &n)
{
    if (n.empty() || n.size() > 30 || n == "." || n == "..")
        return false;
    for (char c : n)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.')
            return false;
    return true;
}

void verify_result(int ok)
{
    static int payload;
    payload = ok;
    kd_cuvent_emit(nullptr, "verify_customer_certificate", &payload);
}

void verify_customer_certificate(const char *name_text)
{
    kd_cuvent_emit(nullptr, "on_param_update", g_root);
    const std::string n = name_text ? name_text : "";
    // A refused upload is removed, but only under a name that stays inside
    // the upload directory: never the directory itself or a path outside it.
    const bool inside = !n.empty() && n.find('/') == std::string::npos && n != "." && n != "..";
    const std::string path = kd::rooted(kUploadDir) + n;
    auto refuse = [&](const char *fmt, const std::string &what) {
        KD_LOG(KD_LOG_ERR, fmt, me(), what.c_str());
        if (inside)
            ::unlink(path.c_str());
        verify_result(0);
    };
    const size_t dot = n.rfind('.');
    if (dot == std::string::npos || n.compare(dot, std::string::npos, ".pem") != 0)
        return refuse("[%s] Invalid file extension for: %s\n", n);
    for (char c : n)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.')
            return refuse("[%s] Invalid file name: %s\n", n);
    if (n.size() > 30)
        return refuse("[%s] File name length is invalid for: %s\n", n);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return refuse("[%s] Unable to stat file: %s\n", path);
    if (st.st_size > kMaxUpload)
        return refuse("[%s] File size exceeds the limit: %s\n", path);
    bio_ptr bio(BIO_new_file(path.c_str(), "r"));
    if (!bio)
        return refuse("[%s] Unable to open: %s\n", path);
    x509_ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!cert)
        return refuse("[%s] Unable to parse certificate in: %s\n", path);
    g_csr->certificate_file_name = n;
    // Announced so that the accepted name is saved like a typed one.
    kd_param_notify(g_cert_name_param);
    verify_result(1);
}

void delete_customer_certificate(int v)
{
    KD_LOG(KD_LOG_INFO, "[%s] deletefilestate number changed from %d to %d\n", me(), g_deletefilestate_num, v);
    g_deletefilestate_num = v;
    if (v == 1) {
        const std::string &n = g_csr->certificate_file_name;
        const std::string path = kd::rooted(kCustomerDir) + n;
        // Without a valid name there is nothing to remove (and never the
        // directory itself or a path outside it).
        if (!certificate_name_valid(n) || ::unlink(path.c_str()) != 0) {
            KD_LOG(KD_LOG_ERR, "[%s] Unable to delete file: %s\n", me(), path.c_str());
        } else {
            kd_store_save_string(nullptr, "frame/certificatefilepath", "NONE");
            g_csr->certificate_file_name.clear();
            kd_cuvent_emit(nullptr, "on_param_update", g_root);
            // Saved too: a restart must not bring the deleted name back.
            kd_param_notify(g_cert_name_param);
            KD_LOG(KD_LOG_INFO, "[%s] Deleted file: %s\n", me(), path.c_str());
        }
    }
    g_deletefilestate_num = 0;
}

// ---- parameters ----
std::string cfg_csr::*field_of(param_context *p)
{
    return *static_cast<std::string cfg_csr::**>(kd_param_get_userdata(p));
}

const char *field_value(param_context *p) { return g_csr ? (g_csr.get()->*field_of(p)).c_str() : ""; }

param_set_result field_set(param_context *p, const char *text)
{
    if (!g_csr)
        return PARAM_SET_FAILURE;
    g_csr.get()->*field_of(p) = text ? text : "";
    return PARAM_SET_SUCCESS;
}

int zero(param_context *) { return 0; }
int one(param_context *) { return 1; }
int three(param_context *) { return 3; }

int newfile_value(param_context *) { return g_newfilestate_num; }
param_set_result newfile_set(param_context *, const char *text)
{
    int v = 0;
    if (!kd::cfg::parse_number(text, 0, 3, 1, v))
        return PARAM_SET_FAILURE;
    set_newfilestate(v);
    return PARAM_SET_SUCCESS;
}

int generate_value(param_context *) { return g_generate_csr; }
param_set_result generate_set(param_context *, const char *text)
{
    int v = 0;
    if (!kd::cfg::parse_number(text, 0, 1, 1, v))
        return PARAM_SET_FAILURE;
    g_generate_csr = v;
    kd_cuvent_emit(nullptr, "securityGenerateCsrFile", &g_generate_csr);
    return PARAM_SET_SUCCESS;
}

int delete_value(param_context *) { return g_deletefilestate_num; }
param_set_result delete_set(param_context *, const char *text)
{
    int v = 0;
    if (!kd::cfg::parse_number(text, 0, 1, 1, v))
        return PARAM_SET_FAILURE;
    delete_customer_certificate(v);
    return PARAM_SET_SUCCESS;
}

const char *const kServices[] = {"HTTP", "HTTPS", nullptr};
const char **service_choices(param_context *) { return const_cast<const char **>(kServices); }
const char *service_value(param_context *) { return kServices[g_service_choice]; }
param_set_result service_set(param_context *, const char *text)
{
    const int v = kd::cfg::choice_index(kServices, text);
    if (v < 0)
        return PARAM_SET_FAILURE;
    g_service_choice = v;
    KD_LOG(KD_LOG_INFO, "[%s] Select websocket service is %s\n", me(), kServices[v]);
    if (v == 1)
        make_self_signed();
    // The store is already running: loading it again here would drop
    // unsaved values and start a second write timer.
    return PARAM_SET_SUCCESS;
}

const char *const kFips[] = {"Disabled", "Enabled", nullptr};
const char **fips_choices(param_context *) { return const_cast<const char **>(kFips); }
const char *fips_value(param_context *) { return kFips[fips_mode ? 1 : 0]; }
param_set_result fips_set(param_context *, const char *text)
{
    const int v = kd::cfg::choice_index(kFips, text);
    if (v < 0)
        return PARAM_SET_FAILURE;
    fips_mode = v;
    KD_LOG(KD_LOG_INFO, "[%s] FIPS 140-3 Mode is %s\n", me(), kFips[v]);
    return PARAM_SET_SUCCESS;
}

void on_newfile_state(cuvent_wrapper *w) noexcept
{
    if (!w->emit_ctx)
        return;
    g_newfilestate_num = *static_cast<const int *>(w->emit_ctx);
    KD_LOG(KD_LOG_INFO, "[%s] securityNewFileState vaule = %d\n", me(), g_newfilestate_num);
}

void on_generate_csr(cuvent_wrapper *w) noexcept
{
    try {
        if (w->emit_ctx && *static_cast<const int *>(w->emit_ctx) != 0)
            make_csr();
    } catch (...) {
    }
}

void on_customer_certificate(cuvent_wrapper *w) noexcept
{
    try {
        verify_customer_certificate(static_cast<const char *>(w->emit_ctx));
    } catch (...) {
    }
}

// Member pointers handed to the string parameters as their user data.
std::string cfg_csr::*const kFieldMembers[] = {
    &cfg_csr::country_name,  &cfg_csr::state_name,   &cfg_csr::locality_name, &cfg_csr::organization_name,
    &cfg_csr::organization_unit_name, &cfg_csr::common_name, &cfg_csr::email_address,
    &cfg_csr::certificate_file_name,
};
const char *const kFieldLabels[] = {"Country Name", "State Name",  "Locality Name", "Organization Name",
                                    "Organization Unit Name", "Common Name", "Email Address",
                                    "Certificate File Name"};

} // namespace

namespace kd::cfg {

void setup_cfg_security(param_context *root)
{
    g_root = root;
    g_csr = std::make_unique<cfg_csr>();
    g_newfilestate_num = g_generate_csr = g_deletefilestate_num = g_service_choice = 0;
    fips_mode = 0;
    for (size_t i = 0; i < std::size(kFieldLabels); ++i) {
        param_context *p = kd_param_alloc_string(root, nullptr, kFieldLabels[i], PARAMCTRL_RDWR, nullptr, field_value,
                                                 field_set, const_cast<std::string cfg_csr::**>(&kFieldMembers[i]));
        if (kFieldMembers[i] == &cfg_csr::certificate_file_name)
            g_cert_name_param = p;
    }
    kd_param_alloc_number(root, nullptr, "Security NewFile State", PARAMCTRL_RDWR, nullptr, newfile_value, zero,
                          three, one, newfile_set, nullptr);
    kd_param_alloc_number(root, nullptr, "Security Generate Csrfile", PARAMCTRL_RDWR, nullptr, generate_value, zero,
                          one, one, generate_set, nullptr);
    kd_param_alloc_number(root, nullptr, "Delete Certificate File State", PARAMCTRL_RDWR, nullptr, delete_value, zero,
                          one, one, delete_set, nullptr);
    kd_param_alloc_choice(root, nullptr, "Websocket Service", PARAMCTRL_RDWR, nullptr, service_value, service_choices,
                          service_set, nullptr);
    kd_param_alloc_choice(root, nullptr, "FIPS 140-3 Mode", PARAMCTRL_RDWR, nullptr, fips_value, fips_choices,
                          fips_set, nullptr);
    kd_cuvent_register_cb(nullptr, "securityNewFileState", on_newfile_state, nullptr, CUVFLT_NONE);
    kd_cuvent_register_cb(nullptr, "securityGenerateCsrFile", on_generate_csr, nullptr, CUVFLT_NONE);
    kd_cuvent_register_cb(nullptr, "customer_certificate_filename", on_customer_certificate, nullptr, CUVFLT_NONE);
}

void free_cfg_security()
{
    g_csr.reset();
    g_root = nullptr;
    g_cert_name_param = nullptr;
}

} // namespace kd::cfg
