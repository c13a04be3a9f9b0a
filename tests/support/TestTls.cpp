#include "support/TestTls.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

namespace velmora::test {

namespace {

template <typename T, auto Release>
struct OpenSslReleaser {
    void operator()(T* handle) const noexcept { Release(handle); }
};
using PrivateKey = std::unique_ptr<EVP_PKEY, OpenSslReleaser<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, OpenSslReleaser<X509, X509_free>>;
using Extension = std::unique_ptr<X509_EXTENSION, OpenSslReleaser<X509_EXTENSION, X509_EXTENSION_free>>;
void closeFile(FILE* file) { std::fclose(file); }
using File = std::unique_ptr<FILE, OpenSslReleaser<FILE, closeFile>>;

constexpr long kValiditySeconds = 7L * 24 * 3600;

[[noreturn]] void fail(const std::string& step) {
    char text[256] = {};
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    throw std::runtime_error(step + ": " + text);
}

void check(int ok, const char* step) {
    if (ok != 1) fail(step);
}

PrivateKey makeKey() {
    PrivateKey key(EVP_EC_gen("P-256"));
    if (!key) fail("EVP_EC_gen");
    return key;
}

void addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    Extension extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
    if (!extension) fail("X509V3_EXT_conf_nid");
    check(X509_add_ext(certificate, extension.get(), -1), "X509_add_ext");
}

// A certificate for `key` named `commonName`, signed by `issuerKey` as `issuer` (itself when null).
Certificate makeCertificate(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey, long serial) {
    Certificate certificate(X509_new());
    if (!certificate) fail("X509_new");
    X509* cert = certificate.get();
    check(X509_set_version(cert, 2), "X509_set_version");
    check(ASN1_INTEGER_set(X509_get_serialNumber(cert), serial), "ASN1_INTEGER_set");
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), kValiditySeconds);
    check(X509_set_pubkey(cert, key), "X509_set_pubkey");
    X509_NAME* name = X509_get_subject_name(cert);
    check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0),
          "X509_NAME_add_entry_by_txt");
    X509* signer = issuer != nullptr ? issuer : cert;
    check(X509_set_issuer_name(cert, X509_get_subject_name(signer)), "X509_set_issuer_name");
    addExtension(cert, signer, NID_subject_key_identifier, "hash");
    if (issuer == nullptr) {
        addExtension(cert, signer, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(cert, signer, NID_authority_key_identifier, "keyid:always");
        addExtension(cert, signer, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(cert, signer, NID_key_usage, "critical,digitalSignature");
        addExtension(cert, signer, NID_ext_key_usage, "serverAuth");
        addExtension(cert, signer, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
    }
    if (X509_sign(cert, issuerKey, EVP_sha256()) <= 0) fail("X509_sign");
    return certificate;
}

File openForWriting(const std::filesystem::path& path) {
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) throw std::runtime_error("cannot write " + path.string());
    return file;
}

void writeCertificate(const std::filesystem::path& path, X509* certificate) {
    File file = openForWriting(path);
    check(PEM_write_X509(file.get(), certificate), "PEM_write_X509");
}

void writePrivateKey(const std::filesystem::path& path, EVP_PKEY* key) {
    File file = openForWriting(path);
    check(PEM_write_PrivateKey(file.get(), key, nullptr, nullptr, 0, nullptr, nullptr), "PEM_write_PrivateKey");
}

}  // namespace

TestTls::TestTls()
    : caFile_(folder_ / "ca.pem"), certificateFile_(folder_ / "server.pem"), privateKeyFile_(folder_ / "server-key.pem") {
    PrivateKey caKey = makeKey();
    Certificate ca = makeCertificate(caKey.get(), "Velmora Test CA", nullptr, caKey.get(), 1);
    PrivateKey serverKey = makeKey();
    Certificate server = makeCertificate(serverKey.get(), "127.0.0.1", ca.get(), caKey.get(), 2);
    writeCertificate(caFile_, ca.get());
    writeCertificate(certificateFile_, server.get());
    writePrivateKey(privateKeyFile_, serverKey.get());
}

const TestTls& TestTls::shared() {
    static const TestTls tls;
    return tls;
}

}  // namespace velmora::test
