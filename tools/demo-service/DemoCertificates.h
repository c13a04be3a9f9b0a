#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace velmora::demo {

// The demo service's TLS material, kept in its state folder so that a build which trusts the CA
// file keeps working across restarts of the service.
struct TlsFiles {
    std::filesystem::path caCertificate;      // ca.pem: the file the demo build trusts
    std::filesystem::path serverCertificate;  // server.pem: leaf for the service's host names
    std::filesystem::path serverKey;          // server-key.pem (0600)
};

// Makes sure a CA and a server certificate signed by it exist under `stateFolder`.
// The CA is made once and then reused; the server certificate is made again when it is missing,
// expires within a day, was not signed by the CA on disk or does not name every host in `hosts`
// (IP addresses become IP entries of the subject alternative names, other names DNS entries).
// Throws std::runtime_error with OpenSSL's text, or std::system_error for file failures.
TlsFiles ensureCertificates(const std::filesystem::path& stateFolder, const std::vector<std::string>& hosts);

}  // namespace velmora::demo
