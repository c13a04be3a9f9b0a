#include "StoredLesson.h"

#include "core/Files.h"
#include "support/TempDirectory.h"
#include "vault/LessonWriter.h"

#include <fcntl.h>

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

void commitLesson(const VaultManager& vault, const DownloadRequest& request, ByteView plaintext) {
    LessonWriter writer(vault, request);
    writer.append(plaintext);
    writer.commit();
}

void storeLesson(const VaultManager& vault, const std::string& assetId, const std::string& ownerKey,
                 ByteView plaintext) {
    DownloadRequest request;
    request.ownerKey = ownerKey;
    request.assetId = assetId;
    request.lessonTitle = "第 1 课";
    request.classId = 1;
    request.lessonId = 1;
    LessonWriter writer(vault, request);
    writer.append(plaintext);
    writer.keepUncommitted();

    // Moved into place without finalize(), which refuses the empty and small lessons some cases need.
    const std::filesystem::path partial = vault.partialURL(assetId);
    FileDescriptor file = openFile(partial, O_WRONLY);
    writeAll(file.get(), VaultManager::makeHeader(plaintext.size()), partial);
    file.close();
    std::filesystem::rename(partial, vault.mediaURL(assetId));
    vault.saveMetadata(VaultItem::fromRequest(request, VaultManager::ownerHash(ownerKey), plaintext.size()));
}

void corruptMedia(const VaultManager& vault, const std::string& assetId, std::uint64_t offset) {
    FileDescriptor file = openFile(vault.mediaURL(assetId), O_RDWR);
    std::uint8_t byte = 0;
    preadExactly(file.get(), {&byte, 1}, static_cast<off_t>(offset), vault.mediaURL(assetId));
    byte ^= 0x5a;
    if (::pwrite(file.get(), &byte, 1, static_cast<off_t>(offset)) != 1) throwSystemError(errno, vault.mediaURL(assetId));
}

}  // namespace velmora::test
