#pragma once

#include "core/Crypto.h"
#include "core/SecretBytes.h"

#include <optional>

namespace velmora {

// The desktop's keyring (a Secret Service such as GNOME Keyring or KWallet), where one random
// secret of this application and user adds to the secure store's key what a copy of the data
// folder and the machine's public facts do not give away. The real one is in src/app; tests use fakes.
class SecretKeyring {
public:
    static constexpr std::size_t kSecretSizeBytes = 32;

    virtual ~SecretKeyring() = default;

    // The stored secret, or nullopt when none is stored. Throws std::runtime_error with the
    // platform's text when the keyring cannot be reached or refuses.
    virtual std::optional<SecretBytes> lookup() const = 0;
    // Stores `secret`, replacing an earlier one. Throws std::runtime_error with the platform's text
    // when it cannot (no keyring, a locked one, a refusal).
    virtual void store(ByteView secret) const = 0;

    // The stored secret, or a new random one stored now when there is none of the right size;
    // nullopt when the keyring cannot be used, in which case the store goes on without it.
    std::optional<SecretBytes> loadOrCreateSecret() const;
};

}  // namespace velmora
