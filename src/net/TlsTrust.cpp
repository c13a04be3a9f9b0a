#include "net/TlsTrust.h"

#include <system_error>

#include "core/Files.h"
#include "net/CurlHandles.h"

namespace velmora {

namespace {

std::string textOf(const Bytes& bytes) { return {bytes.begin(), bytes.end()}; }

// libcurl's built-in CA bundle, or "" when the build has none or it cannot be read.
std::string systemBundle() {
    CurlEasy probe = makeCurlEasy();
    char* path = nullptr;
    if (curl_easy_getinfo(probe.get(), CURLINFO_CAINFO, &path) != CURLE_OK || path == nullptr) return {};
    try {
        return textOf(readWholeFile(path));
    } catch (const std::system_error&) {
        return {};
    }
}

}  // namespace

TlsTrust TlsTrust::fromEndpoints(const Endpoints& endpoints) {
    TlsTrust trust;
    if (endpoints.caFile.empty()) return trust;
    std::string extra = textOf(readWholeFile(endpoints.caFile));
    // A blob replaces libcurl's CA file, so the system bundle goes in front of the extra CA.
    trust.bundle_ = std::make_shared<const std::string>(systemBundle() + "\n" + extra);
    return trust;
}

}  // namespace velmora
