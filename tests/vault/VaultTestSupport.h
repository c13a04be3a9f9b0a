#pragma once

#include "core/VelmoraError.h"
#include "support/TempDirectory.h"
#include "vault/VaultManager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

namespace velmora::test {

SecretBytes fixedMasterKey();  // bytes 00 01 … 1f
// A valid request for `assetId` by `ownerKey`.
DownloadRequest lessonRequest(const std::string& assetId, const std::string& ownerKey = "owner-K");
// Deterministic bytes that differ from position to position.
Bytes numberedBytes(std::size_t size, std::uint32_t seed = 1);
// Writes the ".part" file with the lesson writer, as a download does, and leaves it uncommitted;
// storeLesson also commits it.
void sealPartial(const VaultManager& vault, const DownloadRequest& request, ByteView plaintext);
void storeLesson(const VaultManager& vault, const DownloadRequest& request, ByteView plaintext);
// Byte offset of record `index` in a media file.
inline std::uint64_t recordOffset(std::uint64_t index) { return 32 + index * 1'048'608; }
// Matches a callable that throws VelmoraError with exactly `message`.
inline auto throwsVelmora(const char* message) { return testing::ThrowsMessage<VelmoraError>(testing::StrEq(message)); }

struct VaultFixture {
    TempDirectory root;
    VaultManager vault{root.path(), fixedMasterKey()};
};

}  // namespace velmora::test
