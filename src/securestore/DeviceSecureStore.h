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

namespace velmora {

// Small secrets sealed to files bound to this machine, this OS user and the entry's account name.
//
// Entry file "device-v2-<first 12 bytes of SHA-256(account), hex>.secure" in
// <data root>/VelmoraClassroom/SecureStore (folder 0700, files 0600), holding
//   nonce (12) | AES-256-GCM ciphertext (n) | tag (16), no associated data,
// under the key SHA-256("VelmoraClassroom|device-v2|<machine>|<uid>|<user name>|<account>").
//
// Stateless: nothing is cached and every call derives its key anew, so any thread may call it.
// Concurrent saves of one account leave one whole file, since each write replaces the file.
class DeviceSecureStore {
public:
    static constexpr std::string_view kMasterKeyAccount = "vault-master-key";
    static constexpr std::string_view kSessionAccount = "desktop-session";
    static constexpr std::size_t kMasterKeySizeBytes = 32;

    DeviceSecureStore(std::filesystem::path dataRoot, std::shared_ptr<const IdentitySource> identity);

    std::filesystem::path directory() const;
    std::filesystem::path fileURL(std::string_view account) const;
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

    // Removes the hidden temporary files of saves that ended with their process. Only while no save
    // can be running: the application (single instance) calls it at start-up. Never fails.
    void removeLeftoverTemporaries() const;

    void saveSession(const DesktopSession& session) const;
    // Throws the ownership sentence when the entry does not open, JSON errors when it does not decode.
    std::optional<DesktopSession> loadSession() const;
    void clearSession() const;

private:
    std::filesystem::path dataRoot_;
    std::shared_ptr<const IdentitySource> identity_;
};

}  // namespace velmora
