#pragma once

#include <filesystem>
#include <string>

namespace velmora::bench {

// The ~100 MiB 720p clip of tools/make-clips ("long"), made in build-bench/clips on first use.
std::filesystem::path longClip();

// Seals `media` into the vault under `dataDir` as `ownerKey`'s finished download `assetId`
// (the tests' seal_lesson tool). Throws std::runtime_error when the tool fails.
void sealLesson(const std::filesystem::path& dataDir, const std::string& ownerKey, const std::string& assetId,
                const std::filesystem::path& media);

}  // namespace velmora::bench
