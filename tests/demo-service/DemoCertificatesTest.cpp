#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <memory>

#include "DemoCertificates.h"
#include "support/TempDirectory.h"

namespace velmora::demo {
namespace {

using velmora::test::readText;
using velmora::test::TempDirectory;

template <auto free>
struct Deleter {
    void operator()(auto* p) const { free(p); }
};
using Certificate = std::unique_ptr<X509, Deleter<X509_free>>;

Certificate load(const std::filesystem::path& path) {
    FILE* file = fopen(path.c_str(), "r");
    if (file == nullptr) return nullptr;
    Certificate certificate(PEM_read_X509(file, nullptr, nullptr, nullptr));
    fclose(file);
    return certificate;
}

// Verifies the server certificate against the CA file alone, for one host name or IP address.
bool verifies(const TlsFiles& files, const std::string& host) {
    Certificate ca = load(files.caCertificate);
    Certificate server = load(files.serverCertificate);
    if (!ca || !server) return false;
    std::unique_ptr<X509_STORE, Deleter<X509_STORE_free>> store(X509_STORE_new());
    X509_STORE_add_cert(store.get(), ca.get());
    std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX_free>> context(X509_STORE_CTX_new());
    X509_STORE_CTX_init(context.get(), store.get(), server.get(), nullptr);
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context.get());
    X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER);
    if (host.find_first_not_of("0123456789.") == std::string::npos) {
        X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
    } else {
        X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size());
    }
    return X509_verify_cert(context.get()) == 1;
}

TEST(DemoCertificatesTest, MakesACaAndAServerCertificateForEveryHost) {
    TempDirectory folder;
    const TlsFiles files = ensureCertificates(folder / "state", {"127.0.0.1", "localhost"});
    EXPECT_TRUE(verifies(files, "127.0.0.1"));
    EXPECT_TRUE(verifies(files, "localhost"));
    EXPECT_FALSE(verifies(files, "127.0.0.2"));
    EXPECT_FALSE(verifies(files, "api.velmora.cn"));
    EXPECT_EQ(velmora::test::modeOf(files.serverKey), 0600u);
    EXPECT_EQ(velmora::test::modeOf(folder / "state" / "ca-key.pem"), 0600u);
    EXPECT_EQ(velmora::test::modeOf(folder / "state"), 0700u);
    EXPECT_EQ(X509_check_ca(load(files.caCertificate).get()), 1);
    EXPECT_EQ(X509_check_ca(load(files.serverCertificate).get()), 0);
}

TEST(DemoCertificatesTest, KeepsTheCaSoThatTrustingBuildsKeepWorking) {
    TempDirectory folder;
    const TlsFiles first = ensureCertificates(folder.path(), {"127.0.0.1"});
    const std::string ca = readText(first.caCertificate);
    const std::string server = readText(first.serverCertificate);

    ensureCertificates(folder.path(), {"127.0.0.1"});
    EXPECT_EQ(readText(first.caCertificate), ca);
    EXPECT_EQ(readText(first.serverCertificate), server);

    std::filesystem::remove(first.serverCertificate);
    const TlsFiles remade = ensureCertificates(folder.path(), {"127.0.0.1"});
    EXPECT_EQ(readText(remade.caCertificate), ca);
    EXPECT_NE(readText(remade.serverCertificate), server);
    EXPECT_TRUE(verifies(remade, "127.0.0.1"));
}

TEST(DemoCertificatesTest, RemakesWhatNoLongerFits) {
    TempDirectory folder;
    const TlsFiles files = ensureCertificates(folder.path(), {"127.0.0.1"});
    EXPECT_FALSE(verifies(files, "localhost"));
    ensureCertificates(folder.path(), {"127.0.0.1", "localhost"});
    EXPECT_TRUE(verifies(files, "localhost"));

    // A server certificate from another CA (say, a copied state folder) is replaced.
    TempDirectory other;
    const TlsFiles foreign = ensureCertificates(other.path(), {"127.0.0.1", "localhost"});
    std::filesystem::copy_file(foreign.serverCertificate, files.serverCertificate,
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(foreign.serverKey, files.serverKey, std::filesystem::copy_options::overwrite_existing);
    EXPECT_FALSE(verifies(files, "127.0.0.1"));
    ensureCertificates(folder.path(), {"127.0.0.1", "localhost"});
    EXPECT_TRUE(verifies(files, "127.0.0.1"));

    // A damaged CA is replaced together with its server certificate.
    velmora::test::writeFile(files.caCertificate, std::string("-----BEGIN CERTIFICATE-----\ngarbage\n"));
    ensureCertificates(folder.path(), {"127.0.0.1"});
    EXPECT_TRUE(verifies(files, "127.0.0.1"));
}

}  // namespace
}  // namespace velmora::demo
