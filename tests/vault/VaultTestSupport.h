#pragma once

#include "core/VelmoraError.h"
#include "support/TempDirectory.h"
#include "vault/VaultManager.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace velmora::test {

// The master key 00 01 … 1f.
SecretBytes fixedMasterKey();

// A valid request for `assetId` by `ownerKey`, with distinct titles and identifiers.
DownloadRequest lessonRequest(const std::string& assetId, const std::string& ownerKey = "owner-K");

// `size` bytes that differ from record to record and position to position (seeded).
Bytes numberedBytes(std::size_t size, std::uint32_t seed = 1);

// Writes the ".part" file as the download writer does: header, then one record per 1 MiB.
void sealPartial(const VaultManager& vault, const DownloadRequest& request, ByteView plaintext);

// sealPartial, then finalize: a committed lesson.
void storeLesson(const VaultManager& vault, const DownloadRequest& request, ByteView plaintext);

// Byte offset of record `index` in a media file.
std::uint64_t recordOffset(std::uint64_t index);

// Flips one bit of the byte at `offset` in `path`.
void flipByte(const std::filesystem::path& path, std::uint64_t offset);

// Checks that `body` throws a VelmoraError whose text is exactly `message`.
#define EXPECT_VELMORA_ERROR(body, message)                                                        \
    do {                                                                                           \
        try {                                                                                      \
            body;                                                                                  \
            ADD_FAILURE() << "expected VelmoraError \"" << (message) << "\", nothing was thrown"; \
        } catch (const ::velmora::VelmoraError& error) {                                           \
            EXPECT_STREQ(error.what(), message);                                                   \
        }                                                                                          \
    } while (false)

// A fresh vault in a temporary data root.
struct VaultFixture {
    TempDirectory root;
    VaultManager vault{root.path(), fixedMasterKey()};
};

}  // namespace velmora::test
