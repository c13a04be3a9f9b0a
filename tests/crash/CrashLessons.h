#pragma once

#include "core/Crypto.h"

#include <cstdint>
#include <string>

namespace velmora::crash {

// The lessons the crash workload downloads. Lesson n (1..kLessonCount) is the asset
// "crash-lesson-n"; each download of it fetches one version, whose bytes and size follow from
// (n, version) alone, so any process can tell which version a stored lesson holds.
inline constexpr int kLessonCount = 6;
inline constexpr const char* kOwnerKey = "crash-owner-key";
inline constexpr const char* kStoreAccount = "crash-test-entry";

std::string assetIdOf(int lesson);
// The lesson number of "crash-lesson-n", or 0.
int lessonOf(const std::string& assetId);

std::uint64_t versionSize(int lesson, std::uint64_t version);
// Bytes [offset, offset + length) of a version's media.
Bytes versionBytes(int lesson, std::uint64_t version, std::uint64_t offset, std::size_t length);

// Versions the media server cuts short (the download fails and must leave no trace).
bool versionFails(std::uint64_t version);

}  // namespace velmora::crash
