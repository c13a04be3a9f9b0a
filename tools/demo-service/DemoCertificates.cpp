#include "DemoCertificates.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <functional>
#include <memory>
#include <stdexcept>

#include "core/Files.h"

namespace velmora::demo {
namespace {

template <auto Free>
struct Deleter {
    template <typename T>
    void operator()(T* handle) const {
        Free(handle);
    }
};
using PKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Deleter<X509_free>>;
using Extension = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO_free>>;
using BigNum = std::unique_ptr<BIGNUM, Deleter<BN_free>>;

constexpr long kSecondsPerDay = 86400;
constexpr long kCaLifetimeDays = 3650;
constexpr long kServerLifetimeDays = 397;

[[noreturn]] void throwOpenSsl(const std::string& what) {
    char text[256] = {};
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    throw std::runtime_error(what + ": " + text);
}

template <typename T>
T* checked(T* handle, const char* what) {
    if (handle == nullptr) throwOpenSsl(what);
    return handle;
}

void check(int result, const char* what) {
    if (result != 1) throwOpenSsl(what);
}

PKey makeKey() { return PKey(checked(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), "EC key generation")); }

bool isIpAddress(const std::string& host) {
    unsigned char buffer[16];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

std::string subjectAltNames(const std::vector<std::string>& hosts) {
    std::string names;
    for (const auto& host : hosts) {
        if (!names.empty()) names += ',';
        names += (isIpAddress(host) ? "IP:" : "DNS:") + host;
    }
    return names;
}

void addExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    Extension extension(checked(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()), "certificate extension"));
    check(X509_add_ext(certificate, extension.get(), -1), "adding an extension");
}

// A certificate for `key` named `commonName`; issued by itself when `issuer` is null.
Certificate makeCertificate(EVP_PKEY* key, const std::string& commonName, long lifetimeDays, X509* issuer) {
    Certificate certificate(checked(X509_new(), "X509_new"));
    X509* cert = certificate.get();
    check(X509_set_version(cert, 2), "certificate version");
    BigNum serial(checked(BN_new(), "BN_new"));
    check(BN_rand(serial.get(), 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY), "serial number");
    checked(BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert)), "serial number");
    checked(X509_gmtime_adj(X509_getm_notBefore(cert), -kSecondsPerDay), "validity");
    checked(X509_gmtime_adj(X509_getm_notAfter(cert), lifetimeDays * kSecondsPerDay), "validity");
    check(X509_set_pubkey(cert, key), "public key");
    X509_NAME* subject = X509_get_subject_name(cert);
    check(X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("星禾课堂演示服务"), -1,
                                     -1, 0),
          "subject");
    check(X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                                     -1, 0),
          "subject");
    check(X509_set_issuer_name(cert, issuer != nullptr ? X509_get_subject_name(issuer) : subject), "issuer");
    return certificate;
}

