// "frame/websocket_service" chooses the well-known ports: HTTP on 80 and
// HTTPS on 443 with the framework's self-signed certificate. Runs in a
// network namespace of its own (80 and 443 free there), as root only.
#include "ws_fixture.h"
#include "ws_netns.h"

#include <kerrow/store.h>


#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <fcntl.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

using namespace wstest;

std::string fingerprint(X509 *cert)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!cert || !X509_digest(cert, EVP_sha256(), md, &n))
        return "";
    return std::string(reinterpret_cast<char *>(md), n);
}

// The certificate a TLS server on 127.0.0.1:port shows, and the first line
// of its answer to a GET of "/".
std::pair<std::string, std::string> tls_get(int port)
{
    std::pair<std::string, std::string> out;
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    int fd = connect_loopback(port);
    if (!ctx || fd < 0) {
        SSL_CTX_free(ctx);
        return out;
    }
    SSL *ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    if (SSL_connect(ssl) == 1) {
        X509 *cert = SSL_get1_peer_certificate(ssl);
        out.first = fingerprint(cert);
        X509_free(cert);
        const std::string req = "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        SSL_write(ssl, req.data(), static_cast<int>(req.size()));
        char buf[256] = {};
        int n = SSL_read(ssl, buf, sizeof buf - 1);
        if (n > 0)
            out.second = std::string(buf, static_cast<size_t>(n)).substr(0, std::string(buf).find("\r\n"));
    }
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    close(fd);
    return out;
}

param_set_result set_service(const char *choice)
{
    param_context *p = kd_param_get_by_route("frame/websocket_service");
    return p ? kd_param_get_choice_ops(p)->set(p, choice) : PARAM_SET_FAILURE;
}

class Service : public WsFixture {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for a network namespace";
        net_ = std::make_unique<OwnNetwork>();
        if (!net_->ok())
            GTEST_SKIP() << "cannot make a network namespace";
        WsFixture::SetUp();
        std::filesystem::create_directories(root_ / "usr/local/share/zwsui");
        std::ofstream(root_ / "usr/local/share/zwsui/index.html") << "<html></html>";
    }
    void TearDown() override
    {
        if (net_ && net_->ok())
            WsFixture::TearDown();
        net_.reset();
    }
    std::unique_ptr<OwnNetwork> net_;
};

TEST_F(Service, HttpListensOn80)
{
    ASSERT_EQ(set_service("HTTP"), PARAM_SET_SUCCESS);
    ws::ws_restart();
    EXPECT_EQ(ws::state().cfg.port, 80);
    drive([&] { EXPECT_EQ(http_get(80, "/").status, 200); });
}

TEST_F(Service, HttpsListensOn443WithTheFrameworksCertificate)
{
    ASSERT_EQ(set_service("HTTPS"), PARAM_SET_SUCCESS);
    ws::ws_restart();
    EXPECT_EQ(ws::state().cfg.port, 443);
    ASSERT_NE(ws::state().context, nullptr);

    FILE *f = std::fopen((root_ / "var/local/solvera/security/https-certificate/https_certificate.pem").c_str(), "r");
    ASSERT_NE(f, nullptr);
    X509 *cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    const std::string want = fingerprint(cert);
    X509_free(cert);
    ASSERT_FALSE(want.empty());

    drive([&] {
        auto [seen, status] = tls_get(443);
        EXPECT_EQ(seen, want);
        EXPECT_EQ(status, "HTTP/1.0 200 OK");
    });
}


TEST_F(Service, UploadedCustomerCertificateIsServedAfterARestart)
{
    namespace fs = std::filesystem;
    const fs::path dir = root_ / "var/local/solvera/security/https-customer-certificate";
    fs::create_directories(dir);
    std::ofstream(dir / "older.pem") << "an earlier certificate";
    const std::string key = root_ / "k.pem", crt = root_ / "c.pem", both = root_ / "both.pem";
    const std::string gen = "openssl req -x509 -newkey rsa:2048 -nodes -keyout " + key + " -out " + crt +
                            " -subj /CN=customer -days 2 2>/dev/null && cat " + key + " " + crt + " > " + both;
    ASSERT_EQ(std::system(gen.c_str()), 0);
    std::ofstream(root_ / "junk.pem") << "not a certificate";
    FILE *f = std::fopen(crt.c_str(), "r");
    ASSERT_NE(f, nullptr);
    X509 *cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    const std::string want = fingerprint(cert);
    X509_free(cert);

    drive([&] {
        ws_client browser;
        ASSERT_TRUE(browser.open(port_));
        ASSERT_TRUE(login(browser));
        // Refused: nothing changes.
        EXPECT_EQ(curl_upload(port_, browser.session(), root_ / "junk.pem", "junk.pem", "security"), 400);
        EXPECT_TRUE(fs::exists(dir / "older.pem"));
        EXPECT_EQ(on_loop([] {
                      char *v = nullptr;
                      const int r = kd_store_load_string(nullptr, "frame/certificatefilepath", &v);
                      const bool none = r != 0 || std::string(v) == "NONE";
                      std::free(v);
                      return none;
                  }),
                  true);
        // Accepted: the directory's only file, its path saved.
        EXPECT_EQ(curl_upload(port_, browser.session(), both, "site.pem", "security"), 200);
        std::vector<std::string> files;
        for (const auto &e : fs::directory_iterator(dir))
            files.push_back(e.path().filename());
        EXPECT_EQ(files, std::vector<std::string>{"site.pem"});
        EXPECT_EQ(on_loop([] {
                      char *v = nullptr;
                      kd_store_load_string(nullptr, "frame/certificatefilepath", &v);
                      std::string s = v ? v : "";
                      std::free(v);
                      return s;
                  }),
                  "/var/local/solvera/security/https-customer-certificate/site.pem");
    });
    ASSERT_EQ(set_service("HTTPS"), PARAM_SET_SUCCESS);
    ws::ws_restart();
    ASSERT_NE(ws::state().context, nullptr);
    drive([&] { EXPECT_EQ(tls_get(443).first, want); });
}
} // namespace
