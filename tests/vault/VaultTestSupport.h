#pragma once

#include "core/VelmoraError.h"
#include "support/TempDirectory.h"
#include "vault/VaultManager.h"

#include <gtest/gtest.h>

#include <string>

namespace velmora::test {

SecretBytes fixedMasterKey();  // bytes 00 01 … 1f

// A valid request for `assetId` by `ownerKey`.
DownloadRequest lessonRequest(const std::string& assetId, const std::string& ownerKey = "owner-K");

// Deterministic bytes that differ from position to position.
Bytes numberedBytes(std::size_t size, std::uint32_t seed = 1);

// Writes the ".part" file as the download writer does (header, then one record per 1 MiB) and,
// for storeLesson, commits it.
void sealPartial(const VaultManager& vault, const DownloadRequest& request, ByteView plaintext);
void storeLesson(const VaultManager& vault, const DownloadRequest& request, ByteView plaintext);

// Byte offset of record `index` in a media file.
inline std::uint64_t recordOffset(std::uint64_t index) { return 32 + index * 1'048'608; }

#define EXPECT_VELMORA_ERROR(body, message)                                            \
    do {                                                                               \
        try {                                                                          \
            body;                                                                      \
            ADD_FAILURE() << "expected VelmoraError \"" << (message) << "\"";          \
        } catch (const ::velmora::VelmoraError& error) {                               \
            EXPECT_STREQ(error.what(), message);                                       \
        }                                                                              \
    } while (false)

struct VaultFixture {
    TempDirectory root;
    VaultManager vault{root.path(), fixedMasterKey()};
};

}  // namespace velmora::test
