// Construction, paths, keys and the record format of the vault.
#include "vault/VaultManager.h"

#include "core/Files.h"
#include "vault/RecordSealer.h"

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace velmora {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kVaultRelativePath = "VelmoraClassroom/VaultDeviceV2";
constexpr std::string_view kMagic = "VLMAC001";
constexpr std::uint32_t kFormatVersion = 1;
constexpr mode_t kFolderMode = 0700;

void putLittleEndian(std::uint8_t* out, std::uint64_t value, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Where the shared vault lives and its key comes from, set by the application before the first use.
struct SharedConfiguration {
    std::mutex mutex;
    fs::path dataRoot;
    VaultManager::MasterKeyProvider masterKey;
};

SharedConfiguration& sharedConfiguration() {
    static SharedConfiguration configuration;
    return configuration;
}

std::unique_ptr<VaultManager> makeSharedVault() {
    fs::path dataRoot;
    VaultManager::MasterKeyProvider masterKey;
    {
        SharedConfiguration& configuration = sharedConfiguration();
        std::lock_guard lock(configuration.mutex);
        dataRoot = configuration.dataRoot;
        masterKey = configuration.masterKey;
    }
    if (dataRoot.empty()) throw std::logic_error("the user data folder was not configured");
    if (!masterKey) throw std::logic_error("the master key provider was not configured");
    return std::make_unique<VaultManager>(std::move(dataRoot), masterKey());
}

}  // namespace

void VaultManager::configureShared(fs::path dataRoot, MasterKeyProvider masterKey) {
    SharedConfiguration& configuration = sharedConfiguration();
    std::lock_guard lock(configuration.mutex);
    configuration.dataRoot = std::move(dataRoot);
    configuration.masterKey = std::move(masterKey);
}

VaultManager& VaultManager::shared() {
    // Deliberately never destroyed: the media and download queues may still use the vault while
    // the process is ending.
    static VaultManager* instance = nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        try {
            instance = makeSharedVault().release();
        } catch (const std::exception& error) {
            std::cerr << kCannotOpenPrefix << error.what() << std::endl;
            std::exit(EXIT_FAILURE);
        }
    });
    return *instance;
}

VaultManager& VaultManager::openAtStartUp() {
    VaultManager& vault = shared();
    vault.removeLeftoverPartials();
    vault.removeLeftoverTemporaries();
    vault.repairInterruptedCommits();
    return vault;
}

VaultManager::VaultManager(fs::path dataRoot, SecretBytes masterKey)
    : dataRoot_(std::move(dataRoot)), masterKey_(std::move(masterKey)) {
    if (masterKey_.size() != kAes256KeySizeBytes) throw std::invalid_argument("vault master key must be 32 bytes");
    createDirectories(rootURL(), kFolderMode);
}

void VaultManager::removeLeftoverTemporaries() const {
    removeAtomicWriteLeftovers(rootURL(), [](std::string_view destination) {
        std::size_t dot = destination.rfind('.');
        return dot != std::string_view::npos && DownloadRequest::isSafeAssetId(destination.substr(0, dot));
    });
}

fs::path VaultManager::rootURL() const { return rootURL(dataRoot_); }

fs::path VaultManager::rootURL(const fs::path& dataRoot) { return dataRoot / fs::path(kVaultRelativePath); }

fs::path VaultManager::mediaURL(std::string_view assetId) const {
    return rootURL() / (std::string(assetId) + ".vlmedia");
}

fs::path VaultManager::partialURL(std::string_view assetId) const {
    return rootURL() / (std::string(assetId) + ".part");
}

fs::path VaultManager::metadataURL(std::string_view assetId) const {
    return rootURL() / (std::string(assetId) + ".json");
}

fs::path VaultManager::resumeURL(std::string_view assetId) const {
    return rootURL() / (std::string(assetId) + ".resume");
}

std::string VaultManager::ownerHash(std::string_view ownerKey) {
    Sha256Digest digest = sha256(bytesOf(ownerKey));
    return hexLower(ByteView(digest).first(16));
}

SecretBytes VaultManager::key(OwnedLesson lesson) const {
    return hkdfSha256(masterKey_.span(), bytesOf(lesson.assetId), bytesOf(lesson.ownerKey), kAes256KeySizeBytes);
}

Bytes VaultManager::makeHeader(std::uint64_t plainSize) {
    Bytes header(headerSize, 0);
    std::memcpy(header.data(), kMagic.data(), kMagic.size());
    putLittleEndian(header.data() + 8, kFormatVersion, 4);
    putLittleEndian(header.data() + 12, chunkSize, 4);
    putLittleEndian(header.data() + 16, plainSize, 8);
    return header;
}

Bytes VaultManager::encryptChunk(ByteView chunk, ByteView key) {
    Bytes record(recordOverhead + chunk.size());
    encryptChunk(chunk, key, record);
    return record;
}

void VaultManager::encryptChunk(ByteView chunk, ByteView key, std::span<std::uint8_t> record) {
    if (record.size() != recordOverhead + chunk.size()) throw std::invalid_argument("a record takes 32 bytes more than its chunk");
    RecordSealer sealer{SecretBytes(key)};
    sealer.begin(record);
    sealer.add(chunk);
    sealer.finish();  // refuses an empty chunk; add() one of more than chunkSize bytes
}

}  // namespace velmora
