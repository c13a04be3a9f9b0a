#include "securestore/SecretKeyring.h"

#include <stdexcept>

namespace velmora {

std::optional<SecretBytes> SecretKeyring::loadOrCreateSecret() const {
    try {
        if (std::optional<SecretBytes> stored = lookup(); stored && stored->size() == kSecretSizeBytes) return stored;
        SecretBytes secret(kSecretSizeBytes);
        fillRandom(secret.span());
        store(secret.span());
        return secret;
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

}  // namespace velmora
