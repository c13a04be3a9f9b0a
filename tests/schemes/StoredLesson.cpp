#include "StoredLesson.h"

#include "core/Files.h"
#include "support/TempDirectory.h"

#include <fcntl.h>

#include <algorithm>

namespace velmora::test {

Bytes lessonBytes(std::size_t size, std::uint32_t seed) {
    Bytes bytes(size);
    std::uint32_t state = seed;
    for (std::uint8_t& byte : bytes) {
        state = state * 1'664'525u + 1'013'904'223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}

namespace {

Bytes sealedMedia(const VaultManager& vault, const std::string& assetId, const std::string& ownerKey,
                  ByteView plaintext, std::uint64_t headerSize) {
    SecretBytes key = vault.key({ownerKey, assetId});
    Bytes file = VaultManager::makeHeader(headerSize);
    for (std::size_t offset = 0; offset < plaintext.size(); offset += VaultManager::chunkSize) {
        std::size_t length = std::min<std::size_t>(VaultManager::chunkSize, plaintext.size() - offset);
        Bytes record = VaultManager::encryptChunk(plaintext.subspan(offset, length), key.span());
        file.insert(file.end(), record.begin(), record.end());
    }
    return file;
}

}  // namespace

void commitLesson(const VaultManager& vault, const DownloadRequest& request, ByteView plaintext) {
    writeFile(vault.partialURL(request.assetId), ByteView(sealedMedia(vault, request.assetId, request.ownerKey, plaintext, 0)));
    vault.finalize(request, plaintext.size());
}

void storeLesson(const VaultManager& vault, const std::string& assetId, const std::string& ownerKey,
                 ByteView plaintext) {
    writeFile(vault.mediaURL(assetId), ByteView(sealedMedia(vault, assetId, ownerKey, plaintext, plaintext.size())));

    VaultItem item;
    item.assetId = assetId;
    item.ownerHash = VaultManager::ownerHash(ownerKey);
    item.lessonTitle = "第 1 课";
    item.classId = 1;
    item.lessonId = 1;
    item.size = plaintext.size();
    item.state = std::string(VaultItem::kCompletedState);
    vault.saveMetadata(item);
}

void corruptMedia(const VaultManager& vault, const std::string& assetId, std::uint64_t offset) {
    FileDescriptor file = openFile(vault.mediaURL(assetId), O_RDWR);
    std::uint8_t byte = 0;
    preadExactly(file.get(), {&byte, 1}, static_cast<off_t>(offset), vault.mediaURL(assetId));
    byte ^= 0x5a;
    if (::pwrite(file.get(), &byte, 1, static_cast<off_t>(offset)) != 1) throwSystemError(errno, vault.mediaURL(assetId));
}

}  // namespace velmora::test
