#pragma once

#include "core/Crypto.h"
#include "core/SecretBytes.h"
#include "securestore/DesktopSession.h"
#include "securestore/IdentitySource.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace velmora {

// Small secrets sealed to files bound to this machine, this OS user and the entry's account name.
//
// Entry file "device-v2-<first 12 bytes of SHA-256(account), hex>.secure" in
// <data root>/VelmoraClassroom/SecureStore (folder 0700, files 0600), holding
//   nonce (12) | AES-256-GCM ciphertext (n) | tag (16), no associated data,
// under the identity key SHA-256("VelmoraClassroom|device-v2|<machine>|<uid>|<user name>|<account>")
// or, given the desktop keyring's secret (SecretKeyring), under
// HKDF-SHA256(key = that secret, salt = the identity key, info = "VelmoraClassroom|device-v2|keyring").
// The identity key is made of facts anyone on the machine can read; the keyring secret is not.
// With a keyring secret, entries still sealed under the identity key are read (and re-sealed by
// resealUnderKeyringSecret()), never written.
//
// Stateless: nothing is cached and every call derives its key anew, so any thread may call it.
// Concurrent saves of one account leave one whole file, since each write replaces the file.
class DeviceSecureStore {
public:
    static constexpr std::string_view kMasterKeyAccount = "vault-master-key";
    static constexpr std::string_view kSessionAccount = "desktop-session";
    static constexpr std::size_t kMasterKeySizeBytes = 32;

    // `keyringSecret`: the keyring's 32-byte secret, or null where the desktop has no keyring.
    DeviceSecureStore(std::filesystem::path dataRoot, std::shared_ptr<const IdentitySource> identity,
                      std::shared_ptr<const SecretBytes> keyringSecret = nullptr);

    std::filesystem::path directory() const;
    static std::filesystem::path directory(const std::filesystem::path& dataRoot);
    std::filesystem::path fileURL(std::string_view account) const;
    // The key that save() seals with: the keyring key when there is a keyring secret, else the identity key.
    SecretBytes wrappingKey(std::string_view account) const;
    // The platform identity, or fallbackDeviceIdentity() when there is none.
    std::string machineIdentity() const;
    // "<localized host name or "mac">|<host name>"
    std::string fallbackDeviceIdentity() const;

    // Seals and replaces the entry. Throws the platform's error when the folder or file cannot be written.
    void save(ByteView plaintext, std::string_view account) const;
    // The entry's plaintext, or nullopt when no file exists. Throws VelmoraError with the
    // ownership sentence when the file cannot be read or opened.
    std::optional<SecretBytes> load(std::string_view account) const;
    // Removes the entry; never fails.
    void deleteEntry(std::string_view account) const;

    // The vault's 32-byte master key; made and stored on first use, or when the stored one has
    // another length. A stored key that does not open throws and is left as it is.
    SecretBytes loadOrCreateMasterKey() const;

    // With a keyring secret: the master key and the session entries that open only under the
    // identity key are sealed again under the keyring key, each replaced atomically. An entry that
    // cannot be rewritten stays as it was (and readable). Without one: nothing.
    void resealUnderKeyringSecret() const;

    // Removes the hidden temporary files of saves that ended with their process. Only while no save
    // can be running: the application (single instance) calls it at start-up. Never fails.
    void removeLeftoverTemporaries() const;

    void saveSession(const DesktopSession& session) const;
    // Throws the ownership sentence when the entry does not open, JSON errors when it does not decode.
    // An empty record (left by a clearSession() that could not remove the file) is no session.
    std::optional<DesktopSession> loadSession() const;
    // Removes the stored session; an absent one is no error. When the file cannot be removed it is
    // overwritten with an empty sealed record, so that it is not restored, and the removal's error
    // is returned.
    std::error_code clearSession() const;

private:
    // The entry's plaintext and whether it opened only under the identity key; nullopt when no file exists.
    struct Opened {
        SecretBytes plaintext;
        bool underIdentityKey;
    };
    std::optional<Opened> openEntry(std::string_view account) const;
    SecretBytes identityKey(std::string_view account) const;

    std::filesystem::path dataRoot_;
    std::shared_ptr<const IdentitySource> identity_;
    std::shared_ptr<const SecretBytes> keyringSecret_;
};

}  // namespace velmora
