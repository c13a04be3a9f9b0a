#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace velmora::demo {

// Signs and checks the demo service's bearer tokens and media tickets with a secret kept in the
// state folder, so that both stay valid across restarts of the service without a token table.
class DemoSigner {
public:
    // Reads "secret.key" from the folder, or makes it (32 random bytes, 0600).
    explicit DemoSigner(const std::filesystem::path& stateFolder);

    // "vdt." account "." issued-seconds "." signature
    std::string issueToken(const std::string& account, std::int64_t issuedAt) const;
    // The account a token was issued to, or nullopt for anything not made by issueToken.
    std::optional<std::string> tokenAccount(const std::string& token) const;

    // Signature of a media address for `clip`, valid until `expiresAt` (seconds since the epoch).
    std::string mediaSignature(const std::string& clip, std::int64_t expiresAt) const;
    bool mediaSignatureValid(const std::string& clip, const std::string& expiresAt, const std::string& signature,
                             std::int64_t now) const;

private:
    std::string sign(const std::string& message) const;

    std::string secret_;
};

}  // namespace velmora::demo
