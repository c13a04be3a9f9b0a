#pragma once

#include <filesystem>
#include <string>

namespace velmora::bench {

// Runs `command` in the shell; throws std::runtime_error when it fails.
void run(const std::string& command);

// `text` in single quotes, for a shell command (the paths here hold no quote).
std::string quoted(const std::string& text);

// The ~100 MiB 720p clip of tools/make-clips ("long"), made in build-bench/clips on first use.
std::filesystem::path longClip();

// Seals `media` into the vault under `dataDir` as `ownerKey`'s finished download `assetId`
// (the tests' seal_lesson tool). Throws std::runtime_error when the tool fails.
void sealLesson(const std::filesystem::path& dataDir, const std::string& ownerKey, const std::string& assetId,
                const std::filesystem::path& media);

// Seals one small lesson for every line of `libraryLines` (seal_lesson --library's stdin form) into
// the vault under `dataDir` as `ownerKey`'s. Throws std::runtime_error when the tool fails.
void sealLibrary(const std::filesystem::path& dataDir, const std::string& ownerKey, const std::string& libraryLines);

// The library lines of `lessons` lessons spread over `courses` courses, ten courses to a class and
// five chapters to a course, numbered as the service numbers them.
std::string yearOfLessons(int lessons, int courses);

}  // namespace velmora::bench
