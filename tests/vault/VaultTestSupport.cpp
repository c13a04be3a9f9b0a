#include "VaultTestSupport.h"

#include "core/Files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace velmora::test {

SecretBytes fixedMasterKey() {
    SecretBytes key(32);
    for (std::size_t i = 0; i < key.size(); ++i) key.data()[i] = static_cast<std::uint8_t>(i);
    return key;
}

DownloadRequest lessonRequest(const std::string& assetId, const std::string& ownerKey) {
    DownloadRequest request;
    request.ownerKey = ownerKey;
    request.token = "token-1";
    request.classTitle = "Class " + assetId;
    request.courseTitle = "Course";
    request.chapterTitle = "Chapter";
    request.lessonTitle = "Lesson " + assetId;
    request.coverUrl = "https://img.velmora.test/" + assetId + ".png";
    request.assetId = assetId;
    request.classId = 7;
    request.courseIndex = 1;
    request.chapterIndex = 2;
    request.lessonIndex = 3;
    request.lessonId = 99;
    return request;
}

Bytes numberedBytes(std::size_t size, std::uint32_t seed) {
    Bytes bytes(size);
    std::uint32_t state = seed * 2654435761u + 1;
    for (std::uint8_t& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}

void sealPartial(const VaultManager& vault, const DownloadRequest& request, ByteView plaintext) {
    vault.cleanPartial(request.assetId);
    const std::filesystem::path path = vault.partialURL(request.assetId);
    FileDescriptor file = openFile(path, O_WRONLY | O_CREAT | O_EXCL, 0600);
    writeAll(file.get(), VaultManager::makeHeader(), path);
    const SecretBytes key = vault.key(request.ownerKey, request.assetId);
    for (std::size_t at = 0; at < plaintext.size(); at += VaultManager::kChunkSizeBytes) {
        std::size_t length = std::min<std::size_t>(VaultManager::kChunkSizeBytes, plaintext.size() - at);
        writeAll(file.get(), VaultManager::encryptChunk(plaintext.subspan(at, length), key.span()), path);
    }
    file.close();
}

void storeLesson(const VaultManager& vault, const DownloadRequest& request, ByteView plaintext) {
    sealPartial(vault, request, plaintext);
    vault.finalize(request, plaintext.size());
}

std::uint64_t recordOffset(std::uint64_t index) {
    return VaultManager::kHeaderSizeBytes + index * (VaultManager::kChunkSizeBytes + VaultManager::kRecordOverheadBytes);
}

void flipByte(const std::filesystem::path& path, std::uint64_t offset) {
    FileDescriptor file = openFile(path, O_RDWR);
    std::uint8_t byte = 0;
    preadExactly(file.get(), std::span(&byte, 1), static_cast<off_t>(offset), path);
    byte ^= 0x01;
    if (::pwrite(file.get(), &byte, 1, static_cast<off_t>(offset)) != 1) throwSystemError(errno, path);
}

}  // namespace velmora::test
