#include "securestore/DeviceSecureStore.h"

#include "core/Files.h"
#include "core/VelmoraError.h"

#include <sys/stat.h>

#include <cerrno>
#include <stdexcept>

namespace velmora {

namespace {

constexpr std::string_view kApplicationFolder = "VelmoraClassroom";
constexpr std::string_view kFormatTag = "device-v2";
constexpr std::size_t kFileNameDigestBytes = 12;
constexpr mode_t kDirectoryMode = 0700;
constexpr mode_t kFileMode = 0600;
constexpr std::string_view kKeyringKeyInfo = "VelmoraClassroom|device-v2|keyring";
constexpr const char* kNotThisUsersData = "这份本机加密数据不属于当前 Mac 用户";

bool fileExists(const std::filesystem::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 || errno != ENOENT;
}

// The plaintext of combined-form `sealed` under `key`, or nullopt when it does not open.
std::optional<SecretBytes> openSealed(ByteView sealed, const SecretBytes& key) {
    if (sealed.size() < kGcmNonceSizeBytes + kGcmTagSizeBytes) return std::nullopt;
    std::size_t ciphertextSize = sealed.size() - kGcmNonceSizeBytes - kGcmTagSizeBytes;
    SecretBytes plaintext(ciphertextSize);
    if (!AesGcm256::open(key.span(), sealed.first(kGcmNonceSizeBytes), sealed.subspan(kGcmNonceSizeBytes, ciphertextSize), {},
                         sealed.last(kGcmTagSizeBytes), plaintext.span())) {
        return std::nullopt;
    }
    return plaintext;
}

}  // namespace

DeviceSecureStore::DeviceSecureStore(std::filesystem::path dataRoot, std::shared_ptr<const IdentitySource> identity,
                                     std::shared_ptr<const SecretBytes> keyringSecret)
    : dataRoot_(std::move(dataRoot)), identity_(std::move(identity)), keyringSecret_(std::move(keyringSecret)) {
    if (!identity_) throw std::invalid_argument("DeviceSecureStore needs an identity source");
}

std::filesystem::path DeviceSecureStore::directory() const { return directory(dataRoot_); }

std::filesystem::path DeviceSecureStore::directory(const std::filesystem::path& dataRoot) {
    return dataRoot / std::string(kApplicationFolder) / "SecureStore";
}

std::filesystem::path DeviceSecureStore::fileURL(std::string_view account) const {
    Sha256Digest digest = sha256(bytesOf(account));
    std::string name = std::string(kFormatTag) + "-" + hexLower(ByteView(digest).first(kFileNameDigestBytes)) + ".secure";
    return directory() / name;
}

std::string DeviceSecureStore::fallbackDeviceIdentity() const {
    std::string localized = identity_->localizedHostName();
    return (localized.empty() ? std::string("mac") : localized) + "|" + identity_->hostName();
}

std::string DeviceSecureStore::machineIdentity() const {
    std::string platform = identity_->platformIdentity();
    return platform.empty() ? fallbackDeviceIdentity() : platform;
}

SecretBytes DeviceSecureStore::wrappingKey(std::string_view account) const {
    SecretBytes identity = identityKey(account);
    if (!keyringSecret_) return identity;
    return hkdfSha256(keyringSecret_->span(), identity.span(), bytesOf(kKeyringKeyInfo), kAes256KeySizeBytes);
}

SecretBytes DeviceSecureStore::identityKey(std::string_view account) const {
    std::string material = std::string(kApplicationFolder) + "|" + std::string(kFormatTag) + "|" + machineIdentity() + "|" +
                           std::to_string(identity_->userId()) + "|" + identity_->userName() + "|" + std::string(account);
    Sha256Digest digest = sha256(bytesOf(material));
    OPENSSL_cleanse(material.data(), material.size());
    return SecretBytes(digest);
}

void DeviceSecureStore::save(ByteView plaintext, std::string_view account) const {
    createDirectories(directory(), kDirectoryMode);
    SecretBytes key = wrappingKey(account);
    SecretBytes sealed(kGcmNonceSizeBytes + plaintext.size() + kGcmTagSizeBytes);
    std::span<std::uint8_t> out = sealed.span();
    fillRandom(out.first(kGcmNonceSizeBytes));
    AesGcm256::seal(key.span(), out.first(kGcmNonceSizeBytes), plaintext, {}, out.subspan(kGcmNonceSizeBytes, plaintext.size()),
                    out.last<kGcmTagSizeBytes>());
    std::filesystem::path file = fileURL(account);
    writeFileAtomically(file, sealed.span(), kFileMode);
    setMode(file, kFileMode);  // the write already made it 0600; a failure here changes nothing
}

std::optional<DeviceSecureStore::Opened> DeviceSecureStore::openEntry(std::string_view account) const {
    std::filesystem::path file = fileURL(account);
    if (!fileExists(file)) return std::nullopt;
    try {
        Bytes sealedBytes = readWholeFile(file);
        SecretBytes sealed(sealedBytes);
        OPENSSL_cleanse(sealedBytes.data(), sealedBytes.size());
        if (std::optional<SecretBytes> plaintext = openSealed(sealed.span(), wrappingKey(account))) {
            return Opened{std::move(*plaintext), false};
        }
        if (keyringSecret_) {
            if (std::optional<SecretBytes> plaintext = openSealed(sealed.span(), identityKey(account))) {
                return Opened{std::move(*plaintext), true};
            }
        }
    } catch (const std::exception&) {
        // Unreadable, short, altered or foreign entries all read as "not this user's data".
    }
    throw VelmoraError(kNotThisUsersData);
}

std::optional<SecretBytes> DeviceSecureStore::load(std::string_view account) const {
    std::optional<Opened> opened = openEntry(account);
    if (!opened) return std::nullopt;
    return std::move(opened->plaintext);
}

void DeviceSecureStore::deleteEntry(std::string_view account) const { removeFile(fileURL(account)); }

void DeviceSecureStore::removeLeftoverTemporaries() const {
    removeAtomicWriteLeftovers(directory(), [](std::string_view destination) {
        return destination.starts_with(kFormatTag) && destination.ends_with(".secure");
    });
}

SecretBytes DeviceSecureStore::loadOrCreateMasterKey() const {
    if (std::optional<SecretBytes> stored = load(kMasterKeyAccount); stored && stored->size() == kMasterKeySizeBytes) {
        return std::move(*stored);
    }
    SecretBytes key(kMasterKeySizeBytes);
    fillRandom(key.span());
    save(key.span(), kMasterKeyAccount);
    return key;
}

void DeviceSecureStore::resealUnderKeyringSecret() const {
    if (!keyringSecret_) return;
    for (std::string_view account : {kMasterKeyAccount, kSessionAccount}) {
        try {
            if (std::optional<Opened> opened = openEntry(account); opened && opened->underIdentityKey) {
                save(opened->plaintext.span(), account);
            }
        } catch (const std::exception&) {
            // Foreign, or not rewritable now: left as it is, for the next start or for the caller's load to report.
        }
    }
}

void DeviceSecureStore::saveSession(const DesktopSession& session) const {
    std::string json = session.toJson().dump();
    SecretBytes plaintext(bytesOf(json));
    OPENSSL_cleanse(json.data(), json.size());
    save(plaintext.span(), kSessionAccount);
}

std::optional<DesktopSession> DeviceSecureStore::loadSession() const {
    std::optional<SecretBytes> plaintext = load(kSessionAccount);
    if (!plaintext || plaintext->empty()) return std::nullopt;
    return DesktopSession::fromJsonText(
        std::string_view(reinterpret_cast<const char*>(plaintext->data()), plaintext->size()));
}

std::error_code DeviceSecureStore::clearSession() const {
    std::error_code removal = removeFile(fileURL(kSessionAccount));
    if (!removal) return {};
    try {
        save({}, kSessionAccount);
    } catch (const std::exception&) {
        // Neither removed nor overwritten: the caller reports the removal's error.
    }
    return removal;
}

}  // namespace velmora
