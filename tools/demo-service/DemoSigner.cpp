#include "DemoSigner.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <charconv>
#include <stdexcept>

#include "core/Crypto.h"
#include "core/Files.h"

namespace velmora::demo {
namespace {

constexpr std::size_t kSecretSizeBytes = 32;
constexpr std::size_t kSignatureHexDigits = 40;
constexpr std::string_view kTokenPrefix = "vdt.";

bool constantTimeEqual(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::optional<std::int64_t> parseSeconds(std::string_view text) {
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

bool plainAccount(std::string_view account) {
    return !account.empty() &&
           std::all_of(account.begin(), account.end(), [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); });
}

}  // namespace

DemoSigner::DemoSigner(const std::filesystem::path& stateFolder) {
    createDirectories(stateFolder, 0700);
    const auto path = stateFolder / "secret.key";
    Bytes secret;
    std::error_code missing;
    if (std::filesystem::exists(path, missing)) secret = readWholeFile(path);
    if (secret.size() != kSecretSizeBytes) {
        secret = randomBytes(kSecretSizeBytes);
        writeFileAtomically(path, secret, 0600);
    }
    secret_.assign(secret.begin(), secret.end());
}

std::string DemoSigner::sign(const std::string& message) const {
    unsigned char mac[EVP_MAX_MD_SIZE];
    std::size_t length = 0;
    if (EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, secret_.data(), secret_.size(),
                  reinterpret_cast<const unsigned char*>(message.data()), message.size(), mac, sizeof mac, &length) == nullptr) {
        throw std::runtime_error("HMAC-SHA256 failed");
    }
    return hexLower(ByteView(mac, length)).substr(0, kSignatureHexDigits);
}

std::string DemoSigner::issueToken(const std::string& account, std::int64_t issuedAt) const {
    const std::string body = account + "." + std::to_string(issuedAt);
    return std::string(kTokenPrefix) + body + "." + sign("token|" + body);
}

std::optional<std::string> DemoSigner::tokenAccount(const std::string& token) const {
    if (!token.starts_with(kTokenPrefix)) return std::nullopt;
    const std::string rest = token.substr(kTokenPrefix.size());
    const auto firstDot = rest.find('.');
    const auto lastDot = rest.rfind('.');
    if (firstDot == std::string::npos || firstDot == lastDot) return std::nullopt;
    const std::string account = rest.substr(0, firstDot);
    const std::string issued = rest.substr(firstDot + 1, lastDot - firstDot - 1);
    if (!plainAccount(account) || !parseSeconds(issued)) return std::nullopt;
    const std::string body = account + "." + issued;
    if (!constantTimeEqual(sign("token|" + body), rest.substr(lastDot + 1))) return std::nullopt;
    return account;
}

std::string DemoSigner::mediaSignature(const std::string& clip, std::int64_t expiresAt) const {
    return sign("media|" + clip + "|" + std::to_string(expiresAt));
}

bool DemoSigner::mediaSignatureValid(const std::string& clip, const std::string& expiresAt, const std::string& signature,
                                     std::int64_t now) const {
    const auto expires = parseSeconds(expiresAt);
    if (!expires || *expires < now) return false;
    return constantTimeEqual(mediaSignature(clip, *expires), signature);
}

}  // namespace velmora::demo
