// Security settings: the CSR with its kept key and the self-signed HTTPS
// certificate read back with the openssl command, customer certificates
// checked before anything is removed, FIPS mode.
#include <kerrow/cuvent.h>
#include <kerrow/frame.h>
#include <kerrow/store.h>
#include <kerrow/system.h>

#include "cfg_test_util.h"
#include "cmd_standins.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;
using kdtest::set;
using kdtest::value;

std::string sh(const std::string &cmd)
{
    std::string out;
    if (FILE *p = popen((cmd + " 2>&1").c_str(), "r")) {
        char buf[512];
        while (std::fgets(buf, sizeof buf, p))
            out += buf;
        pclose(p);
    }
    return out;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

unsigned mode_of(const std::string &path)
{
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

int g_verify = -1;
void on_verify(cuvent_wrapper *w) { g_verify = *static_cast<const int *>(w->emit_ctx); }

class Security : public ::testing::Test {
protected:
    void SetUp() override
    {
        kd_frame_init();
        kd_cuvent_register_cb(nullptr, "verify_customer_certificate", on_verify, nullptr, CUVFLT_NONE);
    }
    void TearDown() override { kd_frame_fini(); }
    void subject()
    {
        const std::pair<const char *, const char *> fields[] = {
            {"frame/country_name", "CA"},         {"frame/state_name", "Quebec"},
            {"frame/locality_name", "Montreal"},  {"frame/organization_name", "Kerrow Test"},
            {"frame/organization_unit_name", "Lab"}, {"frame/common_name", "card.example"},
            {"frame/email_address", "ops@example.com"}};
        for (const auto &[route, text] : fields)
            ASSERT_EQ(set(route, text), 0) << route;
    }
    std::string csr() { return root_ / "var/local/solvera/security/certificate-signing-request/csr_generate.txt"; }
    std::string csr_key() { return root_ / "var/local/solvera/security/certificate-signing-request/csr_generate.key"; }
    std::string cert() { return root_ / "var/local/solvera/security/https-certificate/https_certificate.pem"; }
    kdtest::TempRoot root_;
    kdtest::LogCapture log_;
};

TEST_F(Security, CsrAndItsKeyReadBackWithOpenssl)
{
    subject();
    ASSERT_EQ(set("frame/security_generate_csrfile", "1"), 0);
    EXPECT_EQ(value("frame/security_newfile_state"), "3");
    const std::string text = sh("openssl req -in " + csr() + " -noout -verify -subject -nameopt compat -text");
    EXPECT_NE(text.find("/C=CA/ST=Quebec/L=Montreal/O=Kerrow Test/OU=Lab/CN=card.example/emailAddress=ops@example.com"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("verify OK"), std::string::npos) << text;
    EXPECT_NE(text.find("Public-Key: (2048 bit)"), std::string::npos);
    EXPECT_NE(text.find("Exponent: 65537"), std::string::npos);
    EXPECT_NE(text.find("sha256WithRSAEncryption"), std::string::npos);
    // The kept key belongs to the request.
    EXPECT_EQ(mode_of(csr_key()), 0600u);
    EXPECT_EQ(sh("openssl req -in " + csr() + " -noout -pubkey"), sh("openssl pkey -in " + csr_key() + " -pubout"));

    // An empty subject still gives a request.
    for (const char *r : {"frame/country_name", "frame/state_name", "frame/locality_name", "frame/organization_name",
                          "frame/organization_unit_name", "frame/common_name", "frame/email_address"})
        set(r, nullptr);
    ASSERT_EQ(set("frame/security_newfile_state", "0"), 0);
    ASSERT_EQ(set("frame/security_generate_csrfile", "1"), 0);
    EXPECT_EQ(value("frame/security_newfile_state"), "3");
    const std::string empty = sh("openssl req -in " + csr() + " -noout -subject");
    EXPECT_EQ(empty.rfind("subject=", 0), 0u) << empty;
    EXPECT_EQ(empty.find("CN"), std::string::npos) << empty;
}

TEST_F(Security, NewFileStateAndFips)
{
    int events = 0;
    kd_cuvent_register_cb(
        nullptr, "securityNewFileState", [](cuvent_wrapper *w) { ++*static_cast<int *>(w->cb_ctx); }, &events,
        CUVFLT_NONE);
    EXPECT_EQ(set("frame/security_newfile_state", "1"), 0);
    EXPECT_EQ(set("frame/security_newfile_state", "1"), 0);
    EXPECT_EQ(set("frame/security_newfile_state", "4"), 1);
    EXPECT_EQ(set("frame/security_newfile_state", "x"), 1);
    EXPECT_EQ(events, 1);
    EXPECT_EQ(value("frame/security_newfile_state"), "1");

    EXPECT_EQ(set("frame/fips_140-3_mode", "Enabled"), 0);
    EXPECT_EQ(fips_mode, 1);
    EXPECT_EQ(set("frame/fips_140-3_mode", "On"), 1);
    EXPECT_EQ(fips_mode, 1);
    EXPECT_EQ(set("frame/fips_140-3_mode", "Disabled"), 0);
    EXPECT_EQ(fips_mode, 0);
}

TEST_F(Security, HttpsMakesOneSelfSignedCertificate)
{
    subject();
    // The running store keeps what it holds: choosing HTTPS does not reload it.
    kd_store_save_string(nullptr, "frame/unsaved", "kept");
    ASSERT_EQ(set("frame/websocket_service", "HTTPS"), 0);
    char *kept = nullptr;
    ASSERT_EQ(kd_store_load_string(nullptr, "frame/unsaved", &kept), 0);
    EXPECT_STREQ(kept, "kept");
    std::free(kept);

    EXPECT_EQ(mode_of(cert()), 0600u);
    const std::string text = sh("openssl x509 -in " + cert() + " -noout -text -nameopt compat");
    EXPECT_NE(text.find("Version: 3 (0x2)"), std::string::npos) << text;
    EXPECT_NE(text.find("Serial Number: 1 (0x1)"), std::string::npos);
    const std::string names = sh("openssl x509 -in " + cert() + " -noout -issuer -subject -nameopt compat");
    const std::string dn = "/C=CA/ST=Quebec/L=Montreal/O=Kerrow Test/OU=Lab/CN=card.example/emailAddress=ops@example.com\n";
    EXPECT_EQ(names, "issuer=" + dn + "subject=" + dn);
    EXPECT_NE(text.find("sha256WithRSAEncryption"), std::string::npos);
    EXPECT_EQ(sh("openssl x509 -in " + cert() + " -noout -pubkey"), sh("openssl pkey -in " + cert() + " -pubout"));
    // 730 days between the two validity dates.
    const std::string dates = sh("openssl x509 -in " + cert() + " -noout -startdate -enddate");
    const auto when = [&](const char *key) {
        const size_t at = dates.find(key) + std::strlen(key);
        struct tm tm {};
        strptime(dates.substr(at, dates.find('\n', at) - at).c_str(), "%b %d %H:%M:%S %Y", &tm);
        return timegm(&tm);
    };
    EXPECT_EQ(when("notAfter=") - when("notBefore="), 63072000);

    const std::string before = read_file(cert());
    ASSERT_EQ(set("frame/websocket_service", "HTTP"), 0);
    ASSERT_EQ(set("frame/websocket_service", "HTTPS"), 0);
    EXPECT_EQ(read_file(cert()), before);
    EXPECT_EQ(log_.count("Self Signed Certificate exists"), 1);
    EXPECT_EQ(set("frame/websocket_service", "FTP"), 1);
}

TEST_F(Security, FailedCertificateLeavesNoFile)
{
    fs::remove(cert());
    // The temporary file's name taken by a directory: the write fails.
    fs::create_directories(cert() + ".tmp/x");
    ASSERT_EQ(set("frame/websocket_service", "HTTPS"), 0); // the outcome is in the journal
    EXPECT_FALSE(fs::exists(cert()));
    EXPECT_EQ(log_.count("Open cert file failed"), 1);
}

TEST_F(Security, CustomerCertificatesAreCheckedBeforeUse)
{
    const std::string up = root_ / "tmp/security/https-customer-certificate/";
    fs::create_directories(up);
    const std::string made = sh("openssl req -x509 -newkey rsa:1024 -nodes -subj /CN=customer -days 2 -keyout " +
                                root_ / "k.pem" + " -out " + up + "good.pem");
    ASSERT_TRUE(fs::exists(up + "good.pem")) << made;
    const std::string pem = read_file(up + "good.pem");
    struct {
        std::string name, content;
        int ok;
        bool removed;
        const char *log;
    } cases[] = {
        {"good.pem", pem, 1, false, nullptr},
        {"cert.PEM", pem, 0, true, "Invalid file extension for: cert.PEM"},
        {"cert", pem, 0, true, "Invalid file extension for: cert"},
        {"a+b.pem", pem, 0, true, "Invalid file name: a+b.pem"},
        {"a b.pem", pem, 0, true, "Invalid file name: a b.pem"},
        // The extension is checked before the length.
        {std::string(40, 'd') + ".txt", pem, 0, true, "Invalid file extension for: dddd"},
        {std::string(27, 'c') + ".pem", pem, 0, true, "File name length is invalid"},
        {std::string(26, 'c') + ".pem", pem, 1, false, nullptr},
        {"big.pem", pem + std::string(1048577 - pem.size(), '\n'), 0, true, "File size exceeds the limit"},
        {"fits.pem", pem + std::string(1048576 - pem.size(), '\n'), 1, false, nullptr},
        {"junk.pem", "not a certificate\n", 0, true, "Unable to parse certificate in"},
    };
    for (const auto &c : cases) {
        if (c.name != "good.pem")
            std::ofstream(up + c.name) << c.content;
        g_verify = -1;
        log_.clear();
        kd_cuvent_emit(nullptr, "customer_certificate_filename", const_cast<char *>(c.name.c_str()));
        EXPECT_EQ(g_verify, c.ok) << c.name;
        EXPECT_EQ(fs::exists(up + c.name), !c.removed) << c.name;
        if (c.log) {
            EXPECT_EQ(log_.count(c.log), 1) << c.name;
        }
        if (c.ok) {
            EXPECT_EQ(value("frame/certificate_file_name"), c.name);
            // The accepted name is saved like a typed one.
            char *saved = nullptr;
            ASSERT_EQ(kd_store_load_string(nullptr, "frame/certificate_file_name", &saved), 0) << c.name;
            EXPECT_EQ(std::string(saved), c.name);
            std::free(saved);
        }
    }
    g_verify = -1;
    kd_cuvent_emit(nullptr, "customer_certificate_filename", const_cast<char *>("missing.pem"));
    EXPECT_EQ(g_verify, 0);
    g_verify = -1;
    kd_cuvent_emit(nullptr, "customer_certificate_filename", const_cast<char *>(""));
    EXPECT_EQ(g_verify, 0);
    EXPECT_TRUE(fs::is_directory(up));
    // A name that climbs out of the upload directory removes nothing.
    std::ofstream(root_ / "tmp/security/victim.pem") << pem;
    kd_cuvent_emit(nullptr, "customer_certificate_filename", const_cast<char *>("../victim.pem"));
    EXPECT_EQ(g_verify, 0);
    EXPECT_TRUE(fs::exists(root_ / "tmp/security/victim.pem"));
}

TEST_F(Security, DeletingTheCustomerCertificate)
{
    const std::string dir = root_ / "var/local/solvera/security/https-customer-certificate/";
    fs::create_directories(dir);
    // No name: nothing is removed, the directory least of all.
    EXPECT_EQ(set("frame/delete_certificate_file_state", "1"), 0);
    EXPECT_EQ(value("frame/delete_certificate_file_state"), "0");
    EXPECT_TRUE(fs::is_directory(dir));
    EXPECT_EQ(log_.count("Unable to delete file"), 1);

    // A stored name that would leave the directory is refused too.
    std::ofstream(root_ / "var/local/solvera/keep.pem") << "x";
    set("frame/certificate_file_name", "../../keep.pem");
    EXPECT_EQ(set("frame/delete_certificate_file_state", "1"), 0);
    EXPECT_TRUE(fs::exists(root_ / "var/local/solvera/keep.pem"));

    std::ofstream(dir + "mine.pem") << "x";
    set("frame/certificate_file_name", "mine.pem");
    EXPECT_EQ(set("frame/delete_certificate_file_state", "1"), 0);
    EXPECT_FALSE(fs::exists(dir + "mine.pem"));
    EXPECT_EQ(value("frame/certificate_file_name"), "");
    EXPECT_EQ(value("frame/delete_certificate_file_state"), "0");
    char *saved = nullptr;
    ASSERT_EQ(kd_store_load_string(nullptr, "frame/certificate_file_name", &saved), 0);
    EXPECT_STREQ(saved, ""); // a restart does not bring the deleted name back
    std::free(saved);
    ASSERT_EQ(kd_store_load_string(nullptr, "frame/certificatefilepath", &saved), 0);
    EXPECT_STREQ(saved, "NONE");
    std::free(saved);
    EXPECT_EQ(set("frame/delete_certificate_file_state", "2"), 1);
}

// On the card the store is a file: a saved request for a CSR does not make
// a new key at every start, while a new request from the user does.
TEST(SecurityRestart, SavedCsrRequestKeepsTheExistingKey)
{
    kdtest::TempRoot root;
    kdtest::LogCapture log;
    fs::create_directories(root / "opt/pkg/var");
    std::ofstream(root / "opt/pkg/var/oem") << "";
    const std::string key = root / "var/local/solvera/security/certificate-signing-request/csr_generate.key";
    kd_frame_init();
    ASSERT_FALSE(kd_frame_is_running_native());
    set("frame/common_name", "card.example");
    ASSERT_EQ(set("frame/security_generate_csrfile", "1"), 0);
    kd_frame_fini();
    const std::string first = read_file(key);
    ASSERT_FALSE(first.empty());

    kd_frame_init();
    EXPECT_EQ(value("frame/security_generate_csrfile"), "1");
    EXPECT_EQ(read_file(key), first);
    ASSERT_EQ(set("frame/security_generate_csrfile", "1"), 0);
    EXPECT_NE(read_file(key), first);
    kd_frame_fini();
}

} // namespace
