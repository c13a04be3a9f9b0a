#include "VaultTestSupport.h"

#include "vault/LessonWriter.h"

namespace velmora::test {

SecretBytes fixedMasterKey() {
    SecretBytes key(32);
    for (std::size_t i = 0; i < key.size(); ++i) key.data()[i] = static_cast<std::uint8_t>(i);
    return key;
}

DownloadRequest lessonRequest(const std::string& assetId, const std::string& ownerKey) {
    return {ownerKey, "token-1", "Class " + assetId, "Course", "Chapter", "Lesson " + assetId,
            "https://img.velmora.test/" + assetId + ".png", assetId, 7, 1, 2, 3, 99};
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
    LessonWriter writer(vault, request);
    writer.append(plaintext);
    writer.keepUncommitted();
}

void storeLesson(const VaultManager& vault, const DownloadRequest& request, ByteView plaintext) {
    sealPartial(vault, request, plaintext);
    vault.finalize(request, plaintext.size());
}

}  // namespace velmora::test
