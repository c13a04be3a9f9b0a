#pragma once

#include "core/Crypto.h"
#include "vault/VaultManager.h"

#include <cstdint>
#include <string>

namespace velmora::test {

// Deterministic, position-dependent bytes, so a misplaced piece shows up as a mismatch.
Bytes lessonBytes(std::size_t size, std::uint32_t seed = 7);

// Stores `plaintext` as a committed lesson of `ownerKey`: sealed media file and metadata, laid out
// as a finished download leaves them (any size, including the ones a download would refuse).
void storeLesson(const VaultManager& vault, const std::string& assetId, const std::string& ownerKey,
                 ByteView plaintext);

// Seals `plaintext` into the request's ".part" file as a download does and commits it through the
// vault (which refuses lessons under 1,024 bytes).
void commitLesson(const VaultManager& vault, const DownloadRequest& request, ByteView plaintext);

// Flips one byte of the lesson's media file at `offset`.
void corruptMedia(const VaultManager& vault, const std::string& assetId, std::uint64_t offset);

}  // namespace velmora::test