Certificate makeCa(EVP_PKEY* key) {
    Certificate ca = makeCertificate(key, "Velmora Demo CA", kCaLifetimeDays, nullptr);
    addExtension(ca.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE,pathlen:0");
    addExtension(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(ca.get(), ca.get(), NID_subject_key_identifier, "hash");
    addExtension(ca.get(), ca.get(), NID_authority_key_identifier, "keyid:always");
    check(X509_sign(ca.get(), key, EVP_sha256()) > 0 ? 1 : 0, "signing the CA");
    return ca;
}

Certificate makeServer(EVP_PKEY* key, X509* ca, EVP_PKEY* caKey, const std::vector<std::string>& hosts) {
    Certificate server = makeCertificate(key, hosts.empty() ? "localhost" : hosts.front(), kServerLifetimeDays, ca);
    addExtension(server.get(), ca, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(server.get(), ca, NID_key_usage, "critical,digitalSignature");
    addExtension(server.get(), ca, NID_ext_key_usage, "serverAuth");
    addExtension(server.get(), ca, NID_subject_key_identifier, "hash");
    addExtension(server.get(), ca, NID_authority_key_identifier, "keyid:always");
    addExtension(server.get(), ca, NID_subject_alt_name, subjectAltNames(hosts));
    check(X509_sign(server.get(), caKey, EVP_sha256()) > 0 ? 1 : 0, "signing the server certificate");
    return server;
}

std::string pemOf(const std::function<int(BIO*)>& write) {
    Bio bio(checked(BIO_new(BIO_s_mem()), "BIO_new"));
    check(write(bio.get()), "PEM encoding");
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

void writePem(const std::filesystem::path& path, const std::string& pem, mode_t mode) {
    writeFileAtomically(path, bytesOf(pem), mode);
}

void saveCertificate(const std::filesystem::path& path, X509* certificate) {
    writePem(path, pemOf([&](BIO* bio) { return PEM_write_bio_X509(bio, certificate); }), 0644);
}

void saveKey(const std::filesystem::path& path, EVP_PKEY* key) {
    writePem(path, pemOf([&](BIO* bio) { return PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr); }),
             0600);
}

Bio openFile(const std::filesystem::path& path) { return Bio(BIO_new_file(path.c_str(), "r")); }

Certificate loadCertificate(const std::filesystem::path& path) {
    Bio bio = openFile(path);
    if (!bio) return nullptr;
    return Certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

PKey loadKey(const std::filesystem::path& path) {
    Bio bio = openFile(path);
    if (!bio) return nullptr;
    return PKey(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

bool namesEveryHost(X509* certificate, const std::vector<std::string>& hosts) {
    for (const auto& host : hosts) {
        const int match = isIpAddress(host) ? X509_check_ip_asc(certificate, host.c_str(), 0)
                                            : X509_check_host(certificate, host.c_str(), host.size(), 0, nullptr);
        if (match != 1) return false;
    }
    return true;
}

bool usableServerCertificate(X509* server, X509* ca, EVP_PKEY* serverKey, const std::vector<std::string>& hosts) {
    if (server == nullptr || serverKey == nullptr) return false;
    EVP_PKEY* caPublic = X509_get0_pubkey(ca);
    if (caPublic == nullptr || X509_verify(server, caPublic) != 1) return false;
    if (X509_check_private_key(server, serverKey) != 1) return false;
    if (X509_cmp_time(X509_get0_notAfter(server), nullptr) <= 0) return false;
    time_t tomorrow = time(nullptr) + kSecondsPerDay;
    if (X509_cmp_time(X509_get0_notAfter(server), &tomorrow) <= 0) return false;
    return namesEveryHost(server, hosts);
}

}  // namespace

TlsFiles ensureCertificates(const std::filesystem::path& stateFolder, const std::vector<std::string>& hosts) {
    createDirectories(stateFolder, 0700);
    const TlsFiles files{stateFolder / "ca.pem", stateFolder / "server.pem", stateFolder / "server-key.pem"};
    const auto caKeyPath = stateFolder / "ca-key.pem";

    Certificate ca = loadCertificate(files.caCertificate);
    PKey caKey = loadKey(caKeyPath);
    if (!ca || !caKey || X509_check_private_key(ca.get(), caKey.get()) != 1) {
        caKey = makeKey();
        ca = makeCa(caKey.get());
        saveKey(caKeyPath, caKey.get());
        saveCertificate(files.caCertificate, ca.get());
    }

    Certificate server = loadCertificate(files.serverCertificate);
    PKey serverKey = loadKey(files.serverKey);
    if (!usableServerCertificate(server.get(), ca.get(), serverKey.get(), hosts)) {
        serverKey = makeKey();
        server = makeServer(serverKey.get(), ca.get(), caKey.get(), hosts);
        saveKey(files.serverKey, serverKey.get());
        saveCertificate(files.serverCertificate, server.get());
    }
    return files;
}

}  // namespace velmora::demo
