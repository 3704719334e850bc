// Receiver public keys for CA tests: RSA keys made once by the openssl
// program (each in both PEM forms, with the key id openssl computes), and
// many small EC keys made in process.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace mcftest {

struct test_key {
    std::string spki_pem;  // "PUBLIC KEY"
    std::string pkcs1_pem; // "RSA PUBLIC KEY"
    std::string id_text;   // first 8 bytes of sha256 over the SubjectPublicKeyInfo DER, "XXXX XXXX XXXX XXXX"
};

inline std::string command_output(const std::string &cmd)
{
    std::string out;
    if (FILE *f = popen(cmd.c_str(), "r")) {
        char buf[512];
        while (size_t n = fread(buf, 1, sizeof buf, f))
            out.append(buf, n);
        pclose(f);
    }
    return out;
}

inline std::string file_text(const std::filesystem::path &p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// "openssl dgst -sha256" of the key's DER: its first 16 hex digits in four groups.
inline std::string openssl_key_id(const std::string &pem_file)
{
    const std::string out = command_output("openssl pkey -pubin -in " + pem_file +
                                           " -outform DER 2>/dev/null | openssl dgst -sha256 -r 2>/dev/null");
    if (out.size() < 16)
        return {};
    std::string id;
    for (int i = 0; i < 16; ++i) {
        if (i && i % 4 == 0)
            id += ' ';
        id += char(std::toupper(static_cast<unsigned char>(out[size_t(i)])));
    }
    return id;
}

// Four RSA keys made with "openssl genpkey" (once per test program).
inline const std::vector<test_key> &rsa_keys()
{
    static const std::vector<test_key> keys = [] {
        std::vector<test_key> v;
        char tmpl[] = "/tmp/kdkeys.XXXXXX";
        if (!mkdtemp(tmpl))
            return v;
        const std::string dir = tmpl;
        for (int i = 0; i < 4; ++i) {
            const std::string base = dir + "/k" + std::to_string(i);
            const std::string cmd =
                "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out " + base + ".key 2>/dev/null &&"
                " openssl pkey -in " + base + ".key -pubout -out " + base + ".spki 2>/dev/null &&"
                " openssl rsa -in " + base + ".key -RSAPublicKey_out -out " + base + ".pkcs1 2>/dev/null";
            if (std::system(cmd.c_str()) != 0)
                break;
            v.push_back({file_text(base + ".spki"), file_text(base + ".pkcs1"), openssl_key_id(base + ".spki")});
        }
        std::filesystem::remove_all(dir);
        return v;
    }();
    return keys;
}

// n distinct EC public keys in PEM ("PUBLIC KEY").
inline std::vector<std::string> ec_pems(size_t n)
{
    std::vector<std::string> out;
    for (size_t i = 0; i < n; ++i) {
        EVP_PKEY *key = EVP_EC_gen("P-256");
        BIO *bio = BIO_new(BIO_s_mem());
        if (key && bio && PEM_write_bio_PUBKEY(bio, key) == 1) {
            char *data = nullptr;
            const long len = BIO_get_mem_data(bio, &data);
            out.emplace_back(data, size_t(len));
        }
        BIO_free(bio);
        EVP_PKEY_free(key);
    }
    return out;
}

// A private EC key followed by its public key, in PEM.
inline std::string ec_private_and_public_pem()
{
    std::string out;
    EVP_PKEY *key = EVP_EC_gen("P-256");
    BIO *bio = BIO_new(BIO_s_mem());
    if (key && bio && PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1 &&
        PEM_write_bio_PUBKEY(bio, key) == 1) {
        char *data = nullptr;
        const long len = BIO_get_mem_data(bio, &data);
        out.assign(data, size_t(len));
    }
    BIO_free(bio);
    EVP_PKEY_free(key);
    return out;
}

// Key-file lines: "\"<pem>\"; <name>; <id>\n" for each PEM.
inline std::string csv_lines(const std::vector<std::string> &pems, const std::string &name = "n")
{
    std::string s;
    for (const std::string &p : pems)
        s += "\"" + p + "\"; " + name + "; 0000 0000 0000 0000\n";
    return s;
}

} // namespace mcftest
